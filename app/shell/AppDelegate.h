// The application delegate: runs the start-up sequence, owns the long-lived objects (updater,
// URL handler, menus, sign-in and image stores, main and preferences windows), keeps the
// signed-in user, follows sign-in changes, handles "vexelworks://" URLs, locks the window behind
// the out-of-date overlay when the service says this build is too old, and answers the
// application-level menu actions (the last responder of the chain).
//
// Threads: main thread only. Store changes and the version check arrive on the main queue.
#pragma once

#include "app/qt/Responder.h"
#include "app/service/Action.h"
#include "app/service/Auth/AuthStore.h"
#include "app/service/Auth/URLHandler.h"
#include "app/service/Images/ImageStore.h"
#include "app/service/VexelUser.h"
#include "app/shell/MenuController.h"
#include "platform/foundation/URL.h"
#include "platform/updater/Updater.h"

#include <QPointer>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class QMenuBar;

namespace Vexelworks {

class MainWindowController;
class PreferencesWindowController;

// Owns the software-update checker, made on first use.
class AppCoordinator {
 public:
  vx::SUUpdater& sparkleUpdater();
  // Gets (making if needed) the updater and starts a check: the download page opens.
  void checkForUpdates();

 private:
  std::unique_ptr<vx::SUUpdater> sparkleUpdater_;
};

class AppDelegate : public vx::Responder,
                    public ApplicationUserSource,
                    public std::enable_shared_from_this<AppDelegate> {
 public:
  static constexpr const char* kHelpPath = "/for-mac/help/";
  static constexpr const char* kExitSurveyPath = "/for-mac/exit-survey/";
  static constexpr const char* kManageAccountPath = "/settings/billing/";

  // Builds the main menu (not yet shown: the main window carries it) with no user.
  static std::shared_ptr<AppDelegate> make();
  ~AppDelegate() override;

  // Registers every interface the application loads by name. Call once before launching.
  static void registerInterfaces();

  // The start-up sequence: updater, telemetry, error reporting, Debug menu ("DebugEnabled"), URL
  // handler, stores, action handlers, main window, search or connect view, version check.
  void applicationDidFinishLaunching();
  void applicationDidBecomeActive();
  // Always true.
  bool applicationShouldHandleReopen(bool hasVisibleWindows);
  void applicationWillTerminate() {}

  // --- state ---
  AppCoordinator* appCoordinator() const { return appCoordinator_.get(); }
  URLHandler* urlOpenHandler() const { return urlOpenHandler_.get(); }
  MenuController& menuController() { return menuController_; }
  QMenuBar* mainMenu() const { return mainMenu_; }
  const std::optional<VexelUser>& user() const { return user_; }
  std::optional<VexelUser> currentUser() const override { return user_; }
  MainWindowController* mainWindowController() const { return mainWindowController_.get(); }
  // Made on first use (showPreferences: while signed in, or logOut:).
  PreferencesWindowController& preferencesWindowController();
  bool hasPreferencesWindowController() const { return preferencesWindowController_ != nullptr; }
  const std::shared_ptr<AuthStore>& authStore() const { return authStore_; }
  const std::shared_ptr<ImageStore>& imageStore() const { return imageStore_; }
  // The Debug menu when it was installed at launch.
  QMenu* debugMenu() const { return debugMenu_; }

  // --- internal operations ---
  void activateMainWindow();
  void userDidChange();
  void authStoreDidChange(const AuthStoreChange& change);
  // The delegate's own action handler: no action concerns it.
  void handle(const Action& action);
  // Opened URLs: each first goes to the application-delegate forwarder (telemetry services hear
  // it there); then host "login" with one path component signs in with it; anything else is told.
  void handleURL(const vx::URL& url);
  // The version check's completion with the service's minimum build.
  void checkAppVersion(std::optional<std::int64_t> minimumBuild);
  void sendTestErrorEvent();

  // --- menu actions (the sender is ignored) ---
  void showHelp(QObject* sender);
  void showExitSurvey(QObject* sender);
  void manageAccount(QObject* sender);
  void checkForUpdates(QObject* sender);
  void showPreferences(QObject* sender);
  void logOut(QObject* sender);
  void quitApp(QObject* sender);
  void showMainWindow(QObject* sender);
  void debug_logOut(QObject* sender);
  void debug_refreshUser(QObject* sender);
  void debug_clearFirstLogin();
  void debug_crash(QObject* sender);
  void debug_sendPloverEvent(QObject* sender);

  // The error-reporting DSN of this build: keys and project of the application, at the host of
  // the service the build talks to (the local service in development).
  static std::string errorReportingDsn();
  // The telemetry app secret: the release one for the release bundle identifier, the
  // development one for any other. A bundle without an identifier stops the program.
  static std::string telemetryAppSecret();
  // Where telemetry logs go: the service this build talks to.
  static std::string telemetryLogURL();

 private:
  AppDelegate();
  void buildMainMenu();
  void startTelemetry();
  void startErrorReporting();

  std::unique_ptr<AppCoordinator> appCoordinator_;
  std::shared_ptr<URLHandler> urlOpenHandler_;
  QPointer<QMenuBar> mainMenu_;
  MenuController menuController_;
  std::optional<VexelUser> user_;
  std::unique_ptr<MainWindowController> mainWindowController_;
  std::unique_ptr<PreferencesWindowController> preferencesWindowController_;
  std::shared_ptr<AuthStore> authStore_;
  std::shared_ptr<ImageStore> imageStore_;
  QPointer<QMenu> debugMenu_;
};

}  // namespace Vexelworks
