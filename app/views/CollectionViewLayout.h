// Layouts of the grid view. CollectionViewLayout is the base that the grid asks for frames;
// CollectionViewColumnLayout places each section's items in columns of equal width, each new
// item under the shortest column, with an optional header above and footer below the section.
// Every count and size is clamped (columns to at least 1, sizes and spacings to at least 0), so
// no input divides by zero or yields negative frames.
#pragma once

#include "app/views/CollectionViewTypes.h"

#include <optional>
#include <vector>

namespace Vexelworks {

class CollectionView;
class CollectionViewLayout;

class CollectionViewLayout {
 public:
  virtual ~CollectionViewLayout() = default;

  // The grid view using this layout (set by the grid view).
  CollectionView* collectionView() const { return collectionView_; }

  // Headers stay at the top of the visible area while their section is shown.
  bool pinHeadersToTop() const { return pinHeadersToTop_; }
  void setPinHeadersToTop(bool pin) {
    pinHeadersToTop_ = pin;
    invalidateLayout();
  }

  // Marks the layout stale; the next query recomputes it.
  void invalidateLayout() { valid_ = false; }
  bool isValid() const { return valid_; }
  // Recomputes when stale.
  void prepareIfNeeded();

  // Whether a change of the grid's bounds (scrolling moves only the origin) needs a new layout.
  // The default answers true when the width changed.
  virtual bool shouldInvalidateLayout(const QRectF& newBounds);

  // The whole document's size.
  virtual QSizeF collectionViewContentSize() = 0;
  // Cells and supplementary views whose frames meet `rect`, in drawing order.
  virtual std::vector<CollectionViewLayoutAttributes> layoutAttributesForElements(const QRectF& rect) = 0;
  virtual std::optional<CollectionViewLayoutAttributes> layoutAttributesForItem(const IndexPath& indexPath) = 0;
  virtual std::optional<CollectionViewLayoutAttributes> layoutAttributesForSupplementaryView(
      const std::string& kind, const IndexPath& indexPath) = 0;
  // The item under `point`, if any.
  virtual std::optional<IndexPath> indexPathForItem(const QPointF& point) = 0;

 protected:
  virtual void prepareLayout() = 0;

 private:
  friend class CollectionView;
  CollectionView* collectionView_ = nullptr;
  bool pinHeadersToTop_ = false;
  bool valid_ = false;
  double lastWidth_ = -1;
};

// Answers that let the column layout's owner size each section; every answer is optional and
// falls back to the layout's own property.
class CollectionViewDelegateColumnLayout {
 public:
  virtual ~CollectionViewDelegateColumnLayout() = default;
  // Width to height of the item; a zero size means none, and the item height applies.
  virtual std::optional<QSizeF> aspectRatioForItemAt(CollectionView&, CollectionViewLayout&, const IndexPath&) {
    return std::nullopt;
  }
  virtual std::optional<double> heightForItemAt(CollectionView&, CollectionViewLayout&, const IndexPath&) {
    return std::nullopt;
  }
  virtual std::optional<int> numberOfColumnsInSection(CollectionView&, CollectionViewLayout&, int) {
    return std::nullopt;
  }
  virtual std::optional<double> interitemSpacingForSectionAt(CollectionView&, CollectionViewLayout&, int) {
    return std::nullopt;
  }
  virtual std::optional<double> columnSpacingForSectionAt(CollectionView&, CollectionViewLayout&, int) {
    return std::nullopt;
  }
  virtual std::optional<double> heightForHeaderInSection(CollectionView&, CollectionViewLayout&, int) {
    return std::nullopt;
  }
  virtual std::optional<double> heightForFooterInSection(CollectionView&, CollectionViewLayout&, int) {
    return std::nullopt;
  }
  virtual std::optional<EdgeInsets> insetForSectionAt(CollectionView&, CollectionViewLayout&, int) {
    return std::nullopt;
  }
};

class CollectionViewColumnLayout : public CollectionViewLayout {
 public:
  int columnCount() const { return columnCount_; }
  void setColumnCount(int count) {
    columnCount_ = count;
    invalidateLayout();
  }
  double headerHeight() const { return headerHeight_; }
  void setHeaderHeight(double height) {
    headerHeight_ = height;
    invalidateLayout();
  }
  double footerHeight() const { return footerHeight_; }
  void setFooterHeight(double height) {
    footerHeight_ = height;
    invalidateLayout();
  }
  double itemHeight() const { return itemHeight_; }
  void setItemHeight(double height) {
    itemHeight_ = height;
    invalidateLayout();
  }
  const EdgeInsets& sectionInset() const { return sectionInset_; }
  void setSectionInset(const EdgeInsets& inset) {
    sectionInset_ = inset;
    invalidateLayout();
  }
  // Horizontal gap between columns.
  double columnSpacing() const { return columnSpacing_; }
  void setColumnSpacing(double spacing) {
    columnSpacing_ = spacing;
    invalidateLayout();
  }
  // Vertical gap between items of one column.
  double interitemSpacing() const { return interitemSpacing_; }
  void setInteritemSpacing(double spacing) {
    interitemSpacing_ = spacing;
    invalidateLayout();
  }

  // The grid view's delegate when it answers the column questions; set explicitly to override.
  void setDelegate(CollectionViewDelegateColumnLayout* delegate) {
    delegate_ = delegate;
    invalidateLayout();
  }
  CollectionViewDelegateColumnLayout* delegate() const;

  // The clamped column count and item width last used for `section` (tests and cells read it).
  int columnsInSection(int section);
  double itemWidthInSection(int section);

  QSizeF collectionViewContentSize() override;
  std::vector<CollectionViewLayoutAttributes> layoutAttributesForElements(const QRectF& rect) override;
  std::optional<CollectionViewLayoutAttributes> layoutAttributesForItem(const IndexPath& indexPath) override;
  std::optional<CollectionViewLayoutAttributes> layoutAttributesForSupplementaryView(
      const std::string& kind, const IndexPath& indexPath) override;
  std::optional<IndexPath> indexPathForItem(const QPointF& point) override;

 protected:
  void prepareLayout() override;

 private:
  struct Section {
    QRectF header;      // zero height when none
    QRectF footer;      // zero height when none
    double top = 0;     // first y of the section (header included)
    double bottom = 0;  // last y of the section (footer included)
    int columns = 1;
    double itemWidth = 0;
    double tallestItem = 0;
    std::vector<QRectF> items;  // min y never decreases along the list
  };
  CollectionViewLayoutAttributes headerAttributes(int section, const Section& s) const;

  int columnCount_ = 1;
  double headerHeight_ = 0;
  double footerHeight_ = 0;
  double itemHeight_ = 0;
  EdgeInsets sectionInset_;
  double columnSpacing_ = 0;
  double interitemSpacing_ = 0;
  CollectionViewDelegateColumnLayout* delegate_ = nullptr;

  std::vector<Section> sections_;
  QSizeF contentSize_;
};

}  // namespace Vexelworks
