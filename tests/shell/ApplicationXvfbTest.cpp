// The real program on a real X server against the local service, driven as a user drives it:
// the pointer and keys through XTest, the browser by a script that writes down each page it is
// asked to open (the test fetches the page as the browser would). Launch without a token, a bad
// link from a second launch, "Sign in" opening the sign-in page and the page's link handed over
// by a second launch, a search typed into the field, an icon chosen and copied as PNG (read back
// by xclip and compared with the image pipeline's bytes), the icon opened (its artwork fills the
// detail view: found on the screen and compared with the artwork's shape), sign-out from the
// application menu (the connect view's "Sign in" answers again) and quit; a relaunch then starts
// on the connect view. Telemetry's ingestion endpoint hears of the started services and of the
// session opened at launch; the error-reporting client keeps the missing token as a breadcrumb
// and, as nothing failed, sends no event and leaves none unsent. A screenshot of the screen after
// each step.
#include "app/service/APIClient.h"
#include "app/service/Export/Pasteboard.h"
#include "app/service/IconList/IconList.h"
#include "app/service/Images/ImageStore.h"
#include "app/service/ServiceConfig.h"
#include "app/service/Settings.h"
#include "app/shell/AppDelegate.h"
#include "platform/foundation/UserDefaults.h"
#include "reporting/error-client/PloverDsn.h"
#include "reporting/error-client/PloverFileManager.h"
#include "support/Screenshot.h"
#include "support/TemporaryFolder.h"
#include "tools/devservice/DevService.h"
#include "tools/devservice/IconAPI.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QRect>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "shell/XTestInput.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace Vexelworks {
namespace {

using Vexelworks::testing::XTestInput;

// The largest 4-connected set of dark pixels (grey below 128) of an image: its bounding box and,
// row by row inside the box, which pixels belong to it.
struct InkRegion {
  QRect box;
  std::vector<bool> ink;
  std::size_t pixels = 0;
};

std::vector<bool> darkPixels(const QImage& source) {
  const QImage image = source.convertToFormat(QImage::Format_RGB32);
  std::vector<bool> dark(static_cast<std::size_t>(image.width()) * static_cast<std::size_t>(image.height()));
  for (int y = 0; y < image.height(); ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      dark[static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width()) + static_cast<std::size_t>(x)] =
          qGray(line[x]) < 128;
    }
  }
  return dark;
}

InkRegion largestInkRegion(const QImage& image) {
  const int width = image.width();
  const int height = image.height();
  const std::vector<bool> dark = darkPixels(image);
  std::vector<int> label(dark.size(), 0);
  InkRegion best;
  int bestLabel = 0;
  int next = 0;
  std::vector<std::size_t> stack;
  for (std::size_t start = 0; start < dark.size(); ++start) {
    if (!dark[start] || label[start] != 0) continue;
    ++next;
    label[start] = next;
    stack.assign(1, start);
    std::size_t count = 0;
    int left = width, top = height, right = -1, bottom = -1;
    while (!stack.empty()) {
      const std::size_t at = stack.back();
      stack.pop_back();
      ++count;
      const int x = static_cast<int>(at % static_cast<std::size_t>(width));
      const int y = static_cast<int>(at / static_cast<std::size_t>(width));
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = std::max(bottom, y);
      const auto visit = [&](int nx, int ny) {
        if (nx < 0 || ny < 0 || nx >= width || ny >= height) return;
        const std::size_t n =
            static_cast<std::size_t>(ny) * static_cast<std::size_t>(width) + static_cast<std::size_t>(nx);
        if (!dark[n] || label[n] != 0) return;
        label[n] = next;
        stack.push_back(n);
      };
      visit(x - 1, y);
      visit(x + 1, y);
      visit(x, y - 1);
      visit(x, y + 1);
    }
    if (count > best.pixels) {
      best.pixels = count;
      best.box = QRect(QPoint(left, top), QPoint(right, bottom));
      bestLabel = next;
    }
  }
  if (bestLabel == 0) return best;
  best.ink.resize(static_cast<std::size_t>(best.box.width()) * static_cast<std::size_t>(best.box.height()));
  for (int y = 0; y < best.box.height(); ++y) {
    for (int x = 0; x < best.box.width(); ++x) {
      const std::size_t from = static_cast<std::size_t>(best.box.top() + y) * static_cast<std::size_t>(width) +
                               static_cast<std::size_t>(best.box.left() + x);
      best.ink[static_cast<std::size_t>(y) * static_cast<std::size_t>(best.box.width()) + static_cast<std::size_t>(x)] =
          label[from] == bestLabel;
    }
  }
  return best;
}

// How well `region` has the shape of the artwork in `png` (dark on white or on transparency):
// the artwork's ink, cut to its bounding box and stretched to the region's box, against the
// region's pixels; intersection over union, 0 to 1.
double shapeMatch(const InkRegion& region, const QImage& png) {
  if (region.pixels == 0 || png.isNull()) return 0;
  QImage flat(png.size(), QImage::Format_RGB32);
  flat.fill(Qt::white);
  {
    QPainter painter(&flat);
    painter.drawImage(0, 0, png);
  }
  const InkRegion artwork = largestInkRegion(flat);
  if (artwork.pixels == 0) return 0;
  const QImage stretched =
      flat.copy(artwork.box).scaled(region.box.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  const std::vector<bool> expected = darkPixels(stretched);
  std::size_t both = 0, either = 0;
  for (std::size_t i = 0; i < region.ink.size() && i < expected.size(); ++i) {
    if (region.ink[i] && expected[i]) ++both;
    if (region.ink[i] || expected[i]) ++either;
  }
  return either == 0 ? 0 : static_cast<double>(both) / static_cast<double>(either);
}

std::vector<std::string> fileLines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class ApplicationXvfbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) GTEST_SKIP() << "needs an X server";
    if (QStandardPaths::findExecutable("xclip").isEmpty()) GTEST_SKIP() << "xclip is not installed";
    if (QStandardPaths::findExecutable("xdg-open").isEmpty()) GTEST_SKIP() << "xdg-open is not installed";
    ASSERT_TRUE(input_.ok()) << "no XTest extension";
    ASSERT_TRUE(service_.start().ok());
    base_ = service_.url("");
    qputenv("VX_API_BASE_URL", QByteArray::fromStdString(base_));
    qputenv("VX_WEB_BASE_URL", QByteArray::fromStdString(base_));
    // Copies are PNG: the program reads the export type at start.
    saveIconPasteboardType(PasteboardType::png);
    // xdg-open outside a desktop session hands a page to $BROWSER: a script that writes it down.
    const auto script = browserFolder_.file("browser");
    browserLog_ = browserFolder_.file("opened");
    {
      std::ofstream out(script);
      out << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << browserLog_.string() << "'\n";
    }
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    setenv("BROWSER", script.c_str(), 1);
    unsetenv("DE");
    unsetenv("XDG_CURRENT_DESKTOP");
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
  // Where the program's window is on the screen, with its size.
  std::optional<QRect> windowRect() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return std::nullopt;
    const auto window = vx::test::topLevelWindow(display, "Vexelworks");
    XCloseDisplay(display);
    if (!window) return std::nullopt;
    return QRect(window->x, window->y, window->width, window->height);
  }
  // A point at the window's left edge, half-way down, where no view puts a control.
  QPoint emptySpot() {
    const auto rect = windowRect();
    EXPECT_TRUE(rect.has_value()) << "the program's window is not on the screen";
    return rect ? QPoint(rect->x() + 4, rect->y() + rect->height() / 2) : QPoint();
  }
  // The pages the program asked the browser to open, in order.
  std::vector<std::string> openedPages() { return fileLines(browserLog_); }
  // Presses "Sign in" from the keyboard: the connect view's button is the window's only control
  // that takes the keyboard, so Tab reaches it wherever the focus was, and Space presses it. True
  // once the browser was asked for the sign-in page once more; elsewhere nothing opens a page.
  bool pressSignInAndSeeTheSignInPageOpen() {
    const std::size_t before = openedPages().size();
    input_.clickAt(emptySpot());
    input_.tap(XK_Tab);
    input_.tap(XK_space);
    if (!QTest::qWaitFor([&] { return openedPages().size() > before; }, 20000)) return false;
    const std::string page = openedPages().back();
    EXPECT_EQ(page.rfind(base_ + "/for-mac/authorize/", 0), 0u) << page;
    return true;
  }
  // Waits until the largest dark shape in the window has the artwork of `png` and fills at least
  // a third of the window's height: the icon detail shows that icon large (the grid draws its
  // icons at 80 points at most here). The best match seen goes to `seen`.
  bool waitForArtworkFillingTheWindow(const QImage& png, std::string& seen) {
    return QTest::qWaitFor(
        [&] {
          const auto rect = windowRect();
          if (!rect) return false;
          const QImage screen = QGuiApplication::primaryScreen()
                                    ->grabWindow(0, rect->x(), rect->y(), rect->width(), rect->height())
                                    .toImage();
          const InkRegion region = largestInkRegion(screen);
          const double match = shapeMatch(region, png);
          std::ostringstream out;
          out << "largest dark shape " << region.box.width() << "x" << region.box.height() << " in a window "
              << rect->width() << "x" << rect->height() << ", match " << match;
          seen = out.str();
          return region.box.height() * 3 >= rect->height() && match >= 0.8;
        },
        30000);
  }
  // The error-reporting client's files for the program's DSN (the program and this test share
  // the private home, so its caches folder): breadcrumbs and events not yet delivered.
  std::shared_ptr<PloverFileManager> errorReportingFiles() {
    const auto dsn = PloverDsn::make(AppDelegate::errorReportingDsn());
    if (!dsn) return nullptr;
    return PloverFileManager::make(*dsn);
  }
  static bool holdsBreadcrumb(PloverFileManager& files, const std::string& message) {
    for (const auto& entry : files.getAllStoredBreadcrumbs()) {
      const auto crumb = nlohmann::json::parse(entry.data.begin(), entry.data.end(), nullptr, false);
      if (!crumb.is_object()) continue;
      const auto text = crumb.find("message");
      if (text != crumb.end() && text->is_string() && *text == message) return true;
    }
    return false;
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
  vx::test::TemporaryFolder browserFolder_{"vx-application-browser"};
  std::filesystem::path browserLog_;
  XTestInput input_;
  QProcess app_;
  std::string appOutput_;
};

TEST_F(ApplicationXvfbTest, ANewcomerSignsInSearchesCopiesAnIconSignsOutAndQuits) {
  // What the error-reporting client kept from earlier launches in this home is not this run's.
  const auto reportFiles = errorReportingFiles();
  ASSERT_NE(reportFiles, nullptr);
  reportFiles->deleteAllStoredBreadcrumbs();
  reportFiles->deleteAllStoredEvents();

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
  // The missing token is an expected miss: the error-reporting client keeps it as a breadcrumb.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return holdsBreadcrumb(*reportFiles, "Error reading password: No password found"); }, 20000));
  shot("application-1-launch");

  // A link of an unknown kind from a second launch: told, nothing else changes.
  secondLaunch("vexelworks://nowhere/abc");
  EXPECT_TRUE(QTest::qWaitFor([&] { return appOutput().find("No handler for nowhere") != std::string::npos; }, 20000))
      << appOutput();
  EXPECT_EQ(requests("/for-mac/oauth/"), 0u);

  // Sign-in: "Sign in" opens the sign-in page in the browser; the browser's part is fetching
  // the page; its link goes to a second launch.
  ASSERT_TRUE(pressSignInAndSeeTheSignInPageOpen()) << "the connect view's Sign in opened no page";
  QProcess curl;
  curl.start("curl", {"-fsS", QString::fromStdString(openedPages().back())});
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

  // Return opens the chosen icon: the detail view shows its artwork as large as the window
  // allows, where the grid showed it at cell size.
  input_.tap(XK_Return);
  const QImage artwork = QImage::fromData(expected, "PNG");
  std::string seen;
  EXPECT_TRUE(waitForArtworkFillingTheWindow(artwork, seen)) << "the chosen icon did not open: " << seen;
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
  // The connect view is back: its "Sign in" opens the sign-in page again.
  EXPECT_TRUE(pressSignInAndSeeTheSignInPageOpen()) << "no connect view after signing out";
  shot("application-7-signed-out");

  // Quit from the keyboard: the program ends by itself, normally.
  input_.clickAt(emptySpot());
  input_.tap(XK_q, XK_Control_L);
  ASSERT_TRUE(QTest::qWaitFor([&] { return app_.state() == QProcess::NotRunning; }, 30000))
      << "the program did not quit";
  EXPECT_EQ(app_.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(app_.exitCode(), 0) << app_.readAllStandardError().toStdString();

  // Nothing failed, so nothing was reported: the error-reporting endpoint received no event and
  // the client left none behind to send later (it writes each event before sending it and
  // removes it once delivered).
  std::string events;
  for (const auto& request : service_.requests("/api/.*/store/")) events += request.body + "\n";
  EXPECT_TRUE(events.empty()) << events;
  EXPECT_TRUE(reportFiles->getAllStoredEvents().empty());

  // Signed out for good: the next start asks the service for no user and shows the connect view.
  // Bad links on its command line are told or dropped and change nothing.
  const std::size_t users = requests("/user");
  const std::size_t versions = requests("/for-mac/version/");
  startApplication({"vexelworks://elsewhere/x", "vexelworks:%zz", "vexelworks://login/a/b"});
  ASSERT_TRUE(waitForRequests("/for-mac/version/", versions + 1));
  EXPECT_TRUE(QTest::qWaitFor([&] { return appOutput().find("No handler for elsewhere") != std::string::npos; }, 20000))
      << appOutput();
  ASSERT_TRUE(QTest::qWaitFor([&] { return input_.windowOrigin("Vexelworks").has_value(); }, 20000));
  EXPECT_TRUE(pressSignInAndSeeTheSignInPageOpen()) << "the relaunch did not show the connect view";
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
