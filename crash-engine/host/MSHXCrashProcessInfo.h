// The facts of one process (id, name, parent, start time, whether a debugger traces it), read
// from /proc. Set-up code only: it allocates and opens files.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

class MSHXCrashProcessInfo {
 public:
  // The facts of this process, or null when they cannot be read.
  static std::shared_ptr<MSHXCrashProcessInfo> currentProcessInfo();

  // The facts of process pid, or null when they cannot be read (a missing process writes
  // "Unexpected sysctl error 2: ..."; other failures are silent).
  static std::shared_ptr<MSHXCrashProcessInfo> makeWithProcessID(pid_t pid);

  pid_t processID() const { return _processID; }
  // The command name cut to its valid UTF-8 prefix; none when that prefix is empty.
  const std::optional<std::string>& processName() const { return _processName; }
  pid_t parentProcessID() const { return _parentProcessID; }
  struct timeval startTime() const {
    return _startTime;
  }
  bool isTraced() const { return _traced; }

 private:
  pid_t _processID = 0;
  std::optional<std::string> _processName;
  pid_t _parentProcessID = 0;
  struct timeval _startTime {};
  bool _traced = false;
};
