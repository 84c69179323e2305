#include "app/service/Auth/AuthStore.h"
#include "app/service/Auth/URLHandler.h"

#include "app/service/Helpers.h"
#include "platform/desktop/GetURLEvents.h"
#include "platform/foundation/Clock.h"
#include "service/auth/SignInTestSupport.h"

#include <gtest/gtest.h>

namespace Vexelworks {
namespace {

using namespace std::chrono_literals;
using vx::devservice::Fault;
using vx::devservice::WebSite;

// What the application delegate does with an opened URL: host "login" with one path component
// signs in with that component.
class LoginURLDelegate : public URLHandlerDelegate {
 public:
  void handleURL(const vx::URL& url) override {
    urls.push_back(url.string());
    if (url.host() != "login") return;
    const auto path = url.decodedPath();
    if (path.size() < 2 || path[0] != '/' || path.find('/', 1) != std::string::npos) return;
    Vexelworks::dispatch(Actions::LogIn{path.substr(1)});
  }
  std::vector<std::string> urls;
};

struct ChangeRecord {
  AuthStoreChange change;
  bool onMainThread;
};

class AuthStoreTest : public test::SignInFixture {
 protected:
  void SetUp() override {
    SignInFixture::SetUp();
    site_ = WebSite::of(service_);
  }
  void TearDown() override {
    if (store_) test::ActionRecorder::shared().setForward(nullptr);
    SignInFixture::TearDown();
  }

  // A store as the application delegate sets it up: in the action-handler list, one subscriber.
  std::shared_ptr<AuthStore> makeStore() {
    store_ = AuthStore::make({base_, base_});
    std::weak_ptr<AuthStore> weak = store_;
    test::ActionRecorder::shared().setForward([weak](const Action& action) {
      if (auto store = weak.lock()) store->dispatch(action);
    });
    store_->addHandler([this](const AuthStoreChange& change) {
      changes_.push_back({change, vx::DispatchQueue::isMainThread()});
    });
    return store_;
  }

  // Serves the main queue until `count` changes have arrived.
  bool waitForChanges(std::size_t count) {
    return vx::RunLoop::runUntil([&] { return changes_.size() >= count; }, 15s);
  }

  template <class T>
  const T* changeAt(std::size_t index) const {
    return index < changes_.size() ? std::get_if<T>(&changes_[index].change) : nullptr;
  }

  void storeDemoToken() {
    TokenStore().saveToken({std::string(vx::devservice::kDemoTokenKey), std::string(vx::devservice::kDemoTokenSecret)});
  }

  std::shared_ptr<WebSite> site_;
  std::shared_ptr<AuthStore> store_;
  std::vector<ChangeRecord> changes_;
};

TEST_F(AuthStoreTest, TheWholeRoadFromTheSignInPageToALoadedUser) {
  auto store = makeStore();
  EXPECT_EQ(store->apiClient(), nullptr) << "no token stored yet";
  auto delegate = std::make_shared<LoginURLDelegate>();
  auto urlHandler = URLHandler::make(delegate);

  // The browser: the sign-in page links back into the application.
  auto session = vx::URLSession::make();
  std::string page;
  std::atomic<bool> fetched{false};
  session
      ->dataTask(service_.url("/for-mac/authorize/"),
                 [&](auto data, auto, auto) {
                   page.assign(data.begin(), data.end());
                   fetched = true;
                 })
      ->resume();
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return fetched.load(); }));
  const auto start = page.find("href=\"vexelworks://login/");
  ASSERT_NE(start, std::string::npos) << page;
  const auto end = page.find('"', start + 6);
  const std::string link = page.substr(start + 6, end - start - 6);

  // The desktop starts the application with the link; it becomes a get-URL event.
  vx::GetURLEventManager::shared().postGetURLEvent(link);
  ASSERT_TRUE(waitForChanges(1));
  EXPECT_EQ(delegate->urls, std::vector<std::string>{link});

  const auto* loggedIn = changeAt<AuthStoreChanges::LoggedIn>(0);
  ASSERT_NE(loggedIn, nullptr) << "change " << changes_[0].change.index();
  EXPECT_TRUE(changes_[0].onMainThread);
  EXPECT_EQ(loggedIn->user.username, "demo");
  EXPECT_EQ(loggedIn->user.id, 4242);
  EXPECT_EQ(loggedIn->user.email, "demo@vexelworks.invalid");

  // The pair is in the keychain, the store's client uses it, and every handler heard of it on
  // the main thread before the user was loaded.
  const auto stored = TokenStore().getToken();
  ASSERT_TRUE(stored.has_value());
  ASSERT_NE(store->apiClient(), nullptr);
  EXPECT_EQ(store->apiClient()->accessToken(), *stored);
  const auto changed = test::ActionRecorder::shared().actionsOf<Actions::ChangeAccessToken>();
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(changed[0].token, *stored);
  for (const auto& arrival : test::ActionRecorder::shared().arrivals()) EXPECT_TRUE(arrival.onMainThread);

  // The exchange was one form-encoded POST with the one-time token, the client id and the build.
  const auto exchanges = service_.requests("/for-mac/oauth/");
  ASSERT_EQ(exchanges.size(), 1u);
  EXPECT_EQ(exchanges[0].method, "POST");
  auto fields = vx::URL::parseFormURLEncoded(exchanges[0].body);
  ASSERT_TRUE(fields.has_value());
  ASSERT_EQ(fields->size(), 3u);
  EXPECT_EQ((*fields)[0].name, "token");
  EXPECT_EQ(link.substr(std::string("vexelworks://login/").size()), (*fields)[0].value);
  EXPECT_EQ((*fields)[1].name, "client_id");
  EXPECT_EQ((*fields)[1].value, clientId());
  EXPECT_EQ((*fields)[2].name, "build_number");
  EXPECT_EQ((*fields)[2].value, std::to_string(buildNumber()));

  EXPECT_FALSE(settingBool(SettingKeys::firstLogin, true));
  EXPECT_EQ(settingDouble(SettingKeys::timeOffset, 99), 0.0);
  ASSERT_NE(client_->user(), nullptr);
  EXPECT_EQ(client_->user()->userId, "4242");
  EXPECT_EQ(client_->user()->username, "demo");
  EXPECT_EQ(client_->user()->email, "demo@vexelworks.invalid");
  EXPECT_TRUE(logged("DEBUG [DEBUG] AuthStore.logIn()[") && logged("Logged in as: demo"));
  EXPECT_TRUE(logged("Logged in with a new token, offset: 0.0"));
  EXPECT_FALSE(logged(stored->key)) << "the token key stays out of the log";
  EXPECT_FALSE(logged(stored->secret));

  // The one-time token is spent: the same link again fails.
  vx::GetURLEventManager::shared().postGetURLEvent(link);
  ASSERT_TRUE(waitForChanges(2));
  EXPECT_NE(changeAt<AuthStoreChanges::LogInFailed>(1), nullptr);
  EXPECT_EQ(TokenStore().getToken(), stored) << "a failed sign-in leaves the stored token alone";
}

TEST_F(AuthStoreTest, TheOffsetIsTheServerClocksLeadRoundedHalfAwayFromZero) {
  // Frozen time on a whole second, so the lead is exactly what the site adds.
  vx::ScopedVirtualTime time(vx::WallTime(std::chrono::seconds(1'800'000'000)));
  auto store = makeStore();
  struct Case {
    double lead;
    std::int32_t offset;
  } cases[] = {{0.0, 0}, {0.5, 1}, {-0.5, -1}, {-3.2, -3}, {86400.7, 86401}};
  for (const auto& c : cases) {
    test::ActionRecorder::shared().clear();
    TDOAuth::setUtcTimeOffset(12345);
    site_->setClockLead(std::chrono::duration<double>(c.lead));
    const auto before = changes_.size();
    store->dispatch(Actions::LogIn{site_->issueSignInToken()});
    ASSERT_TRUE(waitForChanges(before + 1)) << c.lead;
    ASSERT_NE(changeAt<AuthStoreChanges::LoggedIn>(before), nullptr) << c.lead;
    // The signer had the offset when the new token was announced (a later reply's "Date"
    // header may correct it again).
    const auto arrivals = test::ActionRecorder::shared().arrivals();
    ASSERT_EQ(arrivals.size(), 1u) << c.lead;
    EXPECT_EQ(arrivals[0].utcTimeOffset, c.offset) << c.lead;
    EXPECT_EQ(settingDouble(SettingKeys::timeOffset, 99), static_cast<double>(c.offset)) << c.lead;
    EXPECT_TRUE(logged("offset: " + std::to_string(c.offset) + ".0")) << c.lead;
  }
}

TEST_F(AuthStoreTest, AnUnusableExchangeReplyIsAFailedSignInThatStoresNothing) {
  auto store = makeStore();
  struct Case {
    const char* what;
    std::optional<nlohmann::json> reply;
    std::optional<Fault> fault;
    bool transportError;
  } cases[] = {
      {"no access token", nlohmann::json{{"timestamp", 1.0}}, std::nullopt, false},
      {"no secret", nlohmann::json{{"access_token", {{"token", "k"}}}, {"timestamp", 1.0}}, std::nullopt, false},
      {"no token", nlohmann::json{{"access_token", {{"secret", "s"}}}, {"timestamp", 1.0}}, std::nullopt, false},
      {"empty token", nlohmann::json{{"access_token", {{"token", ""}, {"secret", "s"}}}, {"timestamp", 1.0}},
       std::nullopt, false},
      {"token not text", nlohmann::json{{"access_token", {{"token", 7}, {"secret", "s"}}}, {"timestamp", 1.0}},
       std::nullopt, false},
      {"colon in secret", nlohmann::json{{"access_token", {{"token", "k"}, {"secret", "a:b"}}}, {"timestamp", 1.0}},
       std::nullopt, false},
      {"no timestamp", nlohmann::json{{"access_token", {{"token", "k"}, {"secret", "s"}}}}, std::nullopt, false},
      {"timestamp as text", nlohmann::json{{"access_token", {{"token", "k"}, {"secret", "s"}}}, {"timestamp", "1"}},
       std::nullopt, false},
      {"offset beyond 32 bits",
       nlohmann::json{{"access_token", {{"token", "k"}, {"secret", "s"}}}, {"timestamp", 1e13}}, std::nullopt, false},
      {"offset far below 32 bits",
       nlohmann::json{{"access_token", {{"token", "k"}, {"secret", "s"}}}, {"timestamp", -1e13}}, std::nullopt, false},
      {"not an object", nlohmann::json::array({1, 2}), std::nullopt, false},
      {"malformed JSON", std::nullopt, Fault::malformedBody(), false},
      {"server error", std::nullopt, Fault::withStatus(500), false},
      {"connection dropped", std::nullopt, Fault::dropConnection(), true},
  };
  for (const auto& c : cases) {
    site_->setExchangeReplyOverride(c.reply);
    service_.clearFaults();
    if (c.fault) service_.setFault("/for-mac/oauth/", *c.fault);
    const auto before = changes_.size();
    store->dispatch(Actions::LogIn{site_->issueSignInToken()});
    ASSERT_TRUE(waitForChanges(before + 1)) << c.what;
    const auto* failed = changeAt<AuthStoreChanges::LogInFailed>(before);
    ASSERT_NE(failed, nullptr) << c.what;
    EXPECT_EQ(failed->error.has_value(), c.transportError) << c.what;
  }
  site_->setExchangeReplyOverride(std::nullopt);
  service_.clearFaults();
  vx::RunLoop::runFor(20ms);
  EXPECT_EQ(changes_.size(), std::size(cases)) << "one change per sign-in";
  EXPECT_EQ(TokenStore().getToken(), std::nullopt);
  EXPECT_EQ(store->apiClient(), nullptr);
  EXPECT_TRUE(test::ActionRecorder::shared().actionsOf<Actions::ChangeAccessToken>().empty());
  EXPECT_TRUE(settingBool(SettingKeys::firstLogin, true));
  EXPECT_TRUE(logged("DEBUG [DEBUG] AuthStore.logInWithAppToken(_:)[") && logged("Error loading access token: nil"));
  EXPECT_TRUE(logged("Error loading access token: Error Domain=NSURLErrorDomain Code=-1005"));
  EXPECT_TRUE(service_.requests("/user").empty());
}

TEST_F(AuthStoreTest, AFailedUserLoadIsAFailedSignInButTheTokenStays) {
  auto store = makeStore();
  service_.setFault("/user", Fault::withStatus(500));
  store->dispatch(Actions::LogIn{site_->issueSignInToken()});
  ASSERT_TRUE(waitForChanges(1));
  ASSERT_NE(changeAt<AuthStoreChanges::LogInFailed>(0), nullptr);
  EXPECT_EQ(service_.requests("/user").size(), 1u);
  const auto stored = TokenStore().getToken();
  ASSERT_TRUE(stored.has_value());
  ASSERT_NE(store->apiClient(), nullptr);
  EXPECT_EQ(store->apiClient()->accessToken(), *stored);
  EXPECT_EQ(test::ActionRecorder::shared().actionsOf<Actions::ChangeAccessToken>().size(), 1u);
  EXPECT_TRUE(logged("Error loading user: "));
  EXPECT_EQ(client_->user(), nullptr);

  // Once the service answers again, a refresh brings the user.
  service_.clearFaults();
  store->dispatch(Actions::RefreshUser{});
  ASSERT_TRUE(waitForChanges(2));
  const auto* refreshed = changeAt<AuthStoreChanges::RefreshedUser>(1);
  ASSERT_NE(refreshed, nullptr);
  EXPECT_EQ(refreshed->user.username, "demo");
  EXPECT_TRUE(logged("DEBUG [DEBUG] AuthStore.refreshUser()[") && logged("Refreshed user: demo"));
}

TEST_F(AuthStoreTest, AStoredTokenMakesTheClientAtCreationAndRefreshLoadsTheUser) {
  storeDemoToken();
  setSettingDouble(SettingKeys::timeOffset, -7);
  auto store = makeStore();
  ASSERT_NE(store->apiClient(), nullptr);
  EXPECT_EQ(store->apiClient()->accessToken().key, vx::devservice::kDemoTokenKey);
  EXPECT_EQ(TDOAuth::utcTimeOffset(), -7) << "the last sign-in's offset is given back";
  EXPECT_TRUE(service_.requestLog().empty()) << "creation sends nothing";
  store->dispatch(Actions::RefreshUser{});
  ASSERT_TRUE(waitForChanges(1));
  ASSERT_NE(changeAt<AuthStoreChanges::RefreshedUser>(0), nullptr);
  EXPECT_EQ(client_->user()->userId, "4242");
}

TEST_F(AuthStoreTest, RefreshWithoutATokenDoesNothing) {
  auto store = makeStore();
  store->dispatch(Actions::RefreshUser{});
  store->dispatch(Actions::ChangeAccessToken{{"k", "s"}});
  store->dispatch(Actions::LoadCompletions{"cup"});
  vx::RunLoop::runFor(50ms);
  EXPECT_TRUE(changes_.empty());
  EXPECT_TRUE(service_.requestLog().empty());
  EXPECT_EQ(store->apiClient(), nullptr);
}

TEST_F(AuthStoreTest, LogOutDeletesTheTokenClearsTheReportedUserAndAlwaysNotifies) {
  auto store = makeStore();
  store->dispatch(Actions::LogOut{});
  ASSERT_TRUE(waitForChanges(1));
  EXPECT_NE(changeAt<AuthStoreChanges::LoggedOut>(0), nullptr) << "also with nothing to delete";

  store->dispatch(Actions::LogIn{site_->issueSignInToken()});
  ASSERT_TRUE(waitForChanges(2));
  ASSERT_NE(changeAt<AuthStoreChanges::LoggedIn>(1), nullptr);
  ASSERT_NE(client_->user(), nullptr);
  const auto client = store->apiClient();
  store->dispatch(Actions::LogOut{});
  ASSERT_TRUE(waitForChanges(3));
  EXPECT_NE(changeAt<AuthStoreChanges::LoggedOut>(2), nullptr);
  EXPECT_EQ(TokenStore().getToken(), std::nullopt);
  EXPECT_EQ(client_->user(), nullptr);
  EXPECT_EQ(store->apiClient(), client) << "sign-out leaves the client in place";
  EXPECT_TRUE(eventMessages().empty());
}

TEST_F(AuthStoreTest, SubscribersHearEachChangeInOrderOnALaterTurnOfTheMainQueue) {
  auto store = AuthStore::make({base_, base_});
  store->notify(AuthStoreChanges::LoggedOut{});  // nobody listens: dropped
  std::vector<std::string> heard;
  store->addHandler([&](const AuthStoreChange& c) { heard.push_back("first " + std::to_string(c.index())); });
  store->addHandler([&](const AuthStoreChange& c) {
    EXPECT_TRUE(vx::DispatchQueue::isMainThread());
    heard.push_back("second " + std::to_string(c.index()));
  });
  EXPECT_EQ(store->handlerCount(), 2u);
  store->notify(AuthStoreChanges::LogInFailed{});
  store->notify(AuthStoreChanges::LoggedOut{});
  EXPECT_TRUE(heard.empty()) << "delivery is never synchronous";
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return heard.size() == 4; }));
  vx::RunLoop::runFor(10ms);
  EXPECT_EQ(heard, (std::vector<std::string>{"first 2", "second 2", "first 3", "second 3"}));
}

TEST_F(AuthStoreTest, TheMinimumBuildArrivesOnTheMainQueueAndFailuresNeverCallBack) {
  auto store = AuthStore::make({base_, base_});
  auto web = store->webClient();
  std::vector<std::int64_t> builds;
  auto fetch = [&] {
    web->fetchMinimumBuild([&](std::int64_t build, std::optional<vx::Error> error) {
      EXPECT_TRUE(vx::DispatchQueue::isMainThread());
      EXPECT_FALSE(error.has_value());
      builds.push_back(build);
    });
  };
  site_->setVersionReply({{"minimum_build", 120}});
  fetch();
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return builds.size() == 1; }));
  EXPECT_EQ(builds[0], 120);
  const auto request = service_.requests("/for-mac/version/").at(0);
  EXPECT_EQ(request.method, "GET");

  struct Case {
    const char* what;
    nlohmann::json reply;
    std::optional<Fault> fault;
  } failures[] = {
      {"text", {{"minimum_build", "121"}}, std::nullopt},
      {"fraction", {{"minimum_build", 121.5}}, std::nullopt},
      {"missing", nlohmann::json::object(), std::nullopt},
      {"beyond 64 bits", {{"minimum_build", 18446744073709551615ull}}, std::nullopt},
      {"server error", {{"minimum_build", 121}}, Fault::withStatus(500)},
      {"malformed", {{"minimum_build", 121}}, Fault::malformedBody()},
      {"dropped", {{"minimum_build", 121}}, Fault::dropConnection()},
  };
  for (const auto& c : failures) {
    site_->setVersionReply(c.reply);
    service_.clearFaults();
    service_.clearRequestLog();
    if (c.fault) service_.setFault("/for-mac/version/", *c.fault);
    fetch();
    // Once the failed request is done, a good one follows on the same session: its answer
    // comes after anything the failed one could have sent, and it must be the only one.
    ASSERT_TRUE(vx::RunLoop::runUntil([&] {
      return !service_.requests("/for-mac/version/").empty() && web->session()->tasksInFlight() == 0;
    })) << c.what;
    service_.clearFaults();
    site_->setVersionReply({{"minimum_build", 7}});
    fetch();
    ASSERT_TRUE(vx::RunLoop::runUntil([&] { return builds.size() == 2; })) << c.what;
    vx::RunLoop::runFor(5ms);
    EXPECT_EQ(builds, (std::vector<std::int64_t>{120, 7})) << c.what;
    builds.pop_back();
  }
}

}  // namespace
}  // namespace Vexelworks
