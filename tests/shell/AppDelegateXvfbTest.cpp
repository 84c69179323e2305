// The application delegate on a real X server against the local service, one launch per process
// (the action-handler list lives as long as the process): start-up without a token, bad URLs,
// opened URLs reaching the application-delegate forwarder's delegates, the connect button
// opening the sign-in page through xdg-open, a second launch of the real program handing the
// page's link over, a search with an icon opened and copied as PNG (read back by xclip), every
// Debug menu entry, preferences and log-out, Check for Updates and the version check locking the
// window.
#include "app/qt/ActionRouter.h"
#include "app/service/Auth/TokenStore.h"
#include "app/service/Auth/URLHandler.h"
#include "app/service/Export/Pasteboard.h"
#include "app/service/Helpers.h"
#include "app/service/Logger.h"
#include "app/service/ServiceConfig.h"
#include "app/service/Settings.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/AppIdentity.h"
#include "app/shell/ConnectViewController.h"
#include "app/shell/MainWindowController.h"
#include "app/shell/Preferences.h"
#include "app/shell/SearchBarViewController.h"
#include "app/shell/SearchViewController.h"
#include "app/views/IconCollectionViewController.h"
#include "app/views/IconDetailViewController.h"
#include "platform/desktop/GetURLEvents.h"
#include "platform/foundation/UserDefaults.h"
#include "reporting/error-client/PloverClient.h"
#include "support/Screenshot.h"
#include "telemetry/ZerEvuzev/Core/MSDelegateForwarder.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"
#include "telemetry/ZerEvuzevCrashes/MSCrashes.h"
#include "tools/devservice/DevService.h"
#include "support/TemporaryFolder.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>

namespace Vexelworks {
namespace {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A telemetry service's view of the application: the URLs the forwarder hands it, on the main
// thread.
class OpenedURLsRecorder : public MSAppDelegate {
 public:
  void applicationOpenURLs(const std::vector<std::string>& urls) override {
    opened.insert(opened.end(), urls.begin(), urls.end());
  }
  std::vector<std::string> opened;
};

// What one shared launch needs: the service, this process as the running instance, the delegate.
struct Launch {
  vx::devservice::DevService service;
  vx::URLHandOff instance;
  std::shared_ptr<AppDelegate> delegate;
  std::string signInLink;
  std::filesystem::path browserLog;
};
Launch* launch = nullptr;

class AppDelegateXvfbTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (launch != nullptr) return;
    launch = new Launch;
    ASSERT_TRUE(launch->service.start().ok());
    setAPIBaseURL(vx::URL::parse(launch->service.url("")));
    setWebBaseURL(vx::URL::parse(launch->service.url("")));
    setSettingBool(SettingKeys::debugEnabled, true);
    saveIconPasteboardType(PasteboardType::png);
    TokenStore().deleteToken();
    // This process is the running instance: the real program's later launches reach it.
    const char* argv[] = {"AppDelegateXvfbTest"};
    auto handOff = handOffLaunchURLs(1, argv);
    ASSERT_TRUE(handOff.ok()) << handOff.error().description;
    ASSERT_EQ(handOff.value().outcome, vx::URLHandOff::Outcome::primary);
    launch->instance = std::move(handOff.value());
    AppDelegate::registerInterfaces();
    launch->delegate = AppDelegate::make();
    launch->delegate->applicationDidFinishLaunching();
  }

  // The telemetry pipeline ends before the statics it relies on, as the program's main ends it.
  static void TearDownTestSuite() {
    MSZerEvuzev::resetSharedInstance();
    MSCrashes::resetSharedInstance();
    MSAnalytics::resetSharedInstance();
  }

  AppDelegate& delegate() { return *launch->delegate; }
  vx::devservice::DevService& service() { return launch->service; }
  MainWindowController& window() { return *delegate().mainWindowController(); }
  QWidget* current() { return window().currentContentView(); }
  bool connectShown() {
    return window().connectViewController() != nullptr && current() == window().connectViewController()->view();
  }
  bool searchShown() {
    return window().searchViewController() != nullptr && current() == window().searchViewController()->view();
  }
  std::size_t requestCount(const std::string& pattern, const std::string& method = "") {
    std::size_t n = 0;
    for (const auto& request : service().requests(pattern)) {
      if (method.empty() || request.method == method) ++n;
    }
    return n;
  }
  QAction* item(QMenu* menu, const std::string& action) {
    QAction* found = menuItemForAction(menu, action);
    EXPECT_NE(found, nullptr) << action;
    return found;
  }
  QMenu* menuTitled(const QString& title) {
    for (QAction* top : delegate().mainMenu()->actions()) {
      if (top->text() == title) return top->menu();
    }
    return nullptr;
  }
  void shot(const char* name) {
    QTest::qWait(0);
    EXPECT_FALSE(vx::test::saveScreenshot(window().window(), QString::fromUtf8(name)).isEmpty());
  }
};

TEST_F(AppDelegateXvfbTest, LaunchWithoutATokenShowsTheConnectViewWithTheDebugMenu) {
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window().window()));
  EXPECT_TRUE(connectShown());
  EXPECT_FALSE(delegate().user());
  // The updater layer exists and may send the profile.
  ASSERT_NE(delegate().appCoordinator(), nullptr);
  EXPECT_TRUE(delegate().appCoordinator()->sparkleUpdater().sendsSystemProfile());
  // Telemetry runs with this build's secret and sends to the local service.
  EXPECT_TRUE(MSZerEvuzev::isConfigured());
  EXPECT_EQ(MSZerEvuzev::sharedInstance()->appSecret(), std::optional<std::string>(AppDelegate::telemetryAppSecret()));
  EXPECT_EQ(AppDelegate::telemetryAppSecret().size(), 32u);
  EXPECT_EQ(MSZerEvuzev::sharedInstance()->logUrl(), std::optional<std::string>(service().url("")));
  // The error-reporting client reports to the local service.
  auto client = PloverClient::sharedClient();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->dsn()->url().host(), std::optional<std::string>("127.0.0.1"));
  // The main menu: the application menu first, the Debug menu last with its twelve entries.
  const QList<QAction*> top = delegate().mainMenu()->actions();
  ASSERT_FALSE(top.isEmpty());
  EXPECT_EQ(top.front()->text(), QStringLiteral("Vexelworks"));
  ASSERT_NE(top.back()->menu(), nullptr);
  EXPECT_EQ(top.back()->menu(), delegate().debugMenu());
  EXPECT_EQ(delegate().debugMenu()->actions().size(), 12);
  QMenu* app = delegate().menuController().applicationMenu();
  for (const char* action : {"showPreferences:", "checkForUpdates:", "showHelp:", "showExitSurvey:", "quitApp:"}) {
    item(app, action);
  }
  EXPECT_EQ(menuItemForAction(app, "logOut:"), nullptr);
  // Without a token no action went out: the service saw no user request; the version check ran.
  EXPECT_TRUE(QTest::qWaitFor([&] { return requestCount("/for-mac/version/") >= 1; }, 10000));
  EXPECT_EQ(requestCount("/user"), 0u);
  // The menu bar is part of the main window.
  EXPECT_TRUE(window().window()->isAncestorOf(delegate().mainMenu()));
  shot("app-launch-connect-view");
}

TEST_F(AppDelegateXvfbTest, UnknownAndMalformedURLsChangeNothing) {
  struct Case {
    const char* url;
    const char* printed;  // what goes to standard output
  };
  const Case cases[] = {
      {"vexelworks://nowhere/abc", "No handler for nowhere\n"},
      {"vexelworks:%zz", ""},          // not a URL
      {"vexelworks:login/abc", ""},    // no host
      {"vexelworks://login", ""},      // no token: the connect view only
      {"vexelworks://login/a/b", ""},  // two components: the connect view only
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    delegate().urlOpenHandler()->handleGetURLEvent(std::string(c.url));
    QApplication::processEvents();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.url;
    EXPECT_TRUE(connectShown()) << c.url;
    EXPECT_FALSE(window().connectViewController()->connecting) << c.url;
    EXPECT_FALSE(delegate().user()) << c.url;
  }
  EXPECT_EQ(requestCount("/for-mac/oauth/"), 0u);
}

// URLs arrive as get-URL events, as a launch posts them; every one the application is handed goes
// to the forwarder's delegates as well as to the application's own handling.
TEST_F(AppDelegateXvfbTest, OpenedURLsReachTheForwardersDelegatesAndTheApplication) {
  auto forwarder = MSAppDelegateForwarder::sharedInstance();
  ASSERT_TRUE(forwarder->isEnabled()) << "the bundle does not switch the forwarder off";
  auto recorder = std::make_shared<OpenedURLsRecorder>();
  forwarder->addDelegate(recorder);
  const auto deliver = [&](const std::string& url, std::size_t expectedCount) {
    testing::internal::CaptureStdout();
    vx::GetURLEventManager::shared().postGetURLEvent(url);
    const bool delivered = QTest::qWaitFor(
        [&] {
          return vx::GetURLEventManager::shared().pendingCount() == 0 && recorder->opened.size() >= expectedCount;
        },
        10000);
    QApplication::processEvents();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(delivered) << url;
    return printed;
  };

  // An unknown host: the delegate hears the URL and the application still says it has no handler.
  EXPECT_EQ(deliver("vexelworks://nowhere/forwarded", 1), "No handler for nowhere\n");
  // A URL without a host is handed to the application, which ignores it; the delegate hears it.
  EXPECT_EQ(deliver("vexelworks:login/abc", 2), "");
  EXPECT_EQ(recorder->opened, (std::vector<std::string>{"vexelworks://nowhere/forwarded", "vexelworks:login/abc"}));
  // Text that is not a URL never reaches the application, so it is not forwarded either.
  EXPECT_EQ(deliver("vexelworks:%zz", 2), "");
  EXPECT_EQ(recorder->opened.size(), 2u);

  // Switched off, the forwarder drops its delegates; the application handles the URL all the same.
  // The services' own delegates (the session tracker) are registered again afterwards.
  const auto registered = forwarder->delegates();
  forwarder->setEnabled(false);
  EXPECT_EQ(deliver("vexelworks://elsewhere/x", 2), "No handler for elsewhere\n");
  EXPECT_EQ(recorder->opened.size(), 2u);
  forwarder->setEnabled(true);
  for (const auto& each : registered) forwarder->addDelegate(each);
  ASSERT_EQ(forwarder->delegates(), registered);
  EXPECT_EQ(deliver("vexelworks://again/y", 3), "No handler for again\n");
  EXPECT_EQ(recorder->opened.back(), "vexelworks://again/y");
  forwarder->removeDelegate(recorder);
  EXPECT_TRUE(connectShown());
  EXPECT_FALSE(window().connectViewController()->connecting);
}

TEST_F(AppDelegateXvfbTest, ConnectButtonOpensTheSignInPageInTheBrowser) {
  if (QStandardPaths::findExecutable("xdg-open").isEmpty()) GTEST_SKIP() << "xdg-open is not installed";
  // xdg-open outside a desktop session hands the URL to $BROWSER: a script that writes it down.
  // Kept for the rest of the run: later tests of the launch may still hand URLs to it.
  static const vx::test::TemporaryFolder browserFolder("vx-browser");
  const auto& folder = browserFolder.path();
  const auto script = folder / "browser";
  launch->browserLog = folder / "opened";
  {
    std::ofstream out(script);
    out << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << launch->browserLog.string() << "'\n";
  }
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  setenv("BROWSER", script.c_str(), 1);
  unsetenv("DE");
  unsetenv("XDG_CURRENT_DESKTOP");

  QPushButton* button = window().connectViewController()->connectButton;
  ASSERT_NE(button, nullptr);
  QTest::mouseClick(button, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !readFile(launch->browserLog).empty(); }, 20000));
  const std::string opened = readFile(launch->browserLog);
  const char* page = isReleaseBundle() ? "/for-mac/authorize/" : "/for-mac/authorize/?beta=true";
  EXPECT_EQ(opened, service().url(page) + "\n");

  // The page the browser shows links back to the application with a one-time token.
  QProcess curl;
  curl.start("curl", {"-fsS", QString::fromStdString(opened).trimmed()});
  ASSERT_TRUE(curl.waitForFinished(20000));
  const std::string html = curl.readAllStandardOutput().toStdString();
  std::smatch match;
  ASSERT_TRUE(std::regex_search(html, match, std::regex("href=\"(vexelworks://login/[^\"]+)\""))) << html;
  launch->signInLink = match[1];
}

TEST_F(AppDelegateXvfbTest, ASecondLaunchWithTheSignInLinkSignsIn) {
  ASSERT_FALSE(launch->signInLink.empty()) << "the sign-in page gave no link";
  auto recorder = std::make_shared<OpenedURLsRecorder>();
  MSAppDelegateForwarder::sharedInstance()->addDelegate(recorder);
  // The real program, started as the desktop starts it for the link: it hands the link over
  // and exits.
  QProcess second;
  second.start(QStringLiteral(VX_APP_BINARY), {QString::fromStdString(launch->signInLink)});
  ASSERT_TRUE(second.waitForStarted(10000));
  const bool ended = QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 60000);
  if (!ended) second.kill();
  ASSERT_TRUE(ended) << "the second launch kept running";
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();

  ASSERT_TRUE(QTest::qWaitFor([&] { return delegate().user().has_value(); }, 30000));
  EXPECT_EQ(recorder->opened, std::vector<std::string>{launch->signInLink}) << "the handed-over link was forwarded";
  MSAppDelegateForwarder::sharedInstance()->removeDelegate(recorder);
  EXPECT_EQ(requestCount("/for-mac/oauth/", "POST"), 1u);
  EXPECT_TRUE(TokenStore().getToken().has_value());
  EXPECT_FALSE(settingBool(SettingKeys::firstLogin, true));
  EXPECT_FALSE(window().connectViewController()->connecting);
  EXPECT_TRUE(searchShown());
  QMenu* app = delegate().menuController().applicationMenu();
  QAction* logOut = item(app, "logOut:");
  ASSERT_NE(logOut, nullptr);
  EXPECT_EQ(logOut->text(), QStringLiteral("Log out ") + QString::fromStdString(delegate().user()->email));
  item(app, "manageAccount:");
  shot("app-signed-in");
}

TEST_F(AppDelegateXvfbTest, SearchOpenAnIconAndCopyItAsPNG) {
  if (QStandardPaths::findExecutable("xclip").isEmpty()) GTEST_SKIP() << "xclip is not installed";
  ASSERT_TRUE(searchShown());
  SearchViewController& search = *window().searchViewController();
  SearchField& field = *search.searchBarViewController()->searchField;
  field.setFocus();
  field.clear();
  QTest::keyClicks(&field, QStringLiteral("star"));
  QTest::keyClick(&field, Qt::Key_Return);
  IconCollectionViewController& grid = *search.iconCollectionViewController();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        const auto& list = search.iconList();
        return list && !list->loading() && !list->icons().empty() && grid.isViewLoaded() &&
               search.box()->contentView() == grid.view();
      },
      20000));
  EXPECT_GE(requestCount("/macos/search/icons"), 1u);
  grid.collectionView->selectItem({0, 0}, false, CollectionViewScrollPosition::noScroll);
  const auto icon = grid.selectedIcon();
  ASSERT_NE(icon, nullptr);
  ASSERT_TRUE(QTest::qWaitFor([&] { return delegate().imageStore()->pdfCache().object(icon->id).has_value(); }, 20000));
  shot("app-search-results");

  // Copy through the Edit menu, which finds the grid along the chain.
  window().window()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window().window()));
  grid.collectionView->setFocus();
  QApplication::processEvents();
  QAction* copy = item(menuTitled(QStringLiteral("Edit")), "copy:");
  ASSERT_NE(copy, nullptr);
  copy->trigger();
  QProcess xclip;
  xclip.start("xclip", {"-selection", "clipboard", "-o", "-t", "image/png"});
  ASSERT_TRUE(xclip.waitForStarted(5000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return xclip.state() == QProcess::NotRunning; }, 20000));
  EXPECT_EQ(xclip.exitCode(), 0) << xclip.readAllStandardError().toStdString();
  const QByteArray png = xclip.readAllStandardOutput();
  const auto options = search.exportOptions();
  EXPECT_EQ(options->type(), PasteboardType::png);
  const IconPasteboardItem expected(icon, delegate().imageStore(), options->color(), PasteboardType::png,
                                    options->size());
  const auto expectedPng = expected.pasteboardPropertyList("public.png");
  ASSERT_TRUE(expectedPng.has_value());
  EXPECT_EQ(
      png, QByteArray(reinterpret_cast<const char*>(expectedPng->data()), static_cast<qsizetype>(expectedPng->size())));
  EXPECT_TRUE(png.startsWith("\x89PNG"));

  // Return opens the icon.
  QTest::keyClick(grid.collectionView, Qt::Key_Return);
  ASSERT_NE(search.iconDetailViewController(), nullptr);
  EXPECT_TRUE(search.detailVisible());
  EXPECT_EQ(search.iconDetailViewController()->selectedIcon(), icon);
  shot("app-icon-open");
  search.closeIconDetail(nullptr);
}

TEST_F(AppDelegateXvfbTest, DebugMenuEntriesDoWhatTheySay) {
  ASSERT_TRUE(delegate().user().has_value());
  QMenu* debug = delegate().debugMenu();
  ASSERT_NE(debug, nullptr);
  window().window()->activateWindow();
  window().searchViewController()->searchBarViewController()->searchField->setFocus();
  QApplication::processEvents();

  // Refresh user: one more user request, the user kept.
  const std::size_t users = requestCount("/user");
  item(debug, "debug_refreshUser:")->trigger();
  EXPECT_TRUE(QTest::qWaitFor([&] { return requestCount("/user") == users + 1; }, 20000));
  EXPECT_TRUE(delegate().user().has_value());

  // Clear Image Caches: the store's caches are empty.
  ASSERT_GT(delegate().imageStore()->pdfCache().count(), 0u);
  item(debug, "clearImageCaches:")->trigger();
  EXPECT_EQ(delegate().imageStore()->pdfCache().count(), 0u);
  EXPECT_EQ(delegate().imageStore()->svgCache().count(), 0u);

  // Clear first time login token: the next connect view greets a newcomer.
  ASSERT_FALSE(settingBool(SettingKeys::firstLogin, true));
  item(debug, "debug_clearFirstLogin")->trigger();
  EXPECT_TRUE(settingBool(SettingKeys::firstLogin, false));

  // Send Plover event: one debug-level event reaches the local service's store.
  const std::size_t stored = requestCount("/api/.*/store/");
  item(debug, "debug_sendPloverEvent:")->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return requestCount("/api/.*/store/") > stored; }, 20000));
  bool found = false;
  for (const auto& request : service().requests("/api/2718/store/")) {
    const auto event = nlohmann::json::parse(request.body, nullptr, false);
    if (event.is_object() && event.value("message", nlohmann::json()).dump().find("Testing") != std::string::npos) {
      found = true;
      EXPECT_EQ(event.value("level", ""), "debug");
      EXPECT_EQ(event.value("environment", ""), "production");
    }
  }
  EXPECT_TRUE(found);

  // Login modal and App out of date: the main window controller shows them.
  item(debug, "showConnectView")->trigger();
  EXPECT_TRUE(connectShown());
  EXPECT_TRUE(window().connectViewController()->firstTime);
  shot("app-debug-login-modal");
  item(debug, "showPoisonPill")->trigger();
  ASSERT_NE(window().overlayViewController(), nullptr);
  EXPECT_EQ(current(), window().overlayViewController()->view());
  shot("app-debug-out-of-date");
  window().updateContent();
  EXPECT_TRUE(searchShown());

  // Crash!: the process ends on the uncaught range error (in a child, so this one goes on).
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::fclose(stderr);
    // On a thread of its own, as in the event loop: nothing between it and the end catches.
    std::thread([&] { delegate().debug_crash(nullptr); }).join();
    ::_exit(0);  // not reached
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  if (WIFSIGNALED(status)) {
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
  }

  // Log out: signed out, the connect view, the token gone, the account items removed.
  item(debug, "debug_logOut:")->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !delegate().user().has_value() && connectShown(); }, 10000));
  EXPECT_FALSE(TokenStore().getToken().has_value());
  EXPECT_EQ(menuItemForAction(delegate().menuController().applicationMenu(), "logOut:"), nullptr);
  EXPECT_EQ(menuItemForAction(delegate().menuController().applicationMenu(), "manageAccount:"), nullptr);
  shot("app-signed-out");
}

TEST_F(AppDelegateXvfbTest, PreferencesAndLogOutWhileSignedOut) {
  ASSERT_FALSE(delegate().user().has_value());
  delegate().showPreferences(nullptr);
  EXPECT_FALSE(delegate().hasPreferencesWindowController());
  // Log out creates the preferences controller (closing its window) and shows the connect view.
  delegate().logOut(nullptr);
  EXPECT_TRUE(delegate().hasPreferencesWindowController());
  EXPECT_FALSE(delegate().preferencesWindowController().window()->isVisible());
  EXPECT_TRUE(connectShown());
  EXPECT_TRUE(delegate().applicationShouldHandleReopen(true));
}

TEST_F(AppDelegateXvfbTest, MenuItemsOpenTheirPages) {
  std::mutex mutex;
  std::vector<std::string> opened;
  const URLOpener previous = setURLOpener([&](const vx::URL& url) {
    std::lock_guard lock(mutex);
    opened.push_back(url.string());
  });
  QMenu* app = delegate().menuController().applicationMenu();
  item(app, "checkForUpdates:")->trigger();
  item(app, "showHelp:")->trigger();
  item(app, "showExitSurvey:")->trigger();
  delegate().manageAccount(nullptr);
  setURLOpener(previous);
  const std::vector<std::string> expected{service().url("/for-mac/download/"), service().url("/for-mac/help/"),
                                          service().url("/for-mac/exit-survey/"), service().url("/settings/billing/")};
  EXPECT_EQ(opened, expected);
  EXPECT_EQ(delegate().appCoordinator()->sparkleUpdater().checksRun(), 1);
}

// Last: the out-of-date state is never left.
TEST_F(AppDelegateXvfbTest, AnOutOfDateBuildIsLockedBehindTheOverlay) {
  std::vector<std::string> lines;
  const LogSink previous = setLogSink([&](std::string_view, std::string_view line) { lines.emplace_back(line); });
  const std::int64_t build = buildNumber();
  ASSERT_NE(build, 1);
  delegate().checkAppVersion(std::nullopt);
  delegate().checkAppVersion(build);
  EXPECT_TRUE(window().appUpToDate);
  delegate().checkAppVersion(build + 1);
  setLogSink(previous);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("Minimum build: " + std::to_string(build) + " current: " + std::to_string(build)),
            std::string::npos);
  EXPECT_NE(lines[1].find("Minimum build: " + std::to_string(build + 1) + " current: " + std::to_string(build)),
            std::string::npos);
  EXPECT_NE(lines[1].find("checkAppVersion()"), std::string::npos);
  EXPECT_FALSE(window().appUpToDate);
  ASSERT_NE(window().overlayViewController(), nullptr);
  EXPECT_EQ(current(), window().overlayViewController()->view());
  shot("app-out-of-date");
}

}  // namespace
}  // namespace Vexelworks
