// A reachability whose state the test sets. Starting the notifier posts at once; setFlags and
// setStatus post when the notifier is running and the flags changed. Hand it to code that asks
// for the system watcher with Reachability::setInternetConnectionFactoryForTesting.
#pragma once

#include "platform/net/Reachability.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

namespace vx {

class FakeReachability final : public Reachability {
 public:
  static std::shared_ptr<FakeReachability> make(ReachabilityFlags flags = kReachabilityReachable,
                                                Options options = {}) {
    return std::shared_ptr<FakeReachability>(new FakeReachability(flags, std::move(options)));
  }

  void setFlags(ReachabilityFlags flags) {
    bool changed = false;
    {
      std::lock_guard lock(mutex_);
      changed = flags_ != flags;
      flags_ = flags;
    }
    if (changed && notifying_.load()) postChange(flags);
  }
  // Shorthand: not reachable → 0, via Wi-Fi → reachable, via WWAN → reachable | WWAN.
  void setStatus(NetworkStatus status) {
    switch (status) {
      case NetworkStatus::notReachable:
        setFlags(0);
        break;
      case NetworkStatus::reachableViaWiFi:
        setFlags(kReachabilityReachable);
        break;
      case NetworkStatus::reachableViaWWAN:
        setFlags(kReachabilityReachable | kReachabilityIsWWAN);
        break;
    }
  }

  ReachabilityFlags currentFlags() const override {
    std::lock_guard lock(mutex_);
    return flags_;
  }
  bool startNotifier() override {
    if (notifying_.exchange(true)) return true;
    postChange(currentFlags());
    return true;
  }
  void stopNotifier() override { notifying_ = false; }
  bool isNotifying() const { return notifying_.load(); }

 private:
  FakeReachability(ReachabilityFlags flags, Options options) : Reachability(std::move(options)), flags_(flags) {}

  mutable std::mutex mutex_;
  ReachabilityFlags flags_;
  std::atomic<bool> notifying_{false};
};

}  // namespace vx
