#include "platform/foundation/HostInfo.h"

#include "platform/darwin/DMI.h"
#include "platform/darwin/Sysctl.h"

#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace vx {
namespace {

// A DMI field's text; none when the machine exposes no such field or leaves it empty.
std::optional<std::string> dmiField(const char* field) {
  char text[512];
  if (dmi_read(field, text, sizeof text) <= 0) return std::nullopt;
  return std::string(text);
}

std::uint64_t meminfoValue(const std::string& key) {
  std::ifstream in("/proc/meminfo");
  std::string name;
  std::uint64_t kilobytes = 0;
  std::string unit;
  while (in >> name >> kilobytes >> unit) {
    if (name == key + ":") return kilobytes * 1024;
  }
  return 0;
}

utsname uname_() {
  utsname names{};
  if (uname(&names) != 0) return utsname{};
  return names;
}

// Removes shell-style quoting and the escapes os-release allows inside quotes.
std::string unquote(std::string value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    const char quote = value.front();
    value = value.substr(1, value.size() - 2);
    if (quote == '"') {
      std::string out;
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        out += value[i];
      }
      value = out;
    }
  }
  return value;
}

}  // namespace

std::optional<std::string> HostInfo::osReleaseValue(const std::string& key, const std::string& path) {
  const std::string files[] = {path.empty() ? "/etc/os-release" : path, "/usr/lib/os-release"};
  for (const auto& file : files) {
    std::ifstream in(file);
    if (!in) {
      if (!path.empty()) return std::nullopt;
      continue;
    }
    std::string line;
    while (std::getline(in, line)) {
      const auto eq = line.find('=');
      if (eq == std::string::npos || line.compare(0, eq, key) != 0 || eq != key.size()) continue;
      std::string value = unquote(line.substr(eq + 1));
      if (value.empty()) return std::nullopt;
      return value;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

std::string HostInfo::osName() { return osReleaseValue("NAME").value_or("Linux"); }

std::string HostInfo::osVersionText() { return osReleaseValue("VERSION_ID").value_or(""); }

OperatingSystemVersion HostInfo::osVersion() {
  OperatingSystemVersion version;
  std::istringstream in(osVersionText());
  int* parts[] = {&version.major, &version.minor, &version.patch};
  for (int* part : parts) {
    std::string piece;
    if (!std::getline(in, piece, '.')) break;
    try {
      *part = std::stoi(piece);
    } catch (...) {
      break;
    }
  }
  return version;
}

std::string HostInfo::osPrettyName() { return osReleaseValue("PRETTY_NAME").value_or(osName()); }

std::string HostInfo::kernelRelease() { return uname_().release; }
std::string HostInfo::kernelVersion() { return uname_().version; }
std::string HostInfo::machine() { return uname_().machine; }
std::string HostInfo::hostName() { return uname_().nodename; }

std::optional<std::string> HostInfo::model() { return dmiField("product_name"); }

std::optional<std::string> HostInfo::vendor() { return dmiField("sys_vendor"); }

std::optional<std::string> HostInfo::platformUUID() { return platformUUID(kDMIRoot, "/etc/machine-id"); }

std::optional<std::string> HostInfo::platformUUID(const std::string& dmiRoot, const std::string& machineIdPath) {
  const auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  const auto upper = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
  };
  char text[128];
  if (dmi_read("product_uuid", text, sizeof text, dmiRoot.c_str()) == 36) {
    const std::string uuid(text);
    bool wellFormed = true;
    for (std::size_t i = 0; i < uuid.size(); ++i) {
      const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
      wellFormed = wellFormed && (dash ? uuid[i] == '-' : isHex(uuid[i]));
    }
    if (wellFormed) return upper(uuid);
  }
  std::ifstream in(machineIdPath);
  std::string id;
  if (!std::getline(in, id)) return std::nullopt;
  while (!id.empty() && std::isspace(static_cast<unsigned char>(id.back()))) id.pop_back();
  if (id.size() != 32) return std::nullopt;
  for (char c : id) {
    if (!isHex(c)) return std::nullopt;
  }
  id = upper(id);
  return id.substr(0, 8) + "-" + id.substr(8, 4) + "-" + id.substr(12, 4) + "-" + id.substr(16, 4) + "-" +
         id.substr(20);
}

std::uint64_t HostInfo::physicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

std::uint64_t HostInfo::freeMemory() { return meminfoValue("MemFree"); }
std::uint64_t HostInfo::availableMemory() { return meminfoValue("MemAvailable"); }

std::optional<std::uint64_t> HostInfo::storageSize(const std::string& path) {
  std::string where = path;
  if (where.empty()) {
    const char* home = std::getenv("HOME");
    where = home != nullptr && *home != '\0' ? home : "/";
  }
  struct statvfs info {};
  if (statvfs(where.c_str(), &info) != 0 && (!path.empty() || statvfs("/", &info) != 0)) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(info.f_blocks) * static_cast<std::uint64_t>(info.f_frsize);
}

std::string HostInfo::timeZoneAbbreviation() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr || local.tm_zone == nullptr) return {};
  return local.tm_zone;
}

std::optional<std::chrono::system_clock::time_point> HostInfo::bootTime() {
  struct timeval boot {};
  if (!boot_time(&boot)) return std::nullopt;
  return std::chrono::system_clock::time_point(std::chrono::seconds(boot.tv_sec));
}

int HostInfo::processorCount() {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<int>(count) : 1;
}

}  // namespace vx
