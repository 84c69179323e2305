// Named system values and per-process records.
#include "platform/darwin/Sysctl.h"

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

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
