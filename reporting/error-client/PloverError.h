// Errors of the error-reporting client and its console log.
#pragma once

#include "platform/foundation/Error.h"

#include <functional>
#include <string>

inline constexpr const char* kPloverErrorDomain = "PloverErrorDomain";

enum PloverErrorCode : std::int64_t {
  kPloverErrorInvalidDsnError = 100,
  kPloverErrorCompressionError = 103,
  kPloverErrorJsonConversionError = 104,
  kPloverErrorEventNotSent = 107,
  // A send that the service answered with a status other than 2xx.
  kPloverErrorRequestError = 108,
};

// An error of the client's domain whose user info holds only the description.
vx::Error NSErrorFromPloverError(std::int64_t code, const std::string& description);

// Puts an error in the slot when one is given. Always false, so a failing operation can return
// its result directly.
bool fillError(vx::Error* slot, const std::string& domain, std::int64_t code, const std::string& description);
// Empties the slot when one is given. Always false.
bool clearError(vx::Error* slot);

// Log levels of the client: 1 None, 2 Error, 3 Debug, 4 Verbose.
enum PloverLogLevel : int {
  kPloverLogLevelNone = 1,
  kPloverLogLevelError = 2,
  kPloverLogLevelDebug = 3,
  kPloverLogLevelVerbose = 4,
};

class PloverLog {
 public:
  // Writes "Plover - <level name>:: <message>" to the system log when the message's level is not
  // None and the client's level (2 when it is 0 or below) is at least the message's level. A
  // message longer than vx::kMaxLogMessageBytes is cut as vx::boundedLogMessage cuts it.
  static void logWithMessage(const std::string& message, int level);
  // 4 "Verbose", 3 "Debug", every other value "Error".
  static std::string logLevelToString(int level);
  // Replaces the system log as the destination of lines (tests); nullptr restores it.
  static void setSinkForTesting(std::function<void(const std::string& line)> sink);
};
