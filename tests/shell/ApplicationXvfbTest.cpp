// The real program on a real X server against the local service, driven as a user drives it:
// the pointer and keys through XTest, the browser's part (fetching the sign-in page) by this
// test. Launch without a token, a bad link from a second launch, sign-in through a second launch
// carrying the page's link, a search typed into the field, an icon chosen and copied as PNG
// (read back by xclip and compared with the image pipeline's bytes), the icon opened, sign-out
// from the application menu and quit; a relaunch then starts signed out. Telemetry's ingestion
// endpoint hears of the started services and of the session opened at launch. A screenshot of
// the screen after each step.
#include "app/service/APIClient.h"
#include "app/service/Export/Pasteboard.h"
#include "app/service/IconList/IconList.h"
#include "app/service/Images/ImageStore.h"
#include "app/service/ServiceConfig.h"
#include "app/service/Settings.h"
#include "platform/foundation/UserDefaults.h"
#include "support/Screenshot.h"
#include "tools/devservice/DevService.h"
#include "tools/devservice/IconAPI.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "shell/XTestInput.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace Vexelworks {
namespace {

using Vexelworks::testing::XTestInput;

class ApplicationXvfbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) GTEST_SKIP() << "needs an X server";
    if (QStandardPaths::findExecutable("xclip").isEmpty()) GTEST_SKIP() << "xclip is not installed";
    ASSERT_TRUE(input_.ok()) << "no XTest extension";
    ASSERT_TRUE(service_.start().ok());
    base_ = service_.url("");
    qputenv("VX_API_BASE_URL", QByteArray::fromStdString(base_));
    qputenv("VX_WEB_BASE_URL", QByteArray::fromStdString(base_));
    // Copies are PNG: the program reads the export type at start.
    saveIconPasteboardType(PasteboardType::png);
  }
  void TearDown() override {
    if (app_.state() != QProcess::NotRunning) {
      app_.kill();
      app_.waitForFinished(10000);
    }
  }

  void startApplication(const QStringList& arguments = {}) {
    appOutput_.clear();
    app_.setProcessChannelMode(QProcess::SeparateChannels);
    app_.start(QStringLiteral(VX_APP_BINARY), arguments);
    ASSERT_TRUE(app_.waitForStarted(10000));
  }
  // Everything the running program wrote to standard output so far.
  const std::string& appOutput() {
    appOutput_ += app_.readAllStandardOutput().toStdString();
    return appOutput_;
  }
  // A second launch with `argument`, as the desktop starts one; it must hand over and end.
  void secondLaunch(const std::string& argument) {
    QProcess second;
    second.start(QStringLiteral(VX_APP_BINARY), {QString::fromStdString(argument)});
    ASSERT_TRUE(second.waitForStarted(10000));
    const bool ended = QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 60000);
    if (!ended) second.kill();
    ASSERT_TRUE(ended) << "the second launch kept running";
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
    EXPECT_EQ(app_.state(), QProcess::Running);
  }
  std::size_t requests(const std::string& pattern, const std::string& method = "") {
    std::size_t n = 0;
    for (const auto& request : service_.requests(pattern)) {
      if (method.empty() || request.method == method) ++n;
    }
    return n;
  }
  bool waitForRequests(const std::string& pattern, std::size_t count, int milliseconds = 30000) {
    return QTest::qWaitFor([&] { return requests(pattern) >= count; }, milliseconds);
  }
  // The logs of `type` the telemetry ingestion endpoint received, read from the request bodies.
  std::vector<nlohmann::json> receivedLogs(const std::string& type) {
    std::vector<nlohmann::json> found;
    for (const auto& request : service_.requests("/logs")) {
      const auto body = nlohmann::json::parse(request.body, nullptr, false);
      if (!body.is_object() || !body.contains("logs") || !body["logs"].is_array()) continue;
      for (const auto& log : body["logs"]) {
        if (log.is_object() && log.contains("type") && log["type"] == type) found.push_back(log);
      }
    }
    return found;
  }
  QPoint windowPoint(int x, int y) {
    const auto origin = input_.windowOrigin("Vexelworks");
    EXPECT_TRUE(origin.has_value()) << "the program's window is not on the screen";
    return origin.value_or(QPoint()) + QPoint(x, y);
  }
  void shot(const char* name) {
    QTest::qWait(300);  // the program paints what the step changed
    const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
    const QString path = vx::test::screenshotFolder() + QLatin1Char('/') + QString::fromUtf8(name) + ".png";
    EXPECT_TRUE(screen.save(path, "PNG")) << path.toStdString();
  }
  // The image pipeline's PNG of the first icon a search for `query` finds, black, 300 pixels.
  QByteArray expectedPNG(const std::string& query) {
    setAPIBaseURL(vx::URL::parse(base_));
    auto store = ImageStore::make();
    auto api = APIClient::make(*vx::URL::parse(base_), AccessToken{std::string(vx::devservice::kDemoTokenKey),
                                                                   std::string(vx::devservice::kDemoTokenSecret)});
    auto list = IconList::make(SearchTypes::Search{query}, store, api);
    list->loadPage(1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !list->loading() && !list->icons().empty(); }, 20000));
    if (list->icons().empty()) return {};
    auto icon = list->icons().front();
    bool stored = false;
    store->fetch(icon, [&] { stored = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return stored; }, 20000));
    const IconPasteboardItem item(icon, store, Color::black(), PasteboardType::png, 300);
    const auto png = item.pasteboardPropertyList("public.png");
    setAPIBaseURL(std::nullopt);
    if (!png) return {};
    return QByteArray(reinterpret_cast<const char*>(png->data()), static_cast<qsizetype>(png->size()));
  }

  vx::devservice::DevService service_;
  std::string base_;
  XTestInput input_;
  QProcess app_;
  std::string appOutput_;
};

TEST_F(ApplicationXvfbTest, ANewcomerSignsInSearchesCopiesAnIconSignsOutAndQuits) {
  // Launch: no token, so the connect view; the version check reached the service.
  startApplication();
  ASSERT_TRUE(waitForRequests("/for-mac/version/", 1));
  ASSERT_TRUE(QTest::qWaitFor([&] { return input_.windowOrigin("Vexelworks").has_value(); }, 20000));
  EXPECT_EQ(requests("/user"), 0u);
  // Telemetry started its crash and analytics services and said so to the ingestion endpoint.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        for (const auto& request : service_.requests("/logs")) {
          if (request.body.find("startService") != std::string::npos &&
              request.body.find("Crashes") != std::string::npos &&
              request.body.find("Analytics") != std::string::npos) {
            return true;
          }
        }
        return false;
      },
      30000));
  // The analytics service's session tracker opened a session at launch and sent its log.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !receivedLogs("startSession").empty(); }, 30000));
  const nlohmann::json session = receivedLogs("startSession").front();
  ASSERT_TRUE(session.contains("sid") && session["sid"].is_string()) << session.dump();
  EXPECT_FALSE(session["sid"].get<std::string>().empty());
  shot("application-1-launch");

  // A link of an unknown kind from a second launch: told, nothing else changes.
  secondLaunch("vexelworks://nowhere/abc");
  EXPECT_TRUE(QTest::qWaitFor([&] { return appOutput().find("No handler for nowhere") != std::string::npos; }, 20000))
      << appOutput();
  EXPECT_EQ(requests("/for-mac/oauth/"), 0u);

  // Sign-in: the browser's part is fetching the page; its link goes to a second launch.
  QProcess curl;
  curl.start("curl", {"-fsS", QString::fromStdString(base_ + "/for-mac/authorize/")});
  ASSERT_TRUE(curl.waitForFinished(20000));
  const std::string html = curl.readAllStandardOutput().toStdString();
  std::smatch match;
  ASSERT_TRUE(std::regex_search(html, match, std::regex("href=\"(vexelworks://login/[^\"]+)\""))) << html;
  secondLaunch(match[1]);
  ASSERT_TRUE(waitForRequests("/for-mac/oauth/", 1));
  ASSERT_TRUE(waitForRequests("/user", 1));
  // The starter set loads in the search view.
  ASSERT_TRUE(waitForRequests("/macos/icons", 1));
  shot("application-2-signed-in");

  // Search: the field has the keyboard once the search view shows; click it to be sure.
  input_.clickAt(windowPoint(400, 35));
  input_.type("star");
  input_.tap(XK_Return);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (const auto& request : service_.requests("/macos/search/icons")) {
          if (request.query.find("star") != std::string::npos) return true;
        }
        return false;
      },
      30000));
  shot("application-3-search");

  // Choose the first icon and copy it: another program reads the PNG.
  const QByteArray expected = expectedPNG("star");
  ASSERT_TRUE(expected.startsWith("\x89PNG"));
  input_.clickAt(windowPoint(40, 92));
  QByteArray png;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        // Copy again until the choice has landed and the clipboard holds its PNG.
        input_.tap(XK_c, XK_Control_L);
        QProcess xclip;
        xclip.start("xclip", {"-selection", "clipboard", "-o", "-t", "image/png"});
        if (!xclip.waitForFinished(20000) || xclip.exitCode() != 0) return false;
        png = xclip.readAllStandardOutput();
        return !png.isEmpty();
      },
      30000));
  EXPECT_EQ(png, expected);
  shot("application-4-copied");

  // Return opens the chosen icon.
  input_.tap(XK_Return);
  shot("application-5-icon-open");
  input_.tap(XK_Escape);

  // Sign out: the application menu's third item, under Preferences and Manage Account.
  const int windowsBeforeMenu = input_.viewableWindowCount();
  input_.clickAt(windowPoint(40, 8));
  ASSERT_TRUE(QTest::qWaitFor([&] { return input_.viewableWindowCount() > windowsBeforeMenu; }, 10000))
      << "the application menu did not open";
  input_.tap(XK_Down);
  input_.tap(XK_Down);
  input_.tap(XK_Down);
  shot("application-6-account-menu");
  input_.tap(XK_Return);
  QTest::qWait(300);
  shot("application-7-signed-out");

  // Quit from the keyboard: the program ends by itself, normally.
  input_.clickAt(windowPoint(400, 300));
  input_.tap(XK_q, XK_Control_L);
  ASSERT_TRUE(QTest::qWaitFor([&] { return app_.state() == QProcess::NotRunning; }, 30000))
      << "the program did not quit";
  EXPECT_EQ(app_.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(app_.exitCode(), 0) << app_.readAllStandardError().toStdString();

  // Signed out for good: the next start asks the service for no user. Bad links on its command
  // line are told or dropped and change nothing.
  const std::size_t users = requests("/user");
  const std::size_t versions = requests("/for-mac/version/");
  startApplication({"vexelworks://elsewhere/x", "vexelworks:%zz", "vexelworks://login/a/b"});
  ASSERT_TRUE(waitForRequests("/for-mac/version/", versions + 1));
  EXPECT_TRUE(QTest::qWaitFor([&] { return appOutput().find("No handler for elsewhere") != std::string::npos; }, 20000))
      << appOutput();
  EXPECT_EQ(requests("/user"), users);
  EXPECT_EQ(requests("/for-mac/oauth/"), 1u);
  shot("application-8-relaunch-signed-out");
}

TEST_F(ApplicationXvfbTest, ACorruptSettingsFileFallsBackToDefaultsAndIsKept) {
  const std::filesystem::path file = vx::UserDefaults::standard().filePath();
  const std::string garbage = "{\"IconPasteboardType\": \"PNG\", \xff\xfe cut here";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << garbage;
  }
  startApplication();
  ASSERT_TRUE(waitForRequests("/for-mac/version/", 1));
  ASSERT_TRUE(QTest::qWaitFor([&] { return input_.windowOrigin("Vexelworks").has_value(); }, 20000));
  shot("application-corrupt-settings");
  // Quit, so everything the program would write is written.
  input_.clickAt(windowPoint(400, 300));
  input_.tap(XK_q, XK_Control_L);
  ASSERT_TRUE(QTest::qWaitFor([&] { return app_.state() == QProcess::NotRunning; }, 30000))
      << "the program did not quit";
  EXPECT_EQ(app_.exitCode(), 0);
  const std::string errors = app_.readAllStandardError().toStdString();
  EXPECT_NE(errors.find("is not a valid settings file"), std::string::npos) << errors;
  // The unreadable file is kept, byte for byte, beside the new one.
  std::optional<std::filesystem::path> aside;
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
    if (entry.path().filename().string().rfind(file.filename().string() + ".corrupt-", 0) == 0) aside = entry.path();
  }
  ASSERT_TRUE(aside.has_value());
  std::ifstream in(*aside, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), garbage);
}

}  // namespace
}  // namespace Vexelworks
