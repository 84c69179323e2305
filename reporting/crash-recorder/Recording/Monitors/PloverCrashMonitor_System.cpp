#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_System.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/HostInfo.h"
#include "platform/security/Crypto.h"
#include "reporting/crash-recorder/Recording/PloverCrashCPU.h"
#include "reporting/crash-recorder/Recording/PloverCrashDate.h"
#include "reporting/crash-recorder/Recording/PloverCrashDynamicLinker.h"
#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"
#include "reporting/crash-recorder/Recording/PloverCrashSysCtl.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// The Mach CPU numbers this system's architectures stand for.
constexpr int kCPUTypeX86 = 7;
constexpr int kCPUTypeX86_64 = 0x1000007;
constexpr int kCPUTypeARM = 12;
constexpr int kCPUTypeARM64 = 0x100000C;
constexpr int kCPUSubtypeX86All = 3;

// Gathered once at enable, in the event context's own layout, so each event takes a plain copy;
// only the memory statistics are read again per event.
using SystemData = decltype(PloverCrash_MonitorContext::System);

SystemData g_systemData;
std::atomic<bool> g_isEnabled{false};
bool g_gathered = false;

// Process-wide copies that live as long as the process.
const char* keep(const std::string& text) {
  if (text.empty()) return nullptr;
  return strdup(text.c_str());
}

const char* sysctlText(const char* name) {
  char buffer[1024];
  if (plovercrashsysctl_stringForName(name, buffer, sizeof buffer) <= 0) return nullptr;
  return keep(buffer);
}

const char* dateText(std::int64_t seconds) {
  char buffer[21];
  if (!plovercrashdate_utcStringFromTimestamp(seconds, buffer)) return nullptr;
  return keep(buffer);
}

const char* infoText(const char* key) {
  const vx::Value value = vx::Bundle::main().objectForInfoDictionaryKey(key);
  const std::string* text = value.stringValue();
  return text != nullptr ? keep(*text) : nullptr;
}

void machineCPUType(const char* machine, int* type, int* subtype) {
  *type = 0;
  *subtype = 0;
  if (machine == nullptr) return;
  if (std::strcmp(machine, "x86_64") == 0) {
    *type = kCPUTypeX86_64;
    *subtype = kCPUSubtypeX86All;
  } else if (machine[0] == 'i' && std::strcmp(machine + 2, "86") == 0) {
    *type = kCPUTypeX86;
    *subtype = kCPUSubtypeX86All;
  } else if (std::strcmp(machine, "aarch64") == 0) {
    *type = kCPUTypeARM64;
  } else if (std::strncmp(machine, "arm", 3) == 0) {
    *type = kCPUTypeARM;
  }
}

const char* architectureName(int cpuType, int cpuSubType) {
  switch (cpuType) {
    case kCPUTypeX86:
      return "x86";
    case kCPUTypeX86_64:
      return "x86_64";
    case kCPUTypeARM:
      switch (cpuSubType) {
        case 6:
          return "armv6";
        case 9:
          return "armv7";
        case 10:
          return "armv7f";
        case 11:
          return "armv7s";
        case 12:
          return "armv7k";
        default:
          break;
      }
      break;
    default:
      break;
  }
  return plovercrashcpu_currentArch();
}

const char* systemVersion() {
  const vx::OperatingSystemVersion version = vx::HostInfo::osVersion();
  char buffer[64];
  if (version.patch != 0) {
    plovercrashformat_format(buffer, sizeof buffer, "%d.%d.%d", version.major, version.minor, version.patch);
  } else {
    plovercrashformat_format(buffer, sizeof buffer, "%d.%d", version.major, version.minor);
  }
  return keep(buffer);
}

const char* uuidText(const std::uint8_t* uuid) {
  if (uuid == nullptr) return nullptr;
  char buffer[37];
  plovercrashformat_format(buffer, sizeof buffer,
                           "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", uuid[0], uuid[1],
                           uuid[2], uuid[3], uuid[4], uuid[5], uuid[6], uuid[7], uuid[8], uuid[9], uuid[10], uuid[11],
                           uuid[12], uuid[13], uuid[14], uuid[15]);
  return keep(buffer);
}

// The executable's image: by its full path, else by a path holding its file name.
int executableImageIndex(const char* path, const char* name) {
  int index = plovercrashdl_imageNamed(path, true);
  if (index < 0) index = plovercrashdl_imageNamed(name, false);
  return index;
}

const char* timeZone() {
  const std::time_t now = std::time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) return nullptr;
  char buffer[64];
  if (std::strftime(buffer, sizeof buffer, "%Z", &local) == 0) return nullptr;
  return keep(buffer);
}

const char* deviceAppHash(const char* architecture) {
  std::vector<std::uint8_t> data(6, 0);
  plovercrashsysctl_getMacAddress(nullptr, data.data());
  auto append = [&data](const char* text) {
    if (text != nullptr) data.insert(data.end(), text, text + std::strlen(text));
  };
  char buffer[1024];
  if (plovercrashsysctl_stringForName("hw.machine", buffer, sizeof buffer) > 0) append(buffer);
  if (plovercrashsysctl_stringForName("hw.model", buffer, sizeof buffer) > 0) append(buffer);
  append(architecture);
  append(g_systemData.bundleID);
  return keep(vx::sha1Hex(vx::ByteView(std::span<const std::uint8_t>(data))));
}

std::uint64_t storageSize() {
  const char* home = std::getenv("HOME");
  struct statvfs info;
  if (home == nullptr || statvfs(home, &info) != 0) return 0;
  return static_cast<std::uint64_t>(info.f_blocks) * info.f_frsize;
}

void gatherSystemData() {
  SystemData& d = g_systemData;
  d.systemName = keep(vx::HostInfo::osName());
  d.systemVersion = systemVersion();
  d.machine = sysctlText("hw.model");
  d.model = nullptr;
  d.kernelVersion = sysctlText("kern.version");
  d.osVersion = sysctlText("kern.osrelease");
  d.isJailbroken = plovercrashdl_imageNamed("MobileSubstrate", false) >= 0;
  d.bootTime = dateText(plovercrashsysctl_timevalForName("kern.boottime").tv_sec);
  d.appStartTime = dateText(std::time(nullptr));
  const std::string executablePath = vx::Bundle::main().executablePath().string();
  d.executablePath = keep(executablePath);
  d.executableName = infoText("CFBundleExecutable");
  d.bundleID = infoText("CFBundleIdentifier");
  d.bundleName = infoText("CFBundleName");
  d.bundleVersion = infoText("CFBundleVersion");
  d.bundleShortVersion = infoText("CFBundleShortVersionString");
  const int imageIndex = executableImageIndex(d.executablePath, d.executableName);
  PloverCrashBinaryImage image{};
  const bool haveImage = imageIndex >= 0 && plovercrashdl_getBinaryImage(imageIndex, &image);
  d.appID = haveImage ? uuidText(image.uuid) : nullptr;
  machineCPUType(plovercrashcpu_currentArch(), &d.cpuType, &d.cpuSubType);
  d.cpuArchitecture = architectureName(d.cpuType, d.cpuSubType);
  if (haveImage) {
    d.binaryCPUType = image.cpuType;
    d.binaryCPUSubType = image.cpuSubType;
  }
  d.timezone = timeZone();
  PloverCrashProcessInfo process{};
  if (plovercrashsysctl_getProcessInfo(getpid(), &process)) {
    d.processName = keep(process.name);
    d.processID = process.pid;
  } else {
    d.processID = getpid();
  }
  d.parentProcessID = getppid();
  d.deviceAppHash = deviceAppHash(d.cpuArchitecture);
  // This system has no store receipt to tell store builds from others.
  d.buildType = "unknown";
  d.storageSize = storageSize();
  d.memorySize = plovercrashsysctl_uint64ForName("hw.memsize");
}

// Crash-time safe. The value in kB of a /proc/meminfo line, as bytes.
std::uint64_t meminfoValue(const char* text, const char* key) {
  const int keyLength = plovercrashformat_strlen(key);
  for (const char* line = text; *line != '\0';) {
    bool match = true;
    for (int i = 0; i < keyLength; ++i) {
      if (line[i] != key[i]) {
        match = false;
        break;
      }
    }
    if (match && line[keyLength] == ':') {
      const char* p = line + keyLength + 1;
      while (*p == ' ') ++p;
      std::uint64_t value = 0;
      while (*p >= '0' && *p <= '9') value = value * 10 + static_cast<std::uint64_t>(*p++ - '0');
      return value * 1024;
    }
    while (*line != '\0' && *line != '\n') ++line;
    if (*line == '\n') ++line;
  }
  return 0;
}

// Crash-time safe: free pages, and the pages a program could get (free, active, inactive and
// those that cannot be evicted), from /proc/meminfo.
void memoryStatistics(std::uint64_t* freeMemory, std::uint64_t* usableMemory) {
  *freeMemory = 0;
  *usableMemory = 0;
  const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/proc/meminfo", O_RDONLY | O_CLOEXEC));
  if (fd < 0) {
    PLOVERCRASHLOG_ERROR("host_statistics: %s", plovercrashformat_errorText(errno));
    return;
  }
  char text[4096];
  long used = 0;
  for (;;) {
    const long got = syscall(SYS_read, fd, text + used, sizeof text - 1 - used);
    if (got <= 0) break;
    used += got;
    if (used >= static_cast<long>(sizeof text) - 1) break;
  }
  syscall(SYS_close, fd);
  text[used] = '\0';
  *freeMemory = meminfoValue(text, "MemFree");
  *usableMemory =
      *freeMemory + meminfoValue(text, "Active") + meminfoValue(text, "Inactive") + meminfoValue(text, "Unevictable");
}

void setEnabled(bool isEnabled) {
  if (isEnabled == g_isEnabled.load()) return;
  if (isEnabled && !g_gathered) {
    gatherSystemData();
    g_gathered = true;
  }
  g_isEnabled.store(isEnabled);
}

bool isEnabled() { return g_isEnabled.load(); }

void addContextualInfo(PloverCrash_MonitorContext* eventContext) {
  if (!g_isEnabled.load()) return;
  auto& s = eventContext->System;
  s = g_systemData;
  memoryStatistics(&s.freeMemory, &s.usableMemory);
}

PloverCrashMonitorOps g_api = {setEnabled, isEnabled, addContextualInfo};

}  // namespace

PloverCrashMonitorOps* plovercrashcm_system_getAPI() { return &g_api; }
