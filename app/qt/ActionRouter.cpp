#include "app/qt/ActionRouter.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QWidget>

namespace vx {

namespace {

// Where a bound menu item keeps the name of the action it sends, so menus can find items by action.
constexpr const char* kBoundActionProperty = "vxAction";

Responder*& delegateSlot() {
  static Responder* delegate = nullptr;
  return delegate;
}

QWidget* chainStart(QWidget* start) {
  if (start != nullptr) return start;
  if (QWidget* focus = QApplication::focusWidget()) return focus;
  return QApplication::activeWindow();
}

}  // namespace

void ActionRouter::setApplicationDelegate(Responder* delegate) { delegateSlot() = delegate; }

Responder* ActionRouter::applicationDelegate() { return delegateSlot(); }

Responder* ActionRouter::targetForAction(const std::string& action, QWidget* start) {
  for (QWidget* widget = chainStart(start); widget != nullptr; widget = widget->parentWidget()) {
    if (auto* self = dynamic_cast<Responder*>(widget); self != nullptr && self->respondsToAction(action)) {
      return self;
    }
    if (Responder* attached = Responder::attachedTo(widget);
        attached != nullptr && attached->respondsToAction(action)) {
      return attached;
    }
  }
  Responder* delegate = delegateSlot();
  if (delegate != nullptr && delegate->respondsToAction(action)) return delegate;
  return nullptr;
}

bool ActionRouter::sendAction(const std::string& action, Responder* target, QObject* sender, QWidget* start) {
  if (target != nullptr) return target->performAction(action, sender);
  Responder* responder = targetForAction(action, start);
  return responder != nullptr && responder->performAction(action, sender);
}

void ActionRouter::bind(QAction* qaction, const std::string& action) {
  qaction->setProperty(kBoundActionProperty, QString::fromStdString(action));
  QObject::connect(qaction, &QAction::triggered, qaction, [qaction, action] { sendAction(action, nullptr, qaction); });
  // Validation happens when a menu holding the action is about to show.
  for (QObject* owner : qaction->associatedObjects()) {
    if (auto* menu = qobject_cast<QMenu*>(owner)) {
      QObject::connect(menu, &QMenu::aboutToShow, qaction,
                       [qaction, action] { qaction->setEnabled(targetForAction(action) != nullptr); });
    }
  }
}

std::string ActionRouter::boundAction(const QAction* qaction) {
  return qaction->property(kBoundActionProperty).toString().toStdString();
}

}  // namespace vx
