#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"

#include "crash-engine/async/HXCrashAsync.h"
#include "platform/darwin/AsyncFormat.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace {

std::string formatDouble(double value) {
  char buffer[40];
  const int length = plovercrashformat_double(value, buffer, sizeof buffer);
  EXPECT_GE(length, 0) << value;
  return std::string(buffer, length < 0 ? 0 : length);
}

// The parser takes no sign (the JSON decoder handles it), so it is applied here.
double parse(const std::string& text) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::string digits = negative ? text.substr(1) : text;
  double value = -12345;
  EXPECT_TRUE(plovercrashformat_parseDouble(digits.data(), static_cast<int>(digits.size()), &value)) << text;
  return negative ? -value : value;
}

TEST(PloverCrashFormatTest, IntegersIncludingExtremes) {
  char buffer[32];
  struct Case {
    std::int64_t value;
    const char* text;
  };
  for (const Case& c : {Case{0, "0"}, Case{-1, "-1"}, Case{1234567890, "1234567890"},
                        Case{INT64_MAX, "9223372036854775807"}, Case{INT64_MIN, "-9223372036854775808"}}) {
    const int length = plovercrashformat_int64(c.value, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, c.text);
    EXPECT_EQ(length, static_cast<int>(std::strlen(c.text)));
  }
  EXPECT_EQ(plovercrashformat_uint64(UINT64_MAX, buffer, sizeof buffer), 20);
  EXPECT_STREQ(buffer, "18446744073709551615");
  // Too small a buffer leaves it untouched and says so.
  std::strcpy(buffer, "keep");
  EXPECT_EQ(plovercrashformat_uint64(12345, buffer, 5), -1);
  EXPECT_STREQ(buffer, "keep");
}

TEST(PloverCrashFormatTest, Hex) {
  char buffer[32];
  EXPECT_EQ(plovercrashformat_hex(0xbeef, 8, true, buffer, sizeof buffer), 8);
  EXPECT_STREQ(buffer, "0000BEEF");
  plovercrashformat_hex(UINT64_MAX, 1, false, buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "ffffffffffffffff");
  plovercrashformat_hex(0, 1, false, buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "0");
}

TEST(PloverCrashFormatTest, DoubleLayoutFollowsPercentG) {
  struct Case {
    double value;
    const char* text;
  };
  for (const Case& c :
       {Case{0.0, "0"}, Case{-0.0, "-0"}, Case{1500.0, "1500"}, Case{0.1, "0.1"}, Case{-2.5, "-2.5"},
        Case{1e-5, "1e-05"}, Case{1.5e-7, "1.5e-07"}, Case{0.0001, "0.0001"}, Case{1e300, "1e+300"},
        Case{1e17, "1e+17"}, Case{1e16, "10000000000000000"}, Case{123456.789, "123456.789"},
        Case{5e-324, "4.94065645841247e-324"}, Case{1.7976931348623157e308, "1.7976931348623157e+308"}}) {
    EXPECT_EQ(formatDouble(c.value), c.text);
  }
  char buffer[40];
  EXPECT_EQ(plovercrashformat_double(std::nan(""), buffer, sizeof buffer), -1);
  EXPECT_EQ(plovercrashformat_double(-INFINITY, buffer, sizeof buffer), -1);
}

// Every double must read back exactly, through our parser and through the C library's.
TEST(PloverCrashFormatTest, DoublesRoundTripAndAgreeWithTheCLibrary) {
  std::mt19937_64 random(20261209);
  int checked = 0;
  for (int i = 0; i < 200000; ++i) {
    std::uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value)) {
      continue;
    }
    if (i % 4 == 0) {
      // Also plenty of everyday magnitudes.
      value = std::ldexp(static_cast<double>(random() >> 11), -static_cast<int>(random() % 80));
    }
    const std::string text = formatDouble(value);
    ASSERT_EQ(parse(text), value) << text;
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    // Shortest: never longer than what the standard library needs.
    char reference[64];
    const auto result = std::to_chars(reference, reference + sizeof reference, value);
    std::string referenceText(reference, result.ptr);
    std::string digits;
    for (char c : text) {
      if (c == 'e') break;
      if (c >= '0' && c <= '9') digits += c;
    }
    while (digits.size() > 1 && digits.front() == '0') digits.erase(digits.begin());
    std::string referenceDigits;
    for (char c : referenceText) {
      if (c == 'e') break;
      if (c >= '0' && c <= '9') referenceDigits += c;
    }
    while (referenceDigits.size() > 1 && referenceDigits.front() == '0') {
      referenceDigits.erase(referenceDigits.begin());
    }
    while (referenceDigits.size() > 1 && referenceDigits.back() == '0') referenceDigits.pop_back();
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    if (referenceDigits.size() >= 15) {
      EXPECT_LE(digits.size(), referenceDigits.size()) << text << " vs " << referenceText;
    }
    ++checked;
  }
  EXPECT_GT(checked, 100000);
}

TEST(PloverCrashFormatTest, ParsesLikeStrtod) {
  for (const char* text : {"0",
                           "1",
                           "1.5",
                           "1500",
                           "1.5e3",
                           "1E3",
                           "2.5e-3",
                           "123456789012345678901234567890",
                           "0.000000000000000000000000000001",
                           "3.141592653589793238462643383279",
                           "1e308",
                           "1e-320",
                           "4.9406564584124654e-324",
                           "2.2250738585072014e-308",
                           "0.1",
                           "0.30000000000000004",
                           "9007199254740993",
                           "00012",
                           "1e400",
                           "1e-400",
                           "1e99999999999"}) {
    double value = 0;
    ASSERT_TRUE(plovercrashformat_parseDouble(text, static_cast<int>(std::strlen(text)), &value)) << text;
    EXPECT_EQ(value, std::strtod(text, nullptr)) << text;
  }
}

TEST(PloverCrashFormatTest, RejectsWhatIsNotANumber) {
  for (const char* text : {"", "-1", "+1", "1.", ".5", "1e", "1e+", "1.2.3", "1-2", "1 ", "0x10", "1e5e5", "abc"}) {
    double value = 7;
    EXPECT_FALSE(plovercrashformat_parseDouble(text, static_cast<int>(std::strlen(text)), &value)) << text;
    EXPECT_EQ(value, 7);
  }
}

TEST(PloverCrashFormatTest, PrintfSubsetMatchesTheCLibrary) {
  char ours[256];
  char theirs[256];
  // The formats come from the table below: the C library is the reference for each.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
  auto check = [&](const char* format, auto... args) {
    plovercrashformat_format(ours, sizeof ours, format, args...);
    std::snprintf(theirs, sizeof theirs, format, args...);
    EXPECT_STREQ(ours, theirs) << format;
  };
#pragma GCC diagnostic pop
  check("plain %% text");
  check("%d %i %u", -42, 7, 4000000000u);
  check("%ld %lld %llu", -5L, INT64_MIN, UINT64_MAX);
  check("%zu %x %X %08x %o", static_cast<std::size_t>(99), 255u, 255u, 0xabcu, 8u);
  check("[%5d] [%-5d] [%05d] [%05d]", 42, 42, 42, -42);
  check("[%s] [%10s] [%-10s] [%.3s] [%c]", "abc", "abc", "abc", "abcdef", 'z');
  check("%02d:%02d:%02d", 1, 2, 3);
  check("%s: %s (%u): %s: ", "ERROR", "file.cpp", 12u, "function");
  const char* volatile none = nullptr;  // the compiler would otherwise refuse the null text
  plovercrashformat_format(ours, sizeof ours, "%s", none);
  EXPECT_STREQ(ours, "(null)");
  plovercrashformat_format(ours, sizeof ours, "%p", reinterpret_cast<void*>(0x1234));
  EXPECT_STREQ(ours, "0x1234");
  plovercrashformat_format(ours, sizeof ours, "%g %g", 1500.0, 0.1);
  EXPECT_STREQ(ours, "1500 0.1");
}

TEST(PloverCrashFormatTest, PrintfCutsToTheBufferAndTerminates) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(plovercrashformat_format(buffer, sizeof buffer, "%s", "0123456789"), 7);
  EXPECT_STREQ(buffer, "0123456");
}

TEST(PloverCrashFormatTest, ErrorText) {
  EXPECT_STREQ(plovercrashformat_errorText(ENOENT), "No such file or directory");
  EXPECT_STREQ(plovercrashformat_errorText(999999), "Unknown error");
}

// The recorder's and the engine's names print through one formatter: the same text and length.
TEST(PloverCrashFormatTest, BothCrashLibrariesPrintAlike) {
  auto check = [](const char* format, auto... args) {
    char recorder[128];
    char engine[128];
    char shared[128];
    const int recorderLength = plovercrashformat_format(recorder, sizeof recorder, format, args...);
    const std::size_t engineLength = MShxcrash_async_snprintf(engine, sizeof engine, format, args...);
    const std::size_t sharedLength = vx::async_format(shared, sizeof shared, format, args...);
    EXPECT_STREQ(recorder, shared) << format;
    EXPECT_STREQ(engine, shared) << format;
    EXPECT_EQ(static_cast<std::size_t>(recorderLength), sharedLength) << format;
    EXPECT_EQ(engineLength, sharedLength) << format;
  };
  check("%d|%u|%x|%llx|%s|%p|%%", -42, 7u, 255u, 0x1234567890abcdefull, "text", reinterpret_cast<void*>(0x10));
  check("%0*llx|%5d|%-3s|%jd|%zu", 16, 0xabcull, 12, "a", static_cast<intmax_t>(-7), static_cast<size_t>(9));
  check("%hhu|%hd|%.2s|%g", 300u, 70000, "abc", 2.5);
  check("%s", std::string(300, 'x').c_str());
}

}  // namespace
