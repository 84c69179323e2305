// The column layout: columns and item sizes for given widths, section, header and footer frames,
// clamping of bad answers, and the visible-area query against a plain scan.
#include "GridTestSupport.h"

#include "app/views/CollectionViewLayout.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <random>

using namespace Vexelworks;
using namespace Vexelworks::testing;

namespace {

class ColumnLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);  // the full width is laid out
    registerGridViews(view);
    view.setDelegate(&delegate);
  }
  void show(int width, int height = 600) {
    view.resize(width, height);
    view.show();
    QApplication::processEvents();
    view.setDataSource(&source);
  }
  CollectionViewColumnLayout& layout() {
    return *static_cast<CollectionViewColumnLayout*>(view.collectionViewLayout());
  }
  QRectF frame(int section, int item) {
    auto attributes = layout().layoutAttributesForItem({section, item});
    return attributes ? attributes->frame : QRectF(-1, -1, -1, -1);
  }

  CollectionView view;
  GridSource source;
  GridDelegate delegate;
};

struct ColumnCase {
  const char* name;
  int width;
  std::optional<int> columns;
  double spacing;
  EdgeInsets inset;
  std::optional<QSizeF> aspect;
  double itemHeight;
  int expectedColumns;
  double expectedItemWidth;
  QRectF expectedSecondItem;  // item 1
};

}  // namespace

TEST_F(ColumnLayoutTest, ColumnsAndItemSizesForWidths) {
  const ColumnCase cases[] = {
      {"ten square columns", 900, 10, 10, {}, QSizeF(1, 1), 0, 10, 81, QRectF(91, 0, 81, 81)},
      {"zero columns lay out as one", 900, 0, 10, {}, QSizeF(1, 1), 0, 1, 900, QRectF(0, 910, 900, 900)},
      {"negative columns lay out as one", 300, -4, 10, {}, std::nullopt, 40, 1, 300, QRectF(0, 50, 300, 40)},
      {"insets and spacing", 400, 3, 10, {5, 10, 0, 10}, QSizeF(1, 1), 0, 3, 120, QRectF(140, 5, 120, 120)},
      {"wide aspect", 400, 2, 0, {}, QSizeF(2, 1), 0, 2, 200, QRectF(200, 0, 200, 100)},
      {"zero aspect uses the item height", 400, 2, 0, {}, QSizeF(0, 0), 30, 2, 200, QRectF(200, 0, 200, 30)},
      {"negative spacing counts as none", 400, 4, -20, {}, QSizeF(1, 1), 0, 4, 100, QRectF(100, 0, 100, 100)},
      {"insets wider than the view", 100, 2, 10, {0, 80, 0, 80}, QSizeF(1, 1), 0, 2, 0, QRectF(90, 0, 0, 0)},
      {"negative item height", 200, 1, 0, {}, std::nullopt, -50, 1, 200, QRectF(0, 0, 200, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    delegate.columns = c.columns;
    delegate.columnSpacing = c.spacing;
    delegate.interitemSpacing = c.spacing;
    delegate.inset = c.inset;
    delegate.aspectRatio = c.aspect;
    const double height = c.itemHeight;
    delegate.itemHeight = [height](const IndexPath&) { return height; };
    source.counts = {12};
    show(c.width);
    view.reloadLayout(false, CollectionViewScrollPosition::noScroll);
    EXPECT_EQ(layout().columnsInSection(0), c.expectedColumns);
    EXPECT_DOUBLE_EQ(layout().itemWidthInSection(0), c.expectedItemWidth);
    const QRectF second = frame(0, 1);
    EXPECT_NEAR(second.x(), c.expectedSecondItem.x(), 1e-9);
    EXPECT_NEAR(second.y(), c.expectedSecondItem.y(), 1e-9);
    EXPECT_NEAR(second.width(), c.expectedSecondItem.width(), 1e-9);
    EXPECT_NEAR(second.height(), c.expectedSecondItem.height(), 1e-9);
    EXPECT_GE(layout().collectionViewContentSize().height(), 0);
  }
}

TEST_F(ColumnLayoutTest, SectionsHeadersAndFootersStackDownTheDocument) {
  delegate.columns = 2;
  delegate.columnSpacing = 10;
  delegate.interitemSpacing = 10;
  delegate.aspectRatio = QSizeF(1, 1);
  delegate.inset = EdgeInsets{5, 0, 7, 0};
  delegate.headerHeight = [](int s) { return s == 0 ? 32.0 : 0.0; };
  delegate.footerHeight = [](int s) { return s == 1 ? 56.0 : 0.0; };
  source.counts = {5, 3};
  show(210);
  // Item width (210 - 10) / 2 = 100. Section 0: header 0..32, inset 5, three rows of 100 with
  // gaps of 10 (37..357), inset 7: ends at 364. Section 1: no header, inset 5 (369), two rows
  // (369..579), inset 7 (586), footer 586..642.
  auto header0 = layout().layoutAttributesForSupplementaryView(CollectionViewLayoutElementKind::SectionHeader, {0, 0});
  ASSERT_TRUE(header0);
  EXPECT_EQ(header0->frame, QRectF(0, 0, 210, 32));
  EXPECT_EQ(frame(0, 0), QRectF(0, 37, 100, 100));
  EXPECT_EQ(frame(0, 1), QRectF(110, 37, 100, 100));
  EXPECT_EQ(frame(0, 4), QRectF(0, 257, 100, 100));
  EXPECT_EQ(frame(1, 0), QRectF(0, 369, 100, 100));
  auto footer1 = layout().layoutAttributesForSupplementaryView(CollectionViewLayoutElementKind::SectionFooter, {1, 0});
  ASSERT_TRUE(footer1);
  EXPECT_EQ(footer1->frame, QRectF(0, 586, 210, 56));
  EXPECT_EQ(layout().collectionViewContentSize(), QSizeF(210, 642));
  EXPECT_FALSE(layout().layoutAttributesForItem({0, 5}));
  EXPECT_FALSE(layout().layoutAttributesForItem({2, 0}));
  EXPECT_FALSE(layout().layoutAttributesForItem({0, -1}));
}

TEST_F(ColumnLayoutTest, EachItemGoesUnderTheShortestColumn) {
  delegate.columns = 2;
  delegate.columnSpacing = 0;
  delegate.interitemSpacing = 4;
  const std::vector<double> heights{100, 50, 50, 50, 10};
  delegate.itemHeight = [heights](const IndexPath& p) { return heights[static_cast<std::size_t>(p.item)]; };
  source.counts = {5};
  show(200);
  EXPECT_EQ(frame(0, 0), QRectF(0, 0, 100, 100));
  EXPECT_EQ(frame(0, 1), QRectF(100, 0, 100, 50));
  EXPECT_EQ(frame(0, 2), QRectF(100, 54, 100, 50));
  EXPECT_EQ(frame(0, 3), QRectF(0, 104, 100, 50));  // column 0 ends at 104, column 1 at 108
  EXPECT_EQ(frame(0, 4), QRectF(100, 108, 100, 10));
  EXPECT_EQ(layout().collectionViewContentSize().height(), 154);  // column 0 ends lowest
}

TEST_F(ColumnLayoutTest, TheVisibleAreaQueryMatchesAPlainScan) {
  delegate.columns = 7;
  delegate.columnSpacing = 3;
  delegate.interitemSpacing = 5;
  delegate.headerHeight = [](int) { return 20.0; };
  delegate.footerHeight = [](int) { return 30.0; };
  std::mt19937 random(7);
  std::vector<double> heights(1200);
  for (auto& h : heights) h = std::uniform_real_distribution<double>(5, 120)(random);
  delegate.itemHeight = [heights](const IndexPath& p) {
    // NOLINTNEXTLINE(bugprone-misplaced-widening-cast): below 1200, computed in int safely
    return heights[static_cast<std::size_t>(p.item + p.section * 600)];
  };
  source.counts = {600, 600};
  show(700);
  const double total = layout().collectionViewContentSize().height();
  for (int trial = 0; trial < 200; ++trial) {
    const double top = std::uniform_real_distribution<double>(-50, total)(random);
    const QRectF rect(0, top, 700, std::uniform_real_distribution<double>(1, 900)(random));
    std::set<std::pair<std::string, IndexPath>> fast;
    for (const auto& a : layout().layoutAttributesForElements(rect)) fast.insert({a.elementKind, a.indexPath});
    std::set<std::pair<std::string, IndexPath>> scan;
    for (int s = 0; s < 2; ++s) {
      for (int i = 0; i < 600; ++i) {
        if (frame(s, i).intersects(rect)) scan.insert({"", {s, i}});
      }
      for (const auto& kind :
           {CollectionViewLayoutElementKind::SectionHeader, CollectionViewLayoutElementKind::SectionFooter}) {
        if (layout().layoutAttributesForSupplementaryView(kind, {s, 0})->frame.intersects(rect))
          scan.insert({kind, {s, 0}});
      }
    }
    ASSERT_EQ(fast, scan) << "rect top " << rect.top() << " height " << rect.height();
  }
}

TEST_F(ColumnLayoutTest, HitTestingFindsItemsButNotTheGapsBetweenThem) {
  delegate.columns = 3;
  delegate.columnSpacing = 10;
  delegate.interitemSpacing = 10;
  delegate.aspectRatio = QSizeF(1, 1);
  source.counts = {9};
  show(320);  // items 100 wide at x 0, 110, 220
  EXPECT_EQ(layout().indexPathForItem({50, 50}), (IndexPath{0, 0}));
  EXPECT_EQ(layout().indexPathForItem({115, 50}), (IndexPath{0, 1}));
  EXPECT_EQ(layout().indexPathForItem({250, 230}), (IndexPath{0, 8}));
  EXPECT_FALSE(layout().indexPathForItem({105, 50}));   // between columns
  EXPECT_FALSE(layout().indexPathForItem({50, 105}));   // between rows
  EXPECT_FALSE(layout().indexPathForItem({50, 5000}));  // below the document
}

TEST_F(ColumnLayoutTest, APinnedHeaderStaysAtTheTopWhileItsSectionIsShown) {
  delegate.columns = 1;
  delegate.itemHeight = [](const IndexPath&) { return 100.0; };
  delegate.headerHeight = [](int) { return 30.0; };
  source.counts = {10, 10};  // section 0: 0..1030, section 1: 1030..2060
  show(200, 300);
  layout().setPinHeadersToTop(true);
  view.scrollToY(500);
  auto header = layout().layoutAttributesForSupplementaryView(CollectionViewLayoutElementKind::SectionHeader, {0, 0});
  EXPECT_EQ(header->frame.top(), 500);
  EXPECT_GT(header->zIndex, 0);
  view.scrollToY(1020);  // the section's end pushes it up
  header = layout().layoutAttributesForSupplementaryView(CollectionViewLayoutElementKind::SectionHeader, {0, 0});
  EXPECT_EQ(header->frame.top(), 1000);
  layout().setPinHeadersToTop(false);
  header = layout().layoutAttributesForSupplementaryView(CollectionViewLayoutElementKind::SectionHeader, {0, 0});
  EXPECT_EQ(header->frame.top(), 0);
}
