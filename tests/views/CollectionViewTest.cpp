// The grid view: reuse and will-display while scrolling a 10,000-item grid, reloading items in
// place, selection, clicks, scrolling to items, supplementary views, the debounced end of a
// resize and starting a drag.
#include "GridTestSupport.h"

#include "app/qt/InterfaceRegistry.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"

#include <QApplication>
#include <QDrag>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

#include <cmath>

using namespace Vexelworks;
using namespace Vexelworks::testing;

namespace {

// The icon grid's shape at the default zoom: 80-point icons, 10-point gaps, square cells.
class GridViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CountingCell::created = 0;
    registerGridViews(view);
    delegate.columns = 10;
    delegate.columnSpacing = 10;
    delegate.interitemSpacing = 10;
    delegate.aspectRatio = QSizeF(1, 1);
    delegate.footerHeight = [](int) { return 56.0; };
    view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setDelegate(&delegate);
    source.counts = {10000};
    view.resize(900, 600);
    view.show();
    QApplication::processEvents();
    view.setDataSource(&source);
  }

  QPoint centreOf(const IndexPath& path) {
    CollectionViewCell* cell = view.cellForItem(path);
    EXPECT_NE(cell, nullptr);
    return cell != nullptr ? cell->geometry().center() : QPoint();
  }
  void click(const QPoint& at, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::mouseClick(view.viewport(), Qt::LeftButton, modifiers, at);
  }
  void send(QEvent::Type type, const QPoint& at, Qt::MouseButton button, Qt::MouseButtons buttons) {
    QMouseEvent event(type, QPointF(at), view.viewport()->mapToGlobal(QPointF(at)), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(view.viewport(), &event);
  }

  CollectionView view;
  GridSource source;
  GridDelegate delegate;
};

}  // namespace

TEST_F(GridViewTest, ScrollingTenThousandItemsReusesCellsAndAnnouncesEachAppearanceOnce) {
  std::set<IndexPath> shown = view.indexPathsForVisibleItems();
  ASSERT_FALSE(shown.empty());
  std::size_t appearances = shown.size();
  std::size_t mostShown = shown.size();
  std::set<int> everShown;
  for (const auto& p : shown) everShown.insert(p.item);

  const int bottom = view.verticalScrollBar()->maximum();
  ASSERT_GT(bottom, 90000);  // 1000 rows of 91 points
  for (int y = 0; y <= bottom + 37; y += 37) {
    view.scrollToY(y);
    const std::set<IndexPath> now = view.indexPathsForVisibleItems();
    for (const auto& p : now) {
      if (shown.count(p) == 0) ++appearances;
      everShown.insert(p.item);
      // Every shown cell sits at its layout frame, moved by the scroll offset.
      CollectionViewCell* cell = view.cellForItem(p);
      ASSERT_NE(cell, nullptr);
      ASSERT_EQ(static_cast<CountingCell*>(cell)->shown, p);
      const QRectF frame = view.collectionViewLayout()->layoutAttributesForItem(p)->frame;
      ASSERT_EQ(cell->geometry().top(), static_cast<int>(std::lround(frame.top() - view.verticalScrollBar()->value())));
    }
    mostShown = std::max(mostShown, now.size());
    shown = now;
  }
  EXPECT_EQ(everShown.size(), 10000u);
  EXPECT_EQ(delegate.willDisplay.size(), appearances);
  EXPECT_EQ(static_cast<std::size_t>(source.cellRequests), appearances);
  // Cells leave for the pool before new ones are asked for, so no more exist than were ever
  // shown at once.
  EXPECT_LE(static_cast<std::size_t>(CountingCell::created), mostShown);
  EXPECT_LE(mostShown, 80u);  // 7-8 rows of 10 in a 600-point view
  EXPECT_GT(delegate.scrolls, 1000);
  // The footer shows at the very end.
  EXPECT_NE(view.supplementaryView(CollectionViewLayoutElementKind::SectionFooter, {0, 0}), nullptr);
}

TEST_F(GridViewTest, ReloadingItemsAsksAgainInPlaceWithoutANewWillDisplay) {
  const IndexPath path{0, 3};
  CollectionViewCell* before = view.cellForItem(path);
  ASSERT_NE(before, nullptr);
  const QRect geometry = before->geometry();
  const int requests = source.cellRequests;
  const std::size_t displays = delegate.willDisplay.size();
  const int reuses = static_cast<CountingCell*>(before)->reuses;
  view.reloadItems({path, {0, 9999}}, false);  // the second is not shown: left alone
  EXPECT_EQ(source.cellRequests, requests + 1);
  EXPECT_EQ(delegate.willDisplay.size(), displays);
  CollectionViewCell* after = view.cellForItem(path);
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(after, before);  // the pooled cell came straight back, prepared for reuse
  EXPECT_EQ(static_cast<CountingCell*>(after)->reuses, reuses + 1);
  EXPECT_EQ(after->geometry(), geometry);
  EXPECT_TRUE(after->isVisible());
}

namespace {

// Reloads each item as soon as it is announced, as an artwork fetch that finds its image cached
// might.
class ReloadingDelegate : public GridDelegate {
 public:
  void willDisplayCell(CollectionView& view, CollectionViewCell& cell, const IndexPath& path) override {
    GridDelegate::willDisplayCell(view, cell, path);
    view.reloadItems({path}, false);
  }
};

}  // namespace

TEST_F(GridViewTest, AnItemReloadedWhileItIsAnnouncedStillShowsOneVisibleCell) {
  ReloadingDelegate reloading;
  reloading.columns = 10;
  reloading.columnSpacing = 10;
  reloading.interitemSpacing = 10;
  reloading.aspectRatio = QSizeF(1, 1);
  view.setDelegate(&reloading);
  view.reloadData();
  view.scrollToY(3000);
  int shownCells = 0;
  for (QObject* child : view.viewport()->children()) {
    auto* cell = dynamic_cast<CountingCell*>(child);
    if (cell != nullptr && cell->isVisible()) {
      ++shownCells;
      EXPECT_EQ(view.cellForItem(cell->shown), cell);
    }
  }
  EXPECT_EQ(static_cast<std::size_t>(shownCells), view.indexPathsForVisibleItems().size());
  view.setDelegate(&delegate);
}

TEST_F(GridViewTest, ClicksSelectOneItemAndTellTheDelegate) {
  click(centreOf({0, 2}));
  ASSERT_EQ(delegate.selected.size(), 1u);
  EXPECT_EQ(delegate.selected[0], (std::set<IndexPath>{{0, 2}}));
  EXPECT_TRUE(view.cellForItem({0, 2})->selected());
  click(centreOf({0, 5}));
  EXPECT_EQ(delegate.deselected.back(), (std::set<IndexPath>{{0, 2}}));
  EXPECT_EQ(delegate.selected.back(), (std::set<IndexPath>{{0, 5}}));
  EXPECT_FALSE(view.cellForItem({0, 2})->selected());
  EXPECT_EQ(view.indexPathsForSelectedItems(), (std::set<IndexPath>{{0, 5}}));
  // A click between cells clears the selection.
  const QPoint gap = view.cellForItem({0, 5})->geometry().topRight() + QPoint(5, 20);
  click(gap);
  EXPECT_TRUE(view.indexPathsForSelectedItems().empty());
  EXPECT_EQ(delegate.deselected.back(), (std::set<IndexPath>{{0, 5}}));

  view.setAllowsSelection(false);
  click(centreOf({0, 7}));
  EXPECT_TRUE(view.indexPathsForSelectedItems().empty());
}

TEST_F(GridViewTest, ControlClickTogglesItemsWhenSeveralMayBeSelected) {
  view.setAllowsMultipleSelection(true);
  click(centreOf({0, 8}));
  click(centreOf({0, 1}), Qt::ControlModifier);
  click(centreOf({0, 4}), Qt::ControlModifier);
  EXPECT_EQ(view.sortedIndexPathsForSelectedItems(), (std::vector<IndexPath>{{0, 1}, {0, 4}, {0, 8}}));
  click(centreOf({0, 4}), Qt::ControlModifier);
  EXPECT_EQ(view.sortedIndexPathsForSelectedItems(), (std::vector<IndexPath>{{0, 1}, {0, 8}}));
}

TEST_F(GridViewTest, ProgrammaticSelectionScrollsWhenAskedAndSurvivesReuse) {
  view.selectItem({0, 9000}, false, CollectionViewScrollPosition::scrollToVisible);
  EXPECT_TRUE(delegate.selected.empty());  // only the user's clicks are reported
  CollectionViewCell* cell = view.cellForItem({0, 9000});
  ASSERT_NE(cell, nullptr);
  EXPECT_TRUE(cell->selected());
  const QRectF frame = view.collectionViewLayout()->layoutAttributesForItem({0, 9000})->frame;
  EXPECT_TRUE(view.documentVisibleRect().contains(frame));

  view.scrollToTop(false);
  EXPECT_EQ(view.cellForItem({0, 9000}), nullptr);
  view.scrollItem({0, 9000}, CollectionViewScrollPosition::scrollToVisible, false);
  ASSERT_NE(view.cellForItem({0, 9000}), nullptr);
  EXPECT_TRUE(view.cellForItem({0, 9000})->selected());

  // noScroll leaves the view where it is.
  const int value = view.verticalScrollBar()->value();
  view.selectItem({0, 3}, false, CollectionViewScrollPosition::noScroll);
  EXPECT_EQ(view.verticalScrollBar()->value(), value);
  EXPECT_EQ(view.indexPathsForSelectedItems(), (std::set<IndexPath>{{0, 3}}));  // single selection
  EXPECT_FALSE(view.cellForItem({0, 9000})->selected());

  view.selectItem({0, 10000}, false, CollectionViewScrollPosition::scrollToVisible);  // no such item
  EXPECT_EQ(view.indexPathsForSelectedItems(), (std::set<IndexPath>{{0, 3}}));
  view.deselectAllItems(false);
  EXPECT_TRUE(view.indexPathsForSelectedItems().empty());
}

TEST_F(GridViewTest, ScrollingToTheTopRunsTheCompletionAndScrollingToAnItemShowsItExactly) {
  bool done = false;
  view.scrollItem({0, 5555}, CollectionViewScrollPosition::scrollToVisible, false, [&] { done = true; });
  EXPECT_TRUE(done);
  const QRectF frame = view.collectionViewLayout()->layoutAttributesForItem({0, 5555})->frame;
  // Scrolling down leaves the item at the bottom edge: just enough to show it.
  EXPECT_EQ(view.documentVisibleRect().bottom(), frame.bottom());
  done = false;
  view.scrollToTop(false, [&] { done = true; });
  EXPECT_TRUE(done);
  EXPECT_EQ(view.documentVisibleRect().top(), 0);
  EXPECT_EQ(view.clipView().documentRect().height(), view.contentSize().height());
}

TEST_F(GridViewTest, DoubleAndRightClicksReportTheItemOrNone) {
  const QPoint item = centreOf({0, 12});
  QTest::mouseDClick(view.viewport(), Qt::LeftButton, Qt::NoModifier, item);
  ASSERT_FALSE(delegate.doubleClicks.empty());
  EXPECT_EQ(delegate.doubleClicks.back(), (std::optional<IndexPath>{{0, 12}}));
  QTest::mouseClick(view.viewport(), Qt::RightButton, Qt::NoModifier, item);
  QTest::mouseClick(view.viewport(), Qt::RightButton, Qt::NoModifier, item + QPoint(45, 0));  // the gap
  ASSERT_EQ(delegate.rightClicks.size(), 2u);
  EXPECT_EQ(delegate.rightClicks[0], (std::optional<IndexPath>{{0, 12}}));
  EXPECT_EQ(delegate.rightClicks[1], std::nullopt);
}

TEST_F(GridViewTest, ReloadingDataKeepsSelectedItemsThatStillExist) {
  view.selectItems({{0, 50}}, false, CollectionViewScrollPosition::noScroll);
  source.counts = {100};
  view.reloadData();
  EXPECT_EQ(view.indexPathsForSelectedItems(), (std::set<IndexPath>{{0, 50}}));
  source.counts = {20};
  view.reloadData();
  EXPECT_TRUE(view.indexPathsForSelectedItems().empty());
  EXPECT_EQ(view.numberOfItemsInSection(0), 20);
  EXPECT_EQ(view.numberOfItemsInSection(3), 0);
}

TEST_F(GridViewTest, ZeroColumnsAndAZeroWidthNeverBreakTheGrid) {
  delegate.columns = 0;
  view.reloadLayout(false, CollectionViewScrollPosition::scrollToVisible);
  ASSERT_NE(view.cellForItem({0, 0}), nullptr);
  EXPECT_EQ(view.cellForItem({0, 0})->width(), 900);  // one column across
  delegate.columns = -5;
  view.resize(0, 600);
  view.reloadLayout(false, CollectionViewScrollPosition::noScroll);
  EXPECT_TRUE(view.indexPathsForVisibleItems().empty());
  view.resize(900, 600);
  delegate.columns = 10;
  view.reloadLayout(false, CollectionViewScrollPosition::noScroll);
  EXPECT_FALSE(view.indexPathsForVisibleItems().empty());
}

TEST_F(GridViewTest, HugeOrInvalidSizesFromTheDelegateStayInRange) {
  delegate.aspectRatio = std::nullopt;
  delegate.itemHeight = [](const IndexPath& p) { return p.item % 2 == 0 ? 1e300 : std::nan(""); };
  view.reloadLayout(false, CollectionViewScrollPosition::noScroll);
  EXPECT_GE(view.verticalScrollBar()->maximum(), 0);
  EXPECT_LE(view.verticalScrollBar()->maximum(), 1'000'000'000);
  view.scrollToY(1e200);
  EXPECT_EQ(view.verticalScrollBar()->value(), view.verticalScrollBar()->maximum());
  for (const auto& p : view.indexPathsForVisibleItems()) EXPECT_GE(view.cellForItem(p)->height(), 0);
}

TEST_F(GridViewTest, TheEndOfAResizeIsReportedOnceTheSizeStaysStill) {
  vx::ScopedVirtualTime time;
  view.setLiveResizeDebounce(std::chrono::milliseconds(200));
  for (int width = 700; width <= 900; width += 50) {
    view.resize(width, 600);
    time.advance(std::chrono::milliseconds(50));
  }
  vx::DispatchQueue::drainMainQueue();
  EXPECT_EQ(delegate.endsOfResize, 0);  // still resizing
  time.advance(std::chrono::milliseconds(200));
  vx::DispatchQueue::drainMainQueue();
  EXPECT_EQ(delegate.endsOfResize, 1);
  time.advance(std::chrono::seconds(5));
  vx::DispatchQueue::drainMainQueue();
  EXPECT_EQ(delegate.endsOfResize, 1);
}

TEST_F(GridViewTest, AWiderViewLaysOutAgainAndKeepsTheFirstItemShown) {
  view.scrollItem({0, 4000}, CollectionViewScrollPosition::scrollToVisible, false);
  const IndexPath first = *view.indexPathsForVisibleItems().begin();
  EXPECT_GT(first.item, 3800);
  delegate.columns = 5;
  view.reloadLayout(false, CollectionViewScrollPosition::scrollToVisible);
  const std::set<IndexPath> visible = view.indexPathsForVisibleItems();
  EXPECT_EQ(view.cellForItem(*visible.begin())->width(), 172);  // (900 - 40) / 5
  EXPECT_EQ(visible.count(first), 1u);
  // Without a scroll position the offset stays and other items show.
  const int value = view.verticalScrollBar()->value();
  delegate.columns = 4;  // a taller document: the offset fits
  view.reloadLayout(false, CollectionViewScrollPosition::noScroll);
  EXPECT_EQ(view.verticalScrollBar()->value(), value);
}

TEST_F(GridViewTest, DraggingAnItemCarriesTheDataSourcesDataAndPicture) {
  QString carried;
  QSize picture;
  int runs = 0;
  view.setDragRunner([&](QDrag& drag) {
    ++runs;
    carried = drag.mimeData()->text();
    picture = drag.pixmap().size();
    return Qt::CopyAction;
  });
  const QPoint start = centreOf({0, 4});
  send(QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
  send(QEvent::MouseMove, start + QPoint(2, 0), Qt::NoButton, Qt::LeftButton);  // below the drag distance
  EXPECT_EQ(runs, 0);
  send(QEvent::MouseMove, start + QPoint(30, 0), Qt::NoButton, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, start + QPoint(30, 0), Qt::LeftButton, Qt::NoButton);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(carried, "item 0.4");
  EXPECT_EQ(picture, QSize(50, 50));  // the data source shrank the 81-point rectangle
  ASSERT_EQ(delegate.dragStarts, (std::vector<IndexPath>{{0, 4}}));
  EXPECT_EQ(delegate.dragEnds, std::vector<Qt::DropAction>{Qt::CopyAction});

  // A delegate that refuses the drag stops it before anything is prepared.
  delegate.allowDrag = false;
  const QPoint other = centreOf({0, 6});
  send(QEvent::MouseButtonPress, other, Qt::LeftButton, Qt::LeftButton);
  send(QEvent::MouseMove, other + QPoint(30, 0), Qt::NoButton, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, other + QPoint(30, 0), Qt::LeftButton, Qt::NoButton);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(delegate.dragEnds.size(), 1u);
}

TEST_F(GridViewTest, PagingKeysScrollAndOtherKeysGoToTheParents) {
  QTest::keyClick(&view, Qt::Key_PageDown);
  EXPECT_EQ(view.verticalScrollBar()->value(), view.viewport()->height());
  QTest::keyClick(&view, Qt::Key_End);
  EXPECT_EQ(view.verticalScrollBar()->value(), view.verticalScrollBar()->maximum());
  QKeyEvent key(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(&view, &key);
  EXPECT_FALSE(key.isAccepted());
}

namespace {

class NibCell : public CollectionViewCell {};
class NibFooter : public CollectionReusableView {};

class NibSource : public CollectionViewDataSource {
 public:
  int numberOfItemsInSection(CollectionView&, int) override { return 3; }
  CollectionViewCell* cellForItemAt(CollectionView& view, const IndexPath& path) override {
    return view.dequeueReusableCell("NibCell", path);
  }
  CollectionReusableView* viewForSupplementaryElementOfKind(CollectionView& view, const std::string& kind,
                                                            const IndexPath& path) override {
    return view.dequeueReusableSupplementaryView(kind, "NibFooter", path);
  }
};

}  // namespace

TEST(GridViewInterfaces, CellsAndFootersComeFromInterfacesRegisteredByName) {
  vx::InterfaceRegistry::shared().registerInterface("NibCell", [](QObject*) { return new NibCell; });
  vx::InterfaceRegistry::shared().registerInterface("NibFooter", [](QObject*) { return new NibFooter; });
  CollectionView view;
  auto layout = std::make_unique<CollectionViewColumnLayout>();
  layout->setColumnCount(3);
  layout->setItemHeight(50);
  layout->setFooterHeight(20);
  view.setCollectionViewLayout(std::move(layout));
  view.registerCellNib("NibCell", "NibCell");
  view.registerSupplementaryNib("NibFooter", CollectionViewLayoutElementKind::SectionFooter, "NibFooter");
  view.resize(300, 200);
  view.show();
  QApplication::processEvents();
  NibSource source;
  view.setDataSource(&source);
  EXPECT_NE(dynamic_cast<NibCell*>(view.cellForItem({0, 2})), nullptr);
  EXPECT_EQ(view.cellForItem({0, 2})->reuseIdentifier(), "NibCell");
  auto* footer = view.supplementaryView(CollectionViewLayoutElementKind::SectionFooter, {0, 0});
  ASSERT_NE(dynamic_cast<NibFooter*>(footer), nullptr);
  EXPECT_EQ(footer->geometry(), QRect(0, 50, 300, 20));
}

TEST(GridViewDeathTest, DequeuingAnIdentifierNobodyRegisteredStopsTheProgram) {
  EXPECT_DEATH(
      {
        CollectionView view;
        view.dequeueReusableCell("Unregistered", {0, 0});
      },
      "Unregistered");
}
