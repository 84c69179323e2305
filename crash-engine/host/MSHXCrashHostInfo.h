// The running kernel's version (on Linux the kernel release, e.g. 6.1.0), from which the
// reporter chooses what to catch. Set-up code only: it allocates.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct HXCrashHostInfoVersion {
  std::uint64_t major = 0;
  std::uint64_t minor = 0;
  std::uint64_t revision = 0;
};

class MSHXCrashHostInfo {
 public:
  // The facts of this host, or null when the kernel's release cannot be read (logged).
  static std::shared_ptr<MSHXCrashHostInfo> currentHostInfo();

  // Parses a release text "major.minor.revision[anything]". A text that stops early logs
  // "Unexpected kern.osrelease string format: ..." and keeps the numbers read so far.
  static std::shared_ptr<MSHXCrashHostInfo> makeWithRelease(const std::string& release);

  HXCrashHostInfoVersion darwinVersion() const { return _darwinVersion; }

 private:
  HXCrashHostInfoVersion _darwinVersion;
};
