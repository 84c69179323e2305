#include "telemetry/ZerEvuzev/Security/MSAuthTokenValidityInfo.h"

#include "platform/foundation/Clock.h"

#include <chrono>

bool MSAuthTokenValidityInfo::expiresSoon() const {
  return endTime_ && vx::wallNow() + std::chrono::seconds(600) > *endTime_;
}
