#include "app/views/RelatedIconsDataSource.h"

#include "app/service/Action.h"
#include "app/service/Auth/ErrorReporting.h"
#include "app/service/Auth/TokenStore.h"
#include "app/service/Helpers.h"
#include "app/service/Logger.h"
#include "app/service/ServiceConfig.h"
#include "app/views/Drawing.h"
#include "app/views/IconCollectionViewCell.h"
#include "app/views/LoadingCell.h"
#include "app/views/RelatedIconsHeader.h"

#include <QLabel>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace Vexelworks {

std::optional<std::int64_t> decimalIconID(std::string_view id) {
  if (id.empty()) return std::nullopt;
  if (!std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), value);
  if (error != std::errc() || end != id.data() + id.size()) return std::nullopt;
  return value;
}

std::shared_ptr<RelatedIconsDataSource> RelatedIconsDataSource::make(IconPtr initialIcon,
                                                                     std::shared_ptr<ImageStore> imageStore) {
  if (!initialIcon || !imageStore) return nullptr;
  return std::shared_ptr<RelatedIconsDataSource>(
      new RelatedIconsDataSource(std::move(initialIcon), std::move(imageStore)));
}

RelatedIconsDataSource::RelatedIconsDataSource(IconPtr initialIcon, std::shared_ptr<ImageStore> imageStore)
    : initialIcon_(initialIcon),
      selectedIcon_(std::move(initialIcon)),
      queue_("RelatedIconsDataSource"),
      imageStore_(std::move(imageStore)) {}

RelatedIconsDataSource::~RelatedIconsDataSource() { queue_.cancelAllOperations(); }

void RelatedIconsDataSource::load() {
  auto token = TokenStore(kAccessTokenAccount).getToken();
  if (!token) {
    const std::string message = "Access token was not available";
    log(message, "ERROR", "load()", "RelatedIconsDataSource", __LINE__);
    reportErrorEvent(message);
    dispatch(Actions::LogOut{});
    return;
  }
  api_ = APIClient::make(apiBaseURL(), *token);
  const auto iconID = decimalIconID(initialIcon_->id);
  if (!api_ || !iconID) {
    log("Cannot ask for icons related to icon \"" + initialIcon_->id + "\": its id is not a decimal number", "ERROR",
        "load()", "RelatedIconsDataSource", __LINE__);
    return;
  }
  auto operation = std::make_shared<RelatedIconsOperation>(api_, *iconID);
  std::weak_ptr<RelatedIconsDataSource> weakSelf = weak_from_this();
  std::weak_ptr<RelatedIconsOperation> weakOperation = operation;
  operation->setQueryCompletionBlock(
      [weakSelf, weakOperation](std::optional<std::vector<IconPtr>> icons, std::int64_t, std::optional<vx::Error>) {
        // On the session's thread: read what the operation kept, touch nothing of ours here.
        std::shared_ptr<const Collection> collection;
        if (auto operation = weakOperation.lock()) collection = operation->collection();
        runOnMain([weakSelf, icons = std::move(icons), collection = std::move(collection)]() mutable {
          if (auto self = weakSelf.lock()) self->didLoad(std::move(icons), std::move(collection));
        });
      });
  queue_.addOperation(operation);
}

void RelatedIconsDataSource::didLoad(std::optional<std::vector<IconPtr>> icons,
                                     std::shared_ptr<const Collection> collection) {
  if (icons) {
    std::vector<IconPtr> list;
    list.reserve(icons->size() + 1);
    list.push_back(initialIcon_);
    list.insert(list.end(), icons->begin(), icons->end());
    icons_ = std::move(list);
    collection_ = std::move(collection);
  } else {
    icons_.clear();
  }
  downloadArtwork();
  if (delegate_ != nullptr) delegate_->relatedIconsDidLoad();
}

void RelatedIconsDataSource::downloadArtwork() {
  std::weak_ptr<RelatedIconsDataSource> weakSelf = weak_from_this();
  for (std::size_t i = 0; i < icons_.size(); ++i) {
    // Every entry is fetched again, cached or not: the store keeps the newest artwork.
    auto operation = imageStore_->makeDownloadOperation(icons_[i]);
    const IndexPath path{section_, static_cast<int>(i)};
    operation->setDownloadCompletionBlock(imageStore_->didDownloadBlock(operation, [weakSelf, path] {
      // The store runs this on the main queue once the artwork is stored.
      auto self = weakSelf.lock();
      if (self && self->delegate_ != nullptr) self->delegate_->relatedIconImageDidLoad(path);
    }));
    imageStore_->downloadQueue().addOperation(operation);
  }
}

std::optional<QImage> RelatedIconsDataSource::image(const Icon& icon, const Color& color, double size,
                                                    double devicePixelRatio) const {
  if (!std::isfinite(size) || size <= 0) return std::nullopt;
  if (!std::isfinite(devicePixelRatio) || devicePixelRatio <= 0) devicePixelRatio = 1.0;
  const auto artwork = imageStore_->image(icon, size, color);
  if (!artwork) return std::nullopt;
  const double pixels = std::ceil(size * devicePixelRatio);
  if (pixels > SVGDocument::kMaxBitmapEdge) return std::nullopt;
  QImage picture = renderIconImage(*artwork, static_cast<int>(pixels));
  if (picture.isNull()) return std::nullopt;
  picture.setDevicePixelRatio(devicePixelRatio);
  return picture;
}

QString RelatedIconsDataSource::headerText() const {
  if (collection_) return QString::fromStdString("More from " + collection_->name + " collection");
  return QString::fromStdString("More by " + initialIcon_->creator->name);
}

int RelatedIconsDataSource::numberOfItemsInSection(CollectionView&, int) {
  return icons_.empty() ? 1 : static_cast<int>(icons_.size());
}

CollectionViewCell* RelatedIconsDataSource::cellForItemAt(CollectionView& view, const IndexPath& indexPath) {
  const auto item = static_cast<std::size_t>(std::max(0, indexPath.item));
  if (icons_.empty() || item >= icons_.size()) {
    return view.dequeueReusableCell(LoadingCell::nibName, indexPath);
  }
  auto* cell = static_cast<IconCollectionViewCell*>(
      view.dequeueReusableCell(IconCollectionViewCell::reuseIdentifier, indexPath));
  // Black artwork: the cell tints it when it draws.
  cell->setImage(imageStore_->image(*icons_[item], kCellImageSize, Color::black()));
  cell->update();
  cell->setIconColor(iconColor_);
  return cell;
}

CollectionReusableView* RelatedIconsDataSource::viewForSupplementaryElementOfKind(CollectionView& view,
                                                                                  const std::string& kind,
                                                                                  const IndexPath& indexPath) {
  auto* header = static_cast<RelatedIconsHeader*>(
      view.dequeueReusableSupplementaryView(kind, RelatedIconsHeader::nibName, indexPath));
  if (header->headerField != nullptr) header->headerField->setText(headerText());
  return header;
}

std::optional<double> RelatedIconsDataSource::heightForHeaderInSection(CollectionView&, CollectionViewLayout&, int) {
  return icons_.empty() ? 0.0 : kHeaderHeight;
}

std::optional<int> RelatedIconsDataSource::numberOfColumnsInSection(CollectionView& view, CollectionViewLayout&, int) {
  if (icons_.empty()) return 1;
  const double width = view.viewport()->width();
  const double fit = std::floor(std::max(0.0, width) / kColumnWidth);
  // A grid narrower than one column still shows its icons, in one column.
  return std::clamp(static_cast<int>(std::min<double>(fit, kMaxColumns)), 1, kMaxColumns);
}

std::optional<double> RelatedIconsDataSource::heightForItemAt(CollectionView&, CollectionViewLayout&,
                                                              const IndexPath&) {
  return icons_.empty() ? kLoadingCellHeight : 0.0;
}

std::optional<QSizeF> RelatedIconsDataSource::aspectRatioForItemAt(CollectionView&, CollectionViewLayout&,
                                                                   const IndexPath&) {
  return icons_.empty() ? QSizeF(0, 0) : QSizeF(1, 1);
}

void RelatedIconsDataSource::didSelectItemsAt(CollectionView&, const std::set<IndexPath>& indexPaths) {
  if (indexPaths.empty()) return;
  const int item = indexPaths.begin()->item;
  if (item < 0 || static_cast<std::size_t>(item) >= icons_.size()) return;
  selectedIcon_ = icons_[static_cast<std::size_t>(item)];
}

}  // namespace Vexelworks
