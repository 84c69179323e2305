// Stands in for the responder chain: objects that answer actions named by selector
// ("copy:", "showIconDetail:", "closeIconDetail:"). A menu item or control names an action
// instead of a target; ActionRouter finds the first responder in the chain that answers it.
#pragma once

#include <functional>
#include <map>
#include <string>

class QObject;
class QWidget;

namespace vx {

class Responder {
 public:
  using ActionHandler = std::function<void(QObject* sender)>;

  Responder() = default;
  virtual ~Responder();
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;

  // Whether this responder answers `action` now. The default looks at the actions added with
  // setActionHandler; override to answer conditionally.
  virtual bool respondsToAction(const std::string& action) const;
  // Runs the handler for `action`. False when this responder does not answer it.
  virtual bool performAction(const std::string& action, QObject* sender);

  // Ties this responder to `widget`: the router tries it right after the widget itself, the
  // way a view's controller follows its view (and a window's controller its window). One
  // responder per widget; a later call replaces the earlier one. The tie ends when either dies.
  void attachToWidget(QWidget* widget);
  void detachFromWidget(QWidget* widget);
  // The responder tied to `widget`, or nullptr.
  static Responder* attachedTo(const QWidget* widget);

 protected:
  void setActionHandler(const std::string& action, ActionHandler handler);
  void removeActionHandler(const std::string& action);

 private:
  std::map<std::string, ActionHandler> actions_;
};

}  // namespace vx
