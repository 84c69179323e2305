// Runs a piece of a test in a forked child, which may crash for real, and hands the parent what
// the child reported through a pipe as "key=value" lines, plus how the child ended.
#pragma once

#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <map>
#include <sstream>
#include <string>

struct ChildResult {
  int status = 0;
  std::map<std::string, std::string> values;
  std::string output;

  bool exitedWith(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
  bool killedBy(int signal) const { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }
  bool has(const std::string& key) const { return values.count(key) != 0; }
  std::string operator[](const std::string& key) const {
    auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
  }
};

// The pipe the child writes its report to.
inline int g_childReportFD = -1;

// Crash-time safe: writes one "key=value\n" line to the parent.
inline void childReport(const char* key, const char* format, ...) __attribute__((format(printf, 2, 3)));
inline void childReport(const char* key, const char* format, ...) {
  char value[900];
  va_list args;
  va_start(args, format);
  plovercrashformat_vformat(value, sizeof value, format, args);
  va_end(args);
  char line[1024];
  const int length = plovercrashformat_format(line, sizeof line, "%s=%s\n", key, value);
  if (write(g_childReportFD, line, static_cast<std::size_t>(length)) < 0) {
    // Nothing to do: the parent sees the missing line.
  }
}

// Puts the default action back for the signals the recorder catches, so a re-raised signal ends
// the child as it would end a program without the sanitizer's own handlers.
inline void resetFatalSignalsToDefault() {
  for (int signal : {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGPIPE, SIGSEGV, SIGSYS, SIGTRAP}) {
    std::signal(signal, SIG_DFL);
  }
}

// Runs body(); its return value is the child's exit status.
template <class Body>
ChildResult runInChild(Body body) {
  int fds[2];
  ChildResult result;
  if (pipe(fds) != 0) {
    result.status = -1;
    return result;
  }
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    g_childReportFD = fds[1];
    _exit(body());
  }
  close(fds[1]);
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(got));
  }
  close(fds[0]);
  waitpid(child, &result.status, 0);
  std::istringstream lines(result.output);
  std::string line;
  while (std::getline(lines, line)) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) result.values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return result;
}
