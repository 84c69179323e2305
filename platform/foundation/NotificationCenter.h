// Named notifications between parts of the system that do not know each other (reachability
// changes, application-state changes, store updates). Observers run on a queue of their choosing,
// or synchronously on the posting thread when they name none.
#pragma once

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/UserInfo.h"

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vx {

struct Notification {
  std::string name;
  // The posting object, compared by address when an observer filters on it; may be null.
  const void* object = nullptr;
  // Plain data that travels with the notification.
  UserInfo userInfo;
  // Typed payload for values that are not plain data.
  std::any payload;
};

class NotificationCenter {
 public:
  using Token = std::uint64_t;
  using Handler = std::function<void(const Notification&)>;

  static NotificationCenter& defaultCenter();

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Observes `name` (empty: every name), from `object` only when it is not null. With a queue
  // the handler runs there asynchronously; without, on the posting thread before post returns.
  Token addObserver(std::string name, const void* object, std::shared_ptr<DispatchQueue> queue, Handler handler);
  // After removal the handler is not called again for posts that start later.
  void removeObserver(Token token);

  void post(Notification notification);
  void post(std::string name, const void* object = nullptr, UserInfo userInfo = {});

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Removes its observer when destroyed.
class ScopedObserver {
 public:
  ScopedObserver() = default;
  ScopedObserver(NotificationCenter& center, NotificationCenter::Token token) : center_(&center), token_(token) {}
  ~ScopedObserver() { reset(); }
  ScopedObserver(ScopedObserver&& other) noexcept { *this = std::move(other); }
  ScopedObserver& operator=(ScopedObserver&& other) noexcept {
    if (this != &other) {
      reset();
      center_ = other.center_;
      token_ = other.token_;
      other.center_ = nullptr;
    }
    return *this;
  }
  void reset() {
    if (center_) center_->removeObserver(token_);
    center_ = nullptr;
  }

 private:
  NotificationCenter* center_ = nullptr;
  NotificationCenter::Token token_ = 0;
};

}  // namespace vx
