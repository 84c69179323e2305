#include "telemetry/ZerEvuzev/Ingestion/MS_Reachability.h"

MSReachabilityPtr MS_Reachability::reachabilityForInternetConnection() {
  vx::Reachability::Options options;
  options.notificationName = kMSReachabilityChangedNotification;
  return vx::Reachability::forInternetConnection(options);
}
