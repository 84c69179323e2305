// The telemetry senders' view of network reachability: the platform watcher, posting under the
// SDK's own notification name so that every sender that observes it pauses and resumes together.
#pragma once

#include "platform/net/Reachability.h"

#include <memory>

inline constexpr const char* kMSReachabilityChangedNotification = "kMSReachabilityChangedNotification";

using MSReachabilityPtr = std::shared_ptr<vx::Reachability>;

class MS_Reachability {
 public:
  MS_Reachability() = delete;

  // The internet-connection watcher (default route), posting kMSReachabilityChangedNotification
  // on the default notification centre. Tests hand in a fake through
  // vx::Reachability::setInternetConnectionFactoryForTesting.
  static MSReachabilityPtr reachabilityForInternetConnection();
  // The status rule for a set of flags (shared with the platform layer).
  static vx::NetworkStatus networkStatusForFlags(vx::ReachabilityFlags flags) {
    return vx::networkStatusForFlags(flags);
  }
};
