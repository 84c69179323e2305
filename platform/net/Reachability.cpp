#include "platform/net/Reachability.h"

#include <nlohmann/json.hpp>

namespace vx {

NetworkStatus networkStatusForFlags(ReachabilityFlags flags) {
  if ((flags & kReachabilityReachable) == 0) return NetworkStatus::notReachable;
  bool reachable = false;
  if ((flags & kReachabilityConnectionRequired) == 0) {
    reachable = true;
  } else if ((flags & (kReachabilityConnectionOnDemand | kReachabilityConnectionOnTraffic)) != 0 &&
             (flags & kReachabilityInterventionRequired) == 0) {
    reachable = true;
  }
  if (!reachable) return NetworkStatus::notReachable;
  return (flags & kReachabilityIsWWAN) != 0 ? NetworkStatus::reachableViaWWAN : NetworkStatus::reachableViaWiFi;
}

ReachabilityFlags flagsForRouteState(const RouteState& state) {
  if (!state.hasDefaultRoute || !state.interfaceUp || state.interfaceIsLoopback) return 0;
  ReachabilityFlags flags = kReachabilityReachable;
  if (state.interfaceIsWWAN) flags |= kReachabilityIsWWAN | kReachabilityTransientConnection;
  return flags;
}

namespace {
std::mutex& factoryMutex() {
  static std::mutex mutex;
  return mutex;
}
std::function<std::shared_ptr<Reachability>(Reachability::Options)>& factory() {
  static std::function<std::shared_ptr<Reachability>(Reachability::Options)> f;
  return f;
}
}  // namespace

// Defined beside the Linux watcher.
std::shared_ptr<Reachability> makeSystemReachability(Reachability::Options options);

std::shared_ptr<Reachability> Reachability::forInternetConnection(Options options) {
  std::function<std::shared_ptr<Reachability>(Options)> installed;
  {
    std::lock_guard lock(factoryMutex());
    installed = factory();
  }
  if (installed) return installed(std::move(options));
  return makeSystemReachability(std::move(options));
}

void Reachability::setInternetConnectionFactoryForTesting(std::function<std::shared_ptr<Reachability>(Options)> f) {
  std::lock_guard lock(factoryMutex());
  factory() = std::move(f);
}

Reachability::Reachability(Options options) : options_(std::move(options)) {}

void Reachability::postChange(ReachabilityFlags flags) {
  NotificationCenter& center = options_.center != nullptr ? *options_.center : NotificationCenter::defaultCenter();
  center.post(options_.notificationName, this,
              nlohmann::json{{"status", static_cast<int>(networkStatusForFlags(flags))}, {"flags", flags}});
}

}  // namespace vx
