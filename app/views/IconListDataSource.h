// An icon list as the icon grid's data source: one section of icon cells, the footer with the
// page-loading dots, the clipboard data of a dragged icon and its picture. It reads the list's
// icons, image store, zoom level and export options at the moment the grid asks.
#pragma once

#include "app/service/IconList/IconList.h"
#include "app/views/CollectionView.h"

#include <memory>
#include <optional>

namespace Vexelworks {

class IconListDataSource : public CollectionViewDataSource {
 public:
  explicit IconListDataSource(std::shared_ptr<IconList> list);

  const std::shared_ptr<IconList>& list() const { return list_; }

  // The icon at the index path: section 0 and an item below the count; none otherwise (a stale
  // path after a reload).
  static IconPtr icon(const IconList& list, const IndexPath& indexPath);
  IconPtr icon(const IndexPath& indexPath) const { return icon(*list_, indexPath); }

  int numberOfSections(CollectionView&) override { return 1; }
  int numberOfItemsInSection(CollectionView&, int section) override;
  // An icon cell with the artwork in black at the zoom size (none while not stored) and the
  // export colour; without an icon, the cell as dequeued.
  CollectionViewCell* cellForItemAt(CollectionView& view, const IndexPath& indexPath) override;
  // The footer with its dot indicator set up black; any other kind a plain empty view.
  CollectionReusableView* viewForSupplementaryElementOfKind(CollectionView& view, const std::string& kind,
                                                            const IndexPath& indexPath) override;
  // The icon's lazy clipboard data in the export options' type; empty data without an icon.
  std::unique_ptr<QMimeData> pasteboardWriterForItemAt(CollectionView& view, const IndexPath& indexPath) override;
  // The icon in the export colour at the cell's width; none without an icon, a shown cell or
  // stored artwork.
  std::optional<QImage> dragContentsForItemAt(CollectionView& view, const IndexPath& indexPath) override;

 private:
  Color exportColor() const;

  std::shared_ptr<IconList> list_;
};

}  // namespace Vexelworks
