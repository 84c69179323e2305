// Named system values and per-process records.
#include "platform/darwin/Sysctl.h"

#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <set>
#include <string>
#include <utility>

namespace {

TEST(DarwinSysctlTest, SizeQueryReadAndShortBuffer) {
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  std::size_t size = 0;
  ASSERT_EQ(vx::sysctlbyname("kern.osrelease", nullptr, &size, nullptr, 0), 0);
  EXPECT_EQ(size, std::strlen(names.release) + 1);
  std::string value(size, '\0');
  ASSERT_EQ(vx::sysctlbyname("kern.osrelease", value.data(), &size, nullptr, 0), 0);
  EXPECT_STREQ(value.c_str(), names.release);

  char small[2];
  std::size_t smallSize = sizeof small;
  errno = 0;
  EXPECT_EQ(vx::sysctlbyname("kern.ostype", small, &smallSize, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(smallSize, std::strlen(names.sysname) + 1);

  std::int64_t memory = 0;
  size = sizeof memory;
  ASSERT_EQ(vx::sysctlbyname("hw.memsize", &memory, &size, nullptr, 0), 0);
  EXPECT_EQ(memory, static_cast<std::int64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE));

  errno = 0;
  EXPECT_EQ(vx::sysctlbyname("kern.unknown", nullptr, &size, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  int one = 1;
  EXPECT_EQ(vx::sysctlbyname("hw.ncpu", nullptr, &size, &one, sizeof one), -1);
  EXPECT_EQ(errno, EPERM);
}

// Processor cores against /proc/cpuinfo's (physical id, core id) pairs; logical processors
// against the configured CPU count.
TEST(DarwinSysctlTest, PhysicalProcessorsAreCoresAndLogicalOnesAreHardwareThreads) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::set<std::pair<std::string, std::string>> pairs;
  std::string line;
  std::string package = "0";
  while (std::getline(cpuinfo, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string value = line.substr(colon + 1);
    if (line.rfind("physical id", 0) == 0) package = value;
    if (line.rfind("core id", 0) == 0) pairs.emplace(package, value);
  }
  std::int32_t physical = 0;
  std::size_t size = sizeof physical;
  ASSERT_EQ(vx::sysctlbyname("hw.physicalcpu_max", &physical, &size, nullptr, 0), 0);
  if (!pairs.empty()) {
    EXPECT_EQ(physical, static_cast<std::int32_t>(pairs.size()));
  }
  std::int32_t logical = 0;
  size = sizeof logical;
  ASSERT_EQ(vx::sysctlbyname("hw.logicalcpu_max", &logical, &size, nullptr, 0), 0);
  EXPECT_EQ(logical, sysconf(_SC_NPROCESSORS_CONF));
  EXPECT_LE(physical, logical);
}

// Two packages, two cores each, two hardware threads per core: four cores of eight CPUs. CPUs
// without topology and entries that are not CPUs do not count.
TEST(DarwinSysctlTest, CoresAreDistinctPackageAndCorePairs) {
  const vx::test::TemporaryFolder folder("cpu-topology");
  const std::filesystem::path& root = folder.path();
  auto write = [](const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
  };
  for (int cpu = 0; cpu < 8; ++cpu) {
    const auto topology = root / ("cpu" + std::to_string(cpu)) / "topology";
    write(topology / "physical_package_id", std::to_string(cpu / 4) + "\n");
    write(topology / "core_id", std::to_string((cpu / 2) % 2) + "\n");
  }
  std::filesystem::create_directories(root / "cpu8");
  write(root / "cpufreq" / "topology" / "core_id", "9\n");
  EXPECT_EQ(vx::physical_cpu_count(root.c_str()), 4);

  const auto empty = root / "empty";
  std::filesystem::create_directories(empty);
  errno = 0;
  EXPECT_EQ(vx::physical_cpu_count(empty.c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(DarwinSysctlTest, ProcessRecordOfAChildWithAnAwkwardName) {
  int hold[2];
  int ready[2];
  ASSERT_EQ(pipe(hold), 0);
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    prctl(PR_SET_NAME, "a) b (c");
    close(hold[1]);
    close(ready[0]);
    (void)!write(ready[1], "r", 1);
    char c;
    (void)!read(hold[0], &c, 1);
    _exit(0);
  }
  close(hold[0]);
  close(ready[1]);
  char c;
  (void)!read(ready[0], &c, 1);
  vx::kinfo_proc record;
  const int result = vx::sysctl_proc_pid(pid, &record);
  close(hold[1]);
  waitpid(pid, nullptr, 0);
  ASSERT_EQ(result, 0);
  EXPECT_EQ(record.pid, pid);
  EXPECT_EQ(record.ppid, getpid());
  EXPECT_STREQ(record.comm, "a) b (c");
  EXPECT_FALSE(record.traced);
  EXPECT_GT(record.start.tv_sec, 0);

  errno = 0;
  EXPECT_EQ(vx::sysctl_proc_pid(0, &record), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(vx::sysctl_proc_pid(pid, &record), -1);  // reaped: gone
  EXPECT_EQ(errno, ENOENT);
}

// The whole file's text without its trailing line end; empty when unreadable.
std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Every kind of value against what /proc, /sys and the C library say directly.
TEST(DarwinSysctlTest, ValuesAgreeWithProcAndSys) {
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  std::istringstream stat(fileText("/proc/stat"));
  long long bootTime = -1;
  for (std::string line; std::getline(stat, line);) {
    if (line.rfind("btime ", 0) == 0) bootTime = std::stoll(line.substr(6));
  }
  ASSERT_GT(bootTime, 0);

  struct TextCase {
    const char* name;
    std::string expected;
  };
  const TextCase texts[] = {
      {"kern.ostype", names.sysname},
      {"kern.osrelease", names.release},
      {"kern.version", names.version},
      {"hw.machine", names.machine},
      {"kern.random.boot_id", fileText("/proc/sys/kernel/random/boot_id")},
  };
  for (const TextCase& c : texts) {
    vx::sysctl_value value;
    ASSERT_EQ(vx::sysctl_read(c.name, &value), 0) << c.name;
    EXPECT_EQ(value.type, vx::sysctl_value::kind::text) << c.name;
    EXPECT_EQ(std::string(value.text, value.length), c.expected) << c.name;
  }

  struct IntegerCase {
    const char* name;
    long long expected;
  };
  const IntegerCase integers[] = {
      {"kern.pid_max", std::stoll(fileText("/proc/sys/kernel/pid_max"))},
      {"vm.overcommit_memory", std::stoll(fileText("/proc/sys/vm/overcommit_memory"))},
      {"fs.file-max", std::stoll(fileText("/proc/sys/fs/file-max"))},
      {"hw.ncpu", sysconf(_SC_NPROCESSORS_CONF)},
      {"hw.activecpu", sysconf(_SC_NPROCESSORS_ONLN)},
      {"hw.pagesize", sysconf(_SC_PAGESIZE)},
      {"hw.physmem", static_cast<long long>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE)},
      {"hw.byteorder", 1234},
  };
  for (const IntegerCase& c : integers) {
    vx::sysctl_value value;
    ASSERT_EQ(vx::sysctl_read(c.name, &value), 0) << c.name;
    EXPECT_EQ(value.type, vx::sysctl_value::kind::integer) << c.name;
    EXPECT_EQ(value.integer, c.expected) << c.name;
  }

  vx::sysctl_value value;
  ASSERT_EQ(vx::sysctl_read("kern.boottime", &value), 0);
  EXPECT_EQ(value.type, vx::sysctl_value::kind::time);
  EXPECT_EQ(value.time.tv_sec, bootTime);

  // The model is the DMI product name where the machine has one.
  const std::string model = fileText("/sys/devices/virtual/dmi/id/product_name");
  errno = 0;
  if (std::filesystem::exists("/sys/devices/virtual/dmi/id/product_name")) {
    ASSERT_EQ(vx::sysctl_read("hw.model", &value), 0);
    EXPECT_EQ(value.text, model);
  } else {
    EXPECT_EQ(vx::sysctl_read("hw.model", &value), -1);
    EXPECT_EQ(errno, ENOENT);
  }

  // Names that are unknown or would leave /proc/sys.
  for (const char* name :
       {"kern.no_such_value", "nothing", "kern.", "kern../../etc/passwd", "kern.random/../../../etc/passwd"}) {
    errno = 0;
    EXPECT_EQ(vx::sysctl_read(name, &value), -1) << name;
    EXPECT_EQ(errno, ENOENT) << name;
  }
}

// The byte layouts of the by-name call: texts with their NUL, times as a timeval, integers 32
// or 64 bits wide.
TEST(DarwinSysctlTest, ByNameLayouts) {
  std::size_t size = 0;
  ASSERT_EQ(vx::sysctlbyname("kern.boottime", nullptr, &size, nullptr, 0), 0);
  EXPECT_EQ(size, sizeof(struct timeval));
  struct timeval boot {};
  ASSERT_EQ(vx::sysctlbyname("kern.boottime", &boot, &size, nullptr, 0), 0);
  vx::sysctl_value value;
  ASSERT_EQ(vx::sysctl_read("kern.boottime", &value), 0);
  EXPECT_EQ(boot.tv_sec, value.time.tv_sec);

  for (const char* narrow :
       {"hw.ncpu", "hw.logicalcpu", "hw.activecpu", "hw.physicalcpu", "hw.pagesize", "hw.byteorder"}) {
    ASSERT_EQ(vx::sysctlbyname(narrow, nullptr, &size, nullptr, 0), 0) << narrow;
    EXPECT_EQ(size, sizeof(std::int32_t)) << narrow;
  }
  for (const char* wide : {"hw.memsize", "hw.physmem", "kern.pid_max"}) {
    ASSERT_EQ(vx::sysctlbyname(wide, nullptr, &size, nullptr, 0), 0) << wide;
    EXPECT_EQ(size, sizeof(std::int64_t)) << wide;
  }
  std::int64_t pidMax = 0;
  size = sizeof pidMax;
  ASSERT_EQ(vx::sysctlbyname("kern.pid_max", &pidMax, &size, nullptr, 0), 0);
  EXPECT_EQ(pidMax, std::stoll(fileText("/proc/sys/kernel/pid_max")));
  const std::string bootId = fileText("/proc/sys/kernel/random/boot_id");
  ASSERT_EQ(vx::sysctlbyname("kern.random.boot_id", nullptr, &size, nullptr, 0), 0);
  EXPECT_EQ(size, bootId.size() + 1);
  errno = 0;
  EXPECT_EQ(vx::sysctlbyname("hw.ncpu", nullptr, nullptr, nullptr, 0), -1);
  EXPECT_EQ(errno, EINVAL);
}

// The two /proc records of our own process against the files.
TEST(DarwinSysctlTest, StatAndStatusRecordsOfThisProcess) {
  vx::proc_pid_status_record status;
  ASSERT_EQ(vx::proc_pid_read_status(getpid(), &status), 0);
  EXPECT_EQ(status.name, fileText("/proc/self/comm"));
  EXPECT_EQ(status.ppid, getppid());
  EXPECT_EQ(status.tracer_pid, 0);
  vx::proc_pid_stat_record stat;
  ASSERT_EQ(vx::proc_pid_read_stat(getpid(), &stat), 0);
  EXPECT_EQ(stat.ppid, getppid());
  EXPECT_EQ(stat.comm, fileText("/proc/self/comm"));
  struct timeval boot {};
  ASSERT_TRUE(vx::boot_time(&boot));
  EXPECT_GE(stat.start.tv_sec, boot.tv_sec);
  EXPECT_LE(stat.start.tv_sec, time(nullptr));
  errno = 0;
  EXPECT_EQ(vx::proc_pid_read_status(-5, &status), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(vx::proc_pid_read_stat(0, &stat), -1);
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
