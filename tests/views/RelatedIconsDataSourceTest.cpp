// The related-icons section, switched on as only a test does: the list from the local service
// with its loading cell, header and columns, a click that shows a related icon, replies that
// are empty or malformed, the main-thread-only change of the list, and replies that arrive for
// an icon no longer shown.
#include "IconDetailTestSupport.h"

#include "app/service/Helpers.h"
#include "app/views/IconCollectionViewCell.h"
#include "app/views/IconDetailCell.h"
#include "app/views/LoadingCell.h"
#include "app/views/RelatedIconsHeader.h"
#include "platform/foundation/DispatchQueue.h"
#include "support/URLSessionTesting.h"

#include <QLabel>
#include <QMouseEvent>

#include <condition_variable>
#include <future>

namespace Vexelworks {
namespace {

using vx::devservice::Fault;
using vx::devservice::Request;
using vx::devservice::Response;

constexpr const char* kCoffeeCup = "30001";  // collection 2008, several related icons
constexpr const char* kAnchor = "30015";     // no collection

// Holds the service's answer to one route until the test lets it go.
class Gate {
 public:
  void wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return open_; });
  }
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

class RecordingDelegate : public RelatedIconsDataSourceDelegate {
 public:
  void relatedIconsDidLoad() override {
    ++listCalls;
    allOnMain = allOnMain && vx::DispatchQueue::isMainThread();
  }
  void relatedIconImageDidLoad(const IndexPath& path) override {
    images.push_back(path);
    allOnMain = allOnMain && vx::DispatchQueue::isMainThread();
  }
  int listCalls = 0;
  std::vector<IndexPath> images;
  bool allOnMain = true;
};

class RelatedIconsTest : public test::IconDetailFixture {
 protected:
  void TearDown() override {
    for (auto& gate : gates_) gate->open();
    IconDetailFixture::TearDown();
  }

  static std::string relatedPath(const std::string& id) { return "/icon/" + id + "/more-like-this"; }

  // The service's real reply for the icon, fetched once with a signed request.
  std::string realReply(const std::string& id) {
    auto api = APIClient::make(base_, token_);
    RelatedIconsOperation operation(api, std::stoll(id));
    auto session = vx::URLSession::make();
    const auto result = vx::testing::fetch(*session, operation.makeRequest());
    EXPECT_EQ(result.status(), 200) << result.text();
    return result.text();
  }

  // Serves `body` for the icon's related icons once the returned gate opens. Starts a fresh
  // request log, so the requests the test then sees are the ones under test.
  std::shared_ptr<Gate> gateRelated(const std::string& id, std::string body) {
    service_.clearRequestLog();
    auto gate = std::make_shared<Gate>();
    gates_.push_back(gate);
    service_.addRoute("GET", relatedPath(id), [gate, body](const Request&, Response& response) {
      gate->wait();
      response.setJSON(body);
    });
    return gate;
  }

  void serveRelated(const std::string& id, std::string body, int status = 200) {
    service_.addRoute("GET", relatedPath(id), [body, status](const Request&, Response& response) {
      response.status = status;
      response.body = body;
      response.contentType = "application/json";
    });
  }

  // Waits until the service has received the icon's related-icons request (it is logged on
  // arrival, before any gate holds its answer).
  void waitForRelatedRequest(const std::string& id) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return !service_.requests(relatedPath(id)).empty(); }, kTimeoutMs));
  }

  // Runs every block the main queue holds now, and those they add in turn.
  static void drainMainQueue() {
    for (int round = 0; round < 3; ++round) {
      bool ran = false;
      vx::DispatchQueue::main()->async([&ran] { ran = true; });
      ASSERT_TRUE(QTest::qWaitFor([&] { return ran; }, kTimeoutMs));
    }
  }

  // Waits until the data source's request has finished (its reply handed to the main queue).
  static void waitForRequest(RelatedIconsDataSource& source) { source.queue().waitUntilAllOperationsAreFinished(); }

  // The section as shown: its item count, and the cell and header the grid holds.
  void expectLoadingState(const char* what) {
    SCOPED_TRACE(what);
    RelatedIconsDataSource& source = *controller_->relatedIconsDataSource();
    EXPECT_TRUE(source.icons().empty());
    EXPECT_EQ(grid().numberOfSections(), 3);
    EXPECT_EQ(grid().numberOfItemsInSection(2), 1);
    grid().scrollItem({2, 0}, CollectionViewScrollPosition::scrollToVisible, false);
    EXPECT_NE(dynamic_cast<LoadingCell*>(grid().cellForItem({2, 0})), nullptr);
    EXPECT_DOUBLE_EQ(frameOf({2, 0}).height(), 100);
    auto header = grid().collectionViewLayout()->layoutAttributesForSupplementaryView(
        CollectionViewLayoutElementKind::SectionHeader, {2, 0});
    EXPECT_TRUE(!header || header->frame.height() == 0) << "no header while empty";
    EXPECT_FALSE(anyDialogShown());
  }

  std::vector<std::shared_ptr<Gate>> gates_;
};

TEST_F(RelatedIconsTest, TheSwitchIsOffByDefault) {
  IconDetailViewController detail(imageStore_);
  EXPECT_FALSE(detail.relatedIconsEnabled());
  auto& shown = openDetail(iconWithID(kCoffeeCup));
  EXPECT_EQ(grid().numberOfSections(), 2);
  EXPECT_EQ(shown.relatedIconsDataSource()->api(), nullptr);
  EXPECT_EQ(shown.relatedIconsDataSource()->delegate(), &shown);
}

TEST_F(RelatedIconsTest, ListsTheRelatedIconsWithHeaderColumnsAndLoadingCellAndAClickShowsOne) {
  const IconPtr icon = iconWithID(kCoffeeCup);
  fetchArtwork(icon);
  const std::string reply = realReply(kCoffeeCup);
  const auto related = decodeJSON(reply);
  ASSERT_TRUE(related.has_value());
  const std::size_t relatedCount = (*related)["icons"].size();
  ASSERT_GE(relatedCount, 3u);
  ASSERT_LE(relatedCount, 7u);
  const std::string collectionName = (*related)["collection"]["name"].get<std::string>();
  auto gate = gateRelated(kCoffeeCup, reply);

  auto& detail = openDetail(icon, QSize(650, 900), true);
  waitForRelatedRequest(kCoffeeCup);
  ASSERT_EQ(service_.requests(relatedPath(kCoffeeCup)).size(), 1u);
  expectLoadingState("before the reply");
  screenshot("icon-detail-related-loading");

  gate->open();
  RelatedIconsDataSource& source = *detail.relatedIconsDataSource();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !source.icons().empty(); }, kTimeoutMs));
  ASSERT_EQ(source.icons().size(), relatedCount + 1);
  EXPECT_EQ(source.icons().front(), icon) << "the initial icon comes first";
  for (std::size_t i = 0; i < relatedCount; ++i) {
    EXPECT_EQ(source.icons()[i + 1]->id, (*related)["icons"][i]["id"].get<std::string>());
  }
  ASSERT_NE(source.collection(), nullptr);
  EXPECT_EQ(source.headerText().toStdString(), "More from " + collectionName + " collection");
  // Every entry's artwork is downloaded again, the initial icon's included.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (const auto& entry : source.icons()) {
          if (!imageStore_->pdfCache().object(entry->id)) return false;
        }
        return true;
      },
      kTimeoutMs));
  drainMainQueue();

  const double viewportWidth = grid().viewport()->width();
  auto* layout = dynamic_cast<CollectionViewColumnLayout*>(grid().collectionViewLayout());
  ASSERT_NE(layout, nullptr);
  EXPECT_EQ(layout->columnsInSection(2), std::min(8, static_cast<int>(viewportWidth / 100)));
  EXPECT_EQ(grid().numberOfItemsInSection(2), static_cast<int>(relatedCount + 1));
  const QRectF first = frameOf({2, 0});
  EXPECT_DOUBLE_EQ(first.width(), first.height()) << "square items";
  EXPECT_DOUBLE_EQ(first.left(), 10) << "section inset";
  auto header = layout->layoutAttributesForSupplementaryView(CollectionViewLayoutElementKind::SectionHeader, {2, 0});
  ASSERT_TRUE(header.has_value());
  EXPECT_DOUBLE_EQ(header->frame.height(), 32);
  grid().scrollItem({2, 0}, CollectionViewScrollPosition::scrollToVisible, false);
  auto* headerView = dynamic_cast<RelatedIconsHeader*>(
      grid().supplementaryView(CollectionViewLayoutElementKind::SectionHeader, {2, 0}));
  ASSERT_NE(headerView, nullptr);
  EXPECT_EQ(headerView->headerField->text().toStdString(), "More from " + collectionName + " collection");
  auto* cell = dynamic_cast<IconCollectionViewCell*>(grid().cellForItem({2, 1}));
  ASSERT_NE(cell, nullptr);
  EXPECT_TRUE(cell->image().has_value()) << "the artwork arrived and the item was reloaded";
  screenshot("icon-detail-related");

  // A click on a related icon shows it in the first two sections.
  const IconPtr clicked = source.icons()[1];
  QTest::mouseClick(grid().viewport(), Qt::LeftButton, Qt::NoModifier, cell->geometry().center());
  EXPECT_EQ(source.selectedIcon(), clicked);
  EXPECT_EQ(detail.selectedIcon(), clicked);
  EXPECT_EQ(detail.icon({0, 0}), clicked);
  grid().scrollToTop(false);
  auto* info = dynamic_cast<IconInfoCell*>(grid().cellForItem({1, 0}));
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->nameField->text().toStdString(), clicked->name);
  EXPECT_EQ(info->creatorField->text().toStdString(), "By " + clicked->creator->name);
  auto* large = dynamic_cast<IconDetailCell*>(grid().cellForItem({0, 0}));
  ASSERT_NE(large, nullptr);
  EXPECT_TRUE(large->imageView->image().has_value());
  // The header still names the initial icon's collection.
  EXPECT_EQ(source.headerText().toStdString(), "More from " + collectionName + " collection");
  screenshot("icon-detail-related-selected");

  // Selecting the first item shows the initial icon again.
  grid().scrollItem({2, 0}, CollectionViewScrollPosition::scrollToVisible, false);
  QTest::mouseClick(grid().viewport(), Qt::LeftButton, Qt::NoModifier, grid().cellForItem({2, 0})->geometry().center());
  EXPECT_EQ(detail.selectedIcon(), icon);
}

TEST_F(RelatedIconsTest, ColumnsFollowTheWidthFromOneToEight) {
  auto source = RelatedIconsDataSource::make(iconWithID(kCoffeeCup), imageStore_);
  ASSERT_NE(source, nullptr);
  CollectionView view;
  view.setFrameShape(QFrame::NoFrame);
  view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  CollectionViewColumnLayout layout;
  view.resize(650, 400);
  view.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
  EXPECT_EQ(source->numberOfColumnsInSection(view, layout, 2), 1) << "no icons yet: the loading cell";
  EXPECT_EQ(source->heightForItemAt(view, layout, {2, 0}), 100);
  EXPECT_EQ(source->aspectRatioForItemAt(view, layout, {2, 0}), QSizeF(0, 0));
  EXPECT_EQ(source->heightForHeaderInSection(view, layout, 2), 0);

  source->load();
  waitForRequest(*source);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !source->icons().empty(); }, kTimeoutMs));
  struct Case {
    int width;
    int columns;
  } cases[] = {{650, 6}, {1000, 8}, {799, 7}, {100, 1}, {99, 1}, {60, 1}, {0, 1}};
  view.setMinimumSize(0, 0);
  for (const auto& c : cases) {
    view.resize(c.width, 400);
    QCoreApplication::processEvents();
    ASSERT_EQ(view.viewport()->width(), c.width);
    EXPECT_EQ(source->numberOfColumnsInSection(view, layout, 2), c.columns) << c.width;
  }
  EXPECT_EQ(source->heightForItemAt(view, layout, {2, 0}), 0);
  EXPECT_EQ(source->aspectRatioForItemAt(view, layout, {2, 0}), QSizeF(1, 1));
  EXPECT_EQ(source->heightForHeaderInSection(view, layout, 2), 32);
}

TEST_F(RelatedIconsTest, WithoutACollectionTheHeaderNamesTheCreator) {
  const IconPtr anchor = iconWithID(kAnchor);
  auto source = RelatedIconsDataSource::make(anchor, imageStore_);
  source->load();
  waitForRequest(*source);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !source->icons().empty(); }, kTimeoutMs));
  EXPECT_EQ(source->collection(), nullptr);
  EXPECT_EQ(source->headerText().toStdString(), "More by " + anchor->creator->name);
  // Whatever is selected, the header names the initial icon's creator.
  CollectionView view;
  source->didSelectItemsAt(view, {IndexPath{2, static_cast<int>(source->icons().size()) - 1}});
  EXPECT_NE(source->selectedIcon(), anchor);
  EXPECT_EQ(source->headerText().toStdString(), "More by " + anchor->creator->name);
  source->didSelectItemsAt(view, {IndexPath{2, 99}});
  EXPECT_NE(source->selectedIcon(), nullptr) << "an item the list does not hold changes nothing";
}

TEST_F(RelatedIconsTest, AnEmptyOrMalformedReplyLeavesTheSectionEmptyWithoutADialog) {
  struct Case {
    const char* name;
    std::optional<Fault> fault;
    std::string body;
    int status;
  } cases[] = {
      {"empty body", std::nullopt, "", 200},
      {"not JSON", Fault::malformedBody(), "", 200},
      {"cut short", Fault::truncatedBody(), "", 200},
      {"server error", Fault::withStatus(500), "", 200},
      {"non-UTF-8 bytes", std::nullopt, std::string("{\"icons\": [\"\xff\xfe\x80\"]}"), 200},
      {"icons not a list", std::nullopt, "{\"icons\": \"none\"}", 200},
      {"no icons member", std::nullopt, "{\"collection\": {\"id\": \"1\", \"name\": \"x\"}}", 200},
      {"a bare array", std::nullopt, "[]", 200},
      {"huge number", std::nullopt, "{\"icons\": 1e999999}", 200},
      {"not found", std::nullopt, "{\"error\":\"no such icon\"}", 404},
  };
  const IconPtr icon = iconWithID(kCoffeeCup);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    service_.clearFaults();
    if (c.fault) {
      service_.setFault(relatedPath(kCoffeeCup), *c.fault);
    } else {
      serveRelated(kCoffeeCup, c.body, c.status);
    }
    ::testing::internal::CaptureStdout();
    openDetail(icon, QSize(800, 900), true);
    waitForRequest(*controller_->relatedIconsDataSource());
    drainMainQueue();
    ::testing::internal::GetCapturedStdout();
    expectLoadingState(c.name);
    EXPECT_EQ(controller_->relatedIconsDataSource()->collection(), nullptr);
    if (std::string(c.name) == "not JSON") screenshot("icon-detail-related-failed");
  }
}

TEST_F(RelatedIconsTest, AReplyWithNoRelatedIconsShowsTheInitialIconAlone) {
  serveRelated(kCoffeeCup, "{\"icons\": []}");
  const IconPtr icon = iconWithID(kCoffeeCup);
  openDetail(icon, QSize(800, 900), true);
  waitForRequest(*controller_->relatedIconsDataSource());
  drainMainQueue();
  const auto& icons = controller_->relatedIconsDataSource()->icons();
  ASSERT_EQ(icons.size(), 1u);
  EXPECT_EQ(icons[0], icon);
  EXPECT_EQ(grid().numberOfItemsInSection(2), 1);
  EXPECT_FALSE(anyDialogShown());
}

TEST_F(RelatedIconsTest, TheListChangesOnTheMainThreadOnly) {
  auto source = RelatedIconsDataSource::make(iconWithID(kCoffeeCup), imageStore_);
  RecordingDelegate delegate;
  source->setDelegate(&delegate);
  source->load();
  // The reply has been handled on the session's thread; the main thread has not run since.
  waitForRequest(*source);
  EXPECT_TRUE(source->icons().empty()) << "changed off the main thread";
  EXPECT_EQ(source->collection(), nullptr);
  EXPECT_EQ(delegate.listCalls, 0);

  ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.listCalls == 1; }, kTimeoutMs));
  EXPECT_FALSE(source->icons().empty());
  EXPECT_NE(source->collection(), nullptr);
  ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.images.size() == source->icons().size(); }, kTimeoutMs));
  EXPECT_TRUE(delegate.allOnMain);
  std::set<IndexPath> paths(delegate.images.begin(), delegate.images.end());
  EXPECT_EQ(paths.size(), source->icons().size());
  EXPECT_EQ(paths.begin()->section, 2);
}

TEST_F(RelatedIconsTest, WithoutATokenNothingIsRequestedAndTheUserIsSignedOut) {
  TokenStore().deleteToken();
  auto source = RelatedIconsDataSource::make(iconWithID(kCoffeeCup), imageStore_);
  RecordingDelegate delegate;
  source->setDelegate(&delegate);
  test::ActionRecorder::shared().clear();
  source->load();
  EXPECT_EQ(source->api(), nullptr);
  EXPECT_EQ(source->queue().operationCount(), 0u);
  EXPECT_TRUE(logged("Access token was not available"));
  EXPECT_EQ(test::ActionRecorder::shared().actionsOf<Actions::LogOut>().size(), 1u);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        const auto messages = eventMessages();
        return std::find(messages.begin(), messages.end(), "Access token was not available") != messages.end();
      },
      kTimeoutMs));
  EXPECT_TRUE(source->icons().empty());
}

TEST_F(RelatedIconsTest, AnIconIdThatIsNotDecimalFormsNoRequest) {
  struct Case {
    const char* id;
    std::optional<std::int64_t> value;
  } cases[] = {{"30001", 30001},     {"0", 0},
               {"", std::nullopt},   {"-5", std::nullopt},
               {"+5", std::nullopt}, {" 5", std::nullopt},
               {"5a", std::nullopt}, {"99999999999999999999", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(decimalIconID(c.id), c.value) << c.id;

  auto odd = std::make_shared<Icon>(*iconWithID(kCoffeeCup));
  odd->id = "abc/../1";
  auto source = RelatedIconsDataSource::make(odd, imageStore_);
  source->load();
  EXPECT_EQ(source->queue().operationCount(), 0u);
  EXPECT_TRUE(logged("not a decimal number"));
  EXPECT_TRUE(source->icons().empty());
}

TEST_F(RelatedIconsTest, AReplyForAnIconNoLongerShownIsDropped) {
  const IconPtr first = iconWithID(kCoffeeCup);
  const IconPtr second = iconWithID(kAnchor);
  auto gate = gateRelated(kCoffeeCup, realReply(kCoffeeCup));

  openDetail(first, QSize(800, 900), true);
  waitForRelatedRequest(kCoffeeCup);
  std::weak_ptr<RelatedIconsDataSource> firstSource = controller_->relatedIconsDataSource();
  const auto operations = controller_->relatedIconsDataSource()->queue().operations();
  ASSERT_EQ(operations.size(), 1u);

  // The search window opens another icon: the first detail and its data source go away.
  openDetail(second, QSize(800, 900), true);
  EXPECT_TRUE(firstSource.expired());
  RelatedIconsDataSource& secondSource = *controller_->relatedIconsDataSource();
  waitForRequest(secondSource);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !secondSource.icons().empty(); }, kTimeoutMs));
  const auto secondIcons = secondSource.icons();
  imageStore_->downloadQueue().waitUntilAllOperationsAreFinished();

  service_.clearRequestLog();
  gate->open();
  ASSERT_TRUE(QTest::qWaitFor([&] { return operations[0]->isFinished(); }, kTimeoutMs));
  drainMainQueue();
  imageStore_->downloadQueue().waitUntilAllOperationsAreFinished();
  // Nothing of the first reply reached the second detail, and none of its artwork was fetched.
  EXPECT_EQ(secondSource.icons(), secondIcons);
  EXPECT_EQ(controller_->selectedIcon(), second);
  EXPECT_TRUE(service_.requests("/static/.*").empty());
}

TEST_F(RelatedIconsTest, ADataSourceReleasedBeforeItsReplyTellsNobody) {
  auto gate = gateRelated(kCoffeeCup, realReply(kCoffeeCup));
  auto source = RelatedIconsDataSource::make(iconWithID(kCoffeeCup), imageStore_);
  RecordingDelegate delegate;
  source->setDelegate(&delegate);
  source->load();
  waitForRelatedRequest(kCoffeeCup);
  const auto operations = source->queue().operations();
  ASSERT_EQ(operations.size(), 1u);
  std::weak_ptr<RelatedIconsDataSource> weak = source;
  source.reset();
  EXPECT_TRUE(weak.expired());

  service_.clearRequestLog();
  gate->open();
  ASSERT_TRUE(QTest::qWaitFor([&] { return operations[0]->isFinished(); }, kTimeoutMs));
  drainMainQueue();
  imageStore_->downloadQueue().waitUntilAllOperationsAreFinished();
  EXPECT_EQ(delegate.listCalls, 0);
  EXPECT_TRUE(delegate.images.empty());
  EXPECT_TRUE(service_.requests("/static/.*").empty());
}

}  // namespace
}  // namespace Vexelworks
