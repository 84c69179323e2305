// Named system values and per-process records.
#include "platform/darwin/Sysctl.h"

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
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
  char pattern[] = "/tmp/cpu-topologyXXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path root(pattern);
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
  std::filesystem::remove_all(root);
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

}  // namespace
