#include "app/shell/MenuController.h"

#include "app/qt/ActionRouter.h"
#include "platform/foundation/Error.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

namespace Vexelworks {

QAction* menuItemForAction(QMenu* menu, const std::string& action) {
  if (menu == nullptr) return nullptr;
  for (QAction* item : menu->actions()) {
    if (vx::ActionRouter::boundAction(item) == action) return item;
  }
  return nullptr;
}

QAction* addActionItem(QMenu* menu, const QString& title, const std::string& action, QAction* before) {
  auto* item = new QAction(title, menu);
  menu->insertAction(before, item);
  vx::ActionRouter::bind(item, action);
  return item;
}

QMenu* MenuController::applicationMenu() const {
  if (mainMenu_ == nullptr) vx::fatalError("The application has no main menu");
  for (QAction* item : mainMenu_->actions()) {
    if (item->text() == QLatin1String(kApplicationMenuTitle)) {
      if (item->menu() == nullptr) vx::fatalError("The application menu item has no submenu");
      return item->menu();
    }
  }
  vx::fatalError("The main menu has no application menu titled \"Vexelworks\"");
}

void MenuController::update() {
  QMenu* menu = applicationMenu();
  if (!user) {
    for (const char* action : {"manageAccount:", "logOut:"}) {
      if (QAction* item = menuItemForAction(menu, action)) {
        menu->removeAction(item);
        item->deleteLater();
      }
    }
    return;
  }
  const QList<QAction*> items = menu->actions();
  const int preferences = static_cast<int>(items.indexOf(menuItemForAction(menu, "showPreferences:")));
  // Items are placed by index after the preferences item (-1 when there is none: the top).
  auto itemAt = [menu](int index) -> QAction* {
    const QList<QAction*> current = menu->actions();
    return index < current.size() ? current.at(index) : nullptr;
  };
  if (menuItemForAction(menu, "manageAccount:") == nullptr) {
    addActionItem(menu, QStringLiteral("Manage Account..."), "manageAccount:", itemAt(preferences + 1));
  }
  if (menuItemForAction(menu, "logOut:") == nullptr) {
    addActionItem(menu, QStringLiteral("Log out ") + QString::fromStdString(user->email),
                  "logOut:", itemAt(preferences + 2));
  }
}

QMenu* installDebugMenu(QMenuBar* mainMenu) {
  if (mainMenu == nullptr) return nullptr;
  auto* debug = new QMenu(QStringLiteral("Debug"), mainMenu);
  struct Entry {
    const char* title;  // nullptr: a separator
    const char* action;
  };
  static constexpr Entry kEntries[] = {
      {"Log out", "debug_logOut:"},
      {"Refresh user", "debug_refreshUser:"},
      {nullptr, nullptr},
      {"Login modal", "showConnectView"},
      {"App out of date", "showPoisonPill"},
      {nullptr, nullptr},
      {"Clear Image Caches", "clearImageCaches:"},
      {"Clear first time login token", "debug_clearFirstLogin"},
      {nullptr, nullptr},
      {"Crash!", "debug_crash:"},
      {nullptr, nullptr},
      {"Send Plover event", "debug_sendPloverEvent:"},
  };
  for (const Entry& entry : kEntries) {
    if (entry.title == nullptr) {
      debug->addSeparator();
    } else {
      addActionItem(debug, QString::fromUtf8(entry.title), entry.action);
    }
  }
  // A menu bar shows an item by its text, so the item carries the menu's title.
  mainMenu->addMenu(debug);
  return debug;
}

}  // namespace Vexelworks
