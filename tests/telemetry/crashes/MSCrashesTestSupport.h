// Helpers of the crash service tests: running a function in a forked child and reading what it
// wrote back, and finding which function a return address belongs to.
#pragma once

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

namespace crashes_test {

// The write end of the pipe to the parent, valid in a child started by runInChild.
inline int& childPipe() {
  static int fd = -1;
  return fd;
}

// Writes text to the parent without allocating (usable from terminate handlers).
inline void tell(const char* text) {
  if (childPipe() < 0 || text == nullptr) return;
  const std::size_t length = std::strlen(text);
  std::size_t written = 0;
  while (written < length) {
    const ssize_t n = write(childPipe(), text + written, length - written);
    if (n <= 0) return;
    written += static_cast<std::size_t>(n);
  }
}

struct ChildResult {
  int status = 0;
  std::string output;
  bool killedBy(int signal) const { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }
  bool exitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
  bool has(const std::string& text) const { return output.find(text) != std::string::npos; }
};

// Runs body in a forked child; the child exits 0 when body returns.
inline ChildResult runInChild(const std::function<void()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    childPipe() = fds[1];
    body();
    _exit(0);
  }
  close(fds[1]);
  ChildResult result;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<std::size_t>(n));
  close(fds[0]);
  waitpid(pid, &result.status, 0);
  return result;
}

// Whether the return address (one byte back, inside the call) lies in the function.
inline bool returnAddressIsIn(std::uint64_t returnAddress, const void* function) {
  Dl_info info{};
  if (returnAddress == 0 || dladdr(reinterpret_cast<void*>(returnAddress - 1), &info) == 0) return false;
  return info.dli_saddr == function;
}

}  // namespace crashes_test
