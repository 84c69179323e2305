#include "platform/foundation/DateFormat.h"

#include <gtest/gtest.h>

#include <clocale>

namespace vx {
namespace {

using namespace std::chrono;

Date at(int y, unsigned m, unsigned d, int hh, int mm, int ss, std::int64_t ns = 0) {
  return time_point_cast<system_clock::duration>(sys_days{year{y} / month{m} / day{d}} + hours(hh) + minutes(mm) +
                                                 seconds(ss) + nanoseconds(ns));
}

TEST(DateFormatTest, FormatsIso8601InUtcWithAndWithoutMilliseconds) {
  const auto date = at(2024, 3, 5, 7, 8, 9, 123456789);
  EXPECT_EQ(DateFormat::iso8601(date), "2024-03-05T07:08:09.123Z");
  EXPECT_EQ(DateFormat::iso8601(date, false), "2024-03-05T07:08:09Z");
  EXPECT_EQ(DateFormat::iso8601Full(date), "2024-03-05T07:08:09.123456789Z");
  EXPECT_EQ(DateFormat::iso8601(Date{}), "1970-01-01T00:00:00.000Z");
  // Before 1970 the milliseconds still count forward from the whole second.
  EXPECT_EQ(DateFormat::iso8601(Date{} - milliseconds(1)), "1969-12-31T23:59:59.999Z");
}

TEST(DateFormatTest, ParsesIso8601Forms) {
  struct Case {
    const char* text;
    Date expected;
  };
  const Case cases[] = {
      {"2024-03-05T07:08:09Z", at(2024, 3, 5, 7, 8, 9)},
      {"2024-03-05T07:08:09.123Z", at(2024, 3, 5, 7, 8, 9, 123000000)},
      {"2024-03-05T07:08:09.1Z", at(2024, 3, 5, 7, 8, 9, 100000000)},
      {"2024-03-05T07:08:09.123456789Z", at(2024, 3, 5, 7, 8, 9, 123456789)},
      {"2024-03-05T07:08:09.1234567891234Z", at(2024, 3, 5, 7, 8, 9, 123456789)},
      {"2024-03-05T09:08:09+02:00", at(2024, 3, 5, 7, 8, 9)},
      {"2024-03-05T09:08:09.500+0200", at(2024, 3, 5, 7, 8, 9, 500000000)},
      {"2024-03-05T02:08:09-05", at(2024, 3, 5, 7, 8, 9)},
      {"2024-03-05T00:30:00+01:00", at(2024, 3, 4, 23, 30, 0)},
      {"2024-03-05t07:08:09z", at(2024, 3, 5, 7, 8, 9)},
      {"2024-03-05 07:08:09Z", at(2024, 3, 5, 7, 8, 9)},
      {"2024-02-29T00:00:00Z", at(2024, 2, 29, 0, 0, 0)},
  };
  for (const auto& c : cases) {
    const auto parsed = DateFormat::parseIso8601(c.text);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_EQ(*parsed, c.expected) << c.text;
  }
}

TEST(DateFormatTest, RejectsMalformedIso8601) {
  for (const char* bad :
       {"", "2024-03-05", "2024-03-05T07:08:09", "2024-03-05T07:08Z", "2024-3-05T07:08:09Z", "2024-13-05T07:08:09Z",
        "2023-02-29T07:08:09Z", "2024-04-31T00:00:00Z", "2024-03-05T24:00:00Z", "2024-03-05T07:60:09Z",
        "2024-03-05T07:08:60Z", "2024-03-05T07:08:09.Z", "2024-03-05T07:08:09+2:00", "2024-03-05T07:08:09+24:00",
        "2024-03-05T07:08:09Z ", "x2024-03-05T07:08:09Z", "2024-03-05T07:08:09ZZ"}) {
    EXPECT_FALSE(DateFormat::parseIso8601(bad).has_value()) << bad;
  }
}

TEST(DateFormatTest, Iso8601RoundTrips) {
  const auto now = system_clock::now();
  EXPECT_EQ(*DateFormat::parseIso8601(DateFormat::iso8601Full(now)), now);
  EXPECT_EQ(*DateFormat::parseIso8601(DateFormat::iso8601(now)), floor<milliseconds>(now));
  EXPECT_EQ(*DateFormat::parseIso8601(DateFormat::iso8601(now, false)), floor<seconds>(now));
}

TEST(DateFormatTest, HandlesTheEdgesOfTheClockRange) {
  const auto latest = Date::max();
  const auto earliest = Date::min();
  EXPECT_EQ(DateFormat::iso8601Full(latest), "2262-04-11T23:47:16.854775807Z");
  EXPECT_EQ(DateFormat::iso8601Full(earliest), "1677-09-21T00:12:43.145224192Z");
  EXPECT_EQ(DateFormat::parseIso8601(DateFormat::iso8601Full(latest)), latest);
  EXPECT_EQ(DateFormat::parseIso8601(DateFormat::iso8601Full(earliest)), earliest);
  // Dates the clock cannot hold are refused rather than wrapped around.
  for (const char* outside : {"0001-01-01T00:00:00Z", "9999-12-31T23:59:59Z", "2262-04-11T23:47:16.854775808Z",
                              "1677-09-21T00:12:43.145224191Z"}) {
    EXPECT_FALSE(DateFormat::parseIso8601(outside).has_value()) << outside;
  }
  EXPECT_FALSE(DateFormat::parseHttpDate("Fri, 31 Dec 9999 23:59:59 GMT").has_value());
}

TEST(DateFormatTest, FormatsAndParsesHttpDates) {
  const auto date = at(1994, 11, 6, 8, 49, 37);
  EXPECT_EQ(DateFormat::httpDate(date), "Sun, 06 Nov 1994 08:49:37 GMT");
  struct Case {
    const char* text;
    Date expected;
  };
  const Case cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", date},
      {"Sun, 6 Nov 1994 8:49:37 GMT", date},
      {"Sun, 6 Nov 1994 8:9:7 UTC", at(1994, 11, 6, 8, 9, 7)},
      {"sun, 06 nov 1994 08:49:37 gmt", date},
      {"Sun, 06 Nov 1994 10:49:37 +0200", date},
      {"06 Nov 1994 08:49:37 GMT", date},
      {"Sunday, 06-Nov-94 08:49:37 GMT", date},
      {"Thursday, 01-Jan-70 00:00:00 GMT", Date{}},
      {"Wednesday, 09-Dec-26 21:00:00 GMT", at(2026, 12, 9, 21, 0, 0)},
      {"Sun Nov  6 08:49:37 1994", date},
      {"Sun Nov 16 08:49:37 1994", at(1994, 11, 16, 8, 49, 37)},
      {"  Sun, 06 Nov 1994 08:49:37 GMT  ", date},
  };
  for (const auto& c : cases) {
    const auto parsed = DateFormat::parseHttpDate(c.text);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_EQ(*parsed, c.expected) << c.text;
  }
  for (const char* bad :
       {"", "Sun, 06 Nov 1994", "Sun, 06 Foo 1994 08:49:37 GMT", "Sux, 06 Nov 1994 08:49:37 GMT",
        "Sun, 31 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 1994 25:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 PST",
        "Sun, 06 Nov 94 08:49:37 GMT", "Sun Nov  6 08:49:37", "Sun, 06 Nov 1994 08:49:37 GMT junk"}) {
    EXPECT_FALSE(DateFormat::parseHttpDate(bad).has_value()) << bad;
  }
}

TEST(DateFormatTest, IgnoresTheProcessLocale) {
  // Whatever locale is installed, names stay English.
  const char* previous = std::setlocale(LC_ALL, nullptr);
  const std::string saved = previous ? previous : "C";
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "C.UTF-8"}) {
    if (std::setlocale(LC_ALL, name) == nullptr) continue;
    EXPECT_EQ(DateFormat::httpDate(at(1994, 11, 6, 8, 49, 37)), "Sun, 06 Nov 1994 08:49:37 GMT") << name;
    EXPECT_TRUE(DateFormat::parseHttpDate("Tue, 01 Dec 2026 10:00:00 GMT").has_value()) << name;
  }
  std::setlocale(LC_ALL, saved.c_str());
}

}  // namespace
}  // namespace vx
