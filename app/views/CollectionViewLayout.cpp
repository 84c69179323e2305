#include "app/views/CollectionViewLayout.h"

#include "app/views/CollectionView.h"

#include <algorithm>
#include <cmath>

namespace Vexelworks {

namespace {

// Sizes from delegates may be anything: negative, NaN or infinite all become 0.
double clampSize(double value) {
  if (!std::isfinite(value) || value < 0) return 0;
  return value;
}

EdgeInsets clampInsets(const EdgeInsets& insets) {
  return {clampSize(insets.top), clampSize(insets.left), clampSize(insets.bottom), clampSize(insets.right)};
}

}  // namespace

void CollectionViewLayout::prepareIfNeeded() {
  if (valid_) return;
  valid_ = true;  // set first: prepareLayout may ask the grid for counts that ask us back
  prepareLayout();
}

bool CollectionViewLayout::shouldInvalidateLayout(const QRectF& newBounds) {
  if (newBounds.width() == lastWidth_) return false;
  lastWidth_ = newBounds.width();
  return true;
}

CollectionViewDelegateColumnLayout* CollectionViewColumnLayout::delegate() const {
  if (delegate_ != nullptr) return delegate_;
  if (collectionView() == nullptr) return nullptr;
  return dynamic_cast<CollectionViewDelegateColumnLayout*>(collectionView()->delegate());
}

void CollectionViewColumnLayout::prepareLayout() {
  sections_.clear();
  contentSize_ = {};
  CollectionView* view = collectionView();
  if (view == nullptr) return;
  CollectionViewDelegateColumnLayout* answers = delegate();
  const double width = view->layoutWidth();
  const int sectionCount = view->numberOfSections();
  double y = 0;
  for (int s = 0; s < sectionCount; ++s) {
    Section section;
    section.top = y;
    EdgeInsets inset = sectionInset_;
    int columns = columnCount_;
    double columnSpacing = columnSpacing_;
    double interitem = interitemSpacing_;
    double header = headerHeight_;
    double footer = footerHeight_;
    if (answers != nullptr) {
      inset = answers->insetForSectionAt(*view, *this, s).value_or(inset);
      columns = answers->numberOfColumnsInSection(*view, *this, s).value_or(columns);
      columnSpacing = answers->columnSpacingForSectionAt(*view, *this, s).value_or(columnSpacing);
      interitem = answers->interitemSpacingForSectionAt(*view, *this, s).value_or(interitem);
      header = answers->heightForHeaderInSection(*view, *this, s).value_or(header);
      footer = answers->heightForFooterInSection(*view, *this, s).value_or(footer);
    }
    inset = clampInsets(inset);
    columns = std::max(1, columns);  // zero or negative columns lay out as one
    columnSpacing = clampSize(columnSpacing);
    interitem = clampSize(interitem);
    header = clampSize(header);
    footer = clampSize(footer);

    section.header = QRectF(0, y, width, header);
    y += header + inset.top;
    const double available = std::max(0.0, width - inset.left - inset.right);
    const double itemWidth = std::max(0.0, (available - (columns - 1) * columnSpacing) / columns);
    section.columns = columns;
    section.itemWidth = itemWidth;

    const int count = view->numberOfItemsInSection(s);
    // Columns beyond the item count stay empty, so they need no bottom of their own.
    std::vector<double> bottoms(static_cast<std::size_t>(std::clamp(count, 1, columns)), y);
    section.items.reserve(static_cast<std::size_t>(std::max(0, count)));
    for (int i = 0; i < count; ++i) {
      const IndexPath path{s, i};
      double height = itemHeight_;
      std::optional<QSizeF> ratio;
      if (answers != nullptr) {
        ratio = answers->aspectRatioForItemAt(*view, *this, path);
        if (auto h = answers->heightForItemAt(*view, *this, path)) height = *h;
      }
      if (ratio && ratio->width() > 0 && ratio->height() > 0 && std::isfinite(ratio->width()) &&
          std::isfinite(ratio->height())) {
        height = itemWidth * ratio->height() / ratio->width();
      }
      height = clampSize(height);
      const auto column = static_cast<std::size_t>(std::min_element(bottoms.begin(), bottoms.end()) - bottoms.begin());
      const double x = inset.left + static_cast<double>(column) * (itemWidth + columnSpacing);
      section.items.emplace_back(x, bottoms[column], itemWidth, height);
      section.tallestItem = std::max(section.tallestItem, height);
      bottoms[column] += height + interitem;
    }
    double contentBottom = y;
    if (count > 0) contentBottom = *std::max_element(bottoms.begin(), bottoms.end()) - interitem;
    y = contentBottom + inset.bottom;
    section.footer = QRectF(0, y, width, footer);
    y += footer;
    section.bottom = y;
    sections_.push_back(std::move(section));
  }
  contentSize_ = QSizeF(width, y);
}

int CollectionViewColumnLayout::columnsInSection(int section) {
  prepareIfNeeded();
  if (section < 0 || section >= static_cast<int>(sections_.size())) return 0;
  return sections_[static_cast<std::size_t>(section)].columns;
}

double CollectionViewColumnLayout::itemWidthInSection(int section) {
  prepareIfNeeded();
  if (section < 0 || section >= static_cast<int>(sections_.size())) return 0;
  return sections_[static_cast<std::size_t>(section)].itemWidth;
}

QSizeF CollectionViewColumnLayout::collectionViewContentSize() {
  prepareIfNeeded();
  return contentSize_;
}

CollectionViewLayoutAttributes CollectionViewColumnLayout::headerAttributes(int section, const Section& s) const {
  CollectionViewLayoutAttributes attributes{{section, 0}, CollectionViewLayoutElementKind::SectionHeader, s.header, 0};
  if (pinHeadersToTop() && collectionView() != nullptr) {
    const double visibleTop = collectionView()->documentVisibleRect().top();
    const double pinned = std::min(std::max(s.header.top(), visibleTop), s.bottom - s.header.height());
    attributes.frame.moveTop(std::max(s.header.top(), pinned));
    attributes.zIndex = 1;
  }
  return attributes;
}

std::vector<CollectionViewLayoutAttributes> CollectionViewColumnLayout::layoutAttributesForElements(
    const QRectF& rect) {
  prepareIfNeeded();
  std::vector<CollectionViewLayoutAttributes> result;
  for (std::size_t s = 0; s < sections_.size(); ++s) {
    const Section& section = sections_[s];
    if (section.bottom < rect.top() || section.top > rect.bottom()) continue;
    const int sectionIndex = static_cast<int>(s);
    // Item tops never decrease, so the first candidate is the first item that starts no higher
    // than one tallest item above the rectangle.
    const double from = rect.top() - section.tallestItem;
    auto first = std::lower_bound(section.items.begin(), section.items.end(), from,
                                  [](const QRectF& item, double y) { return item.top() < y; });
    for (auto it = first; it != section.items.end() && it->top() <= rect.bottom(); ++it) {
      if (it->intersects(rect)) {
        result.push_back({{sectionIndex, static_cast<int>(it - section.items.begin())}, {}, *it, 0});
      }
    }
    if (section.footer.height() > 0 && section.footer.intersects(rect)) {
      result.push_back({{sectionIndex, 0}, CollectionViewLayoutElementKind::SectionFooter, section.footer, 0});
    }
    if (section.header.height() > 0) {
      auto header = headerAttributes(sectionIndex, section);
      if (header.frame.intersects(rect)) result.push_back(std::move(header));  // last: drawn on top
    }
  }
  return result;
}

std::optional<CollectionViewLayoutAttributes> CollectionViewColumnLayout::layoutAttributesForItem(
    const IndexPath& path) {
  prepareIfNeeded();
  if (path.section < 0 || path.section >= static_cast<int>(sections_.size())) return std::nullopt;
  const Section& section = sections_[static_cast<std::size_t>(path.section)];
  if (path.item < 0 || path.item >= static_cast<int>(section.items.size())) return std::nullopt;
  return CollectionViewLayoutAttributes{path, {}, section.items[static_cast<std::size_t>(path.item)], 0};
}

std::optional<CollectionViewLayoutAttributes> CollectionViewColumnLayout::layoutAttributesForSupplementaryView(
    const std::string& kind, const IndexPath& path) {
  prepareIfNeeded();
  if (path.section < 0 || path.section >= static_cast<int>(sections_.size())) return std::nullopt;
  const Section& section = sections_[static_cast<std::size_t>(path.section)];
  if (kind == CollectionViewLayoutElementKind::SectionHeader) return headerAttributes(path.section, section);
  if (kind == CollectionViewLayoutElementKind::SectionFooter) {
    return CollectionViewLayoutAttributes{{path.section, 0}, kind, section.footer, 0};
  }
  return std::nullopt;
}

std::optional<IndexPath> CollectionViewColumnLayout::indexPathForItem(const QPointF& point) {
  prepareIfNeeded();
  for (std::size_t s = 0; s < sections_.size(); ++s) {
    const Section& section = sections_[s];
    if (point.y() < section.top || point.y() > section.bottom) continue;
    auto first = std::lower_bound(section.items.begin(), section.items.end(), point.y() - section.tallestItem,
                                  [](const QRectF& item, double y) { return item.top() < y; });
    for (auto it = first; it != section.items.end() && it->top() <= point.y(); ++it) {
      if (it->contains(point)) return IndexPath{static_cast<int>(s), static_cast<int>(it - section.items.begin())};
    }
  }
  return std::nullopt;
}

}  // namespace Vexelworks
