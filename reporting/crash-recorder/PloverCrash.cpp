#include "reporting/crash-recorder/PloverCrash.h"

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_System.h"

#include <string>

PloverCrash& PloverCrash::sharedInstance() {
  static PloverCrash instance;
  return instance;
}

vx::ValueMap PloverCrash::systemInfo() const {
  // The system monitor is enabled only at install; until then the block stays zeroed.
  PloverCrash_MonitorContext context{};
  plovercrashcm_system_getAPI()->addContextualInfoToEvent(&context);
  return systemInfoFromContext(context);
}

vx::ValueMap PloverCrash::systemInfoFromContext(const PloverCrash_MonitorContext& context) {
  const auto& b = context.System;
  vx::ValueMap map;
  auto text = [&map](const char* key, const char* value) {
    if (value != nullptr) map.set(key, std::string(value));
  };
  text("systemName", b.systemName);
  text("systemVersion", b.systemVersion);
  text("machine", b.machine);
  text("model", b.model);
  text("kernelVersion", b.kernelVersion);
  text("osVersion", b.osVersion);
  map.set("isJailbroken", b.isJailbroken);
  text("bootTime", b.bootTime);
  text("appStartTime", b.appStartTime);
  text("executablePath", b.executablePath);
  text("executableName", b.executableName);
  text("bundleID", b.bundleID);
  text("bundleName", b.bundleName);
  text("bundleVersion", b.bundleVersion);
  text("bundleShortVersion", b.bundleShortVersion);
  text("appID", b.appID);
  text("cpuArchitecture", b.cpuArchitecture);
  map.set("cpuType", b.cpuType);
  map.set("cpuSubType", b.cpuSubType);
  map.set("binaryCPUType", b.binaryCPUType);
  map.set("binaryCPUSubType", b.binaryCPUSubType);
  text("timezone", b.timezone);
  text("processName", b.processName);
  map.set("processID", b.processID);
  map.set("parentProcessID", b.parentProcessID);
  text("deviceAppHash", b.deviceAppHash);
  text("buildType", b.buildType);
  map.set("storageSize", b.storageSize);
  map.set("memorySize", b.memorySize);
  map.set("freeMemory", b.freeMemory);
  map.set("usableMemory", b.usableMemory);
  return map;
}
