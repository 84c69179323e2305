#include "reporting/crash-recorder/Recording/PloverCrashSysCtl.h"

#include "platform/darwin/Sysctl.h"
#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include <cerrno>
#include <climits>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The recorder's numeric names and its logging over the shared system-value reader.
const char* nameForNumbers(int major, int minor) {
  if (major == PLOVERCRASH_CTL_KERN) {
    switch (minor) {
      case PLOVERCRASH_KERN_OSTYPE:
        return "kern.ostype";
      case PLOVERCRASH_KERN_OSRELEASE:
        return "kern.osrelease";
      case PLOVERCRASH_KERN_VERSION:
        return "kern.version";
      case PLOVERCRASH_KERN_HOSTNAME:
        return "kern.hostname";
      case PLOVERCRASH_KERN_BOOTTIME:
        return "kern.boottime";
      default:
        return nullptr;
    }
  }
  if (major == PLOVERCRASH_CTL_HW) {
    switch (minor) {
      case PLOVERCRASH_HW_MACHINE:
        return "hw.machine";
      case PLOVERCRASH_HW_MODEL:
        return "hw.model";
      case PLOVERCRASH_HW_NCPU:
        return "hw.ncpu";
      case PLOVERCRASH_HW_BYTEORDER:
        return "hw.byteorder";
      case PLOVERCRASH_HW_PHYSMEM:
        return "hw.physmem";
      case PLOVERCRASH_HW_PAGESIZE:
        return "hw.pagesize";
      case PLOVERCRASH_HW_CPU_FREQ:
        return "hw.cpufrequency";
      case PLOVERCRASH_HW_MEMSIZE:
        return "hw.memsize";
      case PLOVERCRASH_HW_AVAILCPU:
        return "hw.activecpu";
      default:
        return nullptr;
    }
  }
  return nullptr;
}

constexpr const char* kNumberCall = "sysctl(cmd, sizeof(cmd)/sizeof(*cmd), &value, &size, NULL, 0)";
constexpr const char* kNamedNumberCall = "sysctlbyname(name, &value, &size, NULL, 0)";
constexpr const char* kStringCall = "sysctl(cmd, sizeof(cmd)/sizeof(*cmd), value, &size, NULL, 0)";
constexpr const char* kNamedStringCall = "sysctlbyname(name, value, &size, NULL, 0)";

// Reads an integer fact that must lie within [minimum, maximum].
bool integerFact(int major, int minor, const char* name, std::int64_t minimum, std::uint64_t maximum,
                 std::int64_t* out) {
  vx::sysctl_value value;
  const char* lookup = name != nullptr ? name : nameForNumbers(major, minor);
  bool ok = false;
  if (lookup == nullptr) {
    errno = ENOENT;
  } else if (vx::sysctl_read(lookup, &value) == 0) {
    if (value.type != vx::sysctl_value::kind::integer) {
      errno = EINVAL;
    } else if (value.integer < minimum || (value.integer > 0 && static_cast<std::uint64_t>(value.integer) > maximum)) {
      errno = ENOMEM;  // the value does not fit the type asked for
    } else {
      *out = value.integer;
      ok = true;
    }
  }
  if (!ok) {
    const char* errorText = plovercrashformat_errorText(errno);
    if (name != nullptr) {
      PLOVERCRASHLOG_ERROR("Could not get %s value for %s: %s", kNamedNumberCall, name, errorText);
    } else {
      PLOVERCRASHLOG_ERROR("Could not get %s value for %d,%d: %s", kNumberCall, major, minor, errorText);
    }
  }
  return ok;
}

int stringFact(int major, int minor, const char* name, char* out, int maxSize) {
  vx::sysctl_value value;
  const char* lookup = name != nullptr ? name : nameForNumbers(major, minor);
  int result = 0;
  if (lookup == nullptr) {
    errno = ENOENT;
  } else if (vx::sysctl_read(lookup, &value) == 0) {
    if (value.type == vx::sysctl_value::kind::time) {
      errno = EINVAL;
    } else {
      if (value.type == vx::sysctl_value::kind::integer) {
        value.length = static_cast<std::size_t>(plovercrashformat_int64(value.integer, value.text, sizeof value.text));
      }
      const int needed = static_cast<int>(value.length) + 1;
      if (out == nullptr) {
        result = needed;
      } else if (maxSize < needed) {
        errno = ENOMEM;
      } else {
        for (int i = 0; i < needed; ++i) {
          out[i] = value.text[i];
        }
        result = needed;
      }
    }
  }
  if (result == 0) {
    const char* errorText = plovercrashformat_errorText(errno);
    if (name != nullptr) {
      PLOVERCRASHLOG_ERROR("Could not get %s value for %s: %s", kNamedStringCall, name, errorText);
    } else {
      PLOVERCRASHLOG_ERROR("Could not get %s value for %d,%d: %s", kStringCall, major, minor, errorText);
    }
  }
  return result;
}

struct timeval timeFact(int major, int minor, const char* name) {
  vx::sysctl_value value;
  const char* lookup = name != nullptr ? name : nameForNumbers(major, minor);
  if (lookup == nullptr) {
    errno = ENOENT;
  } else if (vx::sysctl_read(lookup, &value) == 0) {
    if (value.type == vx::sysctl_value::kind::time) {
      return value.time;
    }
    errno = EINVAL;
  }
  const char* errorText = plovercrashformat_errorText(errno);
  if (name != nullptr) {
    PLOVERCRASHLOG_ERROR("Could not get timeval value for %s: %s", name, errorText);
  } else {
    PLOVERCRASHLOG_ERROR("Could not get timeval value for %d,%d: %s", major, minor, errorText);
  }
  return {};
}

}  // namespace

std::int32_t plovercrashsysctl_int32(int major, int minor) {
  std::int64_t v = 0;
  return integerFact(major, minor, nullptr, INT32_MIN, INT32_MAX, &v) ? static_cast<std::int32_t>(v) : 0;
}
std::int32_t plovercrashsysctl_int32ForName(const char* name) {
  std::int64_t v = 0;
  return integerFact(0, 0, name, INT32_MIN, INT32_MAX, &v) ? static_cast<std::int32_t>(v) : 0;
}
std::uint32_t plovercrashsysctl_uint32(int major, int minor) {
  std::int64_t v = 0;
  return integerFact(major, minor, nullptr, 0, UINT32_MAX, &v) ? static_cast<std::uint32_t>(v) : 0;
}
std::uint32_t plovercrashsysctl_uint32ForName(const char* name) {
  std::int64_t v = 0;
  return integerFact(0, 0, name, 0, UINT32_MAX, &v) ? static_cast<std::uint32_t>(v) : 0;
}
std::int64_t plovercrashsysctl_int64(int major, int minor) {
  std::int64_t v = 0;
  return integerFact(major, minor, nullptr, INT64_MIN, INT64_MAX, &v) ? v : 0;
}
std::int64_t plovercrashsysctl_int64ForName(const char* name) {
  std::int64_t v = 0;
  return integerFact(0, 0, name, INT64_MIN, INT64_MAX, &v) ? v : 0;
}
std::uint64_t plovercrashsysctl_uint64(int major, int minor) {
  std::int64_t v = 0;
  return integerFact(major, minor, nullptr, 0, UINT64_MAX, &v) ? static_cast<std::uint64_t>(v) : 0;
}
std::uint64_t plovercrashsysctl_uint64ForName(const char* name) {
  std::int64_t v = 0;
  return integerFact(0, 0, name, 0, UINT64_MAX, &v) ? static_cast<std::uint64_t>(v) : 0;
}

int plovercrashsysctl_string(int major, int minor, char* value, int maxSize) {
  return stringFact(major, minor, nullptr, value, maxSize);
}
int plovercrashsysctl_stringForName(const char* name, char* value, int maxSize) {
  if (name == nullptr) {
    errno = EINVAL;
    PLOVERCRASHLOG_ERROR("Could not get %s value for %s: %s", kNamedStringCall, "(null)",
                         plovercrashformat_errorText(errno));
    return 0;
  }
  return stringFact(0, 0, name, value, maxSize);
}

struct timeval plovercrashsysctl_timeval(int major, int minor) {
  return timeFact(major, minor, nullptr);
}
struct timeval plovercrashsysctl_timevalForName(const char* name) {
  if (name == nullptr) {
    PLOVERCRASHLOG_ERROR("Could not get timeval value for %s: %s", "(null)", plovercrashformat_errorText(EINVAL));
    return {};
  }
  return timeFact(0, 0, name);
}

bool plovercrashsysctl_getProcessInfo(int pid, PloverCrashProcessInfo* processInfo) {
  *processInfo = {};
  vx::proc_pid_status_record status;
  if (vx::proc_pid_read_status(pid, &status) != 0) {
    PLOVERCRASHLOG_ERROR("Could not get the name for process %d: %s", pid, plovercrashformat_errorText(errno));
    return false;
  }
  processInfo->pid = pid;
  for (std::size_t i = 0; i < sizeof processInfo->name; ++i) processInfo->name[i] = status.name[i];
  processInfo->parentPid = status.ppid;
  processInfo->tracerPid = status.tracer_pid;
  if (status.tracer_pid != 0) processInfo->flags |= PLOVERCRASH_P_TRACED;
  // The start time: clock ticks after boot from /proc/<pid>/stat plus the boot time.
  vx::proc_pid_stat_record stat;
  if (vx::proc_pid_read_stat(pid, &stat) == 0) processInfo->startTime = stat.start;
  return true;
}

bool plovercrashsysctl_getMacAddress(const char* name, unsigned char* macAddressBuffer) {
  struct if_nameindex* interfaces = nullptr;
  if (name != nullptr) {
    if (if_nametoindex(name) == 0) {
      PLOVERCRASHLOG_ERROR("Could not get interface index for %s: %s", name, plovercrashformat_errorText(errno));
      return false;
    }
  } else {
    interfaces = if_nameindex();
    if (interfaces == nullptr) {
      PLOVERCRASHLOG_ERROR("Could not get interface index for %s: %s", "(first)", plovercrashformat_errorText(errno));
      return false;
    }
  }
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    PLOVERCRASHLOG_ERROR("Could not get interface data for %s: %s", name != nullptr ? name : "(first)",
                         plovercrashformat_errorText(errno));
    if (interfaces != nullptr) {
      if_freenameindex(interfaces);
    }
    return false;
  }
  auto hardwareAddress = [&](const char* interfaceName, unsigned char* out, bool* loopback, bool* ethernetLike) {
    struct ifreq request = {};
    for (int i = 0; interfaceName[i] != '\0' && i < IF_NAMESIZE - 1; ++i) {
      request.ifr_name[i] = interfaceName[i];
    }
    *loopback = false;
    if (ioctl(sock, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_LOOPBACK) != 0) {
      *loopback = true;
    }
    if (ioctl(sock, SIOCGIFHWADDR, &request) != 0) {
      return false;
    }
    // Only these carry a 6-byte address; others (tunnels, InfiniBand) have none or a longer one.
    *ethernetLike = request.ifr_hwaddr.sa_family == ARPHRD_ETHER || request.ifr_hwaddr.sa_family == ARPHRD_IEEE802;
    for (int i = 0; i < 6; ++i) {
      out[i] = static_cast<unsigned char>(request.ifr_hwaddr.sa_data[i]);
    }
    return true;
  };
  bool found = false;
  unsigned char address[6] = {};
  if (name != nullptr) {
    bool loopback = false;
    bool ethernetLike = false;
    found = hardwareAddress(name, address, &loopback, &ethernetLike);
    if (!found) {
      PLOVERCRASHLOG_ERROR("Could not get interface data for %s: %s", name, plovercrashformat_errorText(errno));
    }
  } else {
    // if_nameindex lists interfaces in index order.
    for (struct if_nameindex* entry = interfaces; entry->if_index != 0; ++entry) {
      bool loopback = false;
      bool ethernetLike = false;
      if (!hardwareAddress(entry->if_name, address, &loopback, &ethernetLike) || loopback || !ethernetLike) {
        continue;
      }
      bool allZero = true;
      for (unsigned char byte : address) {
        allZero = allZero && byte == 0;
      }
      if (!allZero) {
        found = true;
        break;
      }
    }
    if (!found) {
      PLOVERCRASHLOG_ERROR("Could not get interface data for %s: %s", "(first)",
                           "No interface with a hardware address");
    }
    if_freenameindex(interfaces);
  }
  close(sock);
  if (found) {
    for (int i = 0; i < 6; ++i) {
      macAddressBuffer[i] = address[i];
    }
  }
  return found;
}
