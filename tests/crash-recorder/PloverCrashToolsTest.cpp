// Date text, ids, debugger detection, string checks and the system-fact queries.
#include "reporting/crash-recorder/Recording/PloverCrashDate.h"
#include "reporting/crash-recorder/Recording/PloverCrashDebug.h"
#include "reporting/crash-recorder/Recording/PloverCrashID.h"
#include "reporting/crash-recorder/Recording/PloverCrashString.h"
#include "reporting/crash-recorder/Recording/PloverCrashSysCtl.h"

#include "crash-engine/host/HXCrashSysctl.h"
#include "crash-recorder/TemporaryFolder.h"
#include "platform/darwin/DMI.h"
#include "platform/darwin/Sysctl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <sys/ptrace.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

TEST(PloverCrashDateTest, UtcText) {
  char buffer[21];
  ASSERT_TRUE(plovercrashdate_utcStringFromTimestamp(0, buffer));
  EXPECT_STREQ(buffer, "1970-01-01T00:00:00Z");
  EXPECT_EQ(std::strlen(buffer), 20u);
  struct Case {
    std::int64_t seconds;
    const char* text;
  };
  for (const Case& c : {Case{951782400, "2000-02-29T00:00:00Z"}, Case{1796852741, "2026-12-09T21:45:41Z"},
                        Case{-1, "1969-12-31T23:59:59Z"}, Case{253402300799, "9999-12-31T23:59:59Z"},
                        Case{-62167219200, "0000-01-01T00:00:00Z"}}) {
    ASSERT_TRUE(plovercrashdate_utcStringFromTimestamp(c.seconds, buffer));
    EXPECT_STREQ(buffer, c.text);
  }
  // Agrees with the C library over a spread of times.
  for (std::int64_t t = -2000000000; t < 4000000000; t += 7777777) {
    const time_t value = static_cast<time_t>(t);
    struct tm broken = {};
    gmtime_r(&value, &broken);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%SZ", &broken);
    ASSERT_TRUE(plovercrashdate_utcStringFromTimestamp(t, buffer));
    ASSERT_STREQ(buffer, expected);
  }
  // Five-digit years would not fit the 21 bytes: refused instead of overflowing.
  char guarded[22];
  guarded[21] = 'G';
  EXPECT_FALSE(plovercrashdate_utcStringFromTimestamp(253402300800, guarded));
  EXPECT_STREQ(guarded, "");
  EXPECT_EQ(guarded[21], 'G');
}

TEST(PloverCrashIDTest, UpperCaseVersion4Uuids) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    char id[37];
    plovercrashid_generate(id);
    const std::string text(id);
    ASSERT_EQ(text.size(), 36u);
    for (int p : {8, 13, 18, 23}) {
      ASSERT_EQ(text[static_cast<std::size_t>(p)], '-');
    }
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos);
    EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(PloverCrashDebugTest, NotTracedNormally) { EXPECT_FALSE(plovercrashdebug_isBeingTraced()); }

TEST(PloverCrashDebugTest, TracedChildSeesItsTracer) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
      _exit(3);  // tracing not permitted here
    }
    _exit(plovercrashdebug_isBeingTraced() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3) {
    GTEST_SKIP() << "ptrace is not permitted in this environment";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PloverCrashStringTest, NullTerminatedUTF8) {
  const char good[] = "abc\xc3\xa9";
  EXPECT_TRUE(plovercrashstring_isNullTerminatedUTF8String(good, 4, 10));
  EXPECT_TRUE(plovercrashstring_isNullTerminatedUTF8String(good, 5, 6));
  EXPECT_FALSE(plovercrashstring_isNullTerminatedUTF8String(good, 6, 10));  // too short
  EXPECT_FALSE(plovercrashstring_isNullTerminatedUTF8String(good, 1, 5));   // no zero in reach
  EXPECT_FALSE(plovercrashstring_isNullTerminatedUTF8String(good, 1, 4));   // cut sequence
  EXPECT_FALSE(plovercrashstring_isNullTerminatedUTF8String("\x80", 0, 2));
  EXPECT_FALSE(plovercrashstring_isNullTerminatedUTF8String("a\x07", 0, 3));
  EXPECT_TRUE(plovercrashstring_isNullTerminatedUTF8String("tab\tnl\ncr\r", 0, 20));
  EXPECT_FALSE(plovercrashstring_isNullTerminatedUTF8String("abc", 0, 0));
  EXPECT_TRUE(plovercrashstring_isNullTerminatedUTF8String("\xf0\x9f\x98\x80", 1, 8));
  EXPECT_FALSE(plovercrashstring_isNullTerminatedUTF8String("\xc3x", 0, 8));
  // Forms that are not UTF-8 at all, though they look like it: a 5-byte form (stack bytes that
  // once made a report strict readers refused), an overlong, a surrogate, beyond U+10FFFF.
  for (const char* bad : {"\xf8\x8c\xaa\xa0\x9dU", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
    EXPECT_FALSE(plovercrashstring_isNullTerminatedUTF8String(bad, 0, 16)) << bad;
  }
}

TEST(PloverCrashStringTest, ValidUTF8) {
  EXPECT_TRUE(plovercrashstring_isValidUTF8("plain", 5));
  EXPECT_TRUE(plovercrashstring_isValidUTF8("\xf0\x9f\x98\x80", 4));
  EXPECT_FALSE(plovercrashstring_isValidUTF8("\xf0\x9f\x98", 3));
  EXPECT_FALSE(plovercrashstring_isValidUTF8("\xc0\xaf", 2));          // overlong
  EXPECT_FALSE(plovercrashstring_isValidUTF8("\xed\xa0\x80", 3));      // surrogate
  EXPECT_FALSE(plovercrashstring_isValidUTF8("\xf4\x90\x80\x80", 4));  // above U+10FFFF
}

TEST(PloverCrashStringTest, HexValue) {
  std::uint64_t value = 0;
  const char text[] = "at 0xg then 0x1f, done";
  EXPECT_TRUE(plovercrashstring_extractHexValue(text, sizeof text - 1, &value));
  EXPECT_EQ(value, 31u);
  EXPECT_TRUE(plovercrashstring_extractHexValue("0xDEADbeef", 10, &value));
  EXPECT_EQ(value, 0xdeadbeefu);
  EXPECT_TRUE(plovercrashstring_extractHexValue("0x1234", 4, &value));  // the length bounds it
  EXPECT_EQ(value, 0x12u);
  EXPECT_FALSE(plovercrashstring_extractHexValue("no number 0x", 12, &value));
  EXPECT_FALSE(plovercrashstring_extractHexValue("0x12345678901234567", 19, &value));
}

std::string firstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

TEST(PloverCrashSysCtlTest, FactsFromUnameAndSysconf) {
  struct utsname system = {};
  ASSERT_EQ(uname(&system), 0);
  char buffer[512];
  struct Case {
    const char* name;
    int major;
    int minor;
    const char* expected;
  };
  for (const Case& c : {Case{"kern.ostype", PLOVERCRASH_CTL_KERN, PLOVERCRASH_KERN_OSTYPE, system.sysname},
                        Case{"kern.osrelease", PLOVERCRASH_CTL_KERN, PLOVERCRASH_KERN_OSRELEASE, system.release},
                        Case{"kern.version", PLOVERCRASH_CTL_KERN, PLOVERCRASH_KERN_VERSION, system.version},
                        Case{"kern.hostname", PLOVERCRASH_CTL_KERN, PLOVERCRASH_KERN_HOSTNAME, system.nodename},
                        Case{"hw.machine", PLOVERCRASH_CTL_HW, PLOVERCRASH_HW_MACHINE, system.machine}}) {
    const int size = plovercrashsysctl_stringForName(c.name, buffer, sizeof buffer);
    EXPECT_EQ(size, static_cast<int>(std::strlen(c.expected)) + 1) << c.name;
    EXPECT_STREQ(buffer, c.expected) << c.name;
    EXPECT_EQ(plovercrashsysctl_stringForName(c.name, nullptr, 0), size) << c.name;
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(plovercrashsysctl_string(c.major, c.minor, buffer, sizeof buffer), size) << c.name;
    EXPECT_STREQ(buffer, c.expected) << c.name;
  }
  char small[2];
  EXPECT_EQ(plovercrashsysctl_stringForName("kern.ostype", small, sizeof small), 0);

  const auto memory =
      static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  EXPECT_EQ(plovercrashsysctl_uint64ForName("hw.memsize"), memory);
  EXPECT_EQ(plovercrashsysctl_uint64(PLOVERCRASH_CTL_HW, PLOVERCRASH_HW_MEMSIZE), memory);
  EXPECT_EQ(plovercrashsysctl_int64ForName("hw.memsize"), static_cast<std::int64_t>(memory));
  if (memory > INT32_MAX) {
    EXPECT_EQ(plovercrashsysctl_int32ForName("hw.memsize"), 0);  // does not fit: a failure
  }
  EXPECT_EQ(plovercrashsysctl_int32ForName("hw.ncpu"), sysconf(_SC_NPROCESSORS_CONF));
  EXPECT_EQ(plovercrashsysctl_int32(PLOVERCRASH_CTL_HW, PLOVERCRASH_HW_NCPU), sysconf(_SC_NPROCESSORS_CONF));
  EXPECT_EQ(plovercrashsysctl_uint32ForName("hw.pagesize"), static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE)));
  EXPECT_EQ(plovercrashsysctl_uint32(PLOVERCRASH_CTL_HW, PLOVERCRASH_HW_BYTEORDER), 1234u);
}

TEST(PloverCrashSysCtlTest, ProcFactsAndFailures) {
  // Boot time from /proc/stat.
  std::ifstream stat("/proc/stat");
  std::string line;
  long long bootTime = 0;
  while (std::getline(stat, line)) {
    if (line.rfind("btime ", 0) == 0) {
      bootTime = std::stoll(line.substr(6));
    }
  }
  ASSERT_GT(bootTime, 0);
  EXPECT_EQ(plovercrashsysctl_timevalForName("kern.boottime").tv_sec, bootTime);
  EXPECT_EQ(plovercrashsysctl_timeval(PLOVERCRASH_CTL_KERN, PLOVERCRASH_KERN_BOOTTIME).tv_sec, bootTime);

  // Other kernel names read /proc/sys.
  const std::string pidMax = firstLine("/proc/sys/kernel/pid_max");
  ASSERT_FALSE(pidMax.empty());
  EXPECT_EQ(plovercrashsysctl_int64ForName("kern.pid_max"), std::stoll(pidMax));
  const std::string osType = firstLine("/proc/sys/kernel/ostype");
  char buffer[256];
  EXPECT_GT(plovercrashsysctl_stringForName("kern.ostype", buffer, sizeof buffer), 0);
  EXPECT_EQ(osType, buffer);

  // Unknown names, wrong kinds and names that try to leave /proc/sys are failures.
  EXPECT_EQ(plovercrashsysctl_int32ForName("kern.no_such_fact"), 0);
  EXPECT_EQ(plovercrashsysctl_int32ForName("nothing"), 0);
  EXPECT_EQ(plovercrashsysctl_int32ForName("kern.ostype"), 0);
  EXPECT_EQ(plovercrashsysctl_stringForName("kern.boottime", buffer, sizeof buffer), 0);
  EXPECT_EQ(plovercrashsysctl_stringForName("kern../../etc/passwd", buffer, sizeof buffer), 0);
  EXPECT_EQ(plovercrashsysctl_int32(99, 1), 0);
  EXPECT_EQ(plovercrashsysctl_timevalForName("hw.ncpu").tv_sec, 0);
}

TEST(PloverCrashSysCtlTest, ProcessInfo) {
  PloverCrashProcessInfo info;
  ASSERT_TRUE(plovercrashsysctl_getProcessInfo(getpid(), &info));
  EXPECT_EQ(info.pid, getpid());
  EXPECT_EQ(info.parentPid, getppid());
  EXPECT_EQ(info.name, firstLine("/proc/self/comm"));
  EXPECT_EQ(info.tracerPid, 0);
  EXPECT_EQ(info.flags & PLOVERCRASH_P_TRACED, 0u);
  const time_t now = time(nullptr);
  EXPECT_LE(info.startTime.tv_sec, now);
  EXPECT_GT(info.startTime.tv_sec, now - 3600);  // this test process started recently
  EXPECT_FALSE(plovercrashsysctl_getProcessInfo(-5, &info));
}

// The recorder's and the engine's names read their system facts through one reader.
TEST(PloverCrashSysCtlTest, BothCrashLibrariesReadTheSameFacts) {
  for (const char* name : {"kern.ostype", "kern.osrelease", "kern.version", "hw.machine", "kern.random.boot_id"}) {
    char recorder[512];
    ASSERT_GT(plovercrashsysctl_stringForName(name, recorder, sizeof recorder), 0) << name;
    char* engine = MShxcrash_sysctl_string(name);
    ASSERT_NE(engine, nullptr) << name;
    vx::sysctl_value shared;
    ASSERT_EQ(vx::sysctl_read(name, &shared), 0) << name;
    EXPECT_STREQ(recorder, shared.text) << name;
    EXPECT_STREQ(engine, shared.text) << name;
    std::free(engine);
  }
  for (const char* name : {"hw.ncpu", "hw.activecpu", "hw.pagesize", "hw.byteorder"}) {
    std::int32_t engine = 0;
    ASSERT_TRUE(MShxcrash_sysctl_int(name, &engine)) << name;
    vx::sysctl_value shared;
    ASSERT_EQ(vx::sysctl_read(name, &shared), 0) << name;
    EXPECT_EQ(plovercrashsysctl_int32ForName(name), shared.integer) << name;
    EXPECT_EQ(engine, shared.integer) << name;
  }
  // The model: the same text, or the same failure on machines without firmware tables.
  char recorder[512] = {};
  const int recorderSize = plovercrashsysctl_stringForName("hw.model", recorder, sizeof recorder);
  char* engine = MShxcrash_sysctl_string("hw.model");
  char dmi[512] = {};
  const ssize_t dmiLength = vx::dmi_read("product_name", dmi, sizeof dmi);
  EXPECT_EQ(recorderSize, dmiLength < 0 ? 0 : static_cast<int>(dmiLength) + 1);
  EXPECT_EQ(engine != nullptr, dmiLength >= 0);
  if (engine != nullptr) {
    EXPECT_STREQ(engine, dmi);
    EXPECT_STREQ(recorder, dmi);
  }
  std::free(engine);

  PloverCrashProcessInfo info;
  ASSERT_TRUE(plovercrashsysctl_getProcessInfo(getpid(), &info));
  vx::kinfo_proc record;
  ASSERT_EQ(vx::sysctl_proc_pid(getpid(), &record), 0);
  EXPECT_EQ(info.parentPid, record.ppid);
  EXPECT_STREQ(info.name, record.comm);
  EXPECT_EQ(info.startTime.tv_sec, record.start.tv_sec);
  EXPECT_EQ(info.startTime.tv_usec, record.start.tv_usec);
}

// The address the recorder should report: the first interface by index that is no loopback and
// has a non-zero 6-byte address, as /sys describes it.
std::vector<unsigned char> expectedMacAddress() {
  std::vector<std::pair<int, std::string>> interfaces;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net", error)) {
    const std::string name = entry.path().filename();
    interfaces.emplace_back(std::stoi(firstLine(entry.path() / "ifindex")), name);
  }
  std::sort(interfaces.begin(), interfaces.end());
  for (const auto& [index, name] : interfaces) {
    const std::string base = "/sys/class/net/" + name;
    const unsigned flags = static_cast<unsigned>(std::stoul(firstLine(base + "/flags"), nullptr, 16));
    const std::string type = firstLine(base + "/type");  // 1 Ethernet, 6 IEEE 802
    if ((flags & 0x8) != 0 || firstLine(base + "/addr_len") != "6" || (type != "1" && type != "6")) {
      continue;
    }
    std::vector<unsigned char> address;
    std::stringstream text(firstLine(base + "/address"));
    std::string part;
    bool nonZero = false;
    while (std::getline(text, part, ':')) {
      address.push_back(static_cast<unsigned char>(std::stoul(part, nullptr, 16)));
      nonZero = nonZero || address.back() != 0;
    }
    if (nonZero && address.size() == 6) {
      return address;
    }
  }
  return {};
}

TEST(PloverCrashSysCtlTest, MacAddressOfTheFirstRealInterface) {
  const std::vector<unsigned char> expected = expectedMacAddress();
  unsigned char address[6] = {};
  const bool found = plovercrashsysctl_getMacAddress(nullptr, address);
  if (expected.empty()) {
    EXPECT_FALSE(found);
  } else {
    ASSERT_TRUE(found);
    EXPECT_EQ(std::vector<unsigned char>(address, address + 6), expected);
  }
  EXPECT_FALSE(plovercrashsysctl_getMacAddress("nosuchif0", address));
  EXPECT_TRUE(plovercrashsysctl_getMacAddress("lo", address));
}

}  // namespace
