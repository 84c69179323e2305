// A data source, a delegate and a cell for grid view tests: they count what the grid asks of
// them and record what it tells them.
#pragma once

#include "app/views/CollectionView.h"

#include <QMimeData>
#include <QPainter>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Vexelworks::testing {

class CountingCell : public CollectionViewCell {
 public:
  static inline int created = 0;
  CountingCell() { ++created; }

  IndexPath shown;       // set by the data source
  int reuses = 0;        // prepareForReuse calls
  int willDisplays = 0;  // viewWillDisplay calls
  int applies = 0;
  std::vector<bool> selectionChanges;

  void prepareForReuse() override { ++reuses; }
  void viewWillDisplay() override { ++willDisplays; }
  void apply(const CollectionViewLayoutAttributes&, bool) override { ++applies; }
  void setSelected(bool selected, bool animated) override {
    CollectionViewCell::setSelected(selected, animated);
    selectionChanges.push_back(selected);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(rect().adjusted(2, 2, -2, -2), selected() ? QColor(200, 0, 0) : QColor(40, 40, 40));
  }
};

class CountingView : public CollectionReusableView {
 public:
  int willDisplays = 0;
  void viewWillDisplay() override { ++willDisplays; }
};

class GridSource : public CollectionViewDataSource {
 public:
  std::vector<int> counts{0};
  int cellRequests = 0;
  std::vector<std::string> supplementaryRequests;
  bool suppliesViews = true;

  int numberOfSections(CollectionView&) override { return static_cast<int>(counts.size()); }
  int numberOfItemsInSection(CollectionView&, int section) override {
    return counts.at(static_cast<std::size_t>(section));
  }
  CollectionViewCell* cellForItemAt(CollectionView& view, const IndexPath& path) override {
    ++cellRequests;
    auto* cell = static_cast<CountingCell*>(view.dequeueReusableCell("CountingCell", path));
    cell->shown = path;
    return cell;
  }
  CollectionReusableView* viewForSupplementaryElementOfKind(CollectionView& view, const std::string& kind,
                                                            const IndexPath& path) override {
    supplementaryRequests.push_back(kind);
    if (!suppliesViews) return nullptr;
    return view.dequeueReusableSupplementaryView(kind, kind, path);
  }
  std::unique_ptr<QMimeData> pasteboardWriterForItemAt(CollectionView&, const IndexPath& path) override {
    auto data = std::make_unique<QMimeData>();
    data->setText(QString("item %1.%2").arg(path.section).arg(path.item));
    return data;
  }
  std::optional<QImage> dragContentsForItemAt(CollectionView&, const IndexPath&) override {
    QImage image(10, 10, QImage::Format_ARGB32);
    image.fill(Qt::green);
    return image;
  }
  void dragRectForItemAt(CollectionView&, const IndexPath&, QRectF& rect) override {
    if (rect.height() > 50) rect = QRectF(rect.center() - QPointF(25, 25), QSizeF(50, 50));
  }
};

// Answers the column questions from its fields and records every callback.
class GridDelegate : public CollectionViewDelegate, public CollectionViewDelegateColumnLayout {
 public:
  std::optional<int> columns;
  std::optional<double> columnSpacing;
  std::optional<double> interitemSpacing;
  std::optional<QSizeF> aspectRatio;
  std::function<std::optional<double>(const IndexPath&)> itemHeight;
  std::function<std::optional<double>(int)> headerHeight;
  std::function<std::optional<double>(int)> footerHeight;
  std::optional<EdgeInsets> inset;
  bool allowDrag = true;

  std::vector<IndexPath> willDisplay;
  std::vector<std::set<IndexPath>> selected;
  std::vector<std::set<IndexPath>> deselected;
  std::vector<std::optional<IndexPath>> doubleClicks;
  std::vector<std::optional<IndexPath>> rightClicks;
  int scrolls = 0;
  int endsOfResize = 0;
  std::vector<IndexPath> dragStarts;
  std::vector<Qt::DropAction> dragEnds;

  // column layout answers
  std::optional<QSizeF> aspectRatioForItemAt(CollectionView&, CollectionViewLayout&, const IndexPath&) override {
    return aspectRatio;
  }
  std::optional<double> heightForItemAt(CollectionView&, CollectionViewLayout&, const IndexPath& path) override {
    return itemHeight ? itemHeight(path) : std::nullopt;
  }
  std::optional<int> numberOfColumnsInSection(CollectionView&, CollectionViewLayout&, int) override { return columns; }
  std::optional<double> interitemSpacingForSectionAt(CollectionView&, CollectionViewLayout&, int) override {
    return interitemSpacing;
  }
  std::optional<double> columnSpacingForSectionAt(CollectionView&, CollectionViewLayout&, int) override {
    return columnSpacing;
  }
  std::optional<double> heightForHeaderInSection(CollectionView&, CollectionViewLayout&, int s) override {
    return headerHeight ? headerHeight(s) : std::nullopt;
  }
  std::optional<double> heightForFooterInSection(CollectionView&, CollectionViewLayout&, int s) override {
    return footerHeight ? footerHeight(s) : std::nullopt;
  }
  std::optional<EdgeInsets> insetForSectionAt(CollectionView&, CollectionViewLayout&, int) override { return inset; }

  // grid callbacks
  void willDisplayCell(CollectionView&, CollectionViewCell&, const IndexPath& path) override {
    willDisplay.push_back(path);
  }
  void didSelectItemsAt(CollectionView&, const std::set<IndexPath>& paths) override { selected.push_back(paths); }
  void didDeselectItemsAt(CollectionView&, const std::set<IndexPath>& paths) override { deselected.push_back(paths); }
  void didDoubleClickItemAt(CollectionView&, std::optional<IndexPath> path, QMouseEvent*) override {
    doubleClicks.push_back(path);
  }
  void didRightClickItemAt(CollectionView&, std::optional<IndexPath> path, QMouseEvent*) override {
    rightClicks.push_back(path);
  }
  void collectionViewDidScroll(CollectionView&) override { ++scrolls; }
  void collectionViewDidEndLiveResize(CollectionView&) override { ++endsOfResize; }
  bool shouldBeginDraggingAt(CollectionView&, const IndexPath& path, QMouseEvent*) override {
    dragStarts.push_back(path);
    return allowDrag;
  }
  void draggingSessionDidEnd(CollectionView&, Qt::DropAction action, const std::set<IndexPath>&) override {
    dragEnds.push_back(action);
  }
};

// Registers the counting cell and the header and footer views under the names the source uses.
inline void registerGridViews(CollectionView& view) {
  view.registerClass<CountingCell>("CountingCell");
  view.registerSupplementary(CollectionViewLayoutElementKind::SectionHeader,
                             CollectionViewLayoutElementKind::SectionHeader, [] { return new CountingView; });
  view.registerSupplementary(CollectionViewLayoutElementKind::SectionFooter,
                             CollectionViewLayoutElementKind::SectionFooter, [] { return new CountingView; });
}

}  // namespace Vexelworks::testing
