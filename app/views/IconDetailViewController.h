// The icon detail view: what the search window shows in place of the grid when the user opens
// one icon. It is a one-column grid whose first section shows the icon large, in the export
// colour and drawn for the screen's real pixel density, whose second section shows its name and
// creator with a button to its web page, and whose optional third section lists related icons
// (RelatedIconsDataSource). The icon can be copied, dragged out and given its context menu like
// in the grid; Escape and Space send closeIconDetail: along the responder chain, where the
// search window takes the user back to the grid.
//
// The related-icons section sits behind relatedIconsEnabled, which is off: nothing in the
// application switches it on, so the view shows two sections and never asks for related icons.
//
// Threads: main thread only. The related-icons delegate calls move their work to the main queue
// and are dropped once the controller is gone.
#pragma once

#include "app/qt/ViewController.h"
#include "app/service/ExportSettings.h"
#include "app/service/Icon.h"
#include "app/service/IconsOperations.h"
#include "app/service/Images/ImageStore.h"
#include "app/views/CollectionView.h"
#include "app/views/CollectionViewLayout.h"
#include "app/views/RelatedIconsDataSource.h"

#include <QPoint>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

class QMenu;

namespace Vexelworks {

// The detail grid's column layout. It is laid out again only when the grid's size changes, in
// width or in height (the large icon's height follows both), never when it merely scrolls.
class DetailViewLayout : public CollectionViewColumnLayout {
 public:
  // True when the new bounds' width or height differs from the last seen; remembers them either
  // way.
  bool shouldInvalidateLayout(const QRectF& newBounds) override;

  double cvWidth() const { return cvWidth_; }
  double cvWHeight() const { return cvWHeight_; }

 private:
  double cvWidth_ = 0;
  double cvWHeight_ = 0;
};

class IconDetailViewController : public vx::ViewController,
                                 public CollectionViewDataSource,
                                 public CollectionViewDelegate,
                                 public CollectionViewDelegateColumnLayout,
                                 public RelatedIconsDataSourceDelegate {
 public:
  static inline const std::string nibName = "IconDetailViewController";
  static constexpr int kIconSection = 0;
  static constexpr int kInfoSection = 1;
  static constexpr int kRelatedSection = RelatedIconsDataSource::kSection;
  // Spacing between columns and between items.
  static constexpr double kSpacing = 10;
  // Height of the name and creator row.
  static constexpr double kInfoHeight = 50;
  // Points the large icon leaves free below it, and at its sides, in the content area.
  static constexpr double kIconHeightMargin = 100;
  static constexpr double kIconWidthMargin = 40;
  // Side in points of the image the large icon is made from (it is drawn at any size).
  static constexpr double kIconImageSize = 50;
  // Drag pictures taller than this become squares of at most kMaxDragSide.
  static constexpr double kDragSquareThreshold = 200;
  static constexpr double kMaxDragSide = 300;
  // The actions this controller answers along the chain, and the one it sends.
  static inline const std::string copyAction = "copy:";
  static inline const std::string openAction = "openIconInBrowser:";
  static inline const std::string closeAction = "closeIconDetail:";

  // Shows a context menu at a point of `cell` (cell coordinates) and returns once it closed.
  // The default pops it up there; tests record and close it instead.
  using MenuPresenter = std::function<void(QMenu& menu, QWidget& cell, const QPoint& position)>;

  // `imageStore` is the application's one image store, where the artwork comes from.
  explicit IconDetailViewController(std::shared_ptr<ImageStore> imageStore);
  ~IconDetailViewController() override;

  // Registers the interfaces "IconDetailViewController", "IconDetailCell" and "IconInfoCell",
  // and the cell interfaces the related-icons section uses. Call once on the main thread at
  // start-up, before the first controller loads its view.
  static void registerInterfaces();

  // Outlet, connected by the interface.
  QPointer<CollectionView> collectionView;

  // The related-icons switch. Read when the view loads (which starts the request) and for the
  // section count; off unless a caller (a test) switches it on before the view loads.
  bool relatedIconsEnabled() const { return relatedIconsEnabled_; }
  void setRelatedIconsEnabled(bool enabled) { relatedIconsEnabled_ = enabled; }

  // Colour, type and size for drawing, copying and dragging; from the user defaults at first.
  const std::shared_ptr<const ExportOptions>& exportOptions() const { return exportOptions_; }
  // Stores the options, hands their colour to the related-icons data source and redraws,
  // keeping the selection (reloadKeepingSelection).
  void setExportOptions(std::shared_ptr<const ExportOptions> options);

  // Made when the view loads (none before, or without an initial icon).
  const std::shared_ptr<RelatedIconsDataSource>& relatedIconsDataSource() const { return relatedIconsDataSource_; }
  const std::shared_ptr<ImageStore>& imageStore() const { return imageStore_; }
  // The icon the detail was opened for; set it before the view loads.
  const IconPtr& intitialIcon() const { return intitialIcon_; }
  void setIntitialIcon(IconPtr icon) { intitialIcon_ = std::move(icon); }
  // The icon shown in the first two sections.
  const IconPtr& selectedIcon() const { return selectedIcon_; }

  // Shows the initial icon: selects it, loads the view when needed and reloads the grid.
  void selectInitialIcon();

  // The grid's visible size less its content insets and its leading view's height.
  QSizeF contentSize() const;
  // The icon of an item: section 0 the selected icon, section 2 the related icon; none for
  // section 1 and for items no list holds.
  IconPtr icon(const IndexPath& indexPath) const;
  // Reloads data and layout; the selection stays, or with none the first visible item is
  // selected.
  void reloadKeepingSelection();

  // Escape and Space send closeIconDetail: (no target, from this controller) and are taken;
  // every other key goes on.
  bool keyDown(QKeyEvent* event) override;
  // Copy: the selected icon through its actions (nothing without an icon or actions).
  void copy(QObject* sender);
  // Opens the selected icon's web page through the application's URL opener.
  void openIconInBrowser(QObject* sender);
  // The context menu for the item: nothing without an item, an icon or a shown cell.
  void showMenu(const std::optional<IndexPath>& indexPath, const QPoint& windowPosition);
  void setMenuPresenter(MenuPresenter presenter) { menuPresenter_ = std::move(presenter); }

  // --- data source ---
  // 2, or 3 with related icons.
  int numberOfSections(CollectionView&) override;
  int numberOfItemsInSection(CollectionView& view, int section) override;
  CollectionViewCell* cellForItemAt(CollectionView& view, const IndexPath& indexPath) override;
  // Nothing for the first two sections (their headers are 0 high); the related-icons header.
  CollectionReusableView* viewForSupplementaryElementOfKind(CollectionView& view, const std::string& kind,
                                                            const IndexPath& indexPath) override;
  // The icon in the export options' colour, type and size; none without an icon.
  std::unique_ptr<QMimeData> pasteboardWriterForItemAt(CollectionView& view, const IndexPath& indexPath) override;
  // The icon's picture in the export colour, as high as its cell; none without icon or cell.
  std::optional<QImage> dragContentsForItemAt(CollectionView& view, const IndexPath& indexPath) override;
  // A rectangle taller than 200 becomes a centred square of side min(height, 300).
  void dragRectForItemAt(CollectionView& view, const IndexPath& indexPath, QRectF& rect) override;

  // --- delegate ---
  // A click in the related icons shows that icon in the first two sections.
  void didSelectItemsAt(CollectionView& view, const std::set<IndexPath>& indexPaths) override;
  void didRightClickItemAt(CollectionView& view, std::optional<IndexPath> indexPath, QMouseEvent* event) override;
  void collectionViewDidEndLiveResize(CollectionView& view) override;
  // Drags of the large icon or of a related icon; the info row is never dragged.
  bool shouldBeginDraggingAt(CollectionView& view, const IndexPath& indexPath, QMouseEvent* event) override;
  // A drop records one usage of the selected icon (whichever item was dragged).
  void draggingSessionDidEnd(CollectionView& view, Qt::DropAction operation,
                             const std::set<IndexPath>& draggedIndexPaths) override;

  // --- column layout ---
  std::optional<double> heightForHeaderInSection(CollectionView& view, CollectionViewLayout& layout,
                                                 int section) override;
  std::optional<int> numberOfColumnsInSection(CollectionView& view, CollectionViewLayout& layout, int section) override;
  // Section 0: min(content height - 100, content width - 40), never below 0.
  std::optional<double> heightForItemAt(CollectionView& view, CollectionViewLayout& layout,
                                        const IndexPath& indexPath) override;
  std::optional<QSizeF> aspectRatioForItemAt(CollectionView& view, CollectionViewLayout& layout,
                                             const IndexPath& indexPath) override;
  std::optional<EdgeInsets> insetForSectionAt(CollectionView& view, CollectionViewLayout& layout, int section) override;

  // --- related icons ---
  void relatedIconsDidLoad() override;
  void relatedIconImageDidLoad(const IndexPath& indexPath) override;

 protected:
  void viewDidLoad() override;

 private:
  // Stops the program for a section the detail grid does not have.
  [[noreturn]] static void unknownSection(int section);

  bool relatedIconsEnabled_ = false;
  std::shared_ptr<const ExportOptions> exportOptions_;
  std::shared_ptr<RelatedIconsDataSource> relatedIconsDataSource_;
  std::shared_ptr<ImageStore> imageStore_;
  IconPtr intitialIcon_;
  IconPtr selectedIcon_;
  MenuPresenter menuPresenter_;
};

}  // namespace Vexelworks
