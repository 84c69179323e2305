// Named system values and the UTF-8 prefix rule.
#include "crash-engine/host/HXCrashSysctl.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

std::size_t validPrefix(const std::string& bytes, std::size_t maximum) {
  return MShxcrash_sysctl_valid_utf8_bytes_max(reinterpret_cast<const std::uint8_t*>(bytes.data()), maximum);
}

TEST(SysctlTest, Utf8PrefixRule) {
  struct Case {
    std::string text;
    std::size_t maximum;
    std::size_t valid;
  };
  const Case cases[] = {
      {"abc\xC3\x28", 5, 3},     // second byte is no continuation byte
      {"\xEF\xBB\xBF", 3, 3},    // only a byte-order mark
      {"ab\xE2\x82\xAC", 4, 2},  // sequence cut by maximum: only the bytes before it
      {"ab\xE2\x82\xAC", 5, 5},
      {"\xC3\xA9t\xC3\xA9", 6, 5},
      {"\xF0\x9F\x98\x80", 5, 4},
      {"a\xFF", 2, 1},  // invalid lead byte
      {"abc", 2, 2},
      {std::string("ab\0cd", 5), 5, 2},  // NUL stops
      {"\xC3", 1, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(validPrefix(c.text, c.maximum), c.valid) << c.text;
  }
  EXPECT_EQ(MShxcrash_sysctl_valid_utf8_bytes(reinterpret_cast<const std::uint8_t*>("abc\xC3\x28")), 3u);
  EXPECT_EQ(MShxcrash_sysctl_valid_utf8_bytes(reinterpret_cast<const std::uint8_t*>("\xEF\xBB\xBF")), 3u);
}

TEST(SysctlTest, StringValuesComeFromTheRunningSystem) {
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  char* release = MShxcrash_sysctl_string("kern.osrelease");
  ASSERT_NE(release, nullptr);
  EXPECT_STREQ(release, names.release);
  std::free(release);
  char* machine = MShxcrash_sysctl_string("hw.machine");
  ASSERT_NE(machine, nullptr);
  EXPECT_STREQ(machine, names.machine);
  std::free(machine);

  errno = 0;
  EXPECT_EQ(MShxcrash_sysctl_string("kern.no.such.value"), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

TEST(SysctlTest, IntegerValues) {
  std::int32_t count = 0;
  ASSERT_TRUE(MShxcrash_sysctl_int("hw.ncpu", &count));
  EXPECT_EQ(count, sysconf(_SC_NPROCESSORS_CONF));
  std::int32_t pageSize = 0;
  ASSERT_TRUE(MShxcrash_sysctl_int("hw.pagesize", &pageSize));
  EXPECT_EQ(pageSize, getpagesize());
  EXPECT_FALSE(MShxcrash_sysctl_int("hw.memsize", &count));  // 8 bytes do not fit in 4
  EXPECT_FALSE(MShxcrash_sysctl_int("kern.no.such.value", &count));
}

}  // namespace
