#include "app/shell/MainWindowController.h"

#include "app/qt/InterfaceRegistry.h"
#include "app/service/Helpers.h"
#include "app/service/Settings.h"
#include "app/service/ZoomLevel.h"
#include "app/shell/ConnectViewController.h"
#include "app/shell/SearchViewController.h"
#include "app/views/PopUpButtonCells.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/UserDefaults.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include <charconv>
#include <sstream>
#include <vector>

namespace Vexelworks {
namespace {

// How long the frame must stay put before it is written: a drag writes once, at its end.
constexpr int kFrameSaveDelayMs = 500;

QWidget* buildMainWindow(QObject* owner) {
  auto* window = new QWidget;
  window->setObjectName(QStringLiteral("MainWindow"));
  window->setMinimumSize(480, 360);
  auto* layout = new QVBoxLayout(window);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* stack = new QStackedWidget(window);
  stack->setObjectName(QStringLiteral("contentStack"));
  layout->addWidget(stack);
  if (auto* controller = dynamic_cast<MainWindowController*>(owner)) controller->contentStack = stack;
  return window;
}

// Takes a page out of the stack so that its controller owns (and deletes) it again.
void releasePage(QStackedWidget* stack, QWidget* page) {
  if (stack == nullptr || page == nullptr || stack->indexOf(page) < 0) return;
  stack->removeWidget(page);
  page->hide();
  page->setParent(nullptr);
}

}  // namespace

// Writes the frame once the window stopped moving or resizing for a moment.
class MainWindowController::FrameWatcher : public QObject {
 public:
  explicit FrameWatcher(MainWindowController& owner) : owner_(owner) {
    timer_.setSingleShot(true);
    timer_.setInterval(kFrameSaveDelayMs);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { owner_.saveWindowFrame(); });
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Move || event->type() == QEvent::Resize) timer_.start();
    return QObject::eventFilter(watched, event);
  }

 private:
  MainWindowController& owner_;
  QTimer timer_;
};

MainWindowController::MainWindowController() {
  setActionHandler("showMainView:", [this](QObject* sender) { showMainView(sender); });
  setActionHandler("showTips:", [this](QObject* sender) { showTips(sender); });
  setActionHandler("didSelectColorOption:", [this](QObject* sender) { didSelectColorOption(sender); });
  setActionHandler("didSelectFileType:", [this](QObject* sender) { didSelectFileType(sender); });
  setActionHandler("didClickZoomIn:", [this](QObject* sender) { didClickZoomIn(sender); });
  setActionHandler("didClickZoomOut:", [this](QObject* sender) { didClickZoomOut(sender); });
  setActionHandler("downloadApp:", [this](QObject* sender) { downloadApp(sender); });
  setActionHandler("clearImageCaches:", [this](QObject* sender) { clearImageCaches(sender); });
  setActionHandler("showConnectView", [this](QObject*) { showConnectView(); });
  setActionHandler("showPoisonPill", [this](QObject*) { showPoisonPill(); });

  loadWindow(windowNibName);
  if (!contentStack) vx::fatalError("The main window's content stack is not connected");
  window()->setWindowTitle(QString::fromUtf8(kTitle));
  restoreWindowFrame();
  frameWatcher_ = std::make_unique<FrameWatcher>(*this);
  window()->installEventFilter(frameWatcher_.get());
}

MainWindowController::~MainWindowController() {
  if (window() != nullptr) {
    window()->removeEventFilter(frameWatcher_.get());
    saveWindowFrame();
  }
  // Every page goes back to its controller, which deletes it with itself; the window deletes
  // only what is left.
  if (contentStack) {
    while (contentStack->count() > 0) releasePage(contentStack, contentStack->widget(0));
  }
  search_.reset();
  connect_.reset();
  overlay_.reset();
}

void MainWindowController::registerInterfaces() {
  vx::InterfaceRegistry::shared().registerInterface(windowNibName, buildMainWindow);
  registerConnectAndOverlayInterfaces();
  SearchViewController::registerInterfaces();
}

QWidget* MainWindowController::currentContentView() const {
  return contentStack ? contentStack->currentWidget() : nullptr;
}

void MainWindowController::showPage(QWidget* page) {
  if (!contentStack || page == nullptr) return;
  if (contentStack->indexOf(page) < 0) contentStack->addWidget(page);
  contentStack->setCurrentWidget(page);
}

// --- content ---

void MainWindowController::updateContent() {
  if (!user) {
    showConnectView();
  } else if (appUpToDate) {
    showSearchView();
  } else {
    showPoisonPill();
  }
}

void MainWindowController::showSearchView() {
  if (!search_) {
    search_ = std::make_unique<SearchViewController>();
    // Only at creation: a later change of the store is not passed on.
    search_->imageStore = imageStore;
  }
  if (window() == nullptr) return;
  showPage(search_->view());
  SearchBarViewController* bar = search_->searchBarViewController();
  if (bar != nullptr && bar->searchField) bar->searchField->setFocus(Qt::OtherFocusReason);
}

void MainWindowController::showConnectView() {
  if (!connect_) connect_ = std::make_unique<ConnectViewController>();
  if (window() == nullptr) return;
  showPage(connect_->view());
  connect_->firstTime = settingBool(SettingKeys::firstLogin, SettingFallbacks::firstLogin);
  connect_->updateTexts();
}

void MainWindowController::showOverlay(const std::string& nibName) {
  auto overlay = std::make_unique<OverlayViewController>(nibName);
  std::unique_ptr<OverlayViewController> previous = std::move(overlay_);
  overlay_ = std::move(overlay);
  if (window() != nullptr) showPage(overlay_->view());
  if (previous && previous->isViewLoaded()) releasePage(contentStack, previous->view());
}

void MainWindowController::showPoisonPill() { showOverlay("PoisonPill"); }

// --- actions ---

void MainWindowController::showMainView(QObject*) { updateContent(); }

void MainWindowController::showTips(QObject*) { showOverlay("Tips"); }

void MainWindowController::didSelectColorOption(QObject* sender) {
  if (!search_ || search_->toolbarViewController() == nullptr) return;
  search_->toolbarViewController()->didSelectColorOption(sender);
}

void MainWindowController::didSelectFileType(QObject* sender) {
  if (!search_ || search_->toolbarViewController() == nullptr) return;
  search_->toolbarViewController()->didSelectFileType(sender);
}

void MainWindowController::didClickZoomIn(QObject*) { zoomStep(+1); }

void MainWindowController::didClickZoomOut(QObject*) { zoomStep(-1); }

void MainWindowController::zoomStep(int delta) {
  if (!search_) return;
  ToolbarViewController* toolbar = search_->toolbarViewController();
  if (toolbar == nullptr || !toolbar->zoomPopUp) return;
  const auto& levels = ZoomLevel::all();
  const int last = static_cast<int>(levels.size()) - 1;
  int index = toolbar->zoomPopUp->currentIndex();
  if (delta > 0 && index < last) index += 1;
  if (delta < 0 && index > 0) index -= 1;
  toolbar->zoomPopUp->setCurrentIndex(index);
  if (toolbar->delegate != nullptr && index >= 0 && index <= last) {
    toolbar->delegate->setZoomLevel(levels[static_cast<std::size_t>(index)]);
  }
}

void MainWindowController::downloadApp(QObject*) { openWebPage(kDownloadPath); }

void MainWindowController::clearImageCaches(QObject*) {
  if (!imageStore) return;
  imageStore->pdfCache().removeAllObjects();
  imageStore->epsCache().removeAllObjects();
  imageStore->svgCache().removeAllObjects();
}

// --- frame ---

void MainWindowController::saveWindowFrame() const {
  QWidget* w = window();
  if (w == nullptr) return;
  const bool zoomed = w->isMaximized() || w->isFullScreen();
  const QRect frame = zoomed ? w->normalGeometry() : w->geometry();
  if (frame.width() < 1 || frame.height() < 1) return;
  std::ostringstream text;
  text << frame.x() << ' ' << frame.y() << ' ' << frame.width() << ' ' << frame.height();
  vx::UserDefaults::standard().setString(text.str(), frameDefaultsKey);
}

std::optional<QRect> MainWindowController::parseFrame(const std::string& text) {
  std::vector<long long> numbers;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    long long value = 0;
    const char* begin = text.data() + i;
    const char* end = text.data() + text.size();
    auto [next, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || next == begin) return std::nullopt;
    if (next != end && *next != ' ') return std::nullopt;
    numbers.push_back(value);
    if (numbers.size() > 4) return std::nullopt;
    i += static_cast<std::size_t>(next - begin);
  }
  if (numbers.size() != 4) return std::nullopt;
  const long long x = numbers[0];
  const long long y = numbers[1];
  const long long width = numbers[2];
  const long long height = numbers[3];
  if (width < 1 || height < 1 || width > kMaxFrameSide || height > kMaxFrameSide) return std::nullopt;
  if (x < -kMaxFrameSide || x > kMaxFrameSide || y < -kMaxFrameSide || y > kMaxFrameSide) return std::nullopt;
  return QRect(static_cast<int>(x), static_cast<int>(y), static_cast<int>(width), static_cast<int>(height));
}

std::optional<QRect> MainWindowController::savedWindowFrame() {
  const auto text = vx::UserDefaults::standard().stringForKey(frameDefaultsKey);
  if (!text) return std::nullopt;
  return parseFrame(*text);
}

void MainWindowController::restoreWindowFrame() {
  QWidget* w = window();
  const std::optional<QRect> saved = savedWindowFrame();
  if (!saved) {
    w->resize(kDefaultWidth, kDefaultHeight);
    return;
  }
  QRect frame = *saved;
  // A frame saved on a screen that is gone keeps its size but comes back where it can be seen.
  bool onScreen = false;
  for (QScreen* screen : QGuiApplication::screens()) {
    if (screen->availableGeometry().intersects(frame)) onScreen = true;
  }
  if (!onScreen) {
    if (QScreen* primary = QGuiApplication::primaryScreen()) {
      const QRect available = primary->availableGeometry();
      frame.setSize(frame.size().boundedTo(available.size()));
      frame.moveCenter(available.center());
    }
  }
  w->setGeometry(frame);
}

}  // namespace Vexelworks
