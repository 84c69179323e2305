// Sends actions named by selector through the responder chain: the focused widget and its
// parents (each followed by the responder attached to it, so a view's controller and the
// window's controller take part), then the application delegate.
#pragma once

#include "app/qt/Responder.h"

#include <string>

class QAction;
class QObject;
class QWidget;

namespace vx {

class ActionRouter {
 public:
  // The responder that answers actions nobody in the window answered (the application
  // delegate), or nullptr. Not owned.
  static void setApplicationDelegate(Responder* delegate);
  static Responder* applicationDelegate();

  // The responder that would run `action` when sent from `start` (the application's focus
  // widget when nullptr, else its active window); nullptr when none answers. Menus use it to
  // enable their items.
  static Responder* targetForAction(const std::string& action, QWidget* start = nullptr);

  // Sends `action` to `target`, or when `target` is nullptr along the chain from `start` (as
  // above). Returns whether some responder ran it.
  static bool sendAction(const std::string& action, Responder* target, QObject* sender, QWidget* start = nullptr);

  // Makes `qaction` send `action` along the chain (no target) when triggered, and keeps it
  // enabled only while some responder answers it (checked when its menu is about to show).
  static void bind(QAction* qaction, const std::string& action);
  // The action a bound item sends; empty for an item that was never bound.
  static std::string boundAction(const QAction* qaction);
};

}  // namespace vx
