#include "app/views/IconDetailViewController.h"

#include "app/pasteboard/IconMimeData.h"
#include "app/qt/ActionRouter.h"
#include "app/qt/InterfaceRegistry.h"
#include "app/service/Action.h"
#include "app/service/Export/ExportDefaults.h"
#include "app/service/Helpers.h"
#include "app/service/Logger.h"
#include "app/service/Palette.h"
#include "app/views/CellInterfaces.h"
#include "app/views/Drawing.h"
#include "app/views/IconActionsProvider.h"
#include "app/views/IconCollectionViewCell.h"
#include "app/views/IconDetailCell.h"
#include "app/views/LoadingCell.h"
#include "app/views/RelatedIconsHeader.h"
#include "platform/foundation/Error.h"

#include <QFont>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <vector>

namespace Vexelworks {

namespace {

constexpr const char* kFile = "IconDetailViewController";
constexpr const char* kDragEndFunction = "collectionView(_:draggingSession:endedAt:dragOperation:)";

QWidget* buildDetailView(QObject* owner) {
  auto* root = new QWidget;
  root->setObjectName(QStringLiteral("IconDetailView"));
  auto* layout = new QVBoxLayout(root);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* grid = new CollectionView(root);
  grid->setObjectName(QStringLiteral("IconDetailCollectionView"));
  grid->setFrameShape(QFrame::NoFrame);
  grid->setFocusPolicy(Qt::StrongFocus);
  layout->addWidget(grid);
  root->setFocusProxy(grid);
  if (auto* controller = dynamic_cast<IconDetailViewController*>(owner)) controller->collectionView = grid;
  return root;
}

QWidget* buildDetailCell(QObject*) {
  auto* cell = new IconDetailCell;
  auto* container = new QWidget(cell);
  container->setObjectName(QStringLiteral("imageContainer"));
  auto* image = new IconImageView(container);
  image->setObjectName(QStringLiteral("imageView"));
  cell->imageContainer = container;
  cell->imageView = image;
  return cell;
}

QWidget* buildInfoCell(QObject*) {
  auto* cell = new IconInfoCell;
  auto* name = new QLabel(cell);
  name->setObjectName(QStringLiteral("nameField"));
  QFont nameFont = name->font();
  nameFont.setPixelSize(18);
  nameFont.setBold(true);
  name->setFont(nameFont);
  auto* creator = new QLabel(cell);
  creator->setObjectName(QStringLiteral("creatorField"));
  auto* open = new QPushButton(QStringLiteral("View on the Web..."), cell);
  open->setObjectName(QStringLiteral("openButton"));
  open->setFocusPolicy(Qt::NoFocus);
  auto* download = new QPushButton(QStringLiteral("Download"), cell);
  download->setObjectName(QStringLiteral("downloadButton"));
  download->setFocusPolicy(Qt::NoFocus);
  // The button names its action, not its target: whoever answers it along the chain (the
  // detail view's controller) opens the page.
  QObject::connect(open, &QPushButton::clicked, open,
                   [open] { vx::ActionRouter::sendAction(IconInfoCell::openAction, nullptr, open, open); });

  auto* texts = new QVBoxLayout;
  texts->setContentsMargins(0, 0, 0, 0);
  texts->setSpacing(2);
  texts->addWidget(name);
  texts->addWidget(creator);
  auto* row = new QHBoxLayout(cell);
  row->setContentsMargins(20, 0, 20, 0);
  row->addLayout(texts, 1);
  row->addWidget(download, 0, Qt::AlignVCenter);
  row->addWidget(open, 0, Qt::AlignVCenter);
  cell->nameField = name;
  cell->creatorField = creator;
  cell->openButton = open;
  cell->downloadButton = download;
  return cell;
}

}  // namespace

// --- DetailViewLayout ---

bool DetailViewLayout::shouldInvalidateLayout(const QRectF& newBounds) {
  const bool changed = newBounds.width() != cvWidth_ || newBounds.height() != cvWHeight_;
  cvWidth_ = newBounds.width();
  cvWHeight_ = newBounds.height();
  return changed;
}

// --- IconDetailViewController ---

IconDetailViewController::IconDetailViewController(std::shared_ptr<ImageStore> imageStore)
    : vx::ViewController(nibName),
      exportOptions_(exportOptionsFromDefaults()),
      imageStore_(std::move(imageStore)),
      menuPresenter_(
          [](QMenu& menu, QWidget& cell, const QPoint& position) { menu.exec(cell.mapToGlobal(position)); }) {
  setActionHandler(copyAction, [this](QObject* sender) { copy(sender); });
  setActionHandler(openAction, [this](QObject* sender) { openIconInBrowser(sender); });
}

IconDetailViewController::~IconDetailViewController() {
  // The grid may outlive this controller for a moment (deleted later with its window); it must
  // not call back into it, nor may the related icons.
  if (collectionView != nullptr) {
    collectionView->setDelegate(nullptr);
    collectionView->setDataSource(nullptr);
  }
  if (relatedIconsDataSource_) relatedIconsDataSource_->setDelegate(nullptr);
}

void IconDetailViewController::registerInterfaces() {
  registerCellInterfaces();
  auto& registry = vx::InterfaceRegistry::shared();
  registry.registerInterface(nibName, buildDetailView);
  registry.registerInterface(IconDetailCell::nibName, buildDetailCell);
  registry.registerInterface(IconInfoCell::nibName, buildInfoCell);
}

void IconDetailViewController::viewDidLoad() {
  vx::ViewController::viewDidLoad();
  if (collectionView == nullptr) vx::fatalError("IconDetailViewController: the interface has no grid view");

  relatedIconsDataSource_ = RelatedIconsDataSource::make(intitialIcon_, imageStore_);
  if (relatedIconsDataSource_) {
    relatedIconsDataSource_->setDelegate(this);
    if (relatedIconsEnabled_) relatedIconsDataSource_->load();
  }

  auto layout = std::make_unique<DetailViewLayout>();
  layout->setHeaderHeight(0);
  layout->setColumnCount(1);
  layout->setColumnSpacing(kSpacing);
  layout->setPinHeadersToTop(false);
  layout->setSectionInset(EdgeInsets{});
  layout->setInteritemSpacing(kSpacing);
  CollectionView& grid = *collectionView;
  grid.setCollectionViewLayout(std::move(layout));

  grid.setContentInsets(EdgeInsets{});
  grid.setBackgroundColor(toQColor(Palette::backgroundGrey));
  grid.setAllowsSelection(true);
  grid.setAllowsMultipleSelection(false);
  grid.setDataSource(this);
  grid.setDelegate(this);

  grid.registerCellNib(IconDetailCell::nibName, IconDetailCell::nibName);
  grid.registerCellNib(IconInfoCell::nibName, IconInfoCell::nibName);
  grid.registerSupplementaryNib(RelatedIconsHeader::nibName, CollectionViewLayoutElementKind::SectionHeader,
                                RelatedIconsHeader::nibName);
  grid.registerClass<IconCollectionViewCell>(IconCollectionViewCell::reuseIdentifier);
  grid.registerCellNib(LoadingCell::nibName, LoadingCell::nibName);
  grid.reloadData();
}

void IconDetailViewController::selectInitialIcon() {
  selectedIcon_ = intitialIcon_;
  loadViewIfNeeded();
  collectionView->reloadData();
}

void IconDetailViewController::setExportOptions(std::shared_ptr<const ExportOptions> options) {
  if (!options) return;
  exportOptions_ = std::move(options);
  if (relatedIconsDataSource_) relatedIconsDataSource_->setIconColor(exportOptions_->color());
  reloadKeepingSelection();
}

QSizeF IconDetailViewController::contentSize() const {
  if (collectionView == nullptr) return {};
  const CollectionView& grid = *collectionView;
  const EdgeInsets insets = grid.contentInsets();
  const QSize bounds = grid.viewport()->size();
  double height = bounds.height() - insets.top - insets.bottom;
  if (QWidget* leading = grid.leadingView()) height -= leading->height();
  return {bounds.width() - insets.left - insets.right, height};
}

IconPtr IconDetailViewController::icon(const IndexPath& indexPath) const {
  switch (indexPath.section) {
    case kIconSection:
      return selectedIcon_;
    case kRelatedSection: {
      if (!relatedIconsDataSource_) return nullptr;
      const auto& icons = relatedIconsDataSource_->icons();
      if (indexPath.item < 0 || static_cast<std::size_t>(indexPath.item) >= icons.size()) return nullptr;
      return icons[static_cast<std::size_t>(indexPath.item)];
    }
    default:
      return nullptr;
  }
}

void IconDetailViewController::reloadKeepingSelection() {
  if (collectionView == nullptr) return;
  CollectionView& grid = *collectionView;
  const std::vector<IndexPath> selected = grid.sortedIndexPathsForSelectedItems();
  grid.reloadData();
  grid.reloadLayout(false, CollectionViewScrollPosition::scrollToVisible);
  if (!selected.empty()) {
    grid.selectItems(std::set<IndexPath>(selected.begin(), selected.end()), false,
                     CollectionViewScrollPosition::noScroll);
    return;
  }
  const std::set<IndexPath> visible = grid.indexPathsForVisibleItems();  // ascending
  if (!visible.empty()) grid.selectItem(*visible.begin(), false, CollectionViewScrollPosition::noScroll);
}

bool IconDetailViewController::keyDown(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Space) {
    // Sent from the grid, where the key arrived, so the chain is the one the user is in.
    QWidget* start = collectionView != nullptr ? static_cast<QWidget*>(collectionView) : view();
    (void)vx::ActionRouter::sendAction(closeAction, nullptr, this, start);
    return true;
  }
  if (event->matches(QKeySequence::Copy)) {
    copy(collectionView);
    return true;
  }
  return vx::ViewController::keyDown(event);
}

void IconDetailViewController::copy(QObject* sender) {
  if (!selectedIcon_) return;
  if (auto actions = makeIconActions(selectedIcon_, exportOptions_, imageStore_)) actions->copy(sender);
}

void IconDetailViewController::openIconInBrowser(QObject*) {
  // The view is never shown without an icon; without one there is no page to open.
  if (!selectedIcon_) return;
  openWebPage(selectedIcon_->iconURL.string());
}

void IconDetailViewController::showMenu(const std::optional<IndexPath>& indexPath, const QPoint& windowPosition) {
  if (!indexPath || collectionView == nullptr) return;
  const IconPtr item = icon(*indexPath);
  if (!item) return;
  CollectionView& grid = *collectionView;
  CollectionViewCell* cell = grid.cellForItem(*indexPath);
  if (cell == nullptr) return;
  if (grid.window() != nullptr) grid.setFocus(Qt::MouseFocusReason);
  grid.selectItem(*indexPath, true, CollectionViewScrollPosition::noScroll);
  auto actions = makeIconActions(item, exportOptions_, imageStore_);
  if (!actions) return;
  std::unique_ptr<QMenu> menu = actions->menu();
  if (!menu) return;
  const QPoint position = cell->window() != nullptr ? cell->mapFrom(cell->window(), windowPosition) : windowPosition;
  // `actions` lives until the menu has closed: its items act on it.
  menuPresenter_(*menu, *cell, position);
}

// --- data source ---

void IconDetailViewController::unknownSection(int section) {
  vx::fatalError("Fatal error: the icon detail has no section " + std::to_string(section));
}

int IconDetailViewController::numberOfSections(CollectionView&) { return relatedIconsEnabled_ ? 3 : 2; }

int IconDetailViewController::numberOfItemsInSection(CollectionView& view, int section) {
  switch (section) {
    case kIconSection:
    case kInfoSection:
      return 1;
    case kRelatedSection:
      return relatedIconsDataSource_ ? relatedIconsDataSource_->numberOfItemsInSection(view, section) : 0;
    default:
      unknownSection(section);
  }
}

CollectionViewCell* IconDetailViewController::cellForItemAt(CollectionView& view, const IndexPath& indexPath) {
  switch (indexPath.section) {
    case kIconSection: {
      auto* cell = static_cast<IconDetailCell*>(view.dequeueReusableCell(IconDetailCell::nibName, indexPath));
      const Color color = exportOptions_->color();
      std::optional<IconImage> image;
      if (selectedIcon_ && imageStore_) image = imageStore_->image(*selectedIcon_, kIconImageSize, color);
      if (cell->imageView != nullptr) cell->imageView->setImage(std::move(image));
      cell->setIconColor(color);
      cell->updateCell();
      return cell;
    }
    case kInfoSection: {
      auto* cell = static_cast<IconInfoCell*>(view.dequeueReusableCell(IconInfoCell::nibName, indexPath));
      const QString name = selectedIcon_ ? QString::fromStdString(selectedIcon_->name) : QString();
      const QString creator =
          selectedIcon_ ? QStringLiteral("By ") + QString::fromStdString(selectedIcon_->creator->name) : QString();
      if (cell->nameField != nullptr) cell->nameField->setText(name);
      if (cell->creatorField != nullptr) cell->creatorField->setText(creator);
      cell->updateButtons();
      return cell;
    }
    case kRelatedSection:
      if (!relatedIconsDataSource_) vx::fatalError("Fatal error: no related icons to show");
      return relatedIconsDataSource_->cellForItemAt(view, indexPath);
    default:
      unknownSection(indexPath.section);
  }
}

CollectionReusableView* IconDetailViewController::viewForSupplementaryElementOfKind(CollectionView& view,
                                                                                    const std::string& kind,
                                                                                    const IndexPath& indexPath) {
  switch (indexPath.section) {
    case kIconSection:
    case kInfoSection:
      return nullptr;
    case kRelatedSection:
      return relatedIconsDataSource_ ? relatedIconsDataSource_->viewForSupplementaryElementOfKind(view, kind, indexPath)
                                     : nullptr;
    default:
      unknownSection(indexPath.section);
  }
}

std::unique_ptr<QMimeData> IconDetailViewController::pasteboardWriterForItemAt(CollectionView&,
                                                                               const IndexPath& indexPath) {
  const IconPtr item = icon(indexPath);
  if (!item || !imageStore_) return nullptr;
  return std::make_unique<IconMimeData>(item, imageStore_, *exportOptions_);
}

std::optional<QImage> IconDetailViewController::dragContentsForItemAt(CollectionView& view,
                                                                      const IndexPath& indexPath) {
  const IconPtr item = icon(indexPath);
  CollectionViewCell* cell = view.cellForItem(indexPath);
  if (!item || cell == nullptr || !relatedIconsDataSource_) return std::nullopt;
  return relatedIconsDataSource_->image(*item, exportOptions_->color(), cell->height(), cell->devicePixelRatioF());
}

void IconDetailViewController::dragRectForItemAt(CollectionView&, const IndexPath&, QRectF& rect) {
  if (!(rect.height() > kDragSquareThreshold)) return;
  const double side = std::min(rect.height(), kMaxDragSide);
  rect = QRectF(rect.x() + (rect.width() - side) / 2, rect.y() + (rect.height() - side) / 2, side, side);
}

// --- delegate ---

void IconDetailViewController::didSelectItemsAt(CollectionView& view, const std::set<IndexPath>& indexPaths) {
  if (indexPaths.empty()) return;
  if (indexPaths.begin()->section != kRelatedSection || !relatedIconsDataSource_) return;
  relatedIconsDataSource_->didSelectItemsAt(view, indexPaths);
  selectedIcon_ = relatedIconsDataSource_->selectedIcon();
  view.reloadData();
  view.reloadItems({IndexPath{kIconSection, 0}, IndexPath{kInfoSection, 0}}, false);
}

void IconDetailViewController::didRightClickItemAt(CollectionView& view, std::optional<IndexPath> indexPath,
                                                   QMouseEvent* event) {
  QPoint windowPosition;
  if (event != nullptr && view.window() != nullptr) {
    windowPosition = view.window()->mapFromGlobal(event->globalPosition()).toPoint();
  }
  showMenu(indexPath, windowPosition);
}

void IconDetailViewController::collectionViewDidEndLiveResize(CollectionView& view) {
  view.reloadLayout(false, CollectionViewScrollPosition::scrollToVisible);
}

bool IconDetailViewController::shouldBeginDraggingAt(CollectionView& view, const IndexPath& indexPath, QMouseEvent*) {
  if (indexPath.section != kIconSection && indexPath.section != kRelatedSection) return false;
  if (!icon(indexPath)) return false;
  view.selectItem(indexPath, false, CollectionViewScrollPosition::noScroll);
  return true;
}

void IconDetailViewController::draggingSessionDidEnd(CollectionView&, Qt::DropAction operation,
                                                     const std::set<IndexPath>&) {
  if (operation != Qt::IgnoreAction && selectedIcon_) {
    dispatch(Actions::RecordIconUsage{selectedIcon_, exportOptions_->type(), exportOptions_->color()});
    log("Dragged icon " + selectedIcon_->id, "DEBUG", kDragEndFunction, kFile, __LINE__);
  } else {
    log("Icon not found or drag aborted", "DEBUG", kDragEndFunction, kFile, __LINE__);
  }
}

// --- column layout ---

std::optional<double> IconDetailViewController::heightForHeaderInSection(CollectionView& view,
                                                                         CollectionViewLayout& layout, int section) {
  switch (section) {
    case kIconSection:
    case kInfoSection:
      return 0.0;
    case kRelatedSection:
      return relatedIconsDataSource_ ? relatedIconsDataSource_->heightForHeaderInSection(view, layout, section)
                                     : std::optional<double>(0.0);
    default:
      unknownSection(section);
  }
}

std::optional<int> IconDetailViewController::numberOfColumnsInSection(CollectionView& view,
                                                                      CollectionViewLayout& layout, int section) {
  switch (section) {
    case kIconSection:
    case kInfoSection:
      return 1;
    case kRelatedSection:
      return relatedIconsDataSource_ ? relatedIconsDataSource_->numberOfColumnsInSection(view, layout, section)
                                     : std::optional<int>(1);
    default:
      unknownSection(section);
  }
}

std::optional<double> IconDetailViewController::heightForItemAt(CollectionView& view, CollectionViewLayout& layout,
                                                                const IndexPath& indexPath) {
  switch (indexPath.section) {
    case kIconSection: {
      const QSizeF size = contentSize();
      const double height = std::min(size.height() - kIconHeightMargin, size.width() - kIconWidthMargin);
      // A window smaller than the margins gives an empty icon row, never a negative one.
      return std::isfinite(height) ? std::max(0.0, height) : 0.0;
    }
    case kInfoSection:
      return kInfoHeight;
    case kRelatedSection:
      return relatedIconsDataSource_ ? relatedIconsDataSource_->heightForItemAt(view, layout, indexPath)
                                     : std::optional<double>(0.0);
    default:
      unknownSection(indexPath.section);
  }
}

std::optional<QSizeF> IconDetailViewController::aspectRatioForItemAt(CollectionView& view, CollectionViewLayout& layout,
                                                                     const IndexPath& indexPath) {
  switch (indexPath.section) {
    case kIconSection:
    case kInfoSection:
      return QSizeF(0, 0);
    case kRelatedSection:
      return relatedIconsDataSource_ ? relatedIconsDataSource_->aspectRatioForItemAt(view, layout, indexPath)
                                     : std::optional<QSizeF>(QSizeF(0, 0));
    default:
      unknownSection(indexPath.section);
  }
}

std::optional<EdgeInsets> IconDetailViewController::insetForSectionAt(CollectionView&, CollectionViewLayout&,
                                                                      int section) {
  switch (section) {
    case kIconSection:
    case kInfoSection:
      return EdgeInsets{};
    case kRelatedSection:
      return EdgeInsets{0, 10, 10, 10};
    default:
      unknownSection(section);
  }
}

// --- related icons ---

void IconDetailViewController::relatedIconsDidLoad() {
  QPointer<IconDetailViewController> self(this);
  runOnMain([self] {
    if (self != nullptr && self->collectionView != nullptr) self->collectionView->reloadData();
  });
}

void IconDetailViewController::relatedIconImageDidLoad(const IndexPath& indexPath) {
  QPointer<IconDetailViewController> self(this);
  runOnMain([self, indexPath] {
    if (self != nullptr && self->collectionView != nullptr) self->collectionView->reloadItems({indexPath}, false);
  });
}

}  // namespace Vexelworks
