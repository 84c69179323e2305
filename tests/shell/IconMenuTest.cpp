// The icon menu and its actions: entries and order, copies in every format onto the clipboard
// (lazy data), attribution, the web page, the share submenu (empty on this platform) and the
// debug output; every copy and completed share records usage at the local service. Also the
// icon grid's Copy shortcut and context menu going through these actions.
#include "IconMenuTestSupport.h"

#include "app/pasteboard/IconMimeData.h"
#include "app/service/Helpers.h"
#include "app/service/Settings.h"
#include "app/shell/IconMenu.h"
#include "app/views/IconCollectionViewController.h"
#include "support/Screenshot.h"

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QTimer>
#include <QVBoxLayout>
#include <gtest/gtest.h>

namespace Vexelworks {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> titles(const QMenu& menu) {
  std::vector<std::string> out;
  for (QAction* action : menu.actions()) out.push_back(action->isSeparator() ? "-" : action->text().toStdString());
  return out;
}

QAction* find(const QMenu& menu, const QString& title) {
  for (QAction* action : menu.actions()) {
    if (action->text() == title) return action;
  }
  return nullptr;
}

// A share service that finishes (or is cancelled) when the test says so.
class ManualShareService : public SharingService {
 public:
  QString menuItemTitle() const override { return QStringLiteral("Send by Carrier Pigeon"); }
  QIcon image() const override { return {}; }
  void perform(const SharedItems& items) override { performed.push_back(items); }
  void finish(bool shared) { shareDidEnd(performed.back(), shared); }
  std::vector<SharedItems> performed;
};

class OneServiceProvider : public SharingServiceProvider {
 public:
  explicit OneServiceProvider(std::shared_ptr<SharingService> service) : service_(std::move(service)) {}
  std::vector<std::shared_ptr<SharingService>> sharingServicesForItems(const SharedItems& items) override {
    asked.push_back(items);
    return {service_};
  }
  std::vector<SharedItems> asked;

 private:
  std::shared_ptr<SharingService> service_;
};

class IconMenuTest : public test::IconMenuFixture {
 protected:
  void SetUp() override {
    IconMenuFixture::SetUp();
    vx::UserDefaults::standard().removeObject(SettingKeys::debugEnabled);
  }
  void TearDown() override {
    vx::UserDefaults::standard().removeObject(SettingKeys::debugEnabled);
    setIconActionsFactory(nullptr);
    IconMenuFixture::TearDown();
  }

  std::shared_ptr<IconActions> actionsFor(
      IconPtr icon, PasteboardType type = PasteboardType::auto_, Color color = Color::black(),
      std::shared_ptr<SharingServiceProvider> sharing = platformSharingServiceProvider()) {
    return std::make_shared<IconActions>(std::move(icon), std::make_shared<const ExportOptions>(color, type, 150),
                                         imageStore_, std::move(sharing));
  }

  const IconMimeData* clipboardIcon() {
    return qobject_cast<const IconMimeData*>(QGuiApplication::clipboard()->mimeData());
  }
};

TEST_F(IconMenuTest, TheMenuHasItsEntriesInOrderAndTheDebugEntriesOnlyWhenSwitchedOn) {
  auto actions = actionsFor(list_->icons()[0]);
  auto menu = actions->menu();
  const std::string heading = list_->icons()[0]->title();
  EXPECT_EQ(titles(*menu), (std::vector<std::string>{heading, "-", "Copy", "Copy As", "Copy Attribution", "-",
                                                     "View on the Web...", "Share"}));
  EXPECT_FALSE(menu->actions()[0]->isEnabled());  // a heading
  for (QAction* action : menu->actions()) EXPECT_TRUE(action->shortcut().isEmpty());
  QAction* copyAs = find(*menu, "Copy As");
  ASSERT_NE(copyAs, nullptr);
  ASSERT_NE(copyAs->menu(), nullptr);
  EXPECT_EQ(titles(*copyAs->menu()), (std::vector<std::string>{"SVG", "PDF", "PNG"}));
  QAction* share = find(*menu, "Share");
  ASSERT_NE(share, nullptr);
  ASSERT_NE(share->menu(), nullptr);
  // No sharing services exist here: the submenu is empty.
  EXPECT_TRUE(share->menu()->actions().isEmpty());

  vx::UserDefaults::standard().setBool(true, SettingKeys::debugEnabled);
  auto debugMenu = actions->menu();
  EXPECT_EQ(titles(*debugMenu), (std::vector<std::string>{heading, "-", "Copy", "Copy As", "Copy Attribution", "-",
                                                          "View on the Web...", "Share", "-", "Log SVG", "Log Info"}));
  vx::UserDefaults::standard().setString("yes", SettingKeys::debugEnabled);  // not a Bool: off
  EXPECT_EQ(actions->menu()->actions().size(), 8);
}

TEST_F(IconMenuTest, CopiesPutLazyDataOfTheTypeWrittenOnTheClipboardAndRecordOneUsageEach) {
  const IconPtr icon = iconWithArtwork(1);
  auto actions = actionsFor(icon, PasteboardType::auto_, Color::rgb(1, 0, 0));
  auto menu = actions->menu();

  struct Case {
    QStringList path;
    PasteboardType written;
    QStringList formats;
  } cases[] = {
      {{"Copy"},
       PasteboardType::auto_,
       {"application/pdf", "image/svg+xml", "application/postscript", "image/png", "text/uri-list", "text/plain"}},
      {{"Copy As", "SVG"}, PasteboardType::svg, {"image/svg+xml", "text/uri-list", "text/plain"}},
      {{"Copy As", "PDF"}, PasteboardType::pdf, {"application/pdf", "text/uri-list"}},
      {{"Copy As", "PNG"}, PasteboardType::png, {"image/png", "text/uri-list"}},
  };
  std::size_t expectedUsages = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.join(" > ").toStdString());
    QAction* item = find(*menu, c.path[0]);
    ASSERT_NE(item, nullptr);
    if (c.path.size() > 1) item = find(*item->menu(), c.path[1]);
    ASSERT_NE(item, nullptr);
    test::ActionRecorder::shared().clear();
    item->trigger();
    const IconMimeData* data = clipboardIcon();
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->item().type(), c.written);
    EXPECT_EQ(data->item().icon()->id, icon->id);
    EXPECT_EQ(data->item().color(), Color::rgb(1, 0, 0));
    EXPECT_EQ(data->item().size(), 150);
    EXPECT_EQ(data->formats(), c.formats);
    const auto usages = test::ActionRecorder::shared().actionsOf<Actions::RecordIconUsage>();
    ASSERT_EQ(usages.size(), 1u);
    EXPECT_EQ(usages[0].type, c.written);
    EXPECT_EQ(usages[0].color, Color::rgb(1, 0, 0));
    EXPECT_TRUE(logged("Copied icon " + icon->id));
    ++expectedUsages;
    ASSERT_TRUE(waitFor([&] { return usageRequests() == expectedUsages; }));
  }
  // The service heard of each copy, with the type and colour.
  const auto requests = service_.requests("/icon/[0-9]+/download/mac");
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].path, "/icon/" + icon->id + "/download/mac");
  // The data is made when asked for, in the colour: red SVG markup.
  const QByteArray svg = clipboardIcon()->data("image/png");
  EXPECT_TRUE(svg.startsWith("\x89PNG"));
}

TEST_F(IconMenuTest, TheAttributionIsTheTitleAndRecordsNoUsage) {
  auto creator = std::make_shared<const Creator>(Creator{"77", "", "", "", ""});
  auto nameless = std::make_shared<Icon>(*list_->icons()[0]);
  nameless->creator = creator;
  auto actions = actionsFor(nameless);
  test::ActionRecorder::shared().clear();
  find(*actions->menu(), "Copy Attribution")->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), nameless->name);
  EXPECT_TRUE(logged("Copied attribtuion for " + nameless->id + ": " + nameless->name));

  auto named = actionsFor(list_->icons()[0]);
  named->copyAttribution(nullptr);
  EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), list_->icons()[0]->title());
  EXPECT_NE(list_->icons()[0]->title().find(" by "), std::string::npos);
  EXPECT_TRUE(test::ActionRecorder::shared().actionsOf<Actions::RecordIconUsage>().empty());
  EXPECT_EQ(usageRequests(), 0u);
}

TEST_F(IconMenuTest, ViewOnTheWebOpensTheIconsPage) {
  std::vector<std::string> opened;
  auto previous = setURLOpener([&](const vx::URL& url) { opened.push_back(url.string()); });
  auto actions = actionsFor(list_->icons()[2]);
  find(*actions->menu(), "View on the Web...")->trigger();
  setURLOpener(previous);
  EXPECT_EQ(opened, std::vector<std::string>{list_->icons()[2]->iconURL.string()});
}

TEST_F(IconMenuTest, ACompletedShareRecordsOneUsageEvenAfterTheMenuIsGoneAndACancelledOneNone) {
  auto service = std::make_shared<ManualShareService>();
  auto provider = std::make_shared<OneServiceProvider>(service);
  const IconPtr icon = list_->icons()[3];
  std::weak_ptr<IconActions> weak;
  {
    auto actions = actionsFor(icon, PasteboardType::svg, Color::white(), provider);
    weak = actions;
    auto menu = actions->menu();
    QAction* share = find(*menu, "Share");
    ASSERT_EQ(titles(*share->menu()), std::vector<std::string>{"Send by Carrier Pigeon"});
    ASSERT_EQ(provider->asked.size(), 1u);
    EXPECT_EQ(provider->asked[0].size(), 1u);
    EXPECT_EQ(provider->asked[0][0]->type(), PasteboardType::svg);
    test::ActionRecorder::shared().clear();
    share->menu()->actions()[0]->trigger();
  }
  // The menu and its creator let go; the service still holds the actions until it ends.
  ASSERT_FALSE(weak.expired());
  ASSERT_EQ(service->performed.size(), 1u);
  EXPECT_EQ(service->performed[0][0]->icon()->id, icon->id);
  service->finish(true);
  EXPECT_TRUE(weak.expired());
  const auto usages = test::ActionRecorder::shared().actionsOf<Actions::RecordIconUsage>();
  ASSERT_EQ(usages.size(), 1u);
  EXPECT_EQ(usages[0].type, PasteboardType::svg);
  EXPECT_EQ(usages[0].color, Color::white());
  EXPECT_TRUE(logged("Shared icon " + icon->id));
  ASSERT_TRUE(waitFor([&] { return usageRequests() == 1; }));

  auto again = actionsFor(icon, PasteboardType::svg, Color::white(), provider);
  auto menu = again->menu();
  test::ActionRecorder::shared().clear();
  find(*menu, "Share")->menu()->actions()[0]->trigger();
  service->finish(false);
  EXPECT_TRUE(test::ActionRecorder::shared().actionsOf<Actions::RecordIconUsage>().empty());

  // A sender without a service shares nothing.
  testing::internal::CaptureStdout();
  again->shareIcon(nullptr);
  QAction bare(QStringLiteral("Share"));
  again->shareIcon(&bare);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "No service found attached to sender\nNo service found attached to sender\n");
  EXPECT_EQ(service->performed.size(), 2u);
}

TEST_F(IconMenuTest, TheDebugEntriesPrintTheSVGAndTheIconsDetails) {
  // A copy under an id of its own: the list downloads the artwork of its own icons meanwhile.
  auto copy = std::make_shared<Icon>(*list_->icons()[4]);
  copy->id = "990004";
  const IconPtr icon = copy;
  auto actions = actionsFor(icon);
  const std::string heading = "icon id: " + icon->id + " " + std::string(55, '-') + "\n";

  testing::internal::CaptureStdout();
  actions->logSVG(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), heading + "No svg data found\n");

  const std::string markup = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"4\" height=\"4\"/>";
  imageStore_->svgCache().setObject(icon->id, Bytes(markup.begin(), markup.end()));
  testing::internal::CaptureStdout();
  actions->logSVG(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), heading + markup + "\n");

  const std::string broken = "<svg>\xff\xfe</svg>";
  imageStore_->svgCache().setObject(icon->id, Bytes(broken.begin(), broken.end()));
  testing::internal::CaptureStdout();
  actions->logSVG(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), heading + "Couldn't decode svg data\n");

  testing::internal::CaptureStdout();
  actions->logInfo(nullptr);
  const std::string info = testing::internal::GetCapturedStdout();
  EXPECT_EQ(info.rfind(heading, 0), 0u);
  EXPECT_NE(info.find("url: " + icon->iconURL.string() + "\n"), std::string::npos);
  EXPECT_NE(info.find("creator: " + icon->creator->name + " <" + icon->creator->id + ">\n"), std::string::npos);
  EXPECT_NE(info.find("collection: "), std::string::npos);
}

TEST_F(IconMenuTest, TheGridsCopyShortcutAndContextMenuGoThroughTheIconActions) {
  IconActions::install();
  IconCollectionViewController::registerInterface();
  IconCollectionViewController grid;
  grid.setExportOptions(std::make_shared<const ExportOptions>(Color::black(), PasteboardType::pdf, 300));
  list_->setExportOptions(grid.exportOptions());
  grid.setIconList(list_);
  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(grid.view());
  window.resize(900, 600);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  grid.iconListDidLoadPage(*list_, 1);
  CollectionView& view = *grid.collectionView;
  ASSERT_TRUE(waitFor([&] {
    auto* cell = view.cellForItem({0, 5});
    return cell != nullptr;
  }));
  const QPoint centre = view.cellForItem({0, 5})->geometry().center();
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, centre);
  view.setFocus();
  test::ActionRecorder::shared().clear();
  QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
  const IconMimeData* copied = clipboardIcon();
  ASSERT_NE(copied, nullptr);
  EXPECT_EQ(copied->item().icon()->id, list_->icons()[5]->id);
  EXPECT_EQ(copied->item().type(), PasteboardType::pdf);
  ASSERT_TRUE(waitFor([&] { return usageRequests() == 1; }));

  // The real pop-up: shown, pictured, and closed with Escape; then "Copy" is chosen from it.
  std::vector<std::string> shown;
  bool pictured = false;
  QTimer::singleShot(0, [&] {
    auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (popup == nullptr) return;
    shown = titles(*popup);
    pictured = !vx::test::saveScreenshot(popup, "icon-context-menu").isEmpty();
    popup->close();
  });
  QTest::mouseClick(view.viewport(), Qt::RightButton, {}, view.cellForItem({0, 9})->geometry().center());
  ASSERT_EQ(shown.size(), 8u);
  EXPECT_EQ(shown[0], list_->icons()[9]->title());
  EXPECT_EQ(shown[2], "Copy");
  EXPECT_TRUE(pictured);
  EXPECT_EQ(view.sortedIndexPathsForSelectedItems(), (std::vector<IndexPath>{IndexPath{0, 9}}));

  QTimer::singleShot(0, [&] {
    auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (popup == nullptr) return;
    QAction* copy = find(*popup, "Copy");
    if (copy != nullptr) popup->setActiveAction(copy);
    QTest::keyClick(popup, Qt::Key_Return);
  });
  QTest::mouseClick(view.viewport(), Qt::RightButton, {}, view.cellForItem({0, 11})->geometry().center());
  copied = clipboardIcon();
  ASSERT_NE(copied, nullptr);
  EXPECT_EQ(copied->item().icon()->id, list_->icons()[11]->id);
  ASSERT_TRUE(waitFor([&] { return usageRequests() == 2; }));
}

}  // namespace
}  // namespace Vexelworks
