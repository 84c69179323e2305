// The crash-time formatter both crash libraries print through: its format table and cutting.
#include "platform/darwin/AsyncFormat.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char buffer[256];
  va_list args;
  va_start(args, pattern);
  const std::size_t length = vx::async_vformat(buffer, sizeof buffer, pattern, args);
  va_end(args);
  EXPECT_EQ(length, std::strlen(buffer));
  return std::string(buffer, length);
}

// For patterns the compiler's format check would refuse on purpose.
std::string unchecked(const char* pattern, ...) {
  char buffer[256];
  va_list args;
  va_start(args, pattern);
  const std::size_t length = vx::async_vformat(buffer, sizeof buffer, pattern, args);
  va_end(args);
  return std::string(buffer, length);
}

// Each conversion, flag, width and length modifier, beside what the C library prints where
// the two agree.
TEST(AsyncFormatTest, FormatTable) {
  struct Case {
    std::string actual;
    const char* expected;
  };
  void* pointer = reinterpret_cast<void*>(0xbeef);
  const Case cases[] = {
      {format("plain text"), "plain text"},
      {format("%d|%i|%u", -42, 17, 4000000000u), "-42|17|4000000000"},
      {format("%x|%X|%o", 255u, 255u, 8u), "ff|FF|10"},
      {format("%c%c", 'o', 'k'), "ok"},
      {unchecked("%s|%s", "text", static_cast<const char*>(nullptr)), "text|(null)"},
      {format("%p", pointer), "0xbeef"},
      {format("100%%"), "100%"},
      {unchecked("%5d|%-5d|%05d|%-05d", 12, 12, -12, 12), "   12|12   |-0012|12   "},
      {format("%*d|%*d", 4, 7, -4, 7), "   7|7   "},
      {format("%0*llx", 16, 0xabcull), "0000000000000abc"},
      {unchecked("%010p", pointer), "0x0000beef"},
      {format("%.3s|%.*s|%6.2s|%-4c|", "abcdef", 2, "xyz", "abc", 'q'), "abc|xy|    ab|q   |"},
      {unchecked("%hhd|%hhu|%hd|%hu", 300, 300u, 70000, 70000u), "44|44|4464|4464"},
      {format("%ld|%lu", LONG_MIN, ULONG_MAX), "-9223372036854775808|18446744073709551615"},
      {format("%lld|%llu", LLONG_MIN, ULLONG_MAX), "-9223372036854775808|18446744073709551615"},
      {format("%jd|%zu|%td", static_cast<intmax_t>(-7), static_cast<size_t>(9), static_cast<ptrdiff_t>(-3)), "-7|9|-3"},
      {format("%+d|% d|%#x", 5, 5, 255u), "5|5|ff"},
      {format("%g|%f|%e", 1.5, 0.1, 1e300), "1.5|0.1|1e+300"},
      {format("%g|%g|%g", NAN, INFINITY, -INFINITY), "nan|inf|-inf"},
      {format("%08g", -2.5), "-00002.5"},
      {unchecked("%q|%"), "%q|"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.actual, c.expected);
  }
}

// Where the C library's output is defined for the same arguments, ours is the same.
TEST(AsyncFormatTest, AgreesWithTheCLibraryOnIntegersAndStrings) {
  const int values[] = {0, 1, -1, 9, -10, 123456, INT_MIN, INT_MAX};
  const char* patterns[] = {"%d", "%8d", "%-8d|", "%08d", "%u", "%x", "%08X", "%o", "%12o"};
  for (const char* pattern : patterns) {
    for (int value : values) {
      char expected[64];
      char actual[64];
      std::snprintf(expected, sizeof expected, pattern, value);
      vx::async_format(actual, sizeof actual, pattern, value);
      EXPECT_STREQ(actual, expected) << pattern << " " << value;
    }
  }
}

TEST(AsyncFormatTest, CutsToTheBufferAndAlwaysTerminates) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(vx::async_format(buffer, 4, "%s", "abcdef"), 3u);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(buffer[4], 'x');  // nothing past the size given
  EXPECT_EQ(vx::async_format(buffer, 1, "%d", 12345), 0u);
  EXPECT_STREQ(buffer, "");
  buffer[0] = 'k';
  EXPECT_EQ(vx::async_format(buffer, 0, "%d", 1), 0u);
  EXPECT_EQ(buffer[0], 'k');
  EXPECT_EQ(vx::async_format(nullptr, 8, "%d", 1), 0u);
  // Huge widths are bounded rather than written forever.
  char wide[8192];
  EXPECT_EQ(vx::async_format(wide, sizeof wide, "%99999d", 1), 4096u);
}

TEST(AsyncFormatTest, NumbersAndTheirBufferRule) {
  char buffer[32];
  EXPECT_EQ(vx::async_format_uint64(UINT64_MAX, buffer, sizeof buffer), 20);
  EXPECT_STREQ(buffer, "18446744073709551615");
  EXPECT_EQ(vx::async_format_int64(INT64_MIN, buffer, sizeof buffer), 20);
  EXPECT_STREQ(buffer, "-9223372036854775808");
  EXPECT_EQ(vx::async_format_hex(0xbeef, 8, true, buffer, sizeof buffer), 8);
  EXPECT_STREQ(buffer, "0000BEEF");
  std::strcpy(buffer, "keep");
  EXPECT_EQ(vx::async_format_uint64(12345, buffer, 5), -1);
  EXPECT_STREQ(buffer, "keep");
  EXPECT_EQ(vx::async_format_double(0.1, buffer, sizeof buffer), 3);
  EXPECT_STREQ(buffer, "0.1");
  EXPECT_EQ(vx::async_format_fixed(1.5, 6, buffer, sizeof buffer), 8);
  EXPECT_STREQ(buffer, "1.500000");
  double value = 0;
  EXPECT_TRUE(vx::async_parse_double("2.5e-3", 6, &value));
  EXPECT_EQ(value, 2.5e-3);
  EXPECT_FALSE(vx::async_parse_double("1.", 2, &value));
  EXPECT_EQ(vx::async_strlen(nullptr), 0u);
  EXPECT_EQ(vx::async_strlen("four"), 4u);
  EXPECT_STREQ(vx::async_errno_text(ENOENT), "No such file or directory");
  EXPECT_STREQ(vx::async_errno_text(-12345), "Unknown error");
}

}  // namespace
