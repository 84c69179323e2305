#include "platform/foundation/DateFormat.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdint>
#include <limits>

namespace vx {

namespace {

using namespace std::chrono;

constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<const char*, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 7> kLongWeekdays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                      "Thursday", "Friday", "Saturday"};

struct Fields {
  int year = 0;
  unsigned month = 0;
  unsigned day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  std::int64_t nanoseconds = 0;
  int offsetSeconds = 0;  // east of UTC
};

struct Broken {
  int year;
  unsigned month, day, weekday;
  int hour, minute, second;
  std::int64_t nanoseconds;
};

// Integer arithmetic throughout: every representable date, including the extremes, formats
// without overflow.
Broken breakDown(Date date) {
  constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
  const std::int64_t total = duration_cast<nanoseconds>(date.time_since_epoch()).count();
  std::int64_t secondsCount = total / kNanosPerSecond;
  std::int64_t nanos = total % kNanosPerSecond;
  if (nanos < 0) {
    nanos += kNanosPerSecond;
    secondsCount -= 1;
  }
  std::int64_t dayCount = secondsCount / 86400;
  std::int64_t secondsInDay = secondsCount % 86400;
  if (secondsInDay < 0) {
    secondsInDay += 86400;
    dayCount -= 1;
  }
  const sys_days dayPoint{days{dayCount}};
  const year_month_day ymd{dayPoint};
  return Broken{static_cast<int>(ymd.year()),          static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()),      weekday{dayPoint}.c_encoding(),
                static_cast<int>(secondsInDay / 3600), static_cast<int>(secondsInDay / 60 % 60),
                static_cast<int>(secondsInDay % 60),   nanos};
}

// std::nullopt for impossible fields and for dates the clock cannot hold (roughly 1678-2262).
std::optional<Date> assemble(const Fields& f) {
  if (f.month < 1 || f.month > 12 || f.hour > 23 || f.minute > 59 || f.second > 59) {
    return std::nullopt;
  }
  const year_month_day ymd{year{f.year}, month{f.month}, day{f.day}};
  if (!ymd.ok()) return std::nullopt;
  const std::int64_t dayCount = sys_days{ymd}.time_since_epoch().count();
  const std::int64_t secondsCount = dayCount * 86400 + f.hour * 3600 + f.minute * 60 + f.second - f.offsetSeconds;
  // 128 bits: the earliest dates need a product below the 64-bit range before the fraction
  // brings them back into it.
  const __int128 total = static_cast<__int128>(secondsCount) * 1'000'000'000 + f.nanoseconds;
  if (total < std::numeric_limits<std::int64_t>::min() || total > std::numeric_limits<std::int64_t>::max()) {
    return std::nullopt;
  }
  return Date(duration_cast<system_clock::duration>(nanoseconds(static_cast<std::int64_t>(total))));
}

// A small cursor over the text.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[pos_]; }
  bool accept(char c) {
    if (peek() != c) return false;
    ++pos_;
    return true;
  }
  bool acceptAny(std::string_view chars) {
    if (atEnd() || chars.find(peek()) == std::string_view::npos) return false;
    ++pos_;
    return true;
  }
  // Reads between minDigits and maxDigits decimal digits.
  bool number(int minDigits, int maxDigits, int& value) {
    int count = 0;
    value = 0;
    while (count < maxDigits && std::isdigit(static_cast<unsigned char>(peek()))) {
      value = value * 10 + (peek() - '0');
      ++pos_;
      ++count;
    }
    return count >= minDigits;
  }
  std::string_view word() {
    const std::size_t start = pos_;
    while (std::isalpha(static_cast<unsigned char>(peek()))) ++pos_;
    return text_.substr(start, pos_ - start);
  }
  std::size_t skipSpaces() {
    std::size_t count = 0;
    while (peek() == ' ' || peek() == '\t') {
      ++pos_;
      ++count;
    }
    return count;
  }
  std::size_t position() const { return pos_; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::optional<unsigned> monthNumber(std::string_view name) {
  for (std::size_t i = 0; i < kMonths.size(); ++i) {
    if (equalsIgnoringCase(name, kMonths[i])) return static_cast<unsigned>(i + 1);
  }
  return std::nullopt;
}

bool isWeekdayName(std::string_view name) {
  for (std::size_t i = 0; i < kWeekdays.size(); ++i) {
    if (equalsIgnoringCase(name, kWeekdays[i]) || equalsIgnoringCase(name, kLongWeekdays[i])) {
      return true;
    }
  }
  return false;
}

// "+hh:mm", "+hhmm" or "+hh" after the sign has been seen.
bool numericOffset(Reader& reader, bool allowColon, int& offsetSeconds) {
  const bool negative = reader.peek() == '-';
  if (!reader.acceptAny("+-")) return false;
  int hoursPart = 0;
  int minutesPart = 0;
  if (!reader.number(2, 2, hoursPart)) return false;
  if (allowColon && reader.accept(':')) {
    if (!reader.number(2, 2, minutesPart)) return false;
  } else if (std::isdigit(static_cast<unsigned char>(reader.peek()))) {
    if (!reader.number(2, 2, minutesPart)) return false;
  }
  if (hoursPart > 23 || minutesPart > 59) return false;
  offsetSeconds = (hoursPart * 3600 + minutesPart * 60) * (negative ? -1 : 1);
  return true;
}

bool timeOfDay(Reader& reader, Fields& f) {
  return reader.number(1, 2, f.hour) && reader.accept(':') && reader.number(1, 2, f.minute) && reader.accept(':') &&
         reader.number(1, 2, f.second);
}

bool httpZone(Reader& reader, Fields& f) {
  if (reader.peek() == '+' || reader.peek() == '-') {
    return numericOffset(reader, false, f.offsetSeconds);
  }
  const auto zone = reader.word();
  return equalsIgnoringCase(zone, "GMT") || equalsIgnoringCase(zone, "UTC") || equalsIgnoringCase(zone, "UT") ||
         equalsIgnoringCase(zone, "Z");
}

bool monthWord(Reader& reader, Fields& f) {
  const auto month = monthNumber(reader.word());
  if (!month) return false;
  f.month = *month;
  return true;
}

}  // namespace

std::string DateFormat::iso8601(Date date, bool milliseconds) {
  const auto b = breakDown(date);
  char buffer[64];
  if (milliseconds) {
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", b.year, b.month, b.day, b.hour,
                  b.minute, b.second, static_cast<int>(b.nanoseconds / 1000000));
  } else {
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", b.year, b.month, b.day, b.hour, b.minute,
                  b.second);
  }
  return buffer;
}

std::string DateFormat::iso8601Full(Date date) {
  const auto b = breakDown(date);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%09lldZ", b.year, b.month, b.day, b.hour,
                b.minute, b.second, static_cast<long long>(b.nanoseconds));
  return buffer;
}

std::optional<Date> DateFormat::parseIso8601(std::string_view text) {
  Reader reader(text);
  Fields f;
  int monthValue = 0;
  int dayValue = 0;
  if (!reader.number(4, 4, f.year) || !reader.accept('-') || !reader.number(2, 2, monthValue) || !reader.accept('-') ||
      !reader.number(2, 2, dayValue) || !reader.acceptAny("Tt ") || !reader.number(2, 2, f.hour) ||
      !reader.accept(':') || !reader.number(2, 2, f.minute) || !reader.accept(':') || !reader.number(2, 2, f.second)) {
    return std::nullopt;
  }
  f.month = static_cast<unsigned>(monthValue);
  f.day = static_cast<unsigned>(dayValue);
  if (reader.acceptAny(".,")) {
    int digits = 0;
    std::int64_t fraction = 0;
    while (std::isdigit(static_cast<unsigned char>(reader.peek()))) {
      if (digits < 9) {
        fraction = fraction * 10 + (reader.peek() - '0');
        ++digits;
      } else {
        ++digits;  // beyond nanoseconds: cut
      }
      reader.accept(reader.peek());
    }
    if (digits == 0) return std::nullopt;
    for (int i = std::min(digits, 9); i < 9; ++i) fraction *= 10;
    f.nanoseconds = fraction;
  }
  if (!reader.acceptAny("Zz") && !numericOffset(reader, true, f.offsetSeconds)) {
    return std::nullopt;
  }
  if (!reader.atEnd()) return std::nullopt;
  return assemble(f);
}

std::string DateFormat::httpDate(Date date) {
  const auto b = breakDown(date);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s, %02u %s %04d %02d:%02d:%02d GMT", kWeekdays[b.weekday], b.day,
                kMonths[b.month - 1], b.year, b.hour, b.minute, b.second);
  return buffer;
}

std::optional<Date> DateFormat::parseHttpDate(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  Reader reader(text);
  Fields f;
  int dayValue = 0;

  const bool hasWeekday = std::isalpha(static_cast<unsigned char>(reader.peek()));
  if (hasWeekday && !isWeekdayName(reader.word())) return std::nullopt;

  if (hasWeekday && !reader.accept(',')) {
    // asctime: "Sun Nov  6 08:49:37 1994"
    if (reader.skipSpaces() == 0 || !monthWord(reader, f) || reader.skipSpaces() == 0 ||
        !reader.number(1, 2, dayValue) || reader.skipSpaces() == 0 || !timeOfDay(reader, f) ||
        reader.skipSpaces() == 0 || !reader.number(4, 4, f.year) || !reader.atEnd()) {
      return std::nullopt;
    }
    f.day = static_cast<unsigned>(dayValue);
    return assemble(f);
  }

  reader.skipSpaces();
  if (!reader.number(1, 2, dayValue)) return std::nullopt;
  f.day = static_cast<unsigned>(dayValue);
  if (reader.accept('-')) {
    // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT" (four-digit years accepted too)
    const std::size_t yearStart = reader.position() + 4;  // after "Mon-"
    if (!monthWord(reader, f) || !reader.accept('-') || !reader.number(2, 4, f.year)) {
      return std::nullopt;
    }
    const std::size_t yearDigits = reader.position() - yearStart;
    if (yearDigits == 2) {
      f.year += f.year < 70 ? 2000 : 1900;
    } else if (yearDigits != 4) {
      return std::nullopt;
    }
  } else {
    // RFC 1123 and "EEE, d MMM yyyy H:m:s z"
    if (reader.skipSpaces() == 0 || !monthWord(reader, f) || reader.skipSpaces() == 0 || !reader.number(4, 4, f.year)) {
      return std::nullopt;
    }
  }
  if (reader.skipSpaces() == 0 || !timeOfDay(reader, f) || reader.skipSpaces() == 0 || !httpZone(reader, f) ||
      !reader.atEnd()) {
    return std::nullopt;
  }
  return assemble(f);
}

}  // namespace vx
