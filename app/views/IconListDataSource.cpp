#include "app/views/IconListDataSource.h"

#include "app/pasteboard/IconMimeData.h"
#include "app/views/Drawing.h"
#include "app/views/IconCollectionFooterView.h"
#include "app/views/IconCollectionViewCell.h"

#include <QMimeData>

#include <cmath>

namespace Vexelworks {

IconListDataSource::IconListDataSource(std::shared_ptr<IconList> list) : list_(std::move(list)) {}

IconPtr IconListDataSource::icon(const IconList& list, const IndexPath& indexPath) {
  const auto& icons = list.icons();
  if (indexPath.section != 0 || indexPath.item < 0 || static_cast<std::size_t>(indexPath.item) >= icons.size()) {
    return nullptr;
  }
  return icons[static_cast<std::size_t>(indexPath.item)];
}

Color IconListDataSource::exportColor() const {
  const auto& options = list_->exportOptions();
  return options ? options->color() : Color::black();
}

int IconListDataSource::numberOfItemsInSection(CollectionView&, int section) {
  return section == 0 ? static_cast<int>(list_->icons().size()) : 0;
}

CollectionViewCell* IconListDataSource::cellForItemAt(CollectionView& view, const IndexPath& indexPath) {
  CollectionViewCell* dequeued = view.dequeueReusableCell(IconCollectionViewCell::reuseIdentifier, indexPath);
  auto* cell = dynamic_cast<IconCollectionViewCell*>(dequeued);
  const IconPtr found = icon(indexPath);
  if (cell == nullptr || !found) return dequeued;
  std::optional<IconImage> image;
  if (const auto& store = list_->imageStore()) image = store->image(*found, list_->zoomLevel().size, Color::black());
  cell->setImage(std::move(image));
  cell->update();
  cell->setIconColor(exportColor());
  return cell;
}

CollectionReusableView* IconListDataSource::viewForSupplementaryElementOfKind(CollectionView& view,
                                                                              const std::string& kind,
                                                                              const IndexPath& indexPath) {
  if (kind != CollectionViewLayoutElementKind::SectionFooter) return new CollectionReusableView;
  CollectionReusableView* dequeued =
      view.dequeueReusableSupplementaryView(kind, IconCollectionFooterView::nibName, indexPath);
  if (auto* footer = dynamic_cast<IconCollectionFooterView*>(dequeued);
      footer != nullptr && footer->progressIndicator) {
    footer->progressIndicator->setWantsLayer(true);
    footer->progressIndicator->setDotColor(Qt::black);
    footer->progressIndicator->setNeedsDisplay();
  }
  return dequeued;
}

std::unique_ptr<QMimeData> IconListDataSource::pasteboardWriterForItemAt(CollectionView&, const IndexPath& indexPath) {
  const auto& options = list_->exportOptions();
  std::optional<PasteboardType> type;
  if (options) type = options->type();
  auto item = list_->pasteboardItem(icon(indexPath), type);
  if (!item) return std::make_unique<QMimeData>();
  return std::make_unique<IconMimeData>(std::make_shared<const IconPasteboardItem>(std::move(*item)));
}

std::optional<QImage> IconListDataSource::dragContentsForItemAt(CollectionView& view, const IndexPath& indexPath) {
  const IconPtr found = icon(indexPath);
  CollectionViewCell* cell = view.cellForItem(indexPath);
  if (!found || cell == nullptr || !list_->imageStore()) return std::nullopt;
  const double width = cell->width();
  const auto image = list_->imageStore()->image(*found, width, exportColor());
  if (!image) return std::nullopt;
  const int pixels = static_cast<int>(std::lround(width * cell->devicePixelRatioF()));
  QImage picture = renderIconImage(*image, pixels);
  if (picture.isNull()) return std::nullopt;
  picture.setDevicePixelRatio(cell->devicePixelRatioF());
  return picture;
}

}  // namespace Vexelworks
