// Host and process facts, from the running system.
#include "crash-engine/host/MSHXCrashHostInfo.h"
#include "crash-engine/host/MSHXCrashProcessInfo.h"

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

TEST(HostInfoTest, VersionIsTheRunningKernelRelease) {
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  unsigned long long major = 0, minor = 0, revision = 0;
  ASSERT_GE(std::sscanf(names.release, "%llu.%llu.%llu", &major, &minor, &revision), 2);
  auto info = MSHXCrashHostInfo::currentHostInfo();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->darwinVersion().major, major);
  EXPECT_EQ(info->darwinVersion().minor, minor);
  EXPECT_EQ(info->darwinVersion().revision, revision);
}

TEST(HostInfoTest, ReleaseTexts) {
  struct Case {
    std::string release;
    std::uint64_t major, minor, revision;
    bool complains;
  };
  const Case cases[] = {
      {"6.1.0-18-amd64", 6, 1, 0, false}, {"21.6.0", 21, 6, 0, false}, {"5.15", 5, 15, 0, true},
      {"4.19.300", 4, 19, 300, false},    {"junk", 0, 0, 0, true},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    auto info = MSHXCrashHostInfo::makeWithRelease(c.release);
    const std::string out = testing::internal::GetCapturedStderr();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->darwinVersion().major, c.major) << c.release;
    EXPECT_EQ(info->darwinVersion().minor, c.minor) << c.release;
    EXPECT_EQ(info->darwinVersion().revision, c.revision) << c.release;
    EXPECT_EQ(out.find("Unexpected kern.osrelease string format: " + c.release) != std::string::npos, c.complains)
        << out;
  }
}

std::string readComm(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

TEST(ProcessInfoTest, CurrentProcess) {
  auto info = MSHXCrashProcessInfo::currentProcessInfo();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->processID(), getpid());
  EXPECT_EQ(info->parentProcessID(), getppid());
  ASSERT_TRUE(info->processName().has_value());
  EXPECT_EQ(*info->processName(), readComm(getpid()));
  struct timeval now {};
  gettimeofday(&now, nullptr);
  EXPECT_LE(info->startTime().tv_sec, now.tv_sec);
  EXPECT_GE(info->startTime().tv_sec, now.tv_sec - 3600);
  EXPECT_FALSE(info->isTraced());
}

// A child that names itself and waits; the parent reads its facts.
class NamedChild {
 public:
  explicit NamedChild(const char* name) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(hold_) != 0) return;
    gettimeofday(&before_, nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_NAME, name);
      close(ready[0]);
      close(hold_[1]);
      (void)!write(ready[1], "r", 1);
      char c;
      (void)!read(hold_[0], &c, 1);
      _exit(0);
    }
    close(ready[1]);
    close(hold_[0]);
    char c;
    (void)!read(ready[0], &c, 1);
    close(ready[0]);
    gettimeofday(&after_, nullptr);
  }
  ~NamedChild() {
    if (pid_ > 0) {
      close(hold_[1]);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  struct timeval before_ {
  }, after_{};

 private:
  pid_t pid_ = -1;
  int hold_[2] = {-1, -1};
};

TEST(ProcessInfoTest, ChildFactsAndItsNameCutBeforeABrokenSequence) {
  // 14 letters and a 2-byte letter: the kernel keeps 15 bytes, ending inside the letter.
  NamedChild child("abcdefghijklmn\xC3\xA9");
  ASSERT_GT(child.pid(), 0);
  auto info = MSHXCrashProcessInfo::makeWithProcessID(child.pid());
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->processID(), child.pid());
  EXPECT_EQ(info->parentProcessID(), getpid());
  ASSERT_TRUE(info->processName().has_value());
  EXPECT_EQ(*info->processName(), "abcdefghijklmn");
  // Start time has clock-tick resolution.
  EXPECT_GE(info->startTime().tv_sec, child.before_.tv_sec - 1);
  EXPECT_LE(info->startTime().tv_sec, child.after_.tv_sec + 1);
}

TEST(ProcessInfoTest, UndecodableNameGivesNoName) {
  NamedChild child("\xFF\xFE bad");
  ASSERT_GT(child.pid(), 0);
  testing::internal::CaptureStderr();
  auto info = MSHXCrashProcessInfo::makeWithProcessID(child.pid());
  const std::string out = testing::internal::GetCapturedStderr();
  ASSERT_NE(info, nullptr);
  EXPECT_FALSE(info->processName().has_value());
  EXPECT_NE(out.find("Failed to decode p_comm for pid=" + std::to_string(child.pid()) + " as UTF-8!"),
            std::string::npos)
      << out;
}

TEST(ProcessInfoTest, MissingProcessLogsOnlyForNoSuchProcess) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(MSHXCrashProcessInfo::makeWithProcessID(0x3ffffff0), nullptr);
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("Unexpected sysctl error 2: No such file or directory"), std::string::npos) << out;
  testing::internal::CaptureStderr();
  EXPECT_EQ(MSHXCrashProcessInfo::makeWithProcessID(-4), nullptr);
  out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "");
}

TEST(ProcessInfoTest, TracedChildIsSeenAsTraced) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(7);
    raise(SIGSTOP);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 7) GTEST_SKIP() << "ptrace is not allowed here";
  ASSERT_TRUE(WIFSTOPPED(status));
  auto info = MSHXCrashProcessInfo::makeWithProcessID(pid);
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  ASSERT_NE(info, nullptr);
  EXPECT_TRUE(info->isTraced());
}

}  // namespace
