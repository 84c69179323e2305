// Value types shared by the grid view, its layouts and its reusable views.
#pragma once

#include <QMarginsF>
#include <QRectF>
#include <QSizeF>

#include <compare>
#include <string>

namespace Vexelworks {

// One item of one section. Ordered by section, then item.
struct IndexPath {
  int section = 0;
  int item = 0;
  auto operator<=>(const IndexPath&) const = default;
};

// Kinds of supplementary views.
namespace CollectionViewLayoutElementKind {
inline const std::string SectionHeader = "SectionHeader";
inline const std::string SectionFooter = "SectionFooter";
}  // namespace CollectionViewLayoutElementKind

// Where a selection or reload leaves the scroll position.
enum class CollectionViewScrollPosition {
  noScroll,         // leave the scroll position alone
  scrollToVisible,  // scroll just enough to show the item
};

// Where one element sits, in document coordinates (y grows downwards, 0 at the top).
struct CollectionViewLayoutAttributes {
  IndexPath indexPath;
  std::string elementKind;  // empty for a cell
  QRectF frame;
  int zIndex = 0;  // pinned headers draw above cells

  bool isCell() const { return elementKind.empty(); }
  bool operator==(const CollectionViewLayoutAttributes&) const = default;
};

// Insets as the layouts take them: top, left, bottom, right.
struct EdgeInsets {
  double top = 0;
  double left = 0;
  double bottom = 0;
  double right = 0;
  bool operator==(const EdgeInsets&) const = default;
};

}  // namespace Vexelworks
