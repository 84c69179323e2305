#include "platform/desktop/GetURLEvents.h"

#include "platform/foundation/DispatchQueue.h"

#include <cstdio>

namespace vx {

GetURLEventManager& GetURLEventManager::shared() {
  static GetURLEventManager manager;
  return manager;
}

std::uint64_t GetURLEventManager::setEventHandler(Handler handler) {
  std::size_t waiting = 0;
  std::uint64_t registration = 0;
  {
    std::lock_guard lock(mutex_);
    handler_ = handler ? std::make_shared<Handler>(std::move(handler)) : nullptr;
    registration = ++registration_;
    waiting = pending_.size();
  }
  // One delivery turn per kept event.
  for (std::size_t i = 0; i < waiting; ++i) {
    DispatchQueue::main()->async([this] { deliverOne(); });
  }
  return registration;
}

void GetURLEventManager::removeEventHandler() {
  std::lock_guard lock(mutex_);
  handler_ = nullptr;
}

void GetURLEventManager::removeEventHandler(std::uint64_t registration) {
  std::lock_guard lock(mutex_);
  if (registration == registration_) handler_ = nullptr;
}

bool GetURLEventManager::hasEventHandler() const {
  std::lock_guard lock(mutex_);
  return handler_ != nullptr;
}

void GetURLEventManager::postGetURLEvent(std::string urlText) {
  {
    std::lock_guard lock(mutex_);
    if (pending_.size() >= kMaxPendingEvents) {
      std::fputs("GetURLEventManager: too many URL events waiting; one was dropped\n", stderr);
      return;
    }
    pending_.push_back(std::move(urlText));
  }
  DispatchQueue::main()->async([this] { deliverOne(); });
}

void GetURLEventManager::deliverOne() {
  std::shared_ptr<Handler> handler;
  std::string text;
  {
    std::lock_guard lock(mutex_);
    // Without a handler the event stays; setEventHandler schedules its delivery later.
    if (!handler_ || pending_.empty()) return;
    handler = handler_;
    text = std::move(pending_.front());
    pending_.pop_front();
  }
  // Called without the lock, so the handler may post or re-register.
  (*handler)(text);
}

std::size_t GetURLEventManager::pendingCount() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

void GetURLEventManager::discardPendingEvents() {
  std::lock_guard lock(mutex_);
  pending_.clear();
}

}  // namespace vx
