#include "app/qt/Responder.h"

#include <QMetaObject>
#include <QObject>
#include <QWidget>

#include <unordered_map>

namespace vx {

namespace {

struct Attachment {
  Responder* responder;
  QMetaObject::Connection destroyed;
};

// Main thread only, like every widget.
std::unordered_map<const QWidget*, Attachment>& attachments() {
  static std::unordered_map<const QWidget*, Attachment> map;
  return map;
}

}  // namespace

Responder::~Responder() {
  auto& map = attachments();
  for (auto it = map.begin(); it != map.end();) {
    if (it->second.responder == this) {
      QObject::disconnect(it->second.destroyed);
      it = map.erase(it);
    } else {
      ++it;
    }
  }
}

bool Responder::respondsToAction(const std::string& action) const { return actions_.count(action) != 0; }

bool Responder::performAction(const std::string& action, QObject* sender) {
  auto it = actions_.find(action);
  if (it == actions_.end()) return false;
  // Copied: the handler may replace its own entry.
  ActionHandler handler = it->second;
  handler(sender);
  return true;
}

void Responder::attachToWidget(QWidget* widget) {
  if (widget == nullptr) return;
  auto& map = attachments();
  auto it = map.find(widget);
  if (it != map.end()) {
    QObject::disconnect(it->second.destroyed);
    map.erase(it);
  }
  const QWidget* key = widget;
  auto connection = QObject::connect(widget, &QObject::destroyed, [key] { attachments().erase(key); });
  map.emplace(key, Attachment{this, connection});
}

void Responder::detachFromWidget(QWidget* widget) {
  auto& map = attachments();
  auto it = map.find(widget);
  if (it == map.end() || it->second.responder != this) return;
  QObject::disconnect(it->second.destroyed);
  map.erase(it);
}

Responder* Responder::attachedTo(const QWidget* widget) {
  auto& map = attachments();
  auto it = map.find(widget);
  return it == map.end() ? nullptr : it->second.responder;
}

void Responder::setActionHandler(const std::string& action, ActionHandler handler) {
  actions_[action] = std::move(handler);
}

void Responder::removeActionHandler(const std::string& action) { actions_.erase(action); }

}  // namespace vx
