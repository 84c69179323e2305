#include "app/service/IconList/IconList.h"

#include "app/service/Auth/TokenStore.h"
#include "service/auth/SignInTestSupport.h"

#include <gtest/gtest.h>

namespace Vexelworks {
namespace {

using namespace std::chrono_literals;
using vx::devservice::Fault;

class RecordingListDelegate : public IconListDelegate {
 public:
  void iconListDidLoadPage(IconList& list, std::int64_t page) override {
    pages.push_back(page);
    onMain = onMain && vx::DispatchQueue::isMainThread();
    loadingWhenCalled.push_back(list.loading());
  }
  std::vector<std::int64_t> pages;
  std::vector<bool> loadingWhenCalled;
  bool onMain = true;
};

class IconListTest : public test::SignInFixture {
 protected:
  void SetUp() override {
    SignInFixture::SetUp();
    imageStore_ = ImageStore::make();
    delegate_ = std::make_shared<RecordingListDelegate>();
    api_ = APIClient::make(
        base_, AccessToken{std::string(vx::devservice::kDemoTokenKey), std::string(vx::devservice::kDemoTokenSecret)});
  }

  std::shared_ptr<IconList> makeList(SearchType type, std::shared_ptr<APIClient> api = nullptr) {
    auto list = IconList::make(std::move(type), imageStore_, api ? api : api_);
    list->setDelegate(delegate_);
    return list;
  }

  // Asks for the next page and serves the main queue until the delegate heard of it.
  void loadNext(IconList& list) {
    const auto before = delegate_->pages.size();
    list.loadPage(list.nextPage());
    ASSERT_TRUE(vx::RunLoop::runUntil([&] { return delegate_->pages.size() > before; }, 15s));
  }

  std::shared_ptr<ImageStore> imageStore_;
  std::shared_ptr<RecordingListDelegate> delegate_;
  std::shared_ptr<APIClient> api_;
};

TEST_F(IconListTest, TwoLoadPageCallsInARowSendOneRequest) {
  auto list = makeList(SearchTypes::StarterPack{});
  EXPECT_EQ(list->nextPage(), 1);
  EXPECT_TRUE(list->hasMore());
  EXPECT_FALSE(list->loading());
  list->loadPage(1);
  EXPECT_TRUE(list->loading());
  list->loadPage(1);
  list->loadPage(2);
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return !delegate_->pages.empty(); }));
  vx::RunLoop::runFor(50ms);
  EXPECT_EQ(service_.requests("/macos/icons").size(), 1u);
  EXPECT_EQ(delegate_->pages, std::vector<std::int64_t>{1});
  EXPECT_TRUE(delegate_->onMain);
  EXPECT_EQ(delegate_->loadingWhenCalled, std::vector<bool>{false});
  EXPECT_EQ(list->nextPage(), 2);
  EXPECT_EQ(list->icons().size(), 24u);
}

TEST_F(IconListTest, PagingStopsAtTheTotalAndEveryNewIconIsDownloadedOnce) {
  auto list = makeList(SearchTypes::StarterPack{});
  int guard = 0;
  while (list->hasMore() && guard++ < 10) loadNext(*list);
  EXPECT_EQ(delegate_->pages, (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_EQ(list->resultCount(), 72);
  EXPECT_EQ(list->icons().size(), 72u);
  EXPECT_EQ(list->allIcons().front()->id, list->icons().front()->id);
  EXPECT_FALSE(list->hasMore());
  EXPECT_EQ(list->nextPage(), 4);
  EXPECT_EQ(service_.requests("/macos/icons").size(), 3u);
  // Every icon's artwork lands in the image store.
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return imageStore_->svgCache().count() == 72; }, 30s))
      << imageStore_->svgCache().count();
  EXPECT_EQ(service_.requests("/static/.*").size(), 72u);
}

TEST_F(IconListTest, ASearchWhoseTotalIsReachedOnItsFirstPageStopsThere) {
  auto list = makeList(SearchTypes::Search{"arrow"});
  testing::internal::CaptureStdout();
  loadNext(*list);
  const auto output = testing::internal::GetCapturedStdout();
  EXPECT_NE(output.find("search: arrow\n"), std::string::npos) << output;
  EXPECT_FALSE(list->hasMore());
  EXPECT_EQ(static_cast<std::int64_t>(list->icons().size()), list->resultCount());
  EXPECT_GE(list->resultCount(), 4);

  auto empty = makeList(SearchTypes::Search{"zzz-nothing-matches"});
  loadNext(*empty);
  EXPECT_TRUE(empty->icons().empty());
  EXPECT_EQ(empty->resultCount(), 0);
  EXPECT_FALSE(empty->hasMore());
  EXPECT_EQ(delegate_->pages, (std::vector<std::int64_t>{1, 1}));
}

TEST_F(IconListTest, EachSearchTypeAsksForItsOwnIconSet) {
  struct Case {
    SearchType type;
    std::string path;
    std::string line;
  } cases[] = {
      {SearchTypes::Search{"cup"}, "/macos/search/icons", "search: cup"},
      {SearchTypes::Creator{101}, "/macos/creator/101/icons", "creator: 101"},
      {SearchTypes::Collection{2001}, "/macos/collection/2001/icons", "collection: 2001"},
      {SearchTypes::StarterPack{}, "/macos/icons", "starter pack"},
      {SearchTypes::LatestIcons{}, "/icons/recent_uploads", "latest icons"},
  };
  for (const auto& c : cases) {
    service_.clearRequestLog();
    auto list = makeList(c.type);
    testing::internal::CaptureStdout();
    loadNext(*list);
    const auto output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find(c.line + "\n"), std::string::npos) << output;
    const auto requests = service_.requests(c.path);
    ASSERT_EQ(requests.size(), 1u) << c.path;
    EXPECT_EQ(requests[0].queryValue("page"), "1");
    EXPECT_FALSE(list->icons().empty()) << c.path;
  }
}

TEST_F(IconListTest, TheLatestUploadsDoNotStopOnTheCountButAskOnceForTheEmptyPageThenStop) {
  auto list = makeList(SearchTypes::LatestIcons{});
  for (int page = 1; page <= 3; ++page) {
    loadNext(*list);
    EXPECT_TRUE(list->hasMore()) << "after page " << page;
    EXPECT_EQ(list->resultCount(), 0) << "the reply has no total";
  }
  EXPECT_EQ(list->icons().size(), 72u);
  // What a grid shorter than its window does: ask for the next page while there may be one.
  int guard = 0;
  while (list->hasMore() && guard++ < 10) loadNext(*list);
  EXPECT_FALSE(list->hasMore());
  EXPECT_EQ(list->icons().size(), 72u);
  EXPECT_EQ(list->nextPage(), 5);
  EXPECT_EQ(delegate_->pages, (std::vector<std::int64_t>{1, 2, 3, 4}));
  const auto requests = service_.requests("/icons/recent_uploads");
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests.back().queryValue("page"), "4");
}

TEST_F(IconListTest, AFailedPageEndsTheLatestUploads) {
  auto list = makeList(SearchTypes::LatestIcons{});
  loadNext(*list);
  ASSERT_TRUE(list->hasMore());
  service_.setFault("/icons/recent_uploads", Fault::withStatus(500));
  loadNext(*list);
  EXPECT_FALSE(list->hasMore());
  EXPECT_EQ(list->nextPage(), 2);
  EXPECT_EQ(list->icons().size(), 24u);
  EXPECT_EQ(delegate_->pages, (std::vector<std::int64_t>{1, 2}));
}

TEST_F(IconListTest, APageWithoutIconsEndsThePagingForEverySearchType) {
  // Page 50 is past the end of every set; the sets with a total still report it.
  struct Case {
    SearchType type;
    std::string path;
    std::int64_t total;
  } cases[] = {
      {SearchTypes::Search{"cup"}, "/macos/search/icons", -1},
      {SearchTypes::Creator{101}, "/macos/creator/101/icons", -1},
      {SearchTypes::Collection{2001}, "/macos/collection/2001/icons", -1},
      {SearchTypes::StarterPack{}, "/macos/icons", 72},
      {SearchTypes::LatestIcons{}, "/icons/recent_uploads", 0},
  };
  for (const auto& c : cases) {
    service_.clearRequestLog();
    delegate_->pages.clear();
    auto list = makeList(c.type);
    list->loadPage(50);
    ASSERT_TRUE(vx::RunLoop::runUntil([&] { return !delegate_->pages.empty(); }, 15s)) << c.path;
    EXPECT_TRUE(list->icons().empty()) << c.path;
    EXPECT_FALSE(list->hasMore()) << c.path;
    EXPECT_FALSE(list->loading()) << c.path;
    EXPECT_EQ(list->nextPage(), 51) << c.path;
    if (c.total >= 0) {
      EXPECT_EQ(list->resultCount(), c.total) << c.path;
    } else {
      EXPECT_GT(list->resultCount(), 0) << c.path << ": the total is still that of the set";
    }
    EXPECT_EQ(delegate_->pages, std::vector<std::int64_t>{50}) << c.path;
    EXPECT_EQ(service_.requests(c.path).size(), 1u) << c.path;
  }
}

TEST_F(IconListTest, AFailedPageEndsThePagingKeepsTheIconsAndStillTellsTheDelegate) {
  auto list = makeList(SearchTypes::StarterPack{});
  loadNext(*list);
  ASSERT_EQ(list->icons().size(), 24u);
  service_.setFault("/macos/icons", Fault::withStatus(503));
  loadNext(*list);
  EXPECT_EQ(delegate_->pages, (std::vector<std::int64_t>{1, 2}));
  EXPECT_FALSE(list->hasMore());
  EXPECT_FALSE(list->loading());
  EXPECT_EQ(list->icons().size(), 24u);
  EXPECT_EQ(list->nextPage(), 2);
  EXPECT_EQ(list->resultCount(), 72);
}

TEST_F(IconListTest, AnAPIThatCannotBeReachedFailsTheListWithoutLeavingItLoading) {
  // A port nothing listens on: the request fails at once.
  auto unreachable = APIClient::make(*vx::URL::parse("http://127.0.0.1:1"), api_->accessToken());
  auto list = makeList(SearchTypes::StarterPack{}, unreachable);
  loadNext(*list);
  EXPECT_FALSE(list->loading());
  EXPECT_FALSE(list->hasMore());
  EXPECT_EQ(delegate_->pages, std::vector<std::int64_t>{1});
}

TEST_F(IconListTest, AListThatIsGoneIgnoresItsLateReply) {
  service_.setFault("/macos/icons", Fault::withDelay(200ms));
  auto list = makeList(SearchTypes::StarterPack{});
  list->loadPage(1);
  ASSERT_TRUE(service_.waitForRequests(1));
  list.reset();
  vx::RunLoop::runFor(400ms);
  EXPECT_TRUE(delegate_->pages.empty());
}

TEST_F(IconListTest, WithoutAStoredTokenNoListIsMadeAndTheUserIsSignedOut) {
  auto list = IconList::make(SearchTypes::StarterPack{}, imageStore_);
  EXPECT_EQ(list, nullptr);
  EXPECT_TRUE(logged("ERROR [ERROR] IconList.IconList[") && logged("Access token was not available"));
  EXPECT_EQ(eventMessages(), std::vector<std::string>{"Access token was not available"});
  EXPECT_EQ(test::ActionRecorder::shared().actionsOf<Actions::LogOut>().size(), 1u);

  TokenStore().saveToken(api_->accessToken());
  auto signedIn = IconList::make(SearchTypes::Search{"cup"}, imageStore_);
  ASSERT_NE(signedIn, nullptr);
  EXPECT_EQ(signedIn->api()->accessToken(), api_->accessToken());
  EXPECT_EQ(signedIn->api()->url(), base_) << "the API base URL";
  signedIn->setDelegate(delegate_);
  loadNext(*signedIn);
  EXPECT_FALSE(signedIn->icons().empty());
}

TEST_F(IconListTest, PasteboardItemsCarryTheListsExportOptions) {
  auto list = makeList(SearchTypes::StarterPack{});
  EXPECT_EQ(list->zoomLevel(), ZoomLevel::defaultLevel());
  loadNext(*list);
  EXPECT_FALSE(list->pasteboardItem(nullptr, std::nullopt).has_value());
  list->setExportOptions(std::make_shared<const ExportOptions>(Color::fromHex("FF0000"), PasteboardType::png, 600));
  const auto icon = list->icons().front();
  auto item = list->pasteboardItem(icon, std::nullopt);
  ASSERT_TRUE(item.has_value());
  EXPECT_EQ(item->icon(), icon);
  EXPECT_EQ(item->type(), PasteboardType::png);
  EXPECT_EQ(item->size(), 600);
  EXPECT_EQ(item->color().hexString(), "FF0000");
  EXPECT_EQ(item->imageStore(), imageStore_);
  EXPECT_EQ(list->pasteboardItem(icon, PasteboardType::svg)->type(), PasteboardType::svg);
}

}  // namespace
}  // namespace Vexelworks
