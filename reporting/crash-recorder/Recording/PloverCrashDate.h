// UTC date text for report timestamps.
#pragma once

#include <cstdint>

// Crash-time safe. Writes "YYYY-MM-DDThh:mm:ssZ" (20 characters and a zero) for the seconds since
// 1970 into a buffer of at least 21 bytes. A time outside the years 0000 to 9999 has no such text:
// the buffer gets an empty text and the result is false.
bool plovercrashdate_utcStringFromTimestamp(std::int64_t timestamp, char* buffer21Chars);
