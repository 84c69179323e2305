// Which auth token was valid over which span of time: the channel unit sends each stored log
// with the token that was valid when the log was made.
#pragma once

#include "platform/foundation/Value.h"

#include <optional>
#include <string>

class MSAuthTokenValidityInfo {
 public:
  MSAuthTokenValidityInfo(std::optional<std::string> authToken, std::optional<vx::Date> startTime,
                          std::optional<vx::Date> endTime)
      : authToken_(std::move(authToken)), startTime_(startTime), endTime_(endTime) {}

  const std::optional<std::string>& authToken() const { return authToken_; }
  const std::optional<vx::Date>& startTime() const { return startTime_; }
  const std::optional<vx::Date>& endTime() const { return endTime_; }

  // True when the span has an end and that end comes within the next 600 seconds (or passed).
  bool expiresSoon() const;

  bool operator==(const MSAuthTokenValidityInfo&) const = default;

 private:
  std::optional<std::string> authToken_;
  std::optional<vx::Date> startTime_;
  std::optional<vx::Date> endTime_;
};
