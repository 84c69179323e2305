#include "app/shell/AppDelegate.h"

#include "app/qt/ActionRouter.h"
#include "app/qt/InterfaceRegistry.h"
#include "app/service/Helpers.h"
#include "app/service/Logger.h"
#include "app/service/ServiceConfig.h"
#include "app/service/Settings.h"
#include "app/shell/AppIdentity.h"
#include "app/shell/ConnectViewController.h"
#include "app/shell/FileTypeMenu.h"
#include "app/shell/IconMenu.h"
#include "app/shell/MainWindowController.h"
#include "app/shell/Preferences.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/UserDefaults.h"
#include "reporting/error-client/PloverClient.h"
#include "reporting/error-client/PloverEvent.h"
#include "telemetry/ZerEvuzev/Core/MSDelegateForwarder.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"
#include "telemetry/ZerEvuzevAnalytics/Qt/MSAnalyticsQtHooks.h"
#include "telemetry/ZerEvuzevCrashes/MSCrashes.h"

#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QTabWidget>

#include <cstdio>
#include <iostream>
#include <vector>

namespace Vexelworks {
namespace {

// The application's keys and project at the error-reporting service.
constexpr const char* kErrorReportingPublicKey = "5f0c2a7e9b8d41c6a3e1f27d90b4c8e5";
constexpr const char* kErrorReportingSecretKey = "c41e7a0d2f9b48e6b5a3d1c09e8f7a62";
constexpr const char* kErrorReportingProject = "2718";
// The telemetry secrets of the released application and of every other build.
constexpr const char* kTelemetryReleaseSecret = "8b3f0d6e2a9c4715b0e4d8a1c6f2e937";
constexpr const char* kTelemetryDevelopmentSecret = "1d7e5a3c9f2b40e8a6c1b4d7e0f3a925";

// Path components as the URL loading system counts them: the root "/" when the path starts with
// one, then every non-empty segment, decoded.
std::vector<std::string> pathComponents(const vx::URL& url) {
  std::vector<std::string> components;
  const std::string path = url.decodedPath();
  if (path.empty()) return components;
  if (path.front() == '/') components.emplace_back("/");
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) components.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return components;
}

// The URL handler holds its delegate strongly; this one holds the application delegate weakly
// so the two do not keep each other alive.
class URLHandlerForwarder : public URLHandlerDelegate {
 public:
  explicit URLHandlerForwarder(std::weak_ptr<AppDelegate> delegate) : delegate_(std::move(delegate)) {}
  void handleURL(const vx::URL& url) override {
    if (auto delegate = delegate_.lock()) delegate->handleURL(url);
  }

 private:
  std::weak_ptr<AppDelegate> delegate_;
};

}  // namespace

// --- AppCoordinator ---

vx::SUUpdater& AppCoordinator::sparkleUpdater() {
  if (!sparkleUpdater_) {
    const auto page = webPageURL(MainWindowController::kDownloadPath);
    if (!page) vx::fatalError("The download page does not form a URL");
    // The shared helper opens pages of the web site; the updater's page is one of them.
    sparkleUpdater_ = std::make_unique<vx::SUUpdater>(
        *page, [](const vx::URL&) { openWebPage(MainWindowController::kDownloadPath); });
  }
  return *sparkleUpdater_;
}

void AppCoordinator::checkForUpdates() { sparkleUpdater().checkForUpdates(nullptr); }

// --- AppDelegate ---

std::shared_ptr<AppDelegate> AppDelegate::make() { return std::shared_ptr<AppDelegate>(new AppDelegate()); }

AppDelegate::AppDelegate() {
  setActionHandler("showHelp:", [this](QObject* sender) { showHelp(sender); });
  setActionHandler("showExitSurvey:", [this](QObject* sender) { showExitSurvey(sender); });
  setActionHandler("manageAccount:", [this](QObject* sender) { manageAccount(sender); });
  setActionHandler("checkForUpdates:", [this](QObject* sender) { checkForUpdates(sender); });
  setActionHandler("showPreferences:", [this](QObject* sender) { showPreferences(sender); });
  setActionHandler("logOut:", [this](QObject* sender) { logOut(sender); });
  setActionHandler("quitApp:", [this](QObject* sender) { quitApp(sender); });
  setActionHandler("showMainWindow:", [this](QObject* sender) { showMainWindow(sender); });
  setActionHandler("debug_logOut:", [this](QObject* sender) { debug_logOut(sender); });
  setActionHandler("debug_refreshUser:", [this](QObject* sender) { debug_refreshUser(sender); });
  setActionHandler("debug_clearFirstLogin", [this](QObject*) { debug_clearFirstLogin(); });
  setActionHandler("debug_crash:", [this](QObject* sender) { debug_crash(sender); });
  setActionHandler("debug_sendPloverEvent:", [this](QObject* sender) { debug_sendPloverEvent(sender); });
  buildMainMenu();
  vx::ActionRouter::setApplicationDelegate(this);
}

AppDelegate::~AppDelegate() {
  if (vx::ActionRouter::applicationDelegate() == this) vx::ActionRouter::setApplicationDelegate(nullptr);
  // The preferences window and the main window go before the menu bar they may carry.
  preferencesWindowController_.reset();
  mainWindowController_.reset();
  delete mainMenu_.data();
}

void AppDelegate::registerInterfaces() {
  MainWindowController::registerInterfaces();
  registerPreferencesInterfaces();
  // The grids' per-icon menus and copies come from the shell's icon actions.
  IconActions::install();
}

void AppDelegate::buildMainMenu() {
  // Parentless until the main window takes it into its layout.
  auto* bar = new QMenuBar;
  mainMenu_ = bar;
  menuController_.setMainMenu(bar);

  QMenu* app = bar->addMenu(QString::fromUtf8(MenuController::kApplicationMenuTitle));
  addActionItem(app, QStringLiteral("Preferences..."), "showPreferences:")->setShortcut(QKeySequence::Preferences);
  app->addSeparator();
  addActionItem(app, QStringLiteral("Check for Updates..."), "checkForUpdates:");
  app->addSeparator();
  addActionItem(app, QStringLiteral("Vexelworks Help"), "showHelp:");
  addActionItem(app, QStringLiteral("Exit Survey..."), "showExitSurvey:");
  app->addSeparator();
  addActionItem(app, QStringLiteral("Quit Vexelworks"), "quitApp:")->setShortcut(QKeySequence::Quit);

  QMenu* edit = bar->addMenu(QStringLiteral("Edit"));
  addActionItem(edit, QStringLiteral("Copy"), "copy:")->setShortcut(QKeySequence::Copy);
  addActionItem(edit, QStringLiteral("Paste"), "paste:")->setShortcut(QKeySequence::Paste);

  QMenu* view = bar->addMenu(QStringLiteral("View"));
  addActionItem(view, QStringLiteral("Zoom In"), "didClickZoomIn:")->setShortcut(QKeySequence::ZoomIn);
  addActionItem(view, QStringLiteral("Zoom Out"), "didClickZoomOut:")->setShortcut(QKeySequence::ZoomOut);

  // The export choices the main window hands on to the toolbar.
  QMenu* exportMenu = bar->addMenu(QStringLiteral("Export"));
  exportMenu->addAction(new FileTypeMenu(QStringLiteral("File Type"), exportMenu));
  QMenu* colour = exportMenu->addMenu(QStringLiteral("Color"));
  addActionItem(colour, QStringLiteral("Black"), "didSelectColorOption:");
  addActionItem(colour, QStringLiteral("White"), "didSelectColorOption:");
  addActionItem(colour, QStringLiteral("Choose..."), "didSelectColorOption:");

  QMenu* window = bar->addMenu(QStringLiteral("Window"));
  addActionItem(window, QStringLiteral("Vexelworks"), "showMainWindow:");
}

PreferencesWindowController& AppDelegate::preferencesWindowController() {
  if (!preferencesWindowController_) {
    preferencesWindowController_ = std::make_unique<PreferencesWindowController>();
  }
  return *preferencesWindowController_;
}

void AppDelegate::applicationDidFinishLaunching() {
  // 1. The updater; checks may send the system profile (nothing is sent on Linux).
  appCoordinator_ = std::make_unique<AppCoordinator>();
  appCoordinator_->sparkleUpdater().setSendsSystemProfile(true);
  // 2. Telemetry.
  startTelemetry();
  // 3. Error reporting.
  startErrorReporting();
  // 4. The Debug menu, before the main window exists.
  if (settingBool(SettingKeys::debugEnabled, SettingFallbacks::debugEnabled)) {
    debugMenu_ = installDebugMenu(mainMenu_);
  }
  // 5. URLs opened in the application reach handleURL from now on.
  urlOpenHandler_ = URLHandler::make(std::make_shared<URLHandlerForwarder>(weak_from_this()));
  // 6. The colour panel: the dialog of the search window offers one picker with the grey-scale,
  //    RGB, wheel and list parts; there is no mask to set.
  // 7. Stores.
  authStore_ = AuthStore::make(AuthStoreConfig{webBaseURL(), apiBaseURL()});
  imageStore_ = ImageStore::make();
  // 8. Action handlers, then this delegate as the sign-in store's subscriber.
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  actionHandlers().append([weak](const Action& action) {
    if (auto delegate = weak.lock()) delegate->handle(action);
  });
  actionHandlers().append([store = authStore_](const Action& action) { store->dispatch(action); });
  actionHandlers().append([store = imageStore_](const Action& action) { store->handle(action); });
  authStore_->addHandler([weak](const AuthStoreChange& change) {
    if (auto delegate = weak.lock()) delegate->authStoreDidChange(change);
  });
  // 9. The main window, carrying the main menu.
  mainWindowController_ = std::make_unique<MainWindowController>();
  mainWindowController_->imageStore = imageStore_;
  if (QWidget* window = mainWindowController_->window(); window != nullptr && window->layout() != nullptr) {
    window->layout()->setMenuBar(mainMenu_);
  }
  mainWindowController_->window()->show();
  mainWindowController_->window()->raise();
  mainWindowController_->window()->activateWindow();
  // 10. A stored token opens the search view at once; the user record follows.
  if (authStore_->tokenStore().getToken()) {
    mainWindowController_->showSearchView();
    dispatch(Actions::RefreshUser{});
  } else {
    mainWindowController_->showConnectView();
  }
  // 11. The version check.
  authStore_->webClient()->fetchMinimumBuild(
      [self = shared_from_this()](std::int64_t minimumBuild, std::optional<vx::Error>) {
        self->checkAppVersion(minimumBuild);
      });
}

void AppDelegate::applicationDidBecomeActive() { activateMainWindow(); }

bool AppDelegate::applicationShouldHandleReopen(bool) {
  activateMainWindow();
  return true;
}

std::string AppDelegate::telemetryAppSecret() {
  const vx::Value identifier = vx::Bundle::main().objectForInfoDictionaryKey("CFBundleIdentifier");
  const std::string* text = identifier.stringValue();
  if (text == nullptr) vx::fatalError("The bundle has no identifier");
  return *text == kReleaseBundleIdentifier ? kTelemetryReleaseSecret : kTelemetryDevelopmentSecret;
}

void AppDelegate::startTelemetry() {
  // Logs go to the service this build talks to (the local service's ingestion in development).
  MSZerEvuzev::sharedInstance()->setLogUrl(telemetryLogURL());
  MSZerEvuzev::start(telemetryAppSecret(), {MSCrashes::sharedInstance(), MSAnalytics::sharedInstance()});
  // Window activation reaches the session tracker, and shown view controllers become page views
  // once automatic page tracking is switched on.
  MSAnalyticsQtHooks::install();
}

std::string AppDelegate::telemetryLogURL() {
  std::string url = apiBaseURL().string();
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

std::string AppDelegate::errorReportingDsn() {
  const vx::URL api = apiBaseURL();
  std::string dsn =
      *api.scheme() + "://" + kErrorReportingPublicKey + ":" + kErrorReportingSecretKey + "@" + api.host().value_or("");
  if (api.port()) dsn += ":" + std::to_string(*api.port());
  return dsn + "/" + kErrorReportingProject;
}

void AppDelegate::startErrorReporting() {
  vx::Error error;
  auto client = PloverClient::makeWithDsn(errorReportingDsn(), &error);
  if (!client) {
    std::cout << error.description << std::endl;
    return;
  }
  PloverClient::setSharedClient(client);
}

void AppDelegate::activateMainWindow() {
  if (QApplication::activeWindow() != nullptr) return;
  if (!mainWindowController_ || mainWindowController_->window() == nullptr) return;
  QWidget* window = mainWindowController_->window();
  window->show();
  window->raise();
  window->activateWindow();
}

void AppDelegate::userDidChange() {
  if (mainWindowController_) mainWindowController_->user = user_;
  menuController_.user = user_;
  menuController_.update();
}

void AppDelegate::authStoreDidChange(const AuthStoreChange& change) {
  std::visit(
      [this](const auto& value) {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, AuthStoreChanges::LoggedIn>) {
          if (mainWindowController_ && mainWindowController_->connectViewController() != nullptr) {
            mainWindowController_->connectViewController()->connecting = false;
            mainWindowController_->connectViewController()->updateConnectingState();
          }
          user_ = value.user;
          userDidChange();
          if (mainWindowController_) mainWindowController_->updateContent();
        } else if constexpr (std::is_same_v<T, AuthStoreChanges::RefreshedUser>) {
          user_ = value.user;
          userDidChange();
          if (mainWindowController_) mainWindowController_->updateContent();
        } else if constexpr (std::is_same_v<T, AuthStoreChanges::LogInFailed>) {
          std::cout << (value.error ? value.error->description : std::string("nil")) << std::endl;
          user_.reset();
          userDidChange();
          if (mainWindowController_) mainWindowController_->showConnectView();
        } else {
          user_.reset();
          userDidChange();
          if (mainWindowController_) mainWindowController_->showConnectView();
        }
      },
      change);
}

void AppDelegate::handle(const Action&) {}

void AppDelegate::handleURL(const vx::URL& url) {
  // Telemetry services registered with the forwarder hear every URL the application is handed,
  // before (and whatever) the application does with it.
  MSAppDelegateForwarder::sharedInstance()->applicationOpenURLs({url.string()});
  if (!url.host() || url.host()->empty()) return;
  if (*url.host() != "login") {
    std::cout << "No handler for " << *url.host() << std::endl;
    return;
  }
  if (mainWindowController_) mainWindowController_->showConnectView();
  const std::vector<std::string> components = pathComponents(url);
  if (components.size() != 2) return;
  dispatch(Actions::LogIn{components[1]});
  if (mainWindowController_ && mainWindowController_->connectViewController() != nullptr) {
    mainWindowController_->connectViewController()->connecting = true;
    mainWindowController_->connectViewController()->updateConnectingState();
  }
}

void AppDelegate::checkAppVersion(std::optional<std::int64_t> minimumBuild) {
  if (!minimumBuild) return;
  const std::int64_t current = buildNumber();
  if (current == 1) return;
  log("Minimum build: " + std::to_string(*minimumBuild) + " current: " + std::to_string(current), "DEBUG",
      "checkAppVersion()", __FILE__, __LINE__);
  if (current >= *minimumBuild) return;
  if (!mainWindowController_) return;
  mainWindowController_->appUpToDate = false;
  mainWindowController_->showPoisonPill();
}

void AppDelegate::sendTestErrorEvent() {
  auto event = std::make_shared<PloverEvent>(PloverSeverity::debug);
  event->message = "Testing";
  event->environment = "production";
  if (auto client = PloverClient::sharedClient()) client->sendEvent(event);
}

// --- menu actions ---

void AppDelegate::showHelp(QObject*) { openWebPage(kHelpPath); }

void AppDelegate::showExitSurvey(QObject*) { openWebPage(kExitSurveyPath); }

void AppDelegate::manageAccount(QObject*) { openWebPage(kManageAccountPath); }

void AppDelegate::checkForUpdates(QObject*) {
  if (!appCoordinator_) appCoordinator_ = std::make_unique<AppCoordinator>();
  appCoordinator_->checkForUpdates();
}

void AppDelegate::showPreferences(QObject*) {
  if (!user_) return;
  preferencesWindowController().showWindow();
}

void AppDelegate::logOut(QObject*) {
  preferencesWindowController().close();
  dispatch(Actions::LogOut{});
  if (mainWindowController_) mainWindowController_->updateContent();
}

void AppDelegate::quitApp(QObject*) { QApplication::quit(); }

void AppDelegate::showMainWindow(QObject*) {
  if (!mainWindowController_ || mainWindowController_->window() == nullptr) return;
  QWidget* window = mainWindowController_->window();
  window->show();
  window->raise();
  window->activateWindow();
}

void AppDelegate::debug_logOut(QObject*) { dispatch(Actions::LogOut{}); }

void AppDelegate::debug_refreshUser(QObject*) { dispatch(Actions::RefreshUser{}); }

void AppDelegate::debug_clearFirstLogin() {
  setSettingBool(SettingKeys::firstLogin, true);
  static_cast<void>(vx::UserDefaults::standard().synchronize());
}

void AppDelegate::debug_crash(QObject*) {
  // Exercises crash reporting: reading past the end of an empty array raises a range error that
  // nothing catches, so the process ends the way an unexpected failure would end it.
  const std::vector<int> empty;
  std::printf("%d\n", empty.at(42));
}

void AppDelegate::debug_sendPloverEvent(QObject*) { sendTestErrorEvent(); }

}  // namespace Vexelworks
