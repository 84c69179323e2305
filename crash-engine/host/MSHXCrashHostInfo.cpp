#include "crash-engine/host/MSHXCrashHostInfo.h"

#include "crash-engine/async/HXCrashAsync.h"
#include "crash-engine/host/HXCrashSysctl.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Reads an unsigned decimal number at *at; false when none is there.
bool scanNumber(const char** at, std::uint64_t* out) {
  const char* p = *at;
  if (*p < '0' || *p > '9') return false;
  std::uint64_t value = 0;
  while (*p >= '0' && *p <= '9') value = value * 10 + static_cast<std::uint64_t>(*p++ - '0');
  *out = value;
  *at = p;
  return true;
}

}  // namespace

std::shared_ptr<MSHXCrashHostInfo> MSHXCrashHostInfo::currentHostInfo() {
  char* release = MShxcrash_sysctl_string("kern.osrelease");
  if (release == nullptr) {
    const int error = errno;
    MSHXCF_DEBUG("Failed to fetch kern.osrelease value %d: %s", error, std::strerror(error));
    return nullptr;
  }
  std::string text(release);
  std::free(release);
  return makeWithRelease(text);
}

std::shared_ptr<MSHXCrashHostInfo> MSHXCrashHostInfo::makeWithRelease(const std::string& release) {
  auto info = std::make_shared<MSHXCrashHostInfo>();
  const char* at = release.c_str();
  HXCrashHostInfoVersion& version = info->_darwinVersion;
  const bool complete = scanNumber(&at, &version.major) && *at++ == '.' && scanNumber(&at, &version.minor) &&
                        *at++ == '.' && scanNumber(&at, &version.revision);
  if (!complete) MSHXCF_DEBUG("Unexpected kern.osrelease string format: %s", release.c_str());
  return info;
}
