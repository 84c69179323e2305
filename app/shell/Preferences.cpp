#include "app/shell/Preferences.h"

#include "app/qt/ActionRouter.h"
#include "app/qt/InterfaceRegistry.h"
#include "app/service/Settings.h"
#include "app/shell/MenuController.h"
#include "platform/foundation/Error.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <cstdio>

namespace Vexelworks {
namespace {

QWidget* buildGeneral(QObject* owner) {
  auto* view = new QWidget;
  auto* layout = new QVBoxLayout(view);
  auto* box = new QCheckBox(QStringLiteral("Show Vexelworks in the menu bar"), view);
  layout->addWidget(box);
  layout->addStretch();
  if (auto* controller = dynamic_cast<GeneralPreferencesViewController*>(owner)) {
    controller->statusItemButton = box;
    QObject::connect(box, &QCheckBox::clicked, controller,
                     [controller, box] { controller->changeMenuBarExtraStatus(box); });
  }
  return view;
}

QWidget* buildAccount(QObject* owner) {
  auto* view = new QWidget;
  auto* layout = new QVBoxLayout(view);
  auto* form = new QFormLayout;
  auto* name = new QLineEdit(QStringLiteral("Not signed in"), view);
  auto* email = new QLineEdit(view);
  for (QLineEdit* field : {name, email}) field->setReadOnly(true);
  form->addRow(QStringLiteral("Name"), name);
  form->addRow(QStringLiteral("E-mail"), email);
  layout->addLayout(form);
  auto* buttons = new QHBoxLayout;
  auto* manage = new QPushButton(QStringLiteral("Manage Account..."), view);
  auto* logOut = new QPushButton(QStringLiteral("Log Out"), view);
  buttons->addWidget(manage);
  buttons->addWidget(logOut);
  buttons->addStretch();
  layout->addLayout(buttons);
  layout->addStretch();
  // Both buttons talk to the application delegate directly, not along the chain.
  auto sendToDelegate = [](QPushButton* button, std::string action) {
    QObject::connect(button, &QPushButton::clicked, button, [button, action] {
      vx::ActionRouter::sendAction(action, vx::ActionRouter::applicationDelegate(), button);
    });
  };
  sendToDelegate(manage, "manageAccount:");
  sendToDelegate(logOut, "logOut:");
  if (auto* controller = dynamic_cast<AccountPreferencesViewController*>(owner)) {
    controller->nameField = name;
    controller->emailField = email;
    controller->manageAccountButton = manage;
    controller->logOutButton = logOut;
  }
  return view;
}

}  // namespace

void GeneralPreferencesViewController::viewDidLoad() {
  if (!statusItemButton) vx::fatalError("The general preferences' check box is not connected");
  statusItemButton->setChecked(settingBool(SettingKeys::statusItemEnabled, false));
}

void GeneralPreferencesViewController::changeMenuBarExtraStatus(QCheckBox* sender) {
  const bool enabled = sender != nullptr && sender->isChecked();
  setStatusItemEnabled(enabled);
  std::printf("%s\n", enabled ? "true" : "false");
  std::fflush(stdout);
}

void AccountPreferencesViewController::loadView() {
  vx::ViewController::loadView();
  auto* source = dynamic_cast<ApplicationUserSource*>(vx::ActionRouter::applicationDelegate());
  if (source == nullptr) return;
  const std::optional<VexelUser> user = source->currentUser();
  if (!user) return;
  if (!nameField || !emailField) vx::fatalError("The account preferences' fields are not connected");
  nameField->setText(QString::fromStdString(user->name));
  emailField->setText(QString::fromStdString(user->email));
}

PreferencesWindowController::PreferencesWindowController() {
  loadWindow("Preferences");
  tabs_ = window()->findChild<QTabWidget*>();
  if (!tabs_) vx::fatalError("The preferences window has no panes");
  // Each pane loads its view once, when it is first shown.
  tabs_->addTab(new QWidget, QStringLiteral("General"));
  tabs_->addTab(new QWidget, QStringLiteral("Account"));
  auto showPane = [this](int index) {
    vx::ViewController& pane = index == 0 ? static_cast<vx::ViewController&>(general_) : account_;
    QWidget* page = tabs_->widget(index);
    if (pane.isViewLoaded()) return;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(pane.view());
    pane.view()->show();  // the page may already be on screen
  };
  QObject::connect(tabs_, &QTabWidget::currentChanged, window(), showPane);
  showPane(0);
}

void PreferencesWindowController::showWindow() {
  window()->show();
  window()->raise();
  window()->activateWindow();
}

void PreferencesWindowController::close() { window()->close(); }

void registerPreferencesInterfaces() {
  auto& registry = vx::InterfaceRegistry::shared();
  registry.registerInterface("GeneralPreferences", buildGeneral);
  registry.registerInterface("AccountPreferences", buildAccount);
  registry.registerInterface("Preferences", [](QObject*) {
    auto* window = new QWidget(nullptr, Qt::Window);
    window->setWindowTitle(QStringLiteral("Preferences"));
    window->resize(420, 220);
    auto* layout = new QVBoxLayout(window);
    layout->addWidget(new QTabWidget(window));
    return window;
  });
}

}  // namespace Vexelworks
