// The application menu's account items follow the signed-in user; the Debug menu holds its
// twelve entries in order; the preferences panes store the status-item switch and show the user.
#include "app/shell/MenuController.h"

#include "app/qt/ActionRouter.h"
#include "app/service/Settings.h"
#include "app/shell/Preferences.h"
#include "platform/foundation/NotificationCenter.h"
#include "support/Screenshot.h"

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

namespace Vexelworks {
namespace {

VexelUser someone(std::string email) { return VexelUser{7, "Ada Example", "ada", std::move(email)}; }

// A main menu with the application menu: About, Preferences…, separator, Quit.
struct MainMenu {
  explicit MainMenu(bool withPreferences = true) {
    QMenu* app = bar.addMenu(QStringLiteral("Vexelworks"));
    addActionItem(app, QStringLiteral("About Vexelworks"), "orderFrontStandardAboutPanel:");
    if (withPreferences) addActionItem(app, QStringLiteral("Preferences..."), "showPreferences:");
    app->addSeparator();
    addActionItem(app, QStringLiteral("Quit Vexelworks"), "quitApp:");
    bar.addMenu(QStringLiteral("Edit"));
  }
  std::vector<std::string> actions() {
    std::vector<std::string> out;
    for (QAction* item : bar.actions().front()->menu()->actions()) {
      out.push_back(item->isSeparator() ? "-" : vx::ActionRouter::boundAction(item));
    }
    return out;
  }
  QMenuBar bar;
};

TEST(MenuControllerTest, AccountItemsFollowTheUser) {
  MainMenu menu;
  MenuController controller(&menu.bar);
  controller.user = someone("ada@example.com");
  controller.update();
  const std::vector<std::string> signedIn{
      "orderFrontStandardAboutPanel:", "showPreferences:", "manageAccount:", "logOut:", "-", "quitApp:"};
  EXPECT_EQ(menu.actions(), signedIn);
  QMenu* app = controller.applicationMenu();
  EXPECT_EQ(menuItemForAction(app, "manageAccount:")->text(), QStringLiteral("Manage Account..."));
  EXPECT_EQ(menuItemForAction(app, "logOut:")->text(), QStringLiteral("Log out ada@example.com"));

  // A second update adds nothing, and the log-out item keeps its address.
  controller.user = someone("other@example.com");
  controller.update();
  EXPECT_EQ(menu.actions(), signedIn);
  EXPECT_EQ(menuItemForAction(app, "logOut:")->text(), QStringLiteral("Log out ada@example.com"));

  controller.user.reset();
  controller.update();
  EXPECT_EQ(menu.actions(),
            (std::vector<std::string>{"orderFrontStandardAboutPanel:", "showPreferences:", "-", "quitApp:"}));
}

TEST(MenuControllerTest, WithoutPreferencesItemTheAccountItemsGoToTheTop) {
  MainMenu menu(false);
  MenuController controller(&menu.bar);
  controller.user = someone("ada@example.com");
  controller.update();
  EXPECT_EQ(menu.actions(),
            (std::vector<std::string>{"manageAccount:", "logOut:", "orderFrontStandardAboutPanel:", "-", "quitApp:"}));
}

TEST(MenuControllerDeathTest, AMissingApplicationMenuStopsTheProgram) {
  EXPECT_DEATH(
      {
        QMenuBar bar;
        bar.addMenu(QStringLiteral("Edit"));
        MenuController controller(&bar);
        controller.update();
      },
      "application menu");
}

TEST(MenuControllerTest, DebugMenuHoldsItsEntriesInOrderAtTheEnd) {
  EXPECT_EQ(installDebugMenu(nullptr), nullptr);
  MainMenu menu;
  QMenu* debug = installDebugMenu(&menu.bar);
  ASSERT_NE(debug, nullptr);
  EXPECT_EQ(menu.bar.actions().back()->menu(), debug);
  EXPECT_EQ(debug->title(), QStringLiteral("Debug"));
  std::vector<std::pair<std::string, std::string>> entries;
  for (QAction* item : debug->actions()) {
    entries.emplace_back(item->isSeparator() ? "-" : item->text().toStdString(), vx::ActionRouter::boundAction(item));
  }
  const std::vector<std::pair<std::string, std::string>> expected{
      {"Log out", "debug_logOut:"},
      {"Refresh user", "debug_refreshUser:"},
      {"-", ""},
      {"Login modal", "showConnectView"},
      {"App out of date", "showPoisonPill"},
      {"-", ""},
      {"Clear Image Caches", "clearImageCaches:"},
      {"Clear first time login token", "debug_clearFirstLogin"},
      {"-", ""},
      {"Crash!", "debug_crash:"},
      {"-", ""},
      {"Send Plover event", "debug_sendPloverEvent:"},
  };
  EXPECT_EQ(entries, expected);
}

// Stands in for the application delegate: answers the account actions and knows the user.
class Delegate : public vx::Responder, public ApplicationUserSource {
 public:
  Delegate() {
    for (const char* action : {"manageAccount:", "logOut:"}) {
      setActionHandler(action, [this, action](QObject*) { received.push_back(action); });
    }
  }
  std::optional<VexelUser> currentUser() const override { return user; }
  std::optional<VexelUser> user;
  std::vector<std::string> received;
};

TEST(PreferencesTest, GeneralPaneStoresTheSwitchAndReopensWithIt) {
  registerPreferencesInterfaces();
  setSettingBool(SettingKeys::statusItemEnabled, false);
  int posted = 0;
  auto token = vx::NotificationCenter::defaultCenter().addObserver(kStatusItemEnabledDidChangeNotification, nullptr,
                                                                   nullptr, [&](const vx::Notification&) { ++posted; });
  {
    PreferencesWindowController preferences;
    preferences.showWindow();
    QCheckBox* box = preferences.general().statusItemButton;
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(box->isChecked());
    EXPECT_TRUE(box->isVisible());
    testing::internal::CaptureStdout();
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(4, box->height() / 2));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "true\n");
    EXPECT_TRUE(settingBool(SettingKeys::statusItemEnabled, false));
    vx::test::saveScreenshot(preferences.window(), "preferences-general");
  }
  vx::NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_EQ(posted, 1);
  PreferencesWindowController reopened;
  EXPECT_TRUE(reopened.general().statusItemButton->isChecked());
}

TEST(PreferencesTest, AccountPaneShowsTheUserAndSendsToTheDelegate) {
  registerPreferencesInterfaces();
  Delegate delegate;
  delegate.user = someone("ada@example.com");
  vx::ActionRouter::setApplicationDelegate(&delegate);
  {
    PreferencesWindowController preferences;
    preferences.showWindow();
    preferences.tabs()->setCurrentIndex(1);  // the pane loads when first shown
    auto& account = preferences.account();
    ASSERT_TRUE(account.isViewLoaded());
    EXPECT_EQ(account.nameField->text(), QStringLiteral("Ada Example"));
    EXPECT_EQ(account.emailField->text(), QStringLiteral("ada@example.com"));
    EXPECT_TRUE(account.nameField->isVisible());
    vx::test::saveScreenshot(preferences.window(), "preferences-account");
    QTest::mouseClick(account.manageAccountButton.data(), Qt::LeftButton);
    QTest::mouseClick(account.logOutButton.data(), Qt::LeftButton);
  }
  // Without a user the fields keep their interface texts.
  delegate.user.reset();
  {
    PreferencesWindowController preferences;
    preferences.tabs()->setCurrentIndex(1);
    EXPECT_EQ(preferences.account().nameField->text(), QStringLiteral("Not signed in"));
  }
  vx::ActionRouter::setApplicationDelegate(nullptr);
  EXPECT_EQ(delegate.received, (std::vector<std::string>{"manageAccount:", "logOut:"}));
}

}  // namespace
}  // namespace Vexelworks
