// The shared logger: one line per call to the system log (syslog), in the form
//   [LEVEL] File.function[line] message
// where File is the source file's name without folder or extension. The levels in use are
// "DEBUG", "INFO", "WARN" and "ERROR"; every line is written, in every build. The message is
// written verbatim: it is never read as a format. The logger reports nothing anywhere else.
//
// Call through VX_LOG(level, message), which fills in the call site (inside a lambda: the
// enclosing function, not "operator()"), or log() directly.
// Safe from any thread; each line is one call of the sink, so lines never interleave.
#pragma once

#include "platform/foundation/FunctionName.h"

#include <functional>
#include <string>
#include <string_view>

namespace Vexelworks {

// Writes one line. `level` is the caller's level text, passed so a sink can pick a priority.
using LogSink = std::function<void(std::string_view level, std::string_view line)>;

// Logs `message` at `level` for the call site (function name, source file path, line number).
void log(std::string_view message, std::string_view level, std::string_view function, std::string_view file, int line);

// The line log() writes, without writing it.
std::string formatLogLine(std::string_view message, std::string_view level, std::string_view function,
                          std::string_view file, int line);

// The source file's name without folder and extension ("app/service/APIClient.cpp" gives
// "APIClient"); empty when the path has no last component.
std::string logFileName(std::string_view path);

// Replaces the sink (tests capture lines with this) and returns the one it replaced. nullptr
// restores the system-log sink.
LogSink setLogSink(LogSink sink);

// The system-log sink: syslog(3) with "%s" and the line, at LOG_DEBUG, LOG_INFO, LOG_WARNING or
// LOG_ERR after the level (LOG_NOTICE for any other level text).
void writeToSystemLog(std::string_view level, std::string_view line);

}  // namespace Vexelworks

// The function named is the one the call is written in, also inside a lambda.
#define VX_LOG(level, message) \
  ::Vexelworks::log((message), (level), ::vx::enclosingFunctionName(__PRETTY_FUNCTION__, __func__), __FILE__, __LINE__)
