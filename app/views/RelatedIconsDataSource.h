// RelatedIconsDataSource: the third section of the icon detail view, a small grid that starts
// with the icon the detail was opened for and goes on with up to seven icons the service lists as
// related to it. It asks the service once (load()), downloads every listed icon's artwork into
// the image store, answers the detail grid's questions for its one section (the detail view
// hands them on unchanged) and tells its delegate, the detail view, when the list or one picture
// has arrived.
//
// Threads: call it on the main thread. The reply arrives on the URL session's thread and is
// moved to the main queue before it touches `icons` or `collection`, so the grid never reads
// them while they change; the delegate is called on the main thread too. Every completion holds
// the data source weakly: a reply or a picture that arrives after the data source (and so the
// detail view that showed its icon) is gone is dropped.
#pragma once

#include "app/service/APIClient.h"
#include "app/service/Color.h"
#include "app/service/Icon.h"
#include "app/service/IconsOperations.h"
#include "app/service/Images/ImageStore.h"
#include "app/views/CollectionView.h"
#include "app/views/CollectionViewLayout.h"

#include "platform/foundation/Operation.h"

#include <QImage>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace Vexelworks {

// Told about arrivals; implemented by the detail view. Both are called on the main thread (the
// detail view still moves its work to the main queue, as it would for a caller on any thread).
class RelatedIconsDataSourceDelegate {
 public:
  virtual ~RelatedIconsDataSourceDelegate() = default;
  // The list changed.
  virtual void relatedIconsDidLoad() = 0;
  // The artwork of the item at `indexPath` (always in the data source's section) is stored.
  virtual void relatedIconImageDidLoad(const IndexPath& indexPath) = 0;
};

class RelatedIconsDataSource : public CollectionViewDataSource,
                               public CollectionViewDelegateColumnLayout,
                               public std::enable_shared_from_this<RelatedIconsDataSource> {
 public:
  // The detail view's section this data source serves.
  static constexpr int kSection = 2;
  static constexpr double kHeaderHeight = 32;
  // Height of the loading cell shown until icons arrive.
  static constexpr double kLoadingCellHeight = 100;
  // One column per this many points of the grid's width, at most kMaxColumns.
  static constexpr double kColumnWidth = 100;
  static constexpr int kMaxColumns = 8;
  // Size in points of the black artwork handed to each cell.
  static constexpr double kCellImageSize = 80;

  // A data source for the icon the detail was opened for. Both are needed: nullptr when either
  // is missing.
  static std::shared_ptr<RelatedIconsDataSource> make(IconPtr initialIcon, std::shared_ptr<ImageStore> imageStore);
  // Cancels a request still queued or running; its reply, if it still comes, finds nobody.
  ~RelatedIconsDataSource() override;
  RelatedIconsDataSource(const RelatedIconsDataSource&) = delete;
  RelatedIconsDataSource& operator=(const RelatedIconsDataSource&) = delete;

  int section() const { return section_; }
  const IconPtr& initialIcon() const { return initialIcon_; }
  // The colour handed to every cell (the detail view sets it from its export options).
  const Color& iconColor() const { return iconColor_; }
  void setIconColor(const Color& color) { iconColor_ = color; }
  // The related icon last selected; the initial icon at first.
  const IconPtr& selectedIcon() const { return selectedIcon_; }
  // The initial icon followed by the related icons once they arrived; empty before.
  const std::vector<IconPtr>& icons() const { return icons_; }
  // The collection the reply named, if any.
  const std::shared_ptr<const Collection>& collection() const { return collection_; }
  // Not owned; the detail view owns this data source, so it outlives it.
  RelatedIconsDataSourceDelegate* delegate() const { return delegate_; }
  void setDelegate(RelatedIconsDataSourceDelegate* delegate) { delegate_ = delegate; }
  // The client load() made; none before, or when no token was stored.
  const std::shared_ptr<APIClient>& api() const { return api_; }
  vx::OperationQueue& queue() { return queue_; }
  const std::shared_ptr<ImageStore>& imageStore() const { return imageStore_; }

  // Asks the service for the related icons, signed with the stored access token. Without a
  // token: "Access token was not available" is logged at ERROR and sent as an error event,
  // logOut goes to every action handler and nothing is requested. An initial icon whose id is
  // not a decimal number cannot name the request: that is logged at ERROR and nothing is
  // requested. Either way the section stays empty (its loading cell).
  void load();

  // The icon's picture in `color`, `size` points on a side, rendered for `devicePixelRatio`
  // (the image carries that ratio, so it draws `size` points large and sharp); none when the
  // store has no artwork for it or the artwork cannot be drawn. The detail view drags it.
  std::optional<QImage> image(const Icon& icon, const Color& color, double size, double devicePixelRatio = 1.0) const;

  // "More from <collection> collection" when the reply named a collection, else "More by
  // <initial icon's creator>".
  QString headerText() const;

  // --- the grid's questions for this section ---
  int numberOfSections(CollectionView&) override { return 1; }
  // The icons, or 1 (the loading cell) while there are none.
  int numberOfItemsInSection(CollectionView&, int section) override;
  // An IconCollectionViewCell showing icons[item] in black, tinted with iconColor when
  // selected; the LoadingCell while there are no icons.
  CollectionViewCell* cellForItemAt(CollectionView& view, const IndexPath& indexPath) override;
  // The RelatedIconsHeader of the asked kind, with headerText().
  CollectionReusableView* viewForSupplementaryElementOfKind(CollectionView& view, const std::string& kind,
                                                            const IndexPath& indexPath) override;
  // 32 with icons, 0 without.
  std::optional<double> heightForHeaderInSection(CollectionView&, CollectionViewLayout&, int) override;
  // With icons: one column per 100 points of the grid's width, 1 to 8; without: 1.
  std::optional<int> numberOfColumnsInSection(CollectionView& view, CollectionViewLayout&, int) override;
  // With icons 0 (the square aspect ratio sizes the items); without, the loading cell's 100.
  std::optional<double> heightForItemAt(CollectionView&, CollectionViewLayout&, const IndexPath&) override;
  // Square with icons; a zero size (none) without.
  std::optional<QSizeF> aspectRatioForItemAt(CollectionView&, CollectionViewLayout&, const IndexPath&) override;
  // The first index path (in order) makes its icon the selected one. The loading cell, or an
  // item the list does not hold, changes nothing.
  void didSelectItemsAt(CollectionView& view, const std::set<IndexPath>& indexPaths);

 private:
  RelatedIconsDataSource(IconPtr initialIcon, std::shared_ptr<ImageStore> imageStore);
  // On the main thread: the reply's icons (none when the request failed) and collection.
  void didLoad(std::optional<std::vector<IconPtr>> icons, std::shared_ptr<const Collection> collection);
  void downloadArtwork();

  int section_ = kSection;
  IconPtr initialIcon_;
  Color iconColor_ = Color::black();
  IconPtr selectedIcon_;
  std::vector<IconPtr> icons_;
  std::shared_ptr<const Collection> collection_;
  RelatedIconsDataSourceDelegate* delegate_ = nullptr;
  std::shared_ptr<APIClient> api_;
  vx::OperationQueue queue_;
  std::shared_ptr<ImageStore> imageStore_;
};

// The icon id as the request's decimal number; none for anything else (empty, signs, blanks,
// other characters, or beyond 64 bits).
std::optional<std::int64_t> decimalIconID(std::string_view id);

}  // namespace Vexelworks
