// The preferences window: a General pane (the status-item switch, kept for a later status item;
// nothing shows in the panel on Linux) and an Account pane (the signed-in user's name and
// address, with buttons that manage the account and sign out).
#pragma once

#include "app/qt/ViewController.h"

#include <QPointer>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace Vexelworks {

class GeneralPreferencesViewController : public vx::ViewController {
 public:
  GeneralPreferencesViewController() : vx::ViewController("GeneralPreferences") {}
  QPointer<QCheckBox> statusItemButton;
  // The check box's action: stores the switch ("StatusItemEnabled", then the notification) and
  // prints "true" or "false".
  void changeMenuBarExtraStatus(QCheckBox* sender);

 protected:
  void viewDidLoad() override;
};

class AccountPreferencesViewController : public vx::ViewController {
 public:
  AccountPreferencesViewController() : vx::ViewController("AccountPreferences") {}
  QPointer<QLineEdit> nameField;
  QPointer<QLineEdit> emailField;
  QPointer<QPushButton> manageAccountButton;
  QPointer<QPushButton> logOutButton;

 protected:
  // Shows the application delegate's user when there is one; the fields keep their interface
  // texts otherwise. The pane is not refreshed later (it shows who was signed in when it loaded).
  void loadView() override;
};

// The window of the "Preferences" interface, presenting the two panes as tabs.
class PreferencesWindowController : public vx::WindowController {
 public:
  PreferencesWindowController();
  GeneralPreferencesViewController& general() { return general_; }
  AccountPreferencesViewController& account() { return account_; }
  QTabWidget* tabs() const { return tabs_; }
  // Orders the window front and makes it the active window.
  void showWindow();
  void close();

 private:
  GeneralPreferencesViewController general_;
  AccountPreferencesViewController account_;
  QPointer<QTabWidget> tabs_;
};

// Registers "Preferences", "GeneralPreferences" and "AccountPreferences" with the interface
// registry. Call once at start-up.
void registerPreferencesInterfaces();

}  // namespace Vexelworks
