#include "reporting/crash-recorder/Recording/PloverCrashDate.h"

namespace {

// Days since 1970-01-01 to a proleptic Gregorian date (the usual era-based conversion; no table,
// no time-zone data, so nothing here can lock or allocate the way gmtime may).
void civilFromDays(std::int64_t days, std::int64_t* year, int* month, int* day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t mp = (5 * dayOfYear + 2) / 153;
  *day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = yearOfEra + era * 400 + (*month <= 2 ? 1 : 0);
}

void putDigits(char* out, std::int64_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

}  // namespace

bool plovercrashdate_utcStringFromTimestamp(std::int64_t timestamp, char* buffer21Chars) {
  // Seconds of 0000-01-01 and of 10000-01-01 relative to 1970.
  constexpr std::int64_t kFirst = -62167219200LL;
  constexpr std::int64_t kPastLast = 253402300800LL;
  if (timestamp < kFirst || timestamp >= kPastLast) {
    buffer21Chars[0] = '\0';
    return false;
  }
  std::int64_t days = timestamp / 86400;
  std::int64_t seconds = timestamp % 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  std::int64_t year;
  int month;
  int day;
  civilFromDays(days, &year, &month, &day);
  char* out = buffer21Chars;
  putDigits(out, year, 4);
  out[4] = '-';
  putDigits(out + 5, month, 2);
  out[7] = '-';
  putDigits(out + 8, day, 2);
  out[10] = 'T';
  putDigits(out + 11, seconds / 3600, 2);
  out[13] = ':';
  putDigits(out + 14, (seconds / 60) % 60, 2);
  out[16] = ':';
  putDigits(out + 17, seconds % 60, 2);
  out[19] = 'Z';
  out[20] = '\0';
  return true;
}
