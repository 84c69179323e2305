// Network reachability: whether the machine can reach the internet right now, and how, with a
// notification whenever that changes. The telemetry core pauses its senders while the network is
// down and resumes them when it returns.
//
// The state is described by flags (the same bits the telemetry core's rules are written in) and
// turned into a status by one pure function, networkStatusForFlags, that callers may reuse.
#pragma once

#include "platform/foundation/NotificationCenter.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vx {

using ReachabilityFlags = std::uint32_t;
inline constexpr ReachabilityFlags kReachabilityTransientConnection = 1u << 0;
inline constexpr ReachabilityFlags kReachabilityReachable = 1u << 1;
inline constexpr ReachabilityFlags kReachabilityConnectionRequired = 1u << 2;
inline constexpr ReachabilityFlags kReachabilityConnectionOnTraffic = 1u << 3;
inline constexpr ReachabilityFlags kReachabilityInterventionRequired = 1u << 4;
inline constexpr ReachabilityFlags kReachabilityConnectionOnDemand = 1u << 5;
inline constexpr ReachabilityFlags kReachabilityIsLocalAddress = 1u << 16;
inline constexpr ReachabilityFlags kReachabilityIsDirect = 1u << 17;
inline constexpr ReachabilityFlags kReachabilityIsWWAN = 1u << 18;  // cellular-like link

enum class NetworkStatus : int {
  notReachable = 0,
  reachableViaWiFi = 1,  // Wi-Fi or wired
  reachableViaWWAN = 2,  // cellular-like (a wwan interface carries the default route)
};

// The rule from flags to status: not reachable when the reachable bit is clear; reachable when no
// connection is required; with a connection required, reachable only when it is made on demand
// or on traffic without user intervention. A reachable state whose link is cellular-like
// (kReachabilityIsWWAN) is reachableViaWWAN.
NetworkStatus networkStatusForFlags(ReachabilityFlags flags);

// The Linux facts the flags are computed from (pure input, so the computation is testable).
struct RouteState {
  bool hasDefaultRoute = false;  // an IPv4 or IPv6 default route exists
  bool interfaceUp = false;      // its interface is up and has carrier
  bool interfaceIsWWAN = false;  // its interface is cellular-like (wwan*, DEVTYPE=wwan)
  bool interfaceIsLoopback = false;
};
ReachabilityFlags flagsForRouteState(const RouteState& state);

// Name of the notification posted on a change (and once when the notifier starts), with the
// Reachability object as the posting object and {"status": int, "flags": int} as user info.
inline constexpr const char* kReachabilityChangedNotification = "vx.ReachabilityChanged";

class Reachability : public std::enable_shared_from_this<Reachability> {
 public:
  struct Options {
    NotificationCenter* center = nullptr;  // nullptr: the default centre
    std::string notificationName = kReachabilityChangedNotification;
  };

  virtual ~Reachability() = default;

  // The reachability of the internet at large (the default route). A test that installed a
  // factory with setInternetConnectionFactoryForTesting gets that factory's object instead.
  static std::shared_ptr<Reachability> forInternetConnection(Options options);
  static std::shared_ptr<Reachability> forInternetConnection() { return forInternetConnection(Options{}); }
  // Installs (or with nullptr removes) the factory forInternetConnection uses.
  static void setInternetConnectionFactoryForTesting(std::function<std::shared_ptr<Reachability>(Options)> factory);

  // The flags now; false-y flags (0) when they cannot be read.
  virtual ReachabilityFlags currentFlags() const = 0;
  NetworkStatus currentStatus() const { return networkStatusForFlags(currentFlags()); }
  bool connectionRequired() const { return (currentFlags() & kReachabilityConnectionRequired) != 0; }

  // Starts watching; posts the notification once at once, then on every change of status or
  // flags. False when watching could not start. Starting twice does nothing more.
  virtual bool startNotifier() = 0;
  // Stops watching; no notification is posted after it returns.
  virtual void stopNotifier() = 0;

  const Options& options() const { return options_; }

 protected:
  explicit Reachability(Options options);
  // Posts the change notification for `flags`.
  void postChange(ReachabilityFlags flags);

 private:
  Options options_;
};

}  // namespace vx
