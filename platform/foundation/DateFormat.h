// Date texts the system exchanges with services: ISO 8601 in UTC (with and without
// milliseconds) and HTTP dates. Formatting and parsing never consult the C locale, so month and
// day names are always English and a user's locale cannot change what goes over the wire.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vx {

using Date = std::chrono::system_clock::time_point;

class DateFormat {
 public:
  DateFormat() = delete;

  // "2024-03-05T07:08:09.123Z" (milliseconds, truncated toward the past) or, with
  // milliseconds == false, "2024-03-05T07:08:09Z". Always UTC.
  static std::string iso8601(Date date, bool milliseconds = true);
  // Nanosecond precision, "2024-03-05T07:08:09.123456789Z"; parseIso8601 reads it back exactly.
  static std::string iso8601Full(Date date);

  // Reads "YYYY-MM-DDTHH:MM:SS" with an optional fraction of 1-9 digits (more digits are
  // accepted and cut at nanoseconds) and a required zone: "Z", "+HH:MM", "-HH:MM", "+HHMM" or
  // "+HH". 't' and 'z' may be lower-case, and a space may stand for 'T'. std::nullopt for
  // anything else, including out-of-range fields (month 13, February 30, hour 24, ...) and dates
  // the system clock cannot hold (before 1677-09-21 or after 2262-04-11).
  static std::optional<Date> parseIso8601(std::string_view text);

  // RFC 1123: "Sun, 06 Nov 1994 08:49:37 GMT".
  static std::string httpDate(Date date);
  // Reads RFC 1123 / "EEE, d MMM yyyy H:m:s z" (one- or two-digit day and time fields, zone
  // "GMT", "UTC", "UT", "Z" or a numeric "+hhmm"), RFC 850 ("Sunday, 06-Nov-94 08:49:37 GMT",
  // two-digit years from 1970 to 2069) and asctime ("Sun Nov  6 08:49:37 1994", taken as UTC).
  // The weekday name is checked for spelling only. std::nullopt for anything else, and for
  // dates the system clock cannot hold.
  static std::optional<Date> parseHttpDate(std::string_view text);
};

}  // namespace vx
