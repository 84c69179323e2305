// ISO 8601 and HTTP dates from the input; a date read back is written and read again unchanged.
#include "platform/foundation/DateFormat.h"
#include "tests/platform/fuzz/PlatformFuzz.h"

#include <cstdlib>
#include <string_view>

VX_FUZZ_TARGET(date) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto date = vx::DateFormat::parseIso8601(text)) {
    const auto full = vx::DateFormat::parseIso8601(vx::DateFormat::iso8601Full(*date));
    if (!full) std::abort();
    (void)vx::DateFormat::iso8601(*date);
  }
  if (const auto date = vx::DateFormat::parseHttpDate(text)) {
    if (!vx::DateFormat::parseHttpDate(vx::DateFormat::httpDate(*date))) std::abort();
  }
  return 0;
}
