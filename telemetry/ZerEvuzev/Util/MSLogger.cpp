#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include "platform/foundation/LogText.h"

#include <cstdio>
#include <mutex>
#include <vector>

namespace {

struct LoggerState {
  std::mutex mutex;
  MSLogLevel level = MSLogLevel::Assert;
  MSLogHandler handler = MSLogger::defaultLogHandler();
  bool userDefined = false;
};

LoggerState& state() {
  static LoggerState* shared = new LoggerState();  // never destroyed: lines may come at exit
  return *shared;
}

}  // namespace

MSLogLevel MSLogger::currentLogLevel() {
  std::lock_guard lock(state().mutex);
  return state().level;
}

void MSLogger::setCurrentLogLevel(MSLogLevel level) {
  std::lock_guard lock(state().mutex);
  state().userDefined = true;
  state().level = level;
}

void MSLogger::setLogHandler(MSLogHandler handler) {
  std::lock_guard lock(state().mutex);
  state().userDefined = true;
  state().handler = std::move(handler);
}

void MSLogger::logMessage(const MSLogMessageProvider& message, MSLogLevel level, const std::string& tag,
                          const char* file, const char* function, unsigned line) {
  MSLogHandler handler;
  {
    std::lock_guard lock(state().mutex);
    handler = state().handler;
  }
  if (!handler) return;
  if (!message) {
    handler(message, level, tag, file, function, line);
    return;
  }
  // Messages quote outside input (replies, stored logs): every handler gets a bounded text, and
  // the text is still built only when a handler asks for it.
  const MSLogMessageProvider bounded = [&message] { return vx::boundedLogMessage(message()); };
  handler(bounded, level, tag, file, function, line);
}

bool MSLogger::isUserDefinedLogLevel() {
  std::lock_guard lock(state().mutex);
  return state().userDefined;
}

void MSLogger::setIsUserDefinedLogLevel(bool value) {
  std::lock_guard lock(state().mutex);
  state().userDefined = value;
}

const char* MSLogger::levelName(MSLogLevel level) {
  switch (level) {
    case MSLogLevel::Verbose:
      return "VERBOSE";
    case MSLogLevel::Debug:
      return "DEBUG";
    case MSLogLevel::Info:
      return "INFO";
    case MSLogLevel::Warning:
      return "WARNING";
    case MSLogLevel::Error:
      return "ERROR";
    case MSLogLevel::Assert:
      return "ASSERT";
    default:
      return "";
  }
}

std::string MSLogger::formatLine(const std::string& tag, MSLogLevel level, const char* function, unsigned line,
                                 const std::string& message) {
  return MSFormat("[%s] %s: %s/%u %s", tag.c_str(), levelName(level), function != nullptr ? function : "", line,
                  message.c_str());
}

MSLogHandler MSLogger::defaultLogHandler() {
  return [](const MSLogMessageProvider& message, MSLogLevel level, const std::string& tag, const char* /*file*/,
            const char* function, unsigned line) {
    if (!message || static_cast<unsigned>(level) < static_cast<unsigned>(currentLogLevel())) {
      return;
    }
    if (level == MSLogLevel::None) return;
    const std::string text = formatLine(tag, level, function, line, message()) + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
  };
}

void MSLogger::resetForTesting() {
  std::lock_guard lock(state().mutex);
  state().level = MSLogLevel::Assert;
  state().handler = defaultLogHandler();
  state().userDefined = false;
}

void MSWrapperLogger::MSWrapperLog(const MSLogMessageProvider& message, const std::string& tag, MSLogLevel level) {
  MSLogger::logMessage(message, level, tag, "MSWrapperLogger", "MSWrapperLog", 10);
}

std::string MSFormatV(const char* format, va_list arguments) {
  va_list copy;
  va_copy(copy, arguments);
  char small[256];
  const int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return {};
  if (static_cast<std::size_t>(needed) < sizeof small) return std::string(small, static_cast<std::size_t>(needed));
  std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
  std::vsnprintf(buffer.data(), buffer.size(), format, arguments);
  return std::string(buffer.data(), static_cast<std::size_t>(needed));
}

std::string MSFormat(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string text = MSFormatV(format, arguments);
  va_end(arguments);
  return text;
}
