// The recorder's shared facade. Of it, the error-reporting client reaches only systemInfo, and
// only before the recorder is installed (the application never installs it).
#pragma once

#include "platform/foundation/Value.h"

#include <cstdint>
#include <optional>
#include <string>

// The system block of a crash event record: what the system monitor gathers at install.
struct PloverCrashSystemBlock {
  std::optional<std::string> systemName, systemVersion, machine, model, kernelVersion, osVersion;
  bool isJailbroken = false;
  std::optional<std::string> bootTime, appStartTime, executablePath, executableName, bundleID,
      bundleName, bundleVersion, bundleShortVersion, appID, cpuArchitecture;
  std::int32_t cpuType = 0, cpuSubType = 0, binaryCPUType = 0, binaryCPUSubType = 0;
  std::optional<std::string> timezone, processName;
  std::int32_t processID = 0, parentProcessID = 0;
  std::optional<std::string> deviceAppHash, buildType;
  std::uint64_t storageSize = 0, memorySize = 0, freeMemory = 0, usableMemory = 0;
};

class PloverCrash {
 public:
  static PloverCrash& sharedInstance();

  // A new map of the system facts, built afresh on every call, keys in the recorder's order:
  // text keys only when present, number and flag keys always. Before install the system monitor
  // has gathered nothing, so only the number keys are there, all zero or false.
  vx::ValueMap systemInfo() const;

  // Builds the map from a system block (shared with the system monitor once it exists).
  static vx::ValueMap systemInfoFromBlock(const PloverCrashSystemBlock& block);

 private:
  PloverCrash() = default;
};
