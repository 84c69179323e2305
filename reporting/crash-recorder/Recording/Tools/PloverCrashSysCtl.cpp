#include "reporting/crash-recorder/Recording/Tools/PloverCrashSysCtl.h"

#include "reporting/crash-recorder/Recording/Tools/PloverCrashFileUtils.h"
#include "reporting/crash-recorder/Recording/Tools/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/Tools/PloverCrashLogger.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

constexpr int kTextCapacity = 512;

struct FactValue {
  enum Kind { kText, kInteger, kTime } kind = kText;
  char text[kTextCapacity] = {};
  int textLength = 0;
  std::int64_t integer = 0;
  struct timeval time = {};
};

bool sameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

bool startsWith(const char* text, const char* prefix) {
  while (*prefix != '\0') {
    if (*text++ != *prefix++) {
      return false;
    }
  }
  return true;
}

// Reads a small file into the fact's text, without a trailing newline.
bool readSmallFile(const char* path, FactValue* value) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  int total = 0;
  for (;;) {
    const ssize_t got = read(fd, value->text + total, static_cast<size_t>(kTextCapacity - 1 - total));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    total += static_cast<int>(got);
    if (total >= kTextCapacity - 1) {
      close(fd);
      errno = EOVERFLOW;
      return false;
    }
  }
  const int savedErrno = errno;
  close(fd);
  errno = savedErrno;
  while (total > 0 && (value->text[total - 1] == '\n' || value->text[total - 1] == ' ')) {
    --total;
  }
  value->text[total] = '\0';
  value->textLength = total;
  value->kind = FactValue::kText;
  return true;
}

bool parseInteger(const char* text, int length, std::int64_t* out) {
  int pos = 0;
  bool negative = false;
  if (pos < length && text[pos] == '-') {
    negative = true;
    ++pos;
  }
  if (pos >= length) {
    return false;
  }
  std::uint64_t magnitude = 0;
  for (; pos < length; ++pos) {
    const char c = text[pos];
    if (c < '0' || c > '9') {
      return false;
    }
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (magnitude > (static_cast<std::uint64_t>(INT64_MAX) - digit) / 10) {
      return false;
    }
    magnitude = magnitude * 10 + digit;
  }
  *out = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

void setText(FactValue* value, const char* text) {
  int i = 0;
  for (; text[i] != '\0' && i < kTextCapacity - 1; ++i) {
    value->text[i] = text[i];
  }
  value->text[i] = '\0';
  value->textLength = i;
  value->kind = FactValue::kText;
}

void setInteger(FactValue* value, std::int64_t integer) {
  value->integer = integer;
  value->kind = FactValue::kInteger;
}

bool readBootTime(FactValue* value) {
  PloverCrashBufferedReader reader;
  char buffer[1024];
  if (!plovercrashfu_openBufferedReader(&reader, "/proc/stat", buffer, sizeof buffer)) {
    return false;
  }
  bool found = false;
  char line[256];
  for (;;) {
    int length = sizeof line - 1;
    const bool ended = plovercrashfu_readBufferedReaderUntilChar(&reader, '\n', line, &length);
    if (length == 0) {
      break;
    }
    if (ended) {
      --length;
    }
    line[length] = '\0';
    if (startsWith(line, "btime ")) {
      std::int64_t seconds = 0;
      if (parseInteger(line + 6, length - 6, &seconds)) {
        value->time.tv_sec = static_cast<time_t>(seconds);
        value->time.tv_usec = 0;
        value->kind = FactValue::kTime;
        found = true;
      }
      break;
    }
  }
  plovercrashfu_closeBufferedReader(&reader);
  if (!found) {
    errno = ENOENT;
  }
  return found;
}

// Looks a fact up by its text name. False with errno set when it is unknown or unreadable.
bool readFact(const char* name, FactValue* value) {
  if (name == nullptr) {
    errno = EINVAL;
    return false;
  }
  struct utsname system = {};
  const bool fromUname = sameText(name, "kern.ostype") || sameText(name, "kern.osrelease") ||
                         sameText(name, "kern.version") || sameText(name, "kern.hostname") ||
                         sameText(name, "hw.machine");
  if (fromUname) {
    if (uname(&system) != 0) {
      return false;
    }
    if (sameText(name, "kern.ostype")) {
      setText(value, system.sysname);
    } else if (sameText(name, "kern.osrelease")) {
      setText(value, system.release);
    } else if (sameText(name, "kern.version")) {
      setText(value, system.version);
    } else if (sameText(name, "kern.hostname")) {
      setText(value, system.nodename);
    } else {
      setText(value, system.machine);
    }
    return true;
  }
  if (sameText(name, "kern.boottime")) {
    return readBootTime(value);
  }
  if (sameText(name, "hw.model")) {
    return readSmallFile("/sys/devices/virtual/dmi/id/product_name", value);
  }
  if (sameText(name, "hw.ncpu") || sameText(name, "hw.activecpu")) {
    const long count = sysconf(sameText(name, "hw.ncpu") ? _SC_NPROCESSORS_CONF
                                                          : _SC_NPROCESSORS_ONLN);
    if (count <= 0) {
      return false;
    }
    setInteger(value, count);
    return true;
  }
  if (sameText(name, "hw.memsize") || sameText(name, "hw.physmem")) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) {
      return false;
    }
    setInteger(value, static_cast<std::int64_t>(pages) * pageSize);
    return true;
  }
  if (sameText(name, "hw.pagesize")) {
    setInteger(value, sysconf(_SC_PAGESIZE));
    return true;
  }
  if (sameText(name, "hw.byteorder")) {
    setInteger(value, __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 1234 : 4321);
    return true;
  }
  if (sameText(name, "hw.cpufrequency")) {
    FactValue file;
    std::int64_t kiloHertz = 0;
    if (!readSmallFile("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", &file)) {
      return false;
    }
    if (!parseInteger(file.text, file.textLength, &kiloHertz)) {
      errno = EINVAL;
      return false;
    }
    setInteger(value, kiloHertz * 1000);
    return true;
  }
  // Other names address the kernel's own tunables under /proc/sys.
  const char* rest = nullptr;
  const char* folder = nullptr;
  if (startsWith(name, "kern.")) {
    folder = "kernel";
    rest = name + 5;
  } else if (startsWith(name, "vm.")) {
    folder = "vm";
    rest = name + 3;
  } else if (startsWith(name, "fs.")) {
    folder = "fs";
    rest = name + 3;
  } else if (startsWith(name, "net.")) {
    folder = "net";
    rest = name + 4;
  }
  if (folder == nullptr || *rest == '\0') {
    errno = ENOENT;
    return false;
  }
  char path[256];
  const int length = plovercrashformat_format(path, sizeof path, "/proc/sys/%s/%s", folder, rest);
  if (length >= static_cast<int>(sizeof path) - 1) {
    errno = ENAMETOOLONG;
    return false;
  }
  for (char* p = path + 11 + plovercrashformat_strlen(folder); *p != '\0'; ++p) {
    if (*p == '.') {
      *p = '/';
    } else if (*p == '/') {
      errno = ENOENT;  // a name must not walk out of its folder
      return false;
    }
  }
  if (!readSmallFile(path, value)) {
    return false;
  }
  std::int64_t integer = 0;
  if (parseInteger(value->text, value->textLength, &integer)) {
    setInteger(value, integer);
  }
  return true;
}

const char* nameForNumbers(int major, int minor) {
  if (major == PLOVERCRASH_CTL_KERN) {
    switch (minor) {
      case PLOVERCRASH_KERN_OSTYPE: return "kern.ostype";
      case PLOVERCRASH_KERN_OSRELEASE: return "kern.osrelease";
      case PLOVERCRASH_KERN_VERSION: return "kern.version";
      case PLOVERCRASH_KERN_HOSTNAME: return "kern.hostname";
      case PLOVERCRASH_KERN_BOOTTIME: return "kern.boottime";
      default: return nullptr;
    }
  }
  if (major == PLOVERCRASH_CTL_HW) {
    switch (minor) {
      case PLOVERCRASH_HW_MACHINE: return "hw.machine";
      case PLOVERCRASH_HW_MODEL: return "hw.model";
      case PLOVERCRASH_HW_NCPU: return "hw.ncpu";
      case PLOVERCRASH_HW_BYTEORDER: return "hw.byteorder";
      case PLOVERCRASH_HW_PHYSMEM: return "hw.physmem";
      case PLOVERCRASH_HW_PAGESIZE: return "hw.pagesize";
      case PLOVERCRASH_HW_CPU_FREQ: return "hw.cpufrequency";
      case PLOVERCRASH_HW_MEMSIZE: return "hw.memsize";
      case PLOVERCRASH_HW_AVAILCPU: return "hw.activecpu";
      default: return nullptr;
    }
  }
  return nullptr;
}

constexpr const char* kNumberCall = "sysctl(cmd, sizeof(cmd)/sizeof(*cmd), &value, &size, NULL, 0)";
constexpr const char* kNamedNumberCall = "sysctlbyname(name, &value, &size, NULL, 0)";
constexpr const char* kStringCall = "sysctl(cmd, sizeof(cmd)/sizeof(*cmd), value, &size, NULL, 0)";
constexpr const char* kNamedStringCall = "sysctlbyname(name, value, &size, NULL, 0)";

// Reads an integer fact that must lie within [minimum, maximum].
bool integerFact(int major, int minor, const char* name, std::int64_t minimum,
                 std::uint64_t maximum, std::int64_t* out) {
  FactValue value;
  const char* lookup = name != nullptr ? name : nameForNumbers(major, minor);
  bool ok = false;
  if (lookup == nullptr) {
    errno = ENOENT;
  } else if (readFact(lookup, &value)) {
    if (value.kind != FactValue::kInteger) {
      errno = EINVAL;
    } else if (value.integer < minimum ||
               (value.integer > 0 && static_cast<std::uint64_t>(value.integer) > maximum)) {
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
      PLOVERCRASHLOG_ERROR("Could not get %s value for %d,%d: %s", kNumberCall, major, minor,
                           errorText);
    }
  }
  return ok;
}

int stringFact(int major, int minor, const char* name, char* out, int maxSize) {
  FactValue value;
  const char* lookup = name != nullptr ? name : nameForNumbers(major, minor);
  int result = 0;
  if (lookup == nullptr) {
    errno = ENOENT;
  } else if (readFact(lookup, &value)) {
    if (value.kind == FactValue::kTime) {
      errno = EINVAL;
    } else {
      if (value.kind == FactValue::kInteger) {
        value.textLength = plovercrashformat_int64(value.integer, value.text, kTextCapacity);
      }
      const int needed = value.textLength + 1;
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
      PLOVERCRASHLOG_ERROR("Could not get %s value for %d,%d: %s", kStringCall, major, minor,
                           errorText);
    }
  }
  return result;
}

struct timeval timeFact(int major, int minor, const char* name) {
  FactValue value;
  const char* lookup = name != nullptr ? name : nameForNumbers(major, minor);
  if (lookup == nullptr) {
    errno = ENOENT;
  } else if (readFact(lookup, &value)) {
    if (value.kind == FactValue::kTime) {
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
    PLOVERCRASHLOG_ERROR("Could not get timeval value for %s: %s", "(null)",
                         plovercrashformat_errorText(EINVAL));
    return {};
  }
  return timeFact(0, 0, name);
}

bool plovercrashsysctl_getProcessInfo(int pid, PloverCrashProcessInfo* processInfo) {
  *processInfo = {};
  char path[64];
  plovercrashformat_format(path, sizeof path, "/proc/%d/status", pid);
  PloverCrashBufferedReader reader;
  char buffer[1024];
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    PLOVERCRASHLOG_ERROR("Could not get the name for process %d: %s", pid,
                         plovercrashformat_errorText(errno));
    return false;
  }
  close(fd);
  if (!plovercrashfu_openBufferedReader(&reader, path, buffer, sizeof buffer)) {
    return false;
  }
  processInfo->pid = pid;
  char line[256];
  for (;;) {
    int length = sizeof line - 1;
    const bool ended = plovercrashfu_readBufferedReaderUntilChar(&reader, '\n', line, &length);
    if (length == 0) {
      break;
    }
    if (ended) {
      --length;
    }
    line[length] = '\0';
    auto field = [&](const char* key) -> const char* {
      if (!startsWith(line, key)) {
        return nullptr;
      }
      const char* p = line + plovercrashformat_strlen(key);
      while (*p == ' ' || *p == '\t') {
        ++p;
      }
      return p;
    };
    std::int64_t number = 0;
    if (const char* v = field("Name:")) {
      int i = 0;
      for (; v[i] != '\0' && i < static_cast<int>(sizeof processInfo->name) - 1; ++i) {
        processInfo->name[i] = v[i];
      }
      processInfo->name[i] = '\0';
    } else if (const char* v = field("PPid:")) {
      if (parseInteger(v, plovercrashformat_strlen(v), &number)) {
        processInfo->parentPid = static_cast<int>(number);
      }
    } else if (const char* v = field("TracerPid:")) {
      if (parseInteger(v, plovercrashformat_strlen(v), &number)) {
        processInfo->tracerPid = static_cast<int>(number);
        if (number != 0) {
          processInfo->flags |= PLOVERCRASH_P_TRACED;
        }
      }
    }
    if (!ended && length == static_cast<int>(sizeof line) - 1) {
      // An overlong line: skip its rest.
      char skip[64];
      for (;;) {
        int skipLength = sizeof skip;
        if (plovercrashfu_readBufferedReaderUntilChar(&reader, '\n', skip, &skipLength) ||
            skipLength == 0) {
          break;
        }
      }
    }
  }
  plovercrashfu_closeBufferedReader(&reader);

  // The start time: field 22 of /proc/<pid>/stat (clock ticks after boot) plus the boot time.
  plovercrashformat_format(path, sizeof path, "/proc/%d/stat", pid);
  FactValue stat;
  FactValue boot;
  if (readSmallFile(path, &stat) && readBootTime(&boot)) {
    const char* p = stat.text + stat.textLength;
    while (p > stat.text && *(p - 1) != ')') {
      --p;
    }
    // After the command name come fields 3, 4, ...; field 22 is the 20th of them.
    int fieldNumber = 2;
    const char* end = stat.text + stat.textLength;
    while (p < end && fieldNumber < 22) {
      while (p < end && *p == ' ') {
        ++p;
      }
      ++fieldNumber;
      if (fieldNumber == 22) {
        const char* start = p;
        while (p < end && *p != ' ') {
          ++p;
        }
        std::int64_t ticks = 0;
        const long ticksPerSecond = sysconf(_SC_CLK_TCK);
        if (parseInteger(start, static_cast<int>(p - start), &ticks) && ticksPerSecond > 0) {
          processInfo->startTime.tv_sec =
              boot.time.tv_sec + static_cast<time_t>(ticks / ticksPerSecond);
          processInfo->startTime.tv_usec =
              static_cast<suseconds_t>((ticks % ticksPerSecond) * 1000000 / ticksPerSecond);
        }
        break;
      }
      while (p < end && *p != ' ') {
        ++p;
      }
    }
  }
  return true;
}

bool plovercrashsysctl_getMacAddress(const char* name, unsigned char* macAddressBuffer) {
  struct if_nameindex* interfaces = nullptr;
  if (name != nullptr) {
    if (if_nametoindex(name) == 0) {
      PLOVERCRASHLOG_ERROR("Could not get interface index for %s: %s", name,
                           plovercrashformat_errorText(errno));
      return false;
    }
  } else {
    interfaces = if_nameindex();
    if (interfaces == nullptr) {
      PLOVERCRASHLOG_ERROR("Could not get interface index for %s: %s", "(first)",
                           plovercrashformat_errorText(errno));
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
  auto hardwareAddress = [&](const char* interfaceName, unsigned char* out, bool* loopback,
                             bool* ethernetLike) {
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
    *ethernetLike = request.ifr_hwaddr.sa_family == ARPHRD_ETHER ||
                    request.ifr_hwaddr.sa_family == ARPHRD_IEEE802;
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
      PLOVERCRASHLOG_ERROR("Could not get interface data for %s: %s", name,
                           plovercrashformat_errorText(errno));
    }
  } else {
    // if_nameindex lists interfaces in index order.
    for (struct if_nameindex* entry = interfaces; entry->if_index != 0; ++entry) {
      bool loopback = false;
      bool ethernetLike = false;
      if (!hardwareAddress(entry->if_name, address, &loopback, &ethernetLike) || loopback ||
          !ethernetLike) {
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
