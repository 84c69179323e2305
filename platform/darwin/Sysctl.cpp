#include "platform/darwin/Sysctl.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <set>
#include <string>
#include <utility>

namespace vx {

namespace {

int answer(const void* value, std::size_t size, void* oldp, std::size_t* oldlenp) {
  if (oldlenp == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (oldp == nullptr) {
    *oldlenp = size;
    return 0;
  }
  if (*oldlenp < size) {
    *oldlenp = size;
    errno = ENOMEM;
    return -1;
  }
  std::memcpy(oldp, value, size);
  *oldlenp = size;
  return 0;
}

int answerString(const char* text, void* oldp, std::size_t* oldlenp) {
  return answer(text, std::strlen(text) + 1, oldp, oldlenp);
}

bool readFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *out = buffer.str();
  return true;
}

}  // namespace

int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                 std::size_t newlen) {
  if (name == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (newp != nullptr || newlen != 0) {
    errno = EPERM;
    return -1;
  }
  struct utsname names {};
  if (uname(&names) != 0) return -1;
  const std::string key(name);
  if (key == "kern.osrelease") return answerString(names.release, oldp, oldlenp);
  if (key == "kern.ostype") return answerString(names.sysname, oldp, oldlenp);
  if (key == "kern.version") return answerString(names.version, oldp, oldlenp);
  if (key == "kern.hostname") return answerString(names.nodename, oldp, oldlenp);
  if (key == "hw.machine") return answerString(names.machine, oldp, oldlenp);
  if (key == "hw.ncpu" || key == "hw.logicalcpu" || key == "hw.logicalcpu_max" ||
      key == "hw.activecpu") {
    const std::int32_t count = static_cast<std::int32_t>(
        sysconf(key == "hw.activecpu" ? _SC_NPROCESSORS_ONLN : _SC_NPROCESSORS_CONF));
    return answer(&count, sizeof count, oldp, oldlenp);
  }
  if (key == "hw.physicalcpu" || key == "hw.physicalcpu_max") {
    const int cores = physical_cpu_count("/sys/devices/system/cpu");
    if (cores < 0) return -1;
    const std::int32_t count = cores;
    return answer(&count, sizeof count, oldp, oldlenp);
  }
  if (key == "hw.pagesize") {
    const std::int32_t size = static_cast<std::int32_t>(sysconf(_SC_PAGESIZE));
    return answer(&size, sizeof size, oldp, oldlenp);
  }
  if (key == "hw.memsize") {
    const std::int64_t size =
        static_cast<std::int64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
    return answer(&size, sizeof size, oldp, oldlenp);
  }
  errno = ENOENT;
  return -1;
}

int physical_cpu_count(const char* root) {
  std::set<std::pair<long, long>> cores;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 4 || name.compare(0, 3, "cpu") != 0 ||
        name.find_first_not_of("0123456789", 3) != std::string::npos) {
      continue;
    }
    std::string package;
    std::string core;
    if (!readFile(entry.path().string() + "/topology/physical_package_id", &package) ||
        !readFile(entry.path().string() + "/topology/core_id", &core)) {
      continue;
    }
    char* end = nullptr;
    const long packageId = std::strtol(package.c_str(), &end, 10);
    if (end == package.c_str()) continue;
    const long coreId = std::strtol(core.c_str(), &end, 10);
    if (end == core.c_str()) continue;
    cores.emplace(packageId, coreId);
  }
  if (cores.empty()) {
    errno = ENOENT;
    return -1;
  }
  return static_cast<int>(cores.size());
}

int sysctl_proc_pid(pid_t pid, kinfo_proc* out) {
  if (pid <= 0 || out == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const std::string base = "/proc/" + std::to_string(pid);
  std::string stat;
  errno = 0;
  if (!readFile(base + "/stat", &stat)) {
    if (errno == 0) errno = ENOENT;
    return -1;
  }
  // "pid (comm) state ppid ..." where comm may itself hold spaces and parentheses.
  const auto open = stat.find('(');
  const auto close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) {
    errno = EIO;
    return -1;
  }
  kinfo_proc record;
  record.pid = pid;
  const std::string comm = stat.substr(open + 1, close - open - 1);
  std::memcpy(record.comm, comm.data(), comm.size() < 15 ? comm.size() : 15);
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  // Fields after comm start with the state (field 3); ppid is field 4, starttime field 22.
  for (int index = 3; index <= 22 && (fields >> field); ++index) {
    if (index == 4) record.ppid = static_cast<pid_t>(std::strtol(field.c_str(), nullptr, 10));
    if (index == 22) {
      const unsigned long long ticks = std::strtoull(field.c_str(), nullptr, 10);
      std::string systemStat;
      long long bootTime = 0;
      if (readFile("/proc/stat", &systemStat)) {
        const auto at = systemStat.find("\nbtime ");
        if (at != std::string::npos) bootTime = std::strtoll(systemStat.c_str() + at + 7, nullptr, 10);
      }
      const long hz = sysconf(_SC_CLK_TCK) > 0 ? sysconf(_SC_CLK_TCK) : 100;
      record.start.tv_sec = static_cast<time_t>(bootTime + static_cast<long long>(ticks / hz));
      record.start.tv_usec = static_cast<suseconds_t>((ticks % hz) * 1000000 / hz);
    }
  }
  std::string status;
  if (readFile(base + "/status", &status)) {
    const auto at = status.find("TracerPid:");
    if (at != std::string::npos) record.traced = std::strtol(status.c_str() + at + 10, nullptr, 10) != 0;
  }
  *out = record;
  return 0;
}

}  // namespace vx
