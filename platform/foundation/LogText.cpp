#include "platform/foundation/LogText.h"

namespace vx {

namespace {

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length a lead byte announces; 1 for ASCII and for bytes that cannot start a sequence.
std::size_t sequenceLength(unsigned char byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return 2;
  if (byte >= 0xE0 && byte <= 0xEF) return 3;
  if (byte >= 0xF0 && byte <= 0xF4) return 4;
  return 1;
}

// Where a message longer than `limit` is cut: `limit`, or the start of the UTF-8 character that
// begins before `limit` and ends after it.
std::size_t cutPosition(std::string_view text, std::size_t limit) {
  if (limit >= text.size() || !isContinuation(static_cast<unsigned char>(text[limit]))) return limit;
  // A character is at most 4 bytes, so its lead byte is at most 3 bytes back. Looking no
  // further keeps a run of stray continuation bytes from emptying the message.
  for (std::size_t back = 1; back <= 3 && back <= limit; ++back) {
    const std::size_t start = limit - back;
    const auto byte = static_cast<unsigned char>(text[start]);
    if (isContinuation(byte)) continue;
    return start + sequenceLength(byte) > limit ? start : limit;
  }
  return limit;
}

}  // namespace

std::string boundedLogMessage(std::string_view message, std::size_t limit) {
  if (message.size() <= limit) return std::string(message);
  const std::size_t end = cutPosition(message, limit);
  std::string text;
  text.reserve(end + 32);
  text.append(message.substr(0, end));
  text += "... (";
  text += std::to_string(message.size() - end);
  text += " more bytes)";
  return text;
}

}  // namespace vx
