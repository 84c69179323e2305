// Facts about the running Linux machine that reports and logs carry: the operating system's
// name and version (from os-release), the kernel (uname), the hardware model (DMI), memory and
// boot time. Read from the live system on every call; nothing here is hard-coded.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace vx {

struct OperatingSystemVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
};

class HostInfo {
 public:
  // os-release "NAME" (e.g. "Debian GNU/Linux"); "Linux" when no os-release file is readable.
  static std::string osName();
  // os-release "VERSION_ID" text (e.g. "12"); empty when absent.
  static std::string osVersionText();
  // VERSION_ID split into numbers ("12" -> 12.0.0, "22.04" -> 22.4.0); 0.0.0 when absent.
  static OperatingSystemVersion osVersion();
  // os-release "PRETTY_NAME", or osName() when absent.
  static std::string osPrettyName();
  // uname: release ("6.1.0-18-amd64"), full version string, machine ("x86_64"), node name.
  static std::string kernelRelease();
  static std::string kernelVersion();
  static std::string machine();
  static std::string hostName();
  // DMI product name ("Standard PC (Q35 + ICH9, 2009)"), if the machine exposes one.
  static std::optional<std::string> model();
  // DMI system vendor, if exposed.
  static std::optional<std::string> vendor();
  // The machine's platform UUID in upper case: the DMI product UUID when readable (usually only
  // by root), else the systemd machine id (/etc/machine-id, 32 hex digits) written as a UUID;
  // std::nullopt when neither can be read or holds a UUID.
  static std::optional<std::string> platformUUID();
  // The same from chosen places (tests): a DMI folder and a machine-id file.
  static std::optional<std::string> platformUUID(const std::string& dmiRoot, const std::string& machineIdPath);
  // Physical memory in bytes; free and available memory from /proc/meminfo (0 when unreadable).
  static std::uint64_t physicalMemory();
  static std::uint64_t freeMemory();
  static std::uint64_t availableMemory();
  // Size in bytes of the file system that holds `path` (default: the home folder, else "/"),
  // from statvfs; std::nullopt when it cannot be read.
  static std::optional<std::uint64_t> storageSize(const std::string& path = {});
  // The local time zone's abbreviation now ("UTC", "CET"), empty when unknown.
  static std::string timeZoneAbbreviation();
  // When the machine booted (from /proc/stat "btime"), if readable.
  static std::optional<std::chrono::system_clock::time_point> bootTime();
  static int processorCount();

  // Reads an os-release file: the value of `key` with quoting removed. For tests of odd files.
  static std::optional<std::string> osReleaseValue(const std::string& key, const std::string& path = {});
};

}  // namespace vx
