// The telemetry SDK's console logger. Every line goes through one process-wide handler; the
// message is handed over as a provider that builds the text only when the line is printed, so
// a line below the current level costs no formatting.
#pragma once

#include "platform/foundation/FunctionName.h"

#include <cstdarg>
#include <functional>
#include <string>

// Log levels by value; the default handler prints the names in the comments.
enum class MSLogLevel : unsigned {
  Verbose = 2,  // "VERBOSE"
  Debug = 3,    // "DEBUG"
  Info = 4,     // "INFO"
  Warning = 5,  // "WARNING"
  Error = 6,    // "ERROR"
  Assert = 7,   // "ASSERT"
  None = 99,    // never printed
};

// The tag the SDK's own lines carry.
inline constexpr const char* kMSLogTag = "ZerEvuzev";

// Builds the message text. It is valid only during the handler call that receives it.
using MSLogMessageProvider = std::function<std::string()>;
using MSLogHandler = std::function<void(const MSLogMessageProvider& message, MSLogLevel level, const std::string& tag,
                                        const char* file, const char* function, unsigned line)>;

class MSLogger {
 public:
  MSLogger() = delete;

  // Assert (7) until the application or the SDK start-up changes it.
  static MSLogLevel currentLogLevel();
  // Also marks the level as the application's own choice.
  static void setCurrentLogLevel(MSLogLevel level);
  // Replaces the handler (nullptr: no handler, nothing is logged) and marks the level as the
  // application's own choice.
  static void setLogHandler(MSLogHandler handler);
  // Passes the line to the handler, if any, on the calling thread and outside the logger's lock.
  // The handler's provider gives the message cut to vx::kMaxLogMessageBytes (vx::boundedLogMessage).
  static void logMessage(const MSLogMessageProvider& message, MSLogLevel level, const std::string& tag,
                         const char* file, const char* function, unsigned line);

  static bool isUserDefinedLogLevel();
  static void setIsUserDefinedLogLevel(bool value);

  // The handler installed at start: prints lines at or above the current level (never level 99)
  // to standard error as "[tag] LEVEL: function/line message".
  static MSLogHandler defaultLogHandler();
  // The name printed for a level; empty for values outside 2..7.
  static const char* levelName(MSLogLevel level);
  // One printed line, without the newline.
  static std::string formatLine(const std::string& tag, MSLogLevel level, const char* function, unsigned line,
                                const std::string& message);

  // Puts the start state back: level 7, default handler, flag cleared. For tests.
  static void resetForTesting();
};

// Lets a wrapper SDK log through the same handler.
class MSWrapperLogger {
 public:
  MSWrapperLogger() = delete;
  static void MSWrapperLog(const MSLogMessageProvider& message, const std::string& tag, MSLogLevel level);
};

// printf-style formatting into a std::string (the SDK's messages use "%s" where their text
// shows a placeholder).
std::string MSFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string MSFormatV(const char* format, va_list arguments);

// The function named is the one the call is written in, also inside a lambda.
#define MS_LOG_AT(level, tag, ...)                                                                       \
  MSLogger::logMessage([&]() -> std::string { return MSFormat(__VA_ARGS__); }, (level), (tag), __FILE__, \
                       std::string(::vx::enclosingFunctionName(__PRETTY_FUNCTION__, __func__)).c_str(),  \
                       static_cast<unsigned>(__LINE__))
#define MSLogVerbose(tag, ...) MS_LOG_AT(MSLogLevel::Verbose, tag, __VA_ARGS__)
#define MSLogDebug(tag, ...) MS_LOG_AT(MSLogLevel::Debug, tag, __VA_ARGS__)
#define MSLogInfo(tag, ...) MS_LOG_AT(MSLogLevel::Info, tag, __VA_ARGS__)
#define MSLogWarning(tag, ...) MS_LOG_AT(MSLogLevel::Warning, tag, __VA_ARGS__)
#define MSLogError(tag, ...) MS_LOG_AT(MSLogLevel::Error, tag, __VA_ARGS__)
#define MSLogAssert(tag, ...) MS_LOG_AT(MSLogLevel::Assert, tag, __VA_ARGS__)
