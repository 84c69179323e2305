#include "app/service/Action.h"

namespace Vexelworks {

ActionHandlerList::ActionHandlerList() : handlers_(std::make_shared<const Handlers>()) {}

void ActionHandlerList::append(ActionHandler handler) {
  if (!handler) return;
  auto entry = std::make_shared<const ActionHandler>(std::move(handler));
  std::lock_guard lock(mutex_);
  auto next = std::make_shared<Handlers>(*handlers_);
  next->push_back(std::move(entry));
  handlers_ = std::move(next);
}

void ActionHandlerList::dispatch(const Action& action) const {
  std::shared_ptr<const Handlers> snapshot;
  {
    std::lock_guard lock(mutex_);
    snapshot = handlers_;
  }
  for (const auto& handler : *snapshot) (*handler)(action);
}

std::size_t ActionHandlerList::size() const {
  std::lock_guard lock(mutex_);
  return handlers_->size();
}

ActionHandlerList& actionHandlers() {
  static ActionHandlerList list;
  return list;
}

}  // namespace Vexelworks
