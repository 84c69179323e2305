// How the telemetry senders read HTTP outcomes (which statuses are worth a retry, which transport
// errors mean "no network") and how they hide secrets before anything reaches a log.
#pragma once

#include "platform/foundation/Error.h"

#include <optional>
#include <cstdint>
#include <string>
#include <vector>

class MSHttpUtil {
 public:
  MSHttpUtil() = delete;

  // Worth a retry: any status above 499, 408 (timeout), 429 (too many requests) and 0 (no HTTP
  // answer at all).
  static bool isRecoverableError(int statusCode);
  static bool isSuccessStatusCode(int statusCode);  // 200..299
  // URL-loading errors -1009 (not connected) and -1005 (connection lost).
  static bool isNoInternetConnectionError(const std::optional<vx::Error>& error);
  // URL-loading errors -2000..-1200 (TLS could not be established).
  static bool isSSLConnectionError(const std::optional<vx::Error>& error);

  // Every character but the last 8 replaced by '*'; a secret of 8 characters or fewer becomes
  // all stars (its length still shows, its content does not).
  static std::string hideSecret(const std::string& secret);
  // "Bearer abc" -> "Bearer ***"; a single word -> "***".
  static std::string hideAuthToken(const std::string& token);
};

// The body of a response as the senders print it at verbose level: nothing for an empty body,
// pretty-printed JSON for an "application/json" type, UTF-8 text for no type, "text/..." or other
// "application/..." types, "<binary>" otherwise; the value of every "token" member is masked.
// A JSON body nested deeper than vx::kMaxJSONNesting gives kMSHttpPayloadTooDeep and a warning.
inline constexpr const char* kMSHttpPayloadTooDeep = "<JSON nested too deep>";
std::string MSHttpPayloadForLog(const std::vector<std::uint8_t>& data, const std::optional<std::string>& contentType);
