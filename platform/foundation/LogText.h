// One bound for every log line that quotes outside input (a service reply, a rejected record, a
// user's message): the app's logger, the error-reporting client's log and the telemetry logger
// all cut their messages here, so a hostile megabyte never becomes a megabyte line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vx {

// The longest message a log line quotes whole.
inline constexpr std::size_t kMaxLogMessageBytes = 4096;

// The message itself when it is at most `limit` bytes long. Otherwise its first bytes up to a
// character boundary at or before `limit`, followed by "... (N more bytes)" where N counts the
// bytes left out. A UTF-8 character across the limit is left out whole; bytes that are not UTF-8
// are cut at the limit (at most 3 bytes earlier), never searched further back.
std::string boundedLogMessage(std::string_view message, std::size_t limit = kMaxLogMessageBytes);

}  // namespace vx
