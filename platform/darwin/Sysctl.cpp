#include "platform/darwin/Sysctl.h"

#include "platform/darwin/AsyncFile.h"
#include "platform/darwin/AsyncFormat.h"
#include "platform/darwin/DMI.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>

namespace vx {

namespace {

bool sameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

bool startsWith(const char* text, const char* prefix) {
  while (*prefix != '\0') {
    if (*text++ != *prefix++) return false;
  }
  return true;
}

void copyText(char* to, std::size_t size, const char* from, std::size_t length) {
  std::size_t i = 0;
  for (; i < length && i + 1 < size; ++i) to[i] = from[i];
  to[i] = '\0';
}

// A signed decimal number spanning exactly length characters, without overflow.
bool parseInteger(const char* text, std::size_t length, std::int64_t* out) {
  std::size_t pos = 0;
  bool negative = false;
  if (pos < length && text[pos] == '-') {
    negative = true;
    ++pos;
  }
  if (pos >= length) return false;
  std::uint64_t magnitude = 0;
  for (; pos < length; ++pos) {
    const char c = text[pos];
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (magnitude > (static_cast<std::uint64_t>(INT64_MAX) - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  *out = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

// The leading decimal number of text (after blanks), as strtol would read it; 0 when none.
std::int64_t leadingInteger(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  std::size_t length = 0;
  if (text[length] == '-') ++length;
  while (text[length] >= '0' && text[length] <= '9') ++length;
  std::int64_t value = 0;
  return parseInteger(text, length, &value) ? value : 0;
}

void setText(sysctl_value* value, const char* text) {
  copyText(value->text, sizeof value->text, text, async_strlen(text));
  value->length = async_strlen(value->text);
  value->type = sysctl_value::kind::text;
}

void setInteger(sysctl_value* value, std::int64_t integer) {
  value->integer = integer;
  value->type = sysctl_value::kind::integer;
}

bool readTextFile(const char* path, sysctl_value* value) {
  const ssize_t length = async_read_text(path, value->text, sizeof value->text);
  if (length < 0) return false;
  value->length = static_cast<std::size_t>(length);
  value->type = sysctl_value::kind::text;
  return true;
}

// The layout getdents64 fills.
struct DirectoryEntry {
  std::uint64_t inode;
  std::int64_t offset;
  unsigned short recordLength;
  unsigned char type;
  char name[1];
};

// One number from a small file: "0\n".
bool readNumberFile(const char* path, std::int64_t* out) {
  char text[32];
  const ssize_t length = async_read_text(path, text, sizeof text);
  return length > 0 && parseInteger(text, static_cast<std::size_t>(length), out);
}

// Integer values that sysctlbyname answers 32 bits wide.
bool isNarrowInteger(const char* name) {
  static const char* const kNames[] = {"hw.ncpu",        "hw.logicalcpu",      "hw.logicalcpu_max", "hw.activecpu",
                                       "hw.physicalcpu", "hw.physicalcpu_max", "hw.pagesize",       "hw.byteorder"};
  for (const char* known : kNames) {
    if (sameText(name, known)) return true;
  }
  return false;
}

int answer(const void* value, std::size_t size, void* oldp, std::size_t* oldlenp) {
  if (oldp == nullptr) {
    *oldlenp = size;
    return 0;
  }
  if (*oldlenp < size) {
    *oldlenp = size;
    errno = ENOMEM;
    return -1;
  }
  const auto* from = static_cast<const unsigned char*>(value);
  auto* to = static_cast<unsigned char*>(oldp);
  for (std::size_t i = 0; i < size; ++i) to[i] = from[i];
  *oldlenp = size;
  return 0;
}

}  // namespace

bool boot_time(struct timeval* out) {
  char buffer[512];
  async_line_reader reader;
  if (!async_line_reader_open(&reader, "/proc/stat", buffer, sizeof buffer)) return false;
  bool found = false;
  std::size_t length = 0;
  while (const char* line = async_line_reader_next(&reader, &length)) {
    if (!startsWith(line, "btime ")) continue;
    std::int64_t seconds = 0;
    if (parseInteger(line + 6, length - 6, &seconds)) {
      out->tv_sec = static_cast<time_t>(seconds);
      out->tv_usec = 0;
      found = true;
    }
    break;
  }
  async_line_reader_close(&reader);
  if (!found) errno = ENOENT;
  return found;
}

int physical_cpu_count(const char* root) {
  constexpr int kRemembered = 1024;
  std::int32_t packages[kRemembered];
  std::int32_t cores[kRemembered];
  int remembered = 0;
  int count = 0;
  const int fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    errno = ENOENT;
    return -1;
  }
  alignas(8) char entries[2048];
  for (;;) {
    const long got = syscall(SYS_getdents64, fd, entries, sizeof entries);
    if (got <= 0) break;
    for (long at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const DirectoryEntry*>(entries + at);
      at += entry->recordLength;
      const char* name = entry->name;
      if (!startsWith(name, "cpu") || name[3] == '\0') continue;
      bool digits = true;
      for (const char* p = name + 3; *p != '\0'; ++p) digits = digits && *p >= '0' && *p <= '9';
      if (!digits) continue;
      char path[1024];
      std::int64_t package = 0;
      std::int64_t core = 0;
      if (async_format(path, sizeof path, "%s/%s/topology/physical_package_id", root, name) >= sizeof path - 1 ||
          !readNumberFile(path, &package)) {
        continue;
      }
      if (async_format(path, sizeof path, "%s/%s/topology/core_id", root, name) >= sizeof path - 1 ||
          !readNumberFile(path, &core)) {
        continue;
      }
      bool seen = false;
      for (int i = 0; i < remembered && !seen; ++i) {
        seen = packages[i] == package && cores[i] == core;
      }
      if (seen) continue;
      if (remembered < kRemembered) {
        packages[remembered] = static_cast<std::int32_t>(package);
        cores[remembered] = static_cast<std::int32_t>(core);
        ++remembered;
      }
      ++count;
    }
  }
  close(fd);
  if (count == 0) {
    errno = ENOENT;
    return -1;
  }
  return count;
}

int sysctl_read(const char* name, sysctl_value* value) {
  if (name == nullptr || value == nullptr) {
    errno = EINVAL;
    return -1;
  }
  *value = sysctl_value{};
  if (sameText(name, "kern.ostype") || sameText(name, "kern.osrelease") || sameText(name, "kern.version") ||
      sameText(name, "kern.hostname") || sameText(name, "hw.machine")) {
    struct utsname system {};
    if (uname(&system) != 0) return -1;
    setText(value, sameText(name, "kern.ostype")      ? system.sysname
                   : sameText(name, "kern.osrelease") ? system.release
                   : sameText(name, "kern.version")   ? system.version
                   : sameText(name, "kern.hostname")  ? system.nodename
                                                      : system.machine);
    return 0;
  }
  if (sameText(name, "kern.boottime")) {
    if (!boot_time(&value->time)) return -1;
    value->type = sysctl_value::kind::time;
    return 0;
  }
  if (sameText(name, "hw.model")) {
    const ssize_t length = dmi_read("product_name", value->text, sizeof value->text);
    if (length < 0) return -1;
    value->length = static_cast<std::size_t>(length);
    return 0;
  }
  if (sameText(name, "hw.ncpu") || sameText(name, "hw.logicalcpu") || sameText(name, "hw.logicalcpu_max") ||
      sameText(name, "hw.activecpu")) {
    const long count = sysconf(sameText(name, "hw.activecpu") ? _SC_NPROCESSORS_ONLN : _SC_NPROCESSORS_CONF);
    if (count <= 0) return -1;
    setInteger(value, count);
    return 0;
  }
  if (sameText(name, "hw.physicalcpu") || sameText(name, "hw.physicalcpu_max")) {
    const int cores = physical_cpu_count("/sys/devices/system/cpu");
    if (cores < 0) return -1;
    setInteger(value, cores);
    return 0;
  }
  if (sameText(name, "hw.memsize") || sameText(name, "hw.physmem")) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return -1;
    setInteger(value, static_cast<std::int64_t>(pages) * pageSize);
    return 0;
  }
  if (sameText(name, "hw.pagesize")) {
    setInteger(value, sysconf(_SC_PAGESIZE));
    return 0;
  }
  if (sameText(name, "hw.byteorder")) {
    setInteger(value, __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 1234 : 4321);
    return 0;
  }
  if (sameText(name, "hw.cpufrequency")) {
    if (!readTextFile("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", value)) return -1;
    std::int64_t kiloHertz = 0;
    if (!parseInteger(value->text, value->length, &kiloHertz)) {
      errno = EINVAL;
      return -1;
    }
    *value = sysctl_value{};
    setInteger(value, kiloHertz * 1000);
    return 0;
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
    return -1;
  }
  char path[256];
  const std::size_t length = async_format(path, sizeof path, "/proc/sys/%s/%s", folder, rest);
  if (length >= sizeof path - 1) {
    errno = ENAMETOOLONG;
    return -1;
  }
  for (char* p = path + 11 + async_strlen(folder); *p != '\0'; ++p) {
    if (*p == '.') {
      *p = '/';
    } else if (*p == '/') {
      errno = ENOENT;  // a name must not walk out of its folder
      return -1;
    }
  }
  if (!readTextFile(path, value)) return -1;
  std::int64_t integer = 0;
  if (parseInteger(value->text, value->length, &integer)) setInteger(value, integer);
  return 0;
}

int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp, std::size_t newlen) {
  if (name == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (newp != nullptr || newlen != 0) {
    errno = EPERM;
    return -1;
  }
  if (oldlenp == nullptr) {
    errno = EINVAL;
    return -1;
  }
  sysctl_value value;
  if (sysctl_read(name, &value) != 0) return -1;
  switch (value.type) {
    case sysctl_value::kind::text:
      return answer(value.text, value.length + 1, oldp, oldlenp);
    case sysctl_value::kind::time:
      return answer(&value.time, sizeof value.time, oldp, oldlenp);
    case sysctl_value::kind::integer:
      break;
  }
  if (isNarrowInteger(name)) {
    const auto narrow = static_cast<std::int32_t>(value.integer);
    return answer(&narrow, sizeof narrow, oldp, oldlenp);
  }
  return answer(&value.integer, sizeof value.integer, oldp, oldlenp);
}

int proc_pid_read_stat(pid_t pid, proc_pid_stat_record* out) {
  if (pid <= 0 || out == nullptr) {
    errno = EINVAL;
    return -1;
  }
  char path[64];
  async_format(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  char stat[2048];
  errno = 0;
  const ssize_t length = async_read_text(path, stat, sizeof stat);
  if (length < 0) {
    if (errno == 0) errno = ENOENT;
    return -1;
  }
  // "pid (comm) state ppid ..." where comm may itself hold spaces and parentheses.
  const char* open = nullptr;
  const char* close = nullptr;
  for (const char* p = stat; *p != '\0'; ++p) {
    if (*p == '(' && open == nullptr) open = p;
    if (*p == ')') close = p;
  }
  if (open == nullptr || close == nullptr || close < open) {
    errno = EIO;
    return -1;
  }
  proc_pid_stat_record record;
  copyText(record.comm, sizeof record.comm, open + 1, static_cast<std::size_t>(close - open - 1));
  // Fields after comm start with the state (field 3); ppid is field 4, starttime field 22.
  const char* p = close + 1;
  for (int index = 3; index <= 22; ++index) {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    const char* start = p;
    while (*p != ' ' && *p != '\0') ++p;
    std::int64_t number = 0;
    const bool isNumber = parseInteger(start, static_cast<std::size_t>(p - start), &number);
    if (index == 4 && isNumber) record.ppid = static_cast<pid_t>(number);
    if (index == 22 && isNumber && number >= 0) {
      struct timeval boot {};
      const long hz = sysconf(_SC_CLK_TCK) > 0 ? sysconf(_SC_CLK_TCK) : 100;
      if (boot_time(&boot)) {
        const auto ticks = static_cast<std::uint64_t>(number);
        record.start.tv_sec = boot.tv_sec + static_cast<time_t>(ticks / static_cast<unsigned long>(hz));
        record.start.tv_usec = static_cast<suseconds_t>((ticks % static_cast<unsigned long>(hz)) * 1000000 /
                                                        static_cast<unsigned long>(hz));
      }
    }
  }
  *out = record;
  return 0;
}

int proc_pid_read_status(pid_t pid, proc_pid_status_record* out) {
  if (pid <= 0 || out == nullptr) {
    errno = EINVAL;
    return -1;
  }
  char path[64];
  async_format(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  char buffer[512];
  async_line_reader reader;
  if (!async_line_reader_open(&reader, path, buffer, sizeof buffer)) return -1;
  proc_pid_status_record record;
  std::size_t length = 0;
  while (const char* line = async_line_reader_next(&reader, &length)) {
    auto field = [&](const char* key) -> const char* {
      if (!startsWith(line, key)) return nullptr;
      const char* p = line + async_strlen(key);
      while (*p == ' ' || *p == '\t') ++p;
      return p;
    };
    if (const char* v = field("Name:")) {
      copyText(record.name, sizeof record.name, v, async_strlen(v));
    } else if (const char* v = field("PPid:")) {
      record.ppid = static_cast<pid_t>(leadingInteger(v));
    } else if (const char* v = field("TracerPid:")) {
      record.tracer_pid = static_cast<pid_t>(leadingInteger(v));
    }
  }
  async_line_reader_close(&reader);
  *out = record;
  return 0;
}

int sysctl_proc_pid(pid_t pid, kinfo_proc* out) {
  if (pid <= 0 || out == nullptr) {
    errno = EINVAL;
    return -1;
  }
  proc_pid_stat_record stat;
  if (proc_pid_read_stat(pid, &stat) != 0) return -1;
  kinfo_proc record;
  record.pid = pid;
  record.ppid = stat.ppid;
  copyText(record.comm, sizeof record.comm, stat.comm, async_strlen(stat.comm));
  record.start = stat.start;
  proc_pid_status_record status;
  if (proc_pid_read_status(pid, &status) == 0) record.traced = status.tracer_pid != 0;
  *out = record;
  return 0;
}

}  // namespace vx
