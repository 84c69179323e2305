#include "crash-engine/host/MSHXCrashProcessInfo.h"

#include "crash-engine/async/HXCrashAsync.h"
#include "crash-engine/host/HXCrashSysctl.h"
#include "platform/darwin/Sysctl.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

std::shared_ptr<MSHXCrashProcessInfo> MSHXCrashProcessInfo::currentProcessInfo() { return makeWithProcessID(getpid()); }

std::shared_ptr<MSHXCrashProcessInfo> MSHXCrashProcessInfo::makeWithProcessID(pid_t pid) {
  vx::kinfo_proc record;
  if (vx::sysctl_proc_pid(pid, &record) != 0) {
    const int error = errno;
    if (error == ENOENT) MSHXCF_DEBUG("Unexpected sysctl error %d: %s", error, std::strerror(error));
    return nullptr;
  }
  auto info = std::make_shared<MSHXCrashProcessInfo>();
  info->_traced = record.traced;
  const auto* comm = reinterpret_cast<const std::uint8_t*>(record.comm);
  const std::size_t valid = MShxcrash_sysctl_valid_utf8_bytes_max(comm, sizeof record.comm);
  if (valid == 0) {
    MSHXCF_DEBUG("Failed to decode p_comm for pid=%jd as UTF-8!", static_cast<intmax_t>(pid));
  } else {
    info->_processName = std::string(record.comm, valid);
  }
  info->_processID = pid;
  info->_parentProcessID = record.ppid;
  info->_startTime = record.start;
  return info;
}
