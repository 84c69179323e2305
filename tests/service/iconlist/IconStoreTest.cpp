#include "app/service/IconList/IconList.h"
#include "app/service/IconList/IconStore.h"

#include "service/auth/SignInTestSupport.h"

#include <gtest/gtest.h>

#include <thread>

namespace Vexelworks {
namespace {

using namespace std::chrono_literals;
using vx::devservice::Fault;

class IconStoreTest : public test::SignInFixture {
 protected:
  void SetUp() override {
    SignInFixture::SetUp();
    api_ = APIClient::make(
        base_, AccessToken{std::string(vx::devservice::kDemoTokenKey), std::string(vx::devservice::kDemoTokenSecret)});
    store_ = IconStore::make(api_);
    store_->addHandler([this](const IconStoreChange& change) {
      EXPECT_TRUE(vx::DispatchQueue::isMainThread());
      deliveries_.push_back(std::get<IconStoreChanges::LoadedCompletions>(change).completions);
    });
  }

  std::shared_ptr<APIClient> api_;
  std::shared_ptr<IconStore> store_;
  std::vector<std::vector<std::string>> deliveries_;
};

TEST_F(IconStoreTest, TwoQuickRequestsDeliverAnEmptyListThenOnlyTheNewestSuggestions) {
  // The first request would take long; the second keystroke cancels it.
  Fault slow = Fault::withDelay(3s);
  slow.times = 1;
  service_.setFault("/search/autocomplete", slow);
  store_->handle(Actions::LoadCompletions{"c"});
  ASSERT_TRUE(service_.waitForRequests(1));
  store_->handle(Actions::LoadCompletions{"ca"});
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return deliveries_.size() == 2; }, 10s));
  vx::RunLoop::runFor(20ms);
  ASSERT_EQ(deliveries_.size(), 2u);
  EXPECT_TRUE(deliveries_[0].empty()) << "the cancelled request delivers nothing";
  EXPECT_EQ(deliveries_[1], (std::vector<std::string>{"camera", "car", "carrot", "cat"}));
  const auto requests = service_.requests("/search/autocomplete");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].queryValue("query"), "ca");
}

TEST_F(IconStoreTest, AFailedRequestDeliversAnEmptyList) {
  service_.setFault("/search/autocomplete", Fault::withStatus(500));
  store_->loadCompletions("cup");
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return deliveries_.size() == 1; }));
  EXPECT_TRUE(deliveries_[0].empty());
}

TEST_F(IconStoreTest, ANewTokenReplacesTheStoresClientButNotAnExistingListsOnTheMainThread) {
  auto list = IconList::make(SearchTypes::StarterPack{}, nullptr, api_);
  for (const Action& action :
       {Action{Actions::LogIn{"t"}}, Action{Actions::LogOut{}}, Action{Actions::RefreshUser{}}}) {
    store_->handle(action);
  }
  EXPECT_EQ(store_->api(), api_) << "sign-in actions are not the icon store's";

  const AccessToken fresh{"fresh-key", "fresh-secret"};
  std::thread network([&] { store_->handle(Actions::ChangeAccessToken{fresh}); });
  network.join();
  EXPECT_EQ(store_->api(), api_) << "a token from another thread waits for the main queue";
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return store_->api() != api_; }));
  EXPECT_EQ(store_->api()->accessToken(), fresh);
  EXPECT_EQ(store_->api()->url(), base_);
  EXPECT_EQ(list->api(), api_);

  const AccessToken onMain{"main-key", "main-secret"};
  store_->handle(Actions::ChangeAccessToken{onMain});
  EXPECT_EQ(store_->api()->accessToken(), onMain) << "on the main thread at once";
}

TEST_F(IconStoreTest, IconUsageIsRecordedWithTheColourAndType) {
  auto list = IconList::make(SearchTypes::Search{"cup"}, nullptr, api_);
  std::size_t pages = 0;
  class Delegate : public IconListDelegate {
   public:
    explicit Delegate(std::size_t& pages) : pages_(pages) {}
    void iconListDidLoadPage(IconList&, std::int64_t) override { ++pages_; }
    std::size_t& pages_;
  };
  auto delegate = std::make_shared<Delegate>(pages);
  list->setDelegate(delegate);
  list->loadPage(1);
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return pages == 1; }));
  ASSERT_FALSE(list->icons().empty());
  const auto icon = list->icons().front();
  store_->handle(Actions::RecordIconUsage{icon, PasteboardType::pdf, Color::fromHex("00FF00")});
  store_->handle(Actions::RecordIconUsage{nullptr, PasteboardType::pdf, Color::fromHex("00FF00")});
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return !service_.requests("/icon/.*/download/mac").empty(); }));
  vx::RunLoop::runFor(20ms);
  const auto requests = service_.requests("/icon/.*/download/mac");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, "/icon/" + icon->id + "/download/mac");
  auto fields = vx::URL::parseFormURLEncoded(requests[0].body);
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(fields->at(0).value, "00FF00");
  EXPECT_EQ(fields->at(1).value, "pdf");
  EXPECT_TRUE(deliveries_.empty());
}

}  // namespace
}  // namespace Vexelworks

namespace Vexelworks {
namespace {

TEST(IconStoreWithoutClient, CompletionsArriveEmptyUntilATokenArrives) {
  auto store = IconStore::make(nullptr);
  std::vector<std::vector<std::string>> deliveries;
  store->addHandler([&](const IconStoreChange& change) {
    deliveries.push_back(std::get<IconStoreChanges::LoadedCompletions>(change).completions);
  });
  store->loadCompletions("cup");
  store->handle(Actions::RecordIconUsage{nullptr, PasteboardType::svg, Color::fromHex("000000")});
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return deliveries.size() == 1; }));
  EXPECT_TRUE(deliveries[0].empty());
  store->handle(Actions::ChangeAccessToken{{"k", "s"}});
  ASSERT_NE(store->api(), nullptr);
  EXPECT_EQ(store->api()->accessToken(), (AccessToken{"k", "s"}));
}

}  // namespace
}  // namespace Vexelworks
