#include "app/views/IconCollectionViewController.h"

#include "app/qt/ActionRouter.h"
#include "app/qt/InterfaceRegistry.h"
#include "app/service/Action.h"
#include "app/service/Export/ExportDefaults.h"
#include "app/service/Logger.h"
#include "app/service/Palette.h"
#include "app/views/CellInterfaces.h"
#include "app/views/Drawing.h"
#include "app/views/IconActionsProvider.h"
#include "app/views/IconCollectionFooterView.h"
#include "app/views/IconCollectionViewCell.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Error.h"

#include <QKeyEvent>
#include <QKeySequence>
#include <QMenu>
#include <QMouseEvent>

#include <cmath>

namespace Vexelworks {

namespace {
constexpr const char* kFile = "IconCollectionViewController";
constexpr const char* kDragEndFunction = "collectionView(_:draggingSession:didEndAt:with:draggedIndexPaths:)";
}  // namespace

IconCollectionViewController::IconCollectionViewController()
    : vx::ViewController(nibName),
      zoomLevel_(ZoomLevel::defaultLevel()),
      exportOptions_(exportOptionsFromDefaults()),
      menuPresenter_(
          [](QMenu& menu, QWidget& cell, const QPoint& position) { menu.exec(cell.mapToGlobal(position)); }) {
  setActionHandler("copy:", [this](QObject* sender) { copy(sender); });
}

IconCollectionViewController::~IconCollectionViewController() {
  // The grid may outlive this controller for a moment (deleted later with its window); it must
  // not call back into it.
  if (collectionView != nullptr) {
    collectionView->setDelegate(nullptr);
    collectionView->setDataSource(nullptr);
  }
}

void IconCollectionViewController::registerInterface() {
  registerCellInterfaces();
  vx::InterfaceRegistry::shared().registerInterface(nibName, [](QObject* owner) -> QWidget* {
    auto* grid = new CollectionView;
    grid->setObjectName(QStringLiteral("IconCollectionView"));
    grid->setFocusPolicy(Qt::StrongFocus);
    if (auto* controller = dynamic_cast<IconCollectionViewController*>(owner)) controller->collectionView = grid;
    return grid;
  });
}

void IconCollectionViewController::loadView() {
  vx::ViewController::loadView();
  if (collectionView == nullptr) vx::fatalError("IconCollectionViewController: the interface has no grid view");
  CollectionView& grid = *collectionView;
  grid.registerClass<IconCollectionViewCell>(IconCollectionViewCell::reuseIdentifier);
  grid.registerSupplementaryNib(IconCollectionFooterView::nibName, CollectionViewLayoutElementKind::SectionFooter,
                                IconCollectionFooterView::nibName);
  grid.setDelegate(this);
  grid.setAllowsSelection(true);
  grid.setAllowsMultipleSelection(false);
  grid.setBackgroundColor(toQColor(Palette::backgroundGrey));
  grid.setCollectionViewLayout(std::make_unique<CollectionViewColumnLayout>());
  if (dataSource_) grid.setDataSource(dataSource_.get());
}

void IconCollectionViewController::setIconList(std::shared_ptr<IconList> list) {
  iconList_ = std::move(list);
  auto previous = std::move(dataSource_);
  if (iconList_) dataSource_ = std::make_unique<IconListDataSource>(iconList_);
  if (collectionView != nullptr) collectionView->setDataSource(dataSource_.get());
}

void IconCollectionViewController::setExportOptions(std::shared_ptr<const ExportOptions> options) {
  if (options) exportOptions_ = std::move(options);
}

IconPtr IconCollectionViewController::selectedIcon() const {
  if (!iconList_ || collectionView == nullptr) return nullptr;
  const auto selected = collectionView->sortedIndexPathsForSelectedItems();
  if (selected.empty()) return nullptr;
  return IconListDataSource::icon(*iconList_, selected.front());
}

void IconCollectionViewController::showIconDetail() {
  if (!selectedIcon()) return;
  vx::ActionRouter::sendAction("showIconDetail:", nullptr, this, collectionView);
}

bool IconCollectionViewController::keyDown(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Space) {
    showIconDetail();
    return true;
  }
  if (event->matches(QKeySequence::Copy)) {
    copy(collectionView);
    return true;
  }
  return vx::ViewController::keyDown(event);
}

void IconCollectionViewController::copy(QObject* sender) {
  const IconPtr icon = selectedIcon();
  if (!icon) return;
  auto actions = makeIconActions(icon, exportOptions_, iconList_->imageStore());
  if (actions) actions->copy(sender);
}

void IconCollectionViewController::iconListDidLoadPage(IconList&, std::int64_t page) {
  if (collectionView == nullptr) return;
  if (page == 1) {
    collectionView->deselectAllItems(false);
    collectionView->scrollToTop(false);
  }
  collectionView->reloadData();
  loadMoreIfNeeded();
}

void IconCollectionViewController::relayout(const ZoomLevel& level) {
  zoomLevel_ = level;
  if (collectionView == nullptr) return;
  collectionView->reloadLayout(false, CollectionViewScrollPosition::scrollToVisible);
  loadMoreIfNeeded();
  const auto selected = collectionView->sortedIndexPathsForSelectedItems();
  if (!selected.empty()) {
    collectionView->scrollItem(selected.front(), CollectionViewScrollPosition::scrollToVisible, false);
  }
}

void IconCollectionViewController::reloadVisibleItems() {
  if (collectionView == nullptr) return;
  const auto remembered = collectionView->sortedIndexPathsForSelectedItems();
  collectionView->reloadData();
  collectionView->reloadLayout(false, CollectionViewScrollPosition::scrollToVisible);
  if (!remembered.empty()) {
    collectionView->selectItems(std::set<IndexPath>(remembered.begin(), remembered.end()), false,
                                CollectionViewScrollPosition::noScroll);
    return;
  }
  const auto visible = collectionView->indexPathsForVisibleItems();  // a set: ascending already
  if (!visible.empty()) {
    collectionView->selectItems({*visible.begin()}, false, CollectionViewScrollPosition::noScroll);
  }
}

void IconCollectionViewController::loadMoreIfNeeded() {
  if (collectionView == nullptr) return;
  const CollectionClipView clip = collectionView->clipView();
  const QRectF visible = clip.documentVisibleRect();
  const double remaining = clip.documentRect().height() - (visible.height() + visible.y());
  if (remaining < kLoadMoreDistance && iconList_ && !iconList_->loading() && iconList_->hasMore()) {
    iconList_->loadPage(iconList_->nextPage());
  }
}

int IconCollectionViewController::numberOfColumns() const {
  if (collectionView == nullptr) return 0;
  const double column = zoomLevel_.size + kSpacing;
  if (!(column > 0)) return 0;
  return static_cast<int>(std::floor(collectionView->viewport()->width() / column));
}

double IconCollectionViewController::footerHeight(int section) const {
  if (iconList_ && section == 0 && iconList_->hasMore() && !iconList_->icons().empty()) return kFooterHeight;
  return 0;
}

std::function<void()> IconCollectionViewController::artworkCompletion(const IndexPath& indexPath) {
  QPointer<CollectionView> grid = collectionView;
  auto reload = [grid, indexPath] {
    if (grid != nullptr) grid->reloadItems({indexPath}, false);
  };
  return [reload] {
    // The image store promises the main queue; a completion that arrives anywhere else must
    // still never touch a widget there.
    if (vx::DispatchQueue::isMainThread()) {
      reload();
    } else {
      vx::DispatchQueue::main()->async(reload);
    }
  };
}

void IconCollectionViewController::willDisplayCell(CollectionView&, CollectionViewCell&, const IndexPath& indexPath) {
  if (!iconList_) return;
  const IconPtr icon = IconListDataSource::icon(*iconList_, indexPath);
  if (!icon || !iconList_->imageStore()) return;
  iconList_->imageStore()->fetch(icon, artworkCompletion(indexPath));
}

void IconCollectionViewController::didDoubleClickItemAt(CollectionView&, std::optional<IndexPath>, QMouseEvent*) {
  showIconDetail();
}

void IconCollectionViewController::didRightClickItemAt(CollectionView& view, std::optional<IndexPath> indexPath,
                                                       QMouseEvent* event) {
  if (!indexPath) return;
  CollectionViewCell* cell = view.cellForItem(*indexPath);
  if (cell == nullptr) return;
  if (view.window() != nullptr) view.setFocus(Qt::MouseFocusReason);
  view.selectItem(*indexPath, true, CollectionViewScrollPosition::noScroll);
  if (!iconList_) return;
  const IconPtr icon = IconListDataSource::icon(*iconList_, *indexPath);
  if (!icon) return;
  auto actions = makeIconActions(icon, exportOptions_, iconList_->imageStore());
  if (!actions) return;
  std::unique_ptr<QMenu> menu = actions->menu();
  if (!menu) return;
  const QPoint position = event != nullptr ? cell->mapFromGlobal(event->globalPosition()).toPoint() : QPoint();
  // `actions` lives until the menu has closed: its items act on it.
  menuPresenter_(*menu, *cell, position);
}

void IconCollectionViewController::collectionViewDidScroll(CollectionView&) { loadMoreIfNeeded(); }

void IconCollectionViewController::collectionViewDidEndLiveResize(CollectionView&) { loadMoreIfNeeded(); }

bool IconCollectionViewController::shouldBeginDraggingAt(CollectionView& view, const IndexPath& indexPath,
                                                         QMouseEvent*) {
  if (!iconList_ || !IconListDataSource::icon(*iconList_, indexPath)) return false;
  view.selectItem(indexPath, false, CollectionViewScrollPosition::noScroll);
  return true;
}

void IconCollectionViewController::draggingSessionDidEnd(CollectionView&, Qt::DropAction operation,
                                                         const std::set<IndexPath>&) {
  const IconPtr icon = selectedIcon();
  if (icon && operation != Qt::IgnoreAction) {
    dispatch(Actions::RecordIconUsage{icon, exportOptions_->type(), exportOptions_->color()});
    Vexelworks::log("Dragged icon " + icon->id, "DEBUG", kDragEndFunction, kFile, __LINE__);
  } else {
    Vexelworks::log("Icon not found or drag aborted", "DEBUG", kDragEndFunction, kFile, __LINE__);
  }
}

std::optional<QSizeF> IconCollectionViewController::aspectRatioForItemAt(CollectionView&, CollectionViewLayout&,
                                                                         const IndexPath&) {
  return QSizeF(1, 1);
}

std::optional<int> IconCollectionViewController::numberOfColumnsInSection(CollectionView&, CollectionViewLayout&, int) {
  return std::max(1, numberOfColumns());
}

std::optional<double> IconCollectionViewController::interitemSpacingForSectionAt(CollectionView&, CollectionViewLayout&,
                                                                                 int) {
  return kSpacing;
}

std::optional<double> IconCollectionViewController::columnSpacingForSectionAt(CollectionView&, CollectionViewLayout&,
                                                                              int) {
  return kSpacing;
}

std::optional<double> IconCollectionViewController::heightForHeaderInSection(CollectionView&, CollectionViewLayout&,
                                                                             int) {
  return 0.0;
}

std::optional<double> IconCollectionViewController::heightForFooterInSection(CollectionView&, CollectionViewLayout&,
                                                                             int section) {
  return footerHeight(section);
}

}  // namespace Vexelworks
