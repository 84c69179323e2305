#include "app/shell/SearchViewController.h"

#include "app/qt/InterfaceRegistry.h"
#include "app/service/Action.h"
#include "app/service/Auth/ErrorReporting.h"
#include "app/service/Auth/TokenStore.h"
#include "app/service/Export/ExportDefaults.h"
#include "app/service/Logger.h"
#include "app/service/ServiceConfig.h"
#include "app/shell/SearchCompletions.h"
#include "app/views/CellInterfaces.h"
#include "app/views/Drawing.h"
#include "app/views/IconCollectionViewController.h"
#include "app/views/IconDetailViewController.h"
#include "app/views/LoadingViewController.h"
#include "app/views/NotFoundViewController.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Error.h"

#include <QApplication>
#include <QClipboard>
#include <QColorDialog>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMimeData>
#include <QRegularExpression>
#include <QVBoxLayout>

namespace Vexelworks {
namespace {

QWidget* makeHost(const char* name, QWidget* parent) {
  auto* host = new QWidget(parent);
  host->setObjectName(QString::fromUtf8(name));
  auto* layout = new QVBoxLayout(host);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  return host;
}

// The search bar on top, the content area filling the middle, the export toolbar below.
QWidget* buildSearchView(QObject* owner) {
  auto* view = new QWidget;
  auto* layout = new QVBoxLayout(view);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  QWidget* bar = makeHost("searchBarView", view);
  auto* box = new ContentBox(view);
  box->setObjectName(QStringLiteral("box"));
  QWidget* toolbar = makeHost("toolbarView", view);
  layout->addWidget(bar);
  layout->addWidget(box, 1);
  layout->addWidget(toolbar);
  if (auto* controller = dynamic_cast<SearchViewController*>(owner)) {
    controller->contentBox = box;
    controller->searchBarView = bar;
    controller->toolbarView = toolbar;
  }
  return view;
}

void putInto(QWidget* host, QWidget* view) {
  host->layout()->addWidget(view);
  view->show();
}

}  // namespace

// The list's delegate and the icon store's subscriber. Lists and the store hold it weakly (the
// store through a weak capture), so nothing reaches a search window that is gone.
struct SearchViewController::Hooks : IconListDelegate {
  explicit Hooks(SearchViewController& owner) : owner(owner) {}

  void iconListDidLoadPage(IconList& list, std::int64_t page) override {
    if (vx::DispatchQueue::isMainThread()) {
      owner.iconListDidLoadPage(list, page);
      return;
    }
    std::weak_ptr<IconList> weakList = list.weak_from_this();
    vx::DispatchQueue::main()->async([weakList, weakSelf = self, page] {
      auto hooks = weakSelf.lock();
      auto list = weakList.lock();
      if (hooks && list) hooks->owner.iconListDidLoadPage(*list, page);
    });
  }

  SearchViewController& owner;
  std::weak_ptr<Hooks> self;
};

SearchViewController::SearchViewController(std::string nibName)
    : vx::ViewController(std::move(nibName)),
      hooks_(std::make_shared<Hooks>(*this)),
      exportOptions_(exportOptionsFromDefaults()),
      zoomLevel_(ZoomLevel::defaultLevel()) {
  hooks_->self = hooks_;
  setActionHandler("showFreeIcons:", [this](QObject* sender) { showFreeIcons(sender); });
  setActionHandler("showRecentIcons:", [this](QObject* sender) { showRecentIcons(sender); });
  setActionHandler("showIconDetail:", [this](QObject* sender) { showIconDetail(sender); });
  setActionHandler("closeIconDetail:", [this](QObject* sender) { closeIconDetail(sender); });
  setActionHandler("highlightSearch:", [this](QObject* sender) { highlightSearch(sender); });
  setActionHandler("showColorPanel:", [this](QObject* sender) { showColorPanel(sender); });
  setActionHandler("showColorMagnifier:", [this](QObject* sender) { showColorMagnifier(sender); });
  setActionHandler("didSelectColor:", [this](QObject* sender) { didSelectColor(sender); });
  setActionHandler("paste:", [this](QObject* sender) { paste(sender); });
}

SearchViewController::~SearchViewController() {
  // Nothing that arrives from now on may reach this controller.
  hooks_.reset();
  if (colorMagnifier_) colorMagnifier_->close();
  delete colorPanel_.data();
  // Each child controller takes its view back and deletes it itself.
  if (contentBox) contentBox->setContentView(nullptr);
}

void SearchViewController::registerInterfaces() {
  auto& registry = vx::InterfaceRegistry::shared();
  registry.registerInterface(nibName, buildSearchView);
  registerSearchBarInterface();
  registerAutocompleteInterface();
  registerToolbarInterface();
  registerCellInterfaces();
  IconCollectionViewController::registerInterface();
  IconDetailViewController::registerInterfaces();
}

void SearchViewController::loadView() {
  vx::ViewController::loadView();
  if (!contentBox || !searchBarView || !toolbarView) {
    vx::fatalError("The search view's outlets are not connected");
  }

  const auto token = TokenStore(kAccessTokenAccount).getToken();
  if (!token) {
    const std::string message = "Access token was not available";
    log(message, "ERROR", "loadView()", __FILE__, __LINE__);
    reportErrorEvent(message);
    dispatch(Actions::LogOut{});
    return;
  }

  iconStore_ = IconStore::make(APIClient::make(apiBaseURL(), *token));
  // The list never lets go of its handlers: each loaded search view adds one store for good.
  actionHandlers().append([store = iconStore_](const Action& action) { store->handle(action); });
  std::weak_ptr<Hooks> weakHooks = hooks_;
  iconStore_->addHandler([weakHooks](const IconStoreChange& change) {
    if (auto hooks = weakHooks.lock()) hooks->owner.iconStoreDidChange(change);
  });

  if (!grid_) grid_ = std::make_unique<IconCollectionViewController>();
  if (!autocomplete_) {
    autocomplete_ = std::make_unique<AutocompleteViewController>();
    autocomplete_->delegate = this;
    autocomplete_->loadViewIfNeeded();
  }
  showIconGrid();

  searchBar_ = std::make_unique<SearchBarViewController>();
  searchBar_->delegate = this;
  putInto(searchBarView, searchBar_->view());

  toolbar_ = std::make_unique<ToolbarViewController>();
  toolbar_->delegate = this;
  putInto(toolbarView, toolbar_->view());

  showIcons(SearchTypes::StarterPack{});
}

// --- state ---

void SearchViewController::setExportOptions(std::shared_ptr<const ExportOptions> options) {
  if (!options) return;
  exportOptions_ = std::move(options);
  exportOptionsDidChange();
}

void SearchViewController::setZoomLevel(const ZoomLevel& level) {
  zoomLevel_ = level;
  zoomLevelDidChange();
}

void SearchViewController::setDetailVisible(bool visible) {
  detailVisible_ = visible;
  updateCanGoBack();
}

bool SearchViewController::canGoBack() const {
  if (detailVisible_) return true;
  if (!iconList_) return false;
  const SearchType& type = iconList_->searchType();
  return std::holds_alternative<SearchTypes::Search>(type) || std::holds_alternative<SearchTypes::Creator>(type) ||
         std::holds_alternative<SearchTypes::Collection>(type);
}

void SearchViewController::updateCanGoBack() {
  if (searchBar_) searchBar_->setCanGoBack(canGoBack());
}

void SearchViewController::showInBox(QWidget* view) {
  if (contentBox) contentBox->setContentView(view);
}

std::string SearchViewController::searchFieldText() const {
  if (!searchBar_ || !searchBar_->isViewLoaded() || !searchBar_->searchField) return {};
  return searchBar_->searchField->text().toStdString();
}

// --- requests ---

std::shared_ptr<IconList> SearchViewController::makeList(const SearchType& type) {
  // The icon store's client follows the access token; without one the list reads the token
  // itself (and reports when there is none).
  std::shared_ptr<APIClient> api = iconStore_ ? iconStore_->api() : nullptr;
  if (api) return IconList::make(type, imageStore, std::move(api));
  return IconList::make(type, imageStore);
}

void SearchViewController::showIcons(const SearchType& type) {
  auto loading = std::make_unique<LoadingViewController>();
  showInBox(loading->view());
  loading_ = std::move(loading);

  iconList_ = makeList(type);
  if (!iconList_) return;  // no token: the sign-in prompt is on its way
  iconList_->setDelegate(hooks_);
  iconList_->setExportOptions(exportOptions_);
  iconList_->setZoomLevel(zoomLevel_);
  updateCanGoBack();
  if (grid_) grid_->setIconList(iconList_);
  iconList_->loadPage(iconList_->nextPage());
}

void SearchViewController::search(const std::string& text) {
  auto loading = std::make_unique<LoadingViewController>();
  showInBox(loading->view());
  loading_ = std::move(loading);
  if (text.empty()) {
    showIcons(SearchTypes::StarterPack{});
  } else {
    showIcons(SearchTypes::Search{text});
  }
}

void SearchViewController::searchFromField() {
  if (!searchBar_) vx::fatalError("No query could be found");
  searchBar_->loadViewIfNeeded();
  if (!searchBar_->searchField) vx::fatalError("No query could be found");
  if (autocomplete_) {
    if (auto completion = autocomplete_->selectedCompletion()) {
      searchBar_->searchField->setText(QString::fromStdString(*completion));
      search(*completion);
      return;
    }
  }
  search(searchBar_->searchField->text().toStdString());
}

void SearchViewController::clearSearchAndShow(const SearchType& type) {
  if (searchBar_ && searchBar_->searchField) searchBar_->searchField->setText(QString());
  showIcons(type);
}

void SearchViewController::showFreeIcons(QObject*) { clearSearchAndShow(SearchTypes::StarterPack{}); }

void SearchViewController::showRecentIcons(QObject*) { clearSearchAndShow(SearchTypes::LatestIcons{}); }

// --- content ---

void SearchViewController::iconListDidLoadPage(IconList& list, std::int64_t page) {
  // A late page of a list the user has left must not be taken for the new request's answer:
  // counting the new (still empty) list would show "not found" before its first page came.
  if (&list != iconList_.get()) return;
  if (grid_) grid_->iconListDidLoadPage(list, page);
  if (!iconList_->icons().empty()) {
    showIconGrid();
  } else {
    showNotFound(searchFieldText());
  }
}

void SearchViewController::showIconGrid() {
  setDetailVisible(false);
  if (grid_) showInBox(grid_->view());
}

void SearchViewController::showNotFound(const std::string& searchTerm) {
  if (!notFound_) notFound_ = std::make_unique<NotFoundViewController>();
  showInBox(notFound_->view());
  notFound_->searchTerm = searchTerm;
  notFound_->updateText();
}

void SearchViewController::showIconDetail(QObject*) {
  if (!grid_) return;
  IconPtr icon = grid_->selectedIcon();
  if (!icon) return;
  auto detail = std::make_unique<IconDetailViewController>(imageStore);
  detail->setIntitialIcon(std::move(icon));
  detail->selectInitialIcon();
  showInBox(detail->view());
  detail_ = std::move(detail);
  if (detail_->collectionView) detail_->collectionView->reloadData();
  detail_->setExportOptions(exportOptions_);
  if (detail_->collectionView) {
    detail_->collectionView->setFocus(Qt::OtherFocusReason);
  } else {
    detail_->view()->setFocus(Qt::OtherFocusReason);
  }
  setDetailVisible(true);
}

void SearchViewController::closeIconDetail(QObject*) {
  if (detailVisible_) {
    showIconGrid();
    if (grid_ && grid_->collectionView) grid_->collectionView->setFocus(Qt::OtherFocusReason);
    return;
  }
  if (searchBar_ && searchBar_->searchField) searchBar_->searchField->setText(QString());
  showIcons(SearchTypes::StarterPack{});
}

void SearchViewController::iconStoreDidChange(const IconStoreChange& change) {
  const auto* reply = std::get_if<IconStoreChanges::LoadedCompletions>(&change);
  if (reply == nullptr || !autocomplete_) return;
  if (searchBar_) {
    // A reply to text the user has typed past or deleted is dropped.
    applyLoadedCompletions(*reply, *searchBar_, *autocomplete_);
    return;
  }
  autocomplete_->completions = reply->completions;
  autocomplete_->reloadData();
}

void SearchViewController::highlightSearch(QObject*) {
  if (!searchBar_ || !searchBar_->searchField) return;
  searchBar_->searchField->setFocus(Qt::ShortcutFocusReason);
  searchBar_->searchField->selectAll();
}

// --- colours ---

void SearchViewController::applyExportColor(const Color& color) {
  setExportOptions(exportOptions_->withColor(color));
  if (toolbar_) toolbar_->selectColor(color);
}

void SearchViewController::showColorPanel(QObject*) {
  if (!colorPanel_) {
    colorPanel_ = new QColorDialog(toQColor(exportOptions_->color()));
    colorPanel_->setWindowTitle(QStringLiteral("Colors"));
    // A colour counts once the user confirms it, not while the dialog's controls move.
    QObject::connect(colorPanel_, &QColorDialog::colorSelected, this, [this] { didSelectColor(colorPanel_); });
  }
  colorPanel_->show();
  colorPanel_->raise();
  colorPanel_->activateWindow();
}

void SearchViewController::didSelectColor(QObject* sender) {
  auto* dialog = qobject_cast<QColorDialog*>(sender);
  if (dialog == nullptr) return;
  QColor chosen = dialog->selectedColor();
  if (!chosen.isValid()) chosen = dialog->currentColor();
  if (!chosen.isValid()) return;
  applyExportColor(fromQColor(chosen.toRgb()));
}

void SearchViewController::showColorMagnifier(QObject*) {
  // There is no system-wide colour sampler to hand this to: the picker of our own reads the
  // screen (and where it cannot, offers the colour dialog).
  showCustomColorMagnifier();
}

void SearchViewController::showCustomColorMagnifier() {
  if (!colorMagnifier_) {
    colorMagnifier_ = std::make_unique<CBColorMagnifierWindowController>(QGuiApplication::platformName());
    colorMagnifier_->pickerDelegate = this;
  }
  colorMagnifier_->showWindow();
}

void SearchViewController::paste(QObject*) {
  // A text field with the keyboard answers the paste command before this controller does, as
  // the field would be first in the chain: the text goes into the field, not into the colour.
  if (auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget())) {
    if (isViewLoaded() && view()->isAncestorOf(field)) {
      field->paste();
      return;
    }
  }
  pasteColor();
}

std::optional<Color> SearchViewController::colorFromPastedText(const QString& text) {
  QString trimmed = text;
  // Only the space character is trimmed: a line break after the digits stays.
  qsizetype start = 0;
  while (start < trimmed.size() && trimmed.at(start) == QLatin1Char(' ')) ++start;
  qsizetype end = trimmed.size();
  while (end > start && trimmed.at(end - 1) == QLatin1Char(' ')) --end;
  trimmed = trimmed.mid(start, end - start);
  if (trimmed.size() >= 8) return std::nullopt;
  static const QRegularExpression hex(QStringLiteral("#?[0-9ABCDEFabcdef]{6}"));
  if (!hex.match(trimmed).hasMatch()) return std::nullopt;
  trimmed.remove(QLatin1Char('#'));
  return Color::fromHex(trimmed.toStdString());
}

void SearchViewController::pasteColor() {
  const QMimeData* data = QGuiApplication::clipboard()->mimeData();
  if (data == nullptr || !data->hasText()) return;
  if (auto color = colorFromPastedText(data->text())) applyExportColor(*color);
}

void SearchViewController::exportOptionsDidChange() {
  if (iconList_) iconList_->setExportOptions(exportOptions_);
  if (grid_) {
    grid_->setExportOptions(exportOptions_);
    grid_->reloadVisibleItems();
  }
  // The last detail keeps receiving them, shown or not.
  if (detail_) detail_->setExportOptions(exportOptions_);
}

void SearchViewController::zoomLevelDidChange() {
  if (iconList_) iconList_->setZoomLevel(zoomLevel_);
  if (grid_) grid_->setZoomLevel(zoomLevel_);
}

}  // namespace Vexelworks
