#include "platform/foundation/NotificationCenter.h"

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace vx {

struct NotificationCenter::State {
  struct Entry {
    std::string name;
    const void* object = nullptr;
    std::shared_ptr<DispatchQueue> queue;
    std::shared_ptr<Handler> handler;
    // Cleared on removal so a delivery already queued does not call a removed observer.
    std::shared_ptr<std::atomic<bool>> live;
  };
  std::mutex mutex;
  std::map<Token, Entry> entries;
  Token lastToken = 0;
};

NotificationCenter& NotificationCenter::defaultCenter() {
  static auto* center = new NotificationCenter();  // leaked: posts may arrive during exit
  return *center;
}

NotificationCenter::NotificationCenter() : state_(std::make_shared<State>()) {}
NotificationCenter::~NotificationCenter() = default;

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const void* object,
                                                          std::shared_ptr<DispatchQueue> queue, Handler handler) {
  std::lock_guard lock(state_->mutex);
  const Token token = ++state_->lastToken;
  state_->entries.emplace(
      token, State::Entry{std::move(name), object, std::move(queue), std::make_shared<Handler>(std::move(handler)),
                          std::make_shared<std::atomic<bool>>(true)});
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::lock_guard lock(state_->mutex);
  auto it = state_->entries.find(token);
  if (it == state_->entries.end()) return;
  it->second.live->store(false);
  state_->entries.erase(it);
}

void NotificationCenter::post(Notification notification) {
  // Handlers are called outside the lock, from a snapshot, so they may add or remove observers.
  std::vector<State::Entry> matching;
  {
    std::lock_guard lock(state_->mutex);
    for (const auto& [token, entry] : state_->entries) {
      if (!entry.name.empty() && entry.name != notification.name) continue;
      if (entry.object != nullptr && entry.object != notification.object) continue;
      matching.push_back(entry);
    }
  }
  auto shared = std::make_shared<const Notification>(std::move(notification));
  for (auto& entry : matching) {
    if (entry.queue) {
      entry.queue->async([entry, shared] {
        if (entry.live->load()) (*entry.handler)(*shared);
      });
    } else if (entry.live->load()) {
      (*entry.handler)(*shared);
    }
  }
}

void NotificationCenter::post(std::string name, const void* object, UserInfo userInfo) {
  Notification notification;
  notification.name = std::move(name);
  notification.object = object;
  notification.userInfo = std::move(userInfo);
  post(std::move(notification));
}

}  // namespace vx
