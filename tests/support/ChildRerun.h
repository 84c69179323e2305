// Re-running the current test in a new process of the same program, for tests of what survives
// a restart (settings, stored choices): the parent writes, the child started here reads. The
// child knows it is the re-run by an environment variable the parent names; the test checks
// `rerunValue(variable)` first and, when it is set, plays the child's part.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace vx::test {

// The value the parent gave `variable` when this process is its re-run; nullptr otherwise.
inline const char* rerunValue(const char* variable) { return std::getenv(variable); }

// Runs the current test again in a child process of this program (`--gtest_filter` naming just
// it) with `variable` set to `value`, and waits for it. Succeeds when the child exits with 0.
inline ::testing::AssertionResult rerunCurrentTestInChild(const char* variable, const std::string& value) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info == nullptr) return ::testing::AssertionFailure() << "no test is running";
  const std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
  const pid_t pid = fork();
  if (pid < 0) return ::testing::AssertionFailure() << "fork failed (errno " << errno << ")";
  if (pid == 0) {
    setenv(variable, value.c_str(), 1);
    execl("/proc/self/exe", "child", filter.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited != pid) return ::testing::AssertionFailure() << "waitpid failed (errno " << errno << ")";
  if (WIFSIGNALED(status)) {
    return ::testing::AssertionFailure() << "the child " << filter << " ended by signal " << WTERMSIG(status);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return ::testing::AssertionFailure() << "the child " << filter << " exited with "
                                         << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  return ::testing::AssertionSuccess();
}

}  // namespace vx::test
