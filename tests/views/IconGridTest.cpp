// The icon grid against the local service: a real IconList paging the starter set, a real
// ImageStore downloading and rendering the artwork, the icon store recording usage at the
// service. Checks the column count, paging near the end, selection, keys, drags and the export
// colour, and saves a picture of each state.
#include "app/qt/ActionRouter.h"
#include "app/qt/Responder.h"
#include "app/service/IconList/IconStore.h"
#include "app/views/IconActionsProvider.h"
#include "app/views/IconCollectionFooterView.h"
#include "app/views/IconCollectionViewCell.h"
#include "app/views/IconCollectionViewController.h"
#include "service/auth/SignInTestSupport.h"
#include "support/Screenshot.h"

#include <QApplication>
#include <QDrag>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <thread>

namespace Vexelworks {
namespace {

using namespace std::chrono_literals;

bool waitFor(const std::function<bool()>& done, int milliseconds = 20000) {
  return QTest::qWaitFor(done, milliseconds);
}

// Stands in for the search window controller: hands every page on to the grid.
class PageForwarder : public IconListDelegate {
 public:
  explicit PageForwarder(IconCollectionViewController& grid) : grid_(grid) {}
  void iconListDidLoadPage(IconList& list, std::int64_t page) override {
    pages.push_back(page);
    grid_.iconListDidLoadPage(list, page);
  }
  std::vector<std::int64_t> pages;

 private:
  IconCollectionViewController& grid_;
};

// Records the actions that reach the window's end of the chain ("showIconDetail:") and the
// keys that the grid passed on.
class WindowResponder : public QWidget, public vx::Responder {
 public:
  WindowResponder() {
    setActionHandler("showIconDetail:", [this](QObject*) { ++detailRequests; });
  }
  int detailRequests = 0;
  std::vector<int> keys;

 protected:
  void keyPressEvent(QKeyEvent* event) override { keys.push_back(event->key()); }
};

// Icon actions that record what the grid asked of them.
struct RecordedActions {
  std::vector<std::string> copies;
  std::vector<std::string> menus;
};

class RecordingActions : public IconActionsInterface {
 public:
  RecordingActions(IconPtr icon, RecordedActions& record) : icon_(std::move(icon)), record_(record) {}
  void copy(QObject*) override { record_.copies.push_back(icon_->id); }
  std::unique_ptr<QMenu> menu() override {
    record_.menus.push_back(icon_->id);
    auto menu = std::make_unique<QMenu>();
    menu->addAction(QString::fromStdString(icon_->title()));
    return menu;
  }

 private:
  IconPtr icon_;
  RecordedActions& record_;
};

class IconGridTest : public test::SignInFixture {
 protected:
  void SetUp() override {
    SignInFixture::SetUp();
    IconCollectionViewController::registerInterface();
    imageStore_ = ImageStore::make();
    api_ = APIClient::make(
        base_, AccessToken{std::string(vx::devservice::kDemoTokenKey), std::string(vx::devservice::kDemoTokenSecret)});
    iconStore_ = IconStore::make(api_);
    test::ActionRecorder::shared().setForward([store = iconStore_](const Action& a) { store->handle(a); });
    setIconActionsFactory([this](IconPtr icon, std::shared_ptr<const ExportOptions>, std::shared_ptr<ImageStore>) {
      return std::make_shared<RecordingActions>(std::move(icon), recorded_);
    });

    window_ = std::make_unique<WindowResponder>();
    grid_ = std::make_unique<IconCollectionViewController>();
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(grid_->view());
    grid_->collectionView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grid_->collectionView->setLiveResizeDebounce(0ms);
    forwarder_ = std::make_shared<PageForwarder>(*grid_);
    grid_->setMenuPresenter([this](QMenu& menu, QWidget& cell, const QPoint& position) {
      ++menusShown_;
      menuSelectionWhenShown_ = grid_->collectionView->sortedIndexPathsForSelectedItems();
      menuTitles_.clear();
      for (QAction* action : menu.actions()) menuTitles_.push_back(action->text().toStdString());
      menuPosition_ = position;
      menuCell_ = &cell;
    });
  }

  void TearDown() override {
    setIconActionsFactory(nullptr);
    // Pages still in flight must not reach a grid that is gone.
    if (list_) list_->setDelegate({});
    list_.reset();
    grid_.reset();
    window_.reset();
    SignInFixture::TearDown();
  }

  // A starter-set list shown in a window of the given size, with the first page loaded.
  void showList(int width, int height, const ZoomLevel& zoom = ZoomLevel::defaultLevel(),
                SearchType type = SearchTypes::StarterPack{}) {
    list_ = IconList::make(std::move(type), imageStore_, api_);
    ASSERT_NE(list_, nullptr);
    list_->setDelegate(forwarder_);
    list_->setExportOptions(grid_->exportOptions());
    list_->setZoomLevel(zoom);
    grid_->setZoomLevel(zoom);
    grid_->setIconList(list_);
    window_->resize(width, height);
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    list_->loadPage(list_->nextPage());
    ASSERT_TRUE(waitFor([&] { return !forwarder_->pages.empty(); }));
  }

  CollectionView& view() { return *grid_->collectionView; }

  // Waits until every shown cell has its artwork.
  bool artworkShown() {
    return waitFor([&] {
      for (const auto& path : view().indexPathsForVisibleItems()) {
        auto* cell = dynamic_cast<IconCollectionViewCell*>(view().cellForItem(path));
        if (cell == nullptr || !cell->image()) return false;
      }
      return !view().indexPathsForVisibleItems().empty();
    });
  }

  QPoint centreOf(const IndexPath& path) {
    auto* cell = view().cellForItem(path);
    EXPECT_NE(cell, nullptr);
    return cell == nullptr ? QPoint() : cell->geometry().center();
  }

  // Presses on `from`, drags past the drag distance and releases, as a pointer would.
  void dragFrom(const QPoint& from) {
    auto send = [&](QEvent::Type type, const QPoint& at, Qt::MouseButton button, Qt::MouseButtons buttons) {
      QMouseEvent event(type, QPointF(at), view().viewport()->mapToGlobal(QPointF(at)), button, buttons,
                        Qt::NoModifier);
      QApplication::sendEvent(view().viewport(), &event);
    };
    send(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, from + QPoint(30, 30), Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, from + QPoint(30, 30), Qt::LeftButton, Qt::NoButton);
  }

  std::size_t pageRequests() { return service_.requests("/macos/icons").size(); }

  std::shared_ptr<ImageStore> imageStore_;
  std::shared_ptr<APIClient> api_;
  std::shared_ptr<IconStore> iconStore_;
  std::shared_ptr<IconList> list_;
  std::unique_ptr<WindowResponder> window_;
  std::unique_ptr<IconCollectionViewController> grid_;
  std::shared_ptr<PageForwarder> forwarder_;
  RecordedActions recorded_;
  int menusShown_ = 0;
  std::vector<IndexPath> menuSelectionWhenShown_;
  std::vector<std::string> menuTitles_;
  QPoint menuPosition_;
  QWidget* menuCell_ = nullptr;
};

TEST_F(IconGridTest, TheColumnCountFollowsTheZoomLevelAndNeverFallsBelowOne) {
  struct Case {
    std::size_t zoom;
    int width;
    int columns;  // what the grid works out
    int laidOut;  // what the layout uses
  } cases[] = {
      {2, 900, 10, 10},  // 100%: 80 + 10 per column
      {4, 900, 5, 5},    // 200%: 150 + 10
      {5, 620, 2, 2},    // 300%: 300 + 10
      {5, 300, 0, 1},    // narrower than one column: one column all the same
      {4, 159, 0, 1},
  };
  showList(900, 600);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " wide at " + std::string(ZoomLevel::all()[c.zoom].title));
    window_->resize(c.width, 600);
    QApplication::processEvents();
    grid_->setZoomLevel(ZoomLevel::all()[c.zoom]);
    EXPECT_EQ(grid_->numberOfColumns(), c.columns) << "viewport " << view().viewport()->width();
    auto* layout = dynamic_cast<CollectionViewColumnLayout*>(view().collectionViewLayout());
    ASSERT_NE(layout, nullptr);
    EXPECT_EQ(layout->columnsInSection(0), c.laidOut);
    EXPECT_GT(layout->itemWidthInSection(0), 0);
  }
}

TEST_F(IconGridTest, TheGridShowsRenderedArtworkAtEachZoomLevel) {
  showList(900, 600);
  EXPECT_EQ(grid_->numberOfColumns(), 10);
  // At 100% each page leaves the view unfilled, so pages 2 and 3 follow at once.
  ASSERT_TRUE(waitFor([&] { return forwarder_->pages.size() == 3; }));
  EXPECT_EQ(view().numberOfItemsInSection(0), 72);
  ASSERT_TRUE(artworkShown());
  EXPECT_EQ(view().backgroundColor(), QColor(242, 242, 242));
  // Cells at 100% are 81 points square, their artwork the 61-point square inside.
  auto* first = dynamic_cast<IconCollectionViewCell*>(view().cellForItem({0, 0}));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->width(), first->height());
  EXPECT_NEAR(first->width(), 81, 1);
  EXPECT_EQ(first->image()->size(), 80);
  EXPECT_FALSE(vx::test::saveScreenshot(window_.get(), "icon-grid-zoom-100").isEmpty());

  list_->setZoomLevel(ZoomLevel::all()[4]);
  grid_->setZoomLevel(ZoomLevel::all()[4]);
  view().reloadData();
  EXPECT_EQ(grid_->numberOfColumns(), 5);
  ASSERT_TRUE(artworkShown());
  auto* large = dynamic_cast<IconCollectionViewCell*>(view().cellForItem({0, 0}));
  ASSERT_NE(large, nullptr);
  EXPECT_EQ(large->image()->size(), 150);
  EXPECT_FALSE(vx::test::saveScreenshot(window_.get(), "icon-grid-zoom-200").isEmpty());

  // A page that does not fill the view asks for the next at once: all 72 are here, and with
  // no more pages the footer is gone.
  EXPECT_EQ(list_->icons().size(), 72u);
  EXPECT_EQ(grid_->footerHeight(0), 0);
}

TEST_F(IconGridTest, ScrollingNearTheEndAsksForTheNextPageOnceWhileItLoads) {
  // One 310-point column at 300%: 24 icons make a tall document.
  showList(310, 500, ZoomLevel::all()[5]);
  ASSERT_EQ(grid_->numberOfColumns(), 1);
  EXPECT_EQ(pageRequests(), 1u);
  const double height = view().clipView().documentRect().height();
  const double visible = view().clipView().documentVisibleRect().height();
  ASSERT_GT(height - visible, 1500);

  // Exactly 1000 points left below: no request.
  view().scrollToY(height - visible - 1000);
  QApplication::processEvents();
  ASSERT_DOUBLE_EQ(height - (visible + view().clipView().documentVisibleRect().y()), 1000);
  EXPECT_EQ(pageRequests(), 1u);
  EXPECT_FALSE(list_->loading());

  // Slow page 2 down so the list is still loading while the user goes on scrolling.
  service_.setFault("/macos/icons", vx::devservice::Fault::withDelay(400ms));
  view().scrollToY(height - visible - 999);
  QApplication::processEvents();
  EXPECT_TRUE(list_->loading());
  for (int y = 1; y <= 10; ++y) {
    view().scrollToY(height - visible - 999 + y * 100);
    grid_->loadMoreIfNeeded();
  }
  // At the end, while the page loads, the footer shows its black dots.
  QApplication::processEvents();
  EXPECT_EQ(grid_->footerHeight(0), 56);
  auto* footer = dynamic_cast<IconCollectionFooterView*>(
      view().supplementaryView(CollectionViewLayoutElementKind::SectionFooter, {0, 0}));
  ASSERT_NE(footer, nullptr);
  ASSERT_NE(footer->progressIndicator, nullptr);
  EXPECT_EQ(footer->progressIndicator->dotColor(), QColor(Qt::black));
  EXPECT_TRUE(footer->progressIndicator->wantsLayer());
  EXPECT_FALSE(vx::test::saveScreenshot(window_.get(), "icon-grid-loading-next-page").isEmpty());
  ASSERT_TRUE(service_.waitForRequests(1));
  ASSERT_TRUE(waitFor([&] { return forwarder_->pages.size() == 2; }));
  EXPECT_EQ(pageRequests(), 2u);
  EXPECT_EQ(view().numberOfItemsInSection(0), 48);
  service_.clearFaults();

  // The last page ends the paging; no request is made once hasMore is false.
  view().scrollToY(view().contentSize().height());
  ASSERT_TRUE(waitFor([&] { return forwarder_->pages.size() == 3; }));
  EXPECT_FALSE(list_->hasMore());
  EXPECT_EQ(grid_->footerHeight(0), 0);
  view().scrollToY(0);
  view().scrollToY(view().contentSize().height());
  grid_->loadMoreIfNeeded();
  QApplication::processEvents();
  EXPECT_EQ(pageRequests(), 3u);
}

TEST_F(IconGridTest, APageThatDoesNotFillTheViewAsksForTheNextAtOnceAndPageOneResetsTheView) {
  showList(900, 2000);
  // 24 icons in 3 rows leave far less than 1000 points below: page 2 follows at once.
  ASSERT_TRUE(waitFor([&] { return forwarder_->pages.size() >= 2; }));
  view().selectItem({0, 5}, false, CollectionViewScrollPosition::noScroll);
  grid_->iconListDidLoadPage(*list_, 1);
  EXPECT_TRUE(view().indexPathsForSelectedItems().empty());
  EXPECT_EQ(view().clipView().documentVisibleRect().y(), 0);
}

TEST_F(IconGridTest, TheFooterCollapsesForAnEmptyListAndOtherSections) {
  showList(900, 600, ZoomLevel::defaultLevel(), SearchTypes::Search{"zzz-nothing-matches"});
  EXPECT_EQ(grid_->footerHeight(0), 0);
  EXPECT_EQ(grid_->footerHeight(1), 0);
  EXPECT_EQ(view().numberOfItemsInSection(0), 0);
  EXPECT_FALSE(grid_->selectedIcon());
}

TEST_F(IconGridTest, ClicksSelectAndReturnSpaceOrADoubleClickOpenTheSelectedIcon) {
  showList(900, 600);
  ASSERT_TRUE(artworkShown());
  // Nothing selected: Return and Space are swallowed, other keys go on.
  view().setFocus();
  QTest::keyClick(&view(), Qt::Key_Return);
  QTest::keyClick(&view(), Qt::Key_Space);
  QTest::keyClick(&view(), Qt::Key_A);
  EXPECT_EQ(window_->detailRequests, 0);
  EXPECT_EQ(window_->keys, std::vector<int>{Qt::Key_A});

  QTest::mouseClick(view().viewport(), Qt::LeftButton, {}, centreOf({0, 3}));
  ASSERT_TRUE(grid_->selectedIcon());
  EXPECT_EQ(grid_->selectedIcon()->id, list_->icons()[3]->id);
  auto* cell = dynamic_cast<IconCollectionViewCell*>(view().cellForItem({0, 3}));
  ASSERT_NE(cell, nullptr);
  EXPECT_TRUE(cell->selected());
  EXPECT_EQ(cell->backgroundColor(), QColor(216, 216, 216));
  EXPECT_FALSE(vx::test::saveScreenshot(window_.get(), "icon-grid-selection").isEmpty());

  QTest::keyClick(&view(), Qt::Key_Return);
  EXPECT_EQ(window_->detailRequests, 1);
  QTest::keyClick(&view(), Qt::Key_Space);
  EXPECT_EQ(window_->detailRequests, 2);
  QTest::mouseDClick(view().viewport(), Qt::LeftButton, {}, centreOf({0, 3}));
  EXPECT_EQ(window_->detailRequests, 3);
  EXPECT_EQ(window_->keys, std::vector<int>{Qt::Key_A});

  // The Copy shortcut and the copy: action copy the selected icon through its actions.
  QTest::keyClick(&view(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_TRUE(vx::ActionRouter::sendAction("copy:", nullptr, nullptr, &view()));
  EXPECT_EQ(recorded_.copies, (std::vector<std::string>{list_->icons()[3]->id, list_->icons()[3]->id}));
}

TEST_F(IconGridTest, ARightClickSelectsTheIconBeforeItsMenuOpensAndEmptySpaceShowsNothing) {
  showList(900, 600);
  ASSERT_TRUE(artworkShown());
  // Below the three rows lies empty space.
  QTest::mouseClick(view().viewport(), Qt::RightButton, {}, QPoint(450, 500));
  EXPECT_EQ(menusShown_, 0);

  const QPoint centre = centreOf({0, 12});
  QTest::mouseClick(view().viewport(), Qt::RightButton, {}, centre);
  EXPECT_EQ(menusShown_, 1);
  EXPECT_EQ(menuSelectionWhenShown_, (std::vector<IndexPath>{IndexPath{0, 12}}));
  EXPECT_EQ(recorded_.menus, std::vector<std::string>{list_->icons()[12]->id});
  EXPECT_EQ(menuTitles_, std::vector<std::string>{list_->icons()[12]->title()});
  EXPECT_EQ(menuCell_, view().cellForItem({0, 12}));
  EXPECT_EQ(menuPosition_, menuCell_->mapFromParent(centre));
  // Without installed actions there is no menu, but the icon is still selected.
  setIconActionsFactory(nullptr);
  QTest::mouseClick(view().viewport(), Qt::RightButton, {}, centreOf({0, 2}));
  EXPECT_EQ(menusShown_, 1);
  EXPECT_EQ(view().sortedIndexPathsForSelectedItems(), (std::vector<IndexPath>{IndexPath{0, 2}}));
}

TEST_F(IconGridTest, ADragCarriesTheExportTypeAndACompletedOneRecordsUsageAtTheService) {
  grid_->setExportOptions(std::make_shared<const ExportOptions>(Color::rgb(1, 0, 0), PasteboardType::png, 84));
  showList(900, 600);
  ASSERT_TRUE(artworkShown());
  QStringList formats;
  bool picture = false;
  Qt::DropAction result = Qt::CopyAction;
  view().setDragRunner([&](QDrag& drag) {
    formats = drag.mimeData()->formats();
    picture = !drag.pixmap().isNull();
    return result;
  });
  const IndexPath path{0, 7};
  dragFrom(centreOf(path));
  EXPECT_EQ(formats, (QStringList{"image/png", "text/uri-list"}));
  EXPECT_TRUE(picture);
  EXPECT_EQ(view().sortedIndexPathsForSelectedItems(), std::vector<IndexPath>{path});
  const auto usages = test::ActionRecorder::shared().actionsOf<Actions::RecordIconUsage>();
  ASSERT_EQ(usages.size(), 1u);
  EXPECT_EQ(usages[0].icon->id, list_->icons()[7]->id);
  EXPECT_EQ(usages[0].type, PasteboardType::png);
  EXPECT_EQ(usages[0].color, Color::rgb(1, 0, 0));
  EXPECT_TRUE(logged("Dragged icon " + list_->icons()[7]->id));
  ASSERT_TRUE(service_.waitForRequests(1));
  ASSERT_TRUE(waitFor([&] { return service_.requests("/icon/[0-9]+/download/mac").size() == 1; }));
  EXPECT_EQ(service_.requests("/icon/[0-9]+/download/mac")[0].path, "/icon/" + list_->icons()[7]->id + "/download/mac");

  // A drag that ends without a drop records nothing.
  result = Qt::IgnoreAction;
  dragFrom(centreOf({0, 8}));
  EXPECT_EQ(test::ActionRecorder::shared().actionsOf<Actions::RecordIconUsage>().size(), 1u);
  EXPECT_TRUE(logged("Icon not found or drag aborted"));
  // A stale index path refuses the drag and has no picture.
  EXPECT_FALSE(grid_->shouldBeginDraggingAt(view(), {0, 999}, nullptr));
  EXPECT_FALSE(grid_->dataSource()->dragContentsForItemAt(view(), {0, 999}).has_value());
  EXPECT_TRUE(grid_->dataSource()->pasteboardWriterForItemAt(view(), {0, 999})->formats().isEmpty());
}

TEST_F(IconGridTest, NewExportOptionsRedrawInTheColourAndAlwaysLeaveOneIconSelected) {
  showList(900, 600);
  ASSERT_TRUE(artworkShown());
  EXPECT_TRUE(view().indexPathsForSelectedItems().empty());
  const auto white = grid_->exportOptions()->withColor(Color::white());
  list_->setExportOptions(white);
  grid_->setExportOptions(white);
  grid_->reloadVisibleItems();
  EXPECT_EQ(view().sortedIndexPathsForSelectedItems(), (std::vector<IndexPath>{IndexPath{0, 0}}));
  auto* cell = dynamic_cast<IconCollectionViewCell*>(view().cellForItem({0, 0}));
  ASSERT_NE(cell, nullptr);
  EXPECT_EQ(cell->iconColor(), Color::white());
  EXPECT_EQ(cell->backgroundColor(), QColor(109, 109, 109));
  EXPECT_FALSE(vx::test::saveScreenshot(window_.get(), "icon-grid-white-selected").isEmpty());

  // A selection survives the next change and a zoom change.
  view().selectItem({0, 9}, false, CollectionViewScrollPosition::noScroll);
  grid_->reloadVisibleItems();
  EXPECT_EQ(view().sortedIndexPathsForSelectedItems(), (std::vector<IndexPath>{IndexPath{0, 9}}));
  grid_->setZoomLevel(ZoomLevel::all()[5]);
  EXPECT_EQ(view().sortedIndexPathsForSelectedItems(), (std::vector<IndexPath>{IndexPath{0, 9}}));
  EXPECT_NE(view().cellForItem({0, 9}), nullptr);  // scrolled into view
}

TEST_F(IconGridTest, ArtworkCompletionsTouchTheGridOnlyOnTheMainThread) {
  showList(900, 600);
  ASSERT_TRUE(artworkShown());
  auto* cell = dynamic_cast<IconCollectionViewCell*>(view().cellForItem({0, 1}));
  ASSERT_NE(cell, nullptr);
  cell->setImage(std::nullopt);  // as if the artwork had not arrived yet
  auto completion = grid_->artworkCompletion({0, 1});
  std::thread([&] { completion(); }).join();
  // Nothing changed on the other thread: the reload waits for the main queue.
  EXPECT_FALSE(cell->image().has_value());
  ASSERT_TRUE(waitFor([&] { return cell->image().has_value(); }));

  // A completion that arrives after the grid is gone does nothing.
  auto late = grid_->artworkCompletion({0, 2});
  list_->setDelegate({});
  grid_.reset();
  window_.reset();
  late();
  std::thread([&] { late(); }).join();
  QTest::qWait(0);
  SUCCEED();
}

}  // namespace
}  // namespace Vexelworks
