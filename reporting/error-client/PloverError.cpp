#include "reporting/error-client/PloverError.h"

#include "reporting/error-client/PloverClient.h"

#include "platform/foundation/LogText.h"

#include <syslog.h>

#include <mutex>

vx::Error NSErrorFromPloverError(std::int64_t code, const std::string& description) {
  return vx::Error(kPloverErrorDomain, code, description, nlohmann::json{{"NSLocalizedDescription", description}});
}

bool fillError(vx::Error* slot, const std::string& domain, std::int64_t code, const std::string& description) {
  if (slot != nullptr) {
    *slot = vx::Error(domain, code, description, nlohmann::json{{"NSLocalizedDescription", description}});
  }
  return false;
}

bool clearError(vx::Error* slot) {
  if (slot != nullptr) *slot = vx::Error();
  return false;
}

namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void(const std::string&)>& sink() {
  static std::function<void(const std::string&)> function;
  return function;
}

}  // namespace

void PloverLog::logWithMessage(const std::string& message, int level) {
  int current = PloverClient::logLevel();
  if (current <= 0) current = kPloverLogLevelError;
  if (level == kPloverLogLevelNone || current < level) return;
  // Messages quote outside input (a reply, a stored event): a line stays bounded.
  const std::string line = "Plover - " + logLevelToString(level) + ":: " + vx::boundedLogMessage(message);
  std::function<void(const std::string&)> destination;
  {
    std::lock_guard lock(sinkMutex());
    destination = sink();
  }
  if (destination) {
    destination(line);
  } else {
    // The line is data, never a format.
    syslog(LOG_NOTICE, "%s", line.c_str());
  }
}

std::string PloverLog::logLevelToString(int level) {
  switch (level) {
    case kPloverLogLevelVerbose:
      return "Verbose";
    case kPloverLogLevelDebug:
      return "Debug";
    default:
      return "Error";
  }
}

void PloverLog::setSinkForTesting(std::function<void(const std::string&)> function) {
  std::lock_guard lock(sinkMutex());
  sink() = std::move(function);
}
