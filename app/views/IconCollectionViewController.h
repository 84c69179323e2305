// The icon grid: the icons of one IconList as one section of square cells sized by the zoom
// level. It asks the list for the next page while the user scrolls towards the end, and turns
// Return and Space, double clicks, right clicks, drags and the Copy command into actions on the
// selected icon. It is the grid view's delegate and the delegate of its column layout; the list
// (through IconListDataSource) is the data source.
//
// Threads: everything runs on the main thread. Artwork completions from the image store are
// moved to the main queue before they touch a widget.
#pragma once

#include "app/qt/ViewController.h"
#include "app/service/ExportSettings.h"
#include "app/service/IconList/IconList.h"
#include "app/service/ZoomLevel.h"
#include "app/views/CollectionView.h"
#include "app/views/IconListDataSource.h"

#include <QPoint>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>

class QMenu;

namespace Vexelworks {

class IconCollectionViewController : public vx::ViewController,
                                     public CollectionViewDelegate,
                                     public CollectionViewDelegateColumnLayout,
                                     public IconListDelegate {
 public:
  static inline const std::string nibName = "IconCollectionView";
  // Space between cells and from one row to the next.
  static constexpr double kSpacing = 10;
  // Height of the footer while more pages may come.
  static constexpr double kFooterHeight = 56;
  // The next page is asked for while less than this much content lies below the visible area.
  static constexpr double kLoadMoreDistance = 1000;

  // Shows a context menu at a point of `cell` (cell coordinates) and returns once it closed.
  // The default pops the menu up and tracks it there; tests record and close it instead.
  using MenuPresenter = std::function<void(QMenu& menu, QWidget& cell, const QPoint& position)>;

  IconCollectionViewController();
  ~IconCollectionViewController() override;

  // Registers the interface "IconCollectionView" (a grid view connected to the collectionView
  // outlet) and the cell interfaces it uses. Call once on the main thread at start-up.
  static void registerInterface();

  // Outlet, connected by the interface.
  QPointer<CollectionView> collectionView;

  // The list shown. Setting it also makes it (through an IconListDataSource) the grid view's
  // data source; nothing is reloaded until the first page arrives (iconListDidLoadPage).
  const std::shared_ptr<IconList>& iconList() const { return iconList_; }
  void setIconList(std::shared_ptr<IconList> list);
  IconListDataSource* dataSource() const { return dataSource_.get(); }

  const ZoomLevel& zoomLevel() const { return zoomLevel_; }
  // Stores the level and lays the grid out again (relayout).
  void setZoomLevel(const ZoomLevel& level) { relayout(level); }
  const std::shared_ptr<const ExportOptions>& exportOptions() const { return exportOptions_; }
  // Stores the options; the caller then calls reloadVisibleItems().
  void setExportOptions(std::shared_ptr<const ExportOptions> options);

  // After every completed page, on the main thread: page 1 clears the selection and scrolls to
  // the top; every page reloads and may ask for the next at once.
  void iconListDidLoadPage(IconList& list, std::int64_t page) override;
  // Redraws with new export options, keeping the selection or selecting the first visible icon.
  void reloadVisibleItems();
  void relayout(const ZoomLevel& level);
  // Asks for the next page when less than kLoadMoreDistance of content lies below the visible
  // area, a list is set, it is not loading and it has more.
  void loadMoreIfNeeded();

  // floor(width / (zoom size + spacing)); 0 for a grid narrower than one column.
  int numberOfColumns() const;
  double footerHeight(int section) const;
  // The selected icon, if any.
  IconPtr selectedIcon() const;

  // What willDisplayCell hands the image store: reloads the item once its artwork is stored,
  // on the main queue whichever thread it is called on, and only while the grid still exists.
  std::function<void()> artworkCompletion(const IndexPath& indexPath);

  void setMenuPresenter(MenuPresenter presenter) { menuPresenter_ = std::move(presenter); }

  // Return and Space open the selected icon (and are swallowed without one); the Copy shortcut
  // copies it; other keys go on.
  bool keyDown(QKeyEvent* event) override;
  // The Copy command: the selected icon through its actions' copy.
  void copy(QObject* sender);

  // --- grid view delegate ---
  void willDisplayCell(CollectionView& view, CollectionViewCell& cell, const IndexPath& indexPath) override;
  void didDoubleClickItemAt(CollectionView& view, std::optional<IndexPath> indexPath, QMouseEvent* event) override;
  void didRightClickItemAt(CollectionView& view, std::optional<IndexPath> indexPath, QMouseEvent* event) override;
  void collectionViewDidScroll(CollectionView& view) override;
  void collectionViewDidEndLiveResize(CollectionView& view) override;
  bool shouldBeginDraggingAt(CollectionView& view, const IndexPath& indexPath, QMouseEvent* event) override;
  void draggingSessionDidEnd(CollectionView& view, Qt::DropAction operation,
                             const std::set<IndexPath>& draggedIndexPaths) override;

  // --- column layout delegate ---
  std::optional<QSizeF> aspectRatioForItemAt(CollectionView&, CollectionViewLayout&, const IndexPath&) override;
  // numberOfColumns(), but never less than one: a grid narrower than one column still shows
  // its icons, one per row.
  std::optional<int> numberOfColumnsInSection(CollectionView&, CollectionViewLayout&, int) override;
  std::optional<double> interitemSpacingForSectionAt(CollectionView&, CollectionViewLayout&, int) override;
  std::optional<double> columnSpacingForSectionAt(CollectionView&, CollectionViewLayout&, int) override;
  std::optional<double> heightForHeaderInSection(CollectionView&, CollectionViewLayout&, int) override;
  std::optional<double> heightForFooterInSection(CollectionView&, CollectionViewLayout&, int section) override;

 protected:
  void loadView() override;

 private:
  void showIconDetail();

  std::shared_ptr<IconList> iconList_;
  std::unique_ptr<IconListDataSource> dataSource_;
  ZoomLevel zoomLevel_;
  std::shared_ptr<const ExportOptions> exportOptions_;
  MenuPresenter menuPresenter_;
};

}  // namespace Vexelworks
