// The application menu's account items ("Manage Account...", "Log out <e-mail>"), present exactly
// while a user is signed in, and the Debug menu installed at launch when "DebugEnabled" is set.
// Every item made here has no target: its action travels the responder chain to the application
// delegate or the main window controller.
#pragma once

#include "app/service/VexelUser.h"

#include <QMenuBar>
#include <QPointer>

#include <optional>
#include <string>

class QAction;
class QMenu;

namespace Vexelworks {

// What the application delegate offers to the panes and menus that show the signed-in user.
class ApplicationUserSource {
 public:
  virtual ~ApplicationUserSource() = default;
  virtual std::optional<VexelUser> currentUser() const = 0;
};

class MenuController {
 public:
  // The application's title in the main menu; its submenu is the application menu.
  static constexpr const char* kApplicationMenuTitle = "Vexelworks";

  explicit MenuController(QMenuBar* mainMenu = nullptr) : mainMenu_(mainMenu) {}

  std::optional<VexelUser> user;

  void setMainMenu(QMenuBar* mainMenu) { mainMenu_ = mainMenu; }
  QMenuBar* mainMenu() const { return mainMenu_; }

  // The submenu of the main menu's item titled "Vexelworks". Stops the program when the main
  // menu, that item or its submenu is missing: the menu is part of the application.
  QMenu* applicationMenu() const;

  // Brings the account items in line with `user`: removed without a user; inserted after the
  // preferences item (or at the top) with one, where missing. An existing log-out item keeps the
  // address it was made with.
  void update();

 private:
  QPointer<QMenuBar> mainMenu_;
};

// The first item of `menu` bound to `action` (ActionRouter::bind), or nullptr.
QAction* menuItemForAction(QMenu* menu, const std::string& action);
// Adds an item titled `title` that sends `action` along the chain (inserted before `before`, or
// appended when it is nullptr).
QAction* addActionItem(QMenu* menu, const QString& title, const std::string& action, QAction* before = nullptr);

// Builds the Debug menu (twelve entries: log out, refresh user, the login modal, the out-of-date
// overlay, clearing image caches and the first-login flag, a crash, a test error event) and
// appends it to the end of `mainMenu`. Does nothing without a main menu. Returns the menu.
QMenu* installDebugMenu(QMenuBar* mainMenu);

}  // namespace Vexelworks
