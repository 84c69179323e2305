// The system monitor's facts, compared with what this Linux machine itself says.
#include "reporting/crash-recorder/PloverCrash.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_System.h"

#include "platform/foundation/HostInfo.h"

#include <gtest/gtest.h>

#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <string>

namespace {

std::string executablePath() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

std::string orEmpty(const char* text) { return text != nullptr ? text : ""; }

// The facade before install, then the monitor's facts, in one test: enabling is for good.
TEST(PloverCrashSystemMonitorTest, FactsComeFromTheRunningSystem) {
  // Before the monitor is enabled only the number keys are there, all zero or false.
  const vx::ValueMap before = PloverCrash::sharedInstance().systemInfo();
  EXPECT_FALSE(before.contains("systemName"));
  EXPECT_FALSE(before.contains("executablePath"));
  ASSERT_TRUE(before.contains("memorySize"));
  EXPECT_EQ(before.find("memorySize")->integerValue().value_or(-1), 0);
  EXPECT_EQ(before.find("processID")->integerValue().value_or(-1), 0);
  EXPECT_EQ(before.find("isJailbroken")->boolValue().value_or(true), false);
  EXPECT_EQ(before, PloverCrash::sharedInstance().systemInfo());

  PloverCrashMonitorOps* api = plovercrashcm_system_getAPI();
  api->setEnabled(true);
  ASSERT_TRUE(api->isEnabled());
  PloverCrash_MonitorContext context{};
  api->addContextualInfoToEvent(&context);
  const auto& s = context.System;

  utsname name;
  ASSERT_EQ(uname(&name), 0);
  EXPECT_EQ(orEmpty(s.systemName), vx::HostInfo::osName());
  const vx::OperatingSystemVersion version = vx::HostInfo::osVersion();
  const std::string expectedVersion =
      version.patch != 0
          ? std::to_string(version.major) + "." + std::to_string(version.minor) + "." + std::to_string(version.patch)
          : std::to_string(version.major) + "." + std::to_string(version.minor);
  EXPECT_EQ(orEmpty(s.systemVersion), expectedVersion);
  EXPECT_EQ(orEmpty(s.kernelVersion), name.version);
  EXPECT_EQ(orEmpty(s.osVersion), name.release);
  if (auto model = vx::HostInfo::model()) {
    EXPECT_EQ(orEmpty(s.machine), *model);
  }
  EXPECT_EQ(s.model, nullptr);
  EXPECT_FALSE(s.isJailbroken);
  EXPECT_EQ(orEmpty(s.cpuArchitecture), std::string(name.machine) == "x86_64" ? "x86_64" : name.machine);
  if (std::string(name.machine) == "x86_64") {
    EXPECT_EQ(s.cpuType, 0x1000007);
    EXPECT_EQ(s.cpuSubType, 3);
    EXPECT_EQ(s.binaryCPUType, 0x1000007);
  }
  EXPECT_EQ(s.processID, getpid());
  EXPECT_EQ(s.parentProcessID, getppid());
  std::ifstream comm("/proc/self/comm");
  std::string processName;
  std::getline(comm, processName);
  EXPECT_EQ(orEmpty(s.processName), processName);
  EXPECT_EQ(orEmpty(s.executablePath), executablePath());
  EXPECT_EQ(orEmpty(s.executableName), executablePath().substr(executablePath().rfind('/') + 1));
  EXPECT_TRUE(
      std::regex_match(orEmpty(s.appID), std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
      << orEmpty(s.appID);
  EXPECT_TRUE(std::regex_match(orEmpty(s.deviceAppHash), std::regex("[0-9a-f]{40}")));
  EXPECT_EQ(orEmpty(s.buildType), "unknown");
  EXPECT_FALSE(orEmpty(s.timezone).empty());

  const auto boot = vx::HostInfo::bootTime();
  ASSERT_TRUE(boot.has_value());
  const std::time_t bootSeconds = std::chrono::system_clock::to_time_t(*boot);
  char bootText[32];
  std::strftime(bootText, sizeof bootText, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&bootSeconds));
  EXPECT_EQ(orEmpty(s.bootTime), bootText);
  EXPECT_TRUE(std::regex_match(orEmpty(s.appStartTime), std::regex("\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z")));

  struct statvfs volume;
  ASSERT_EQ(statvfs(std::getenv("HOME"), &volume), 0);
  EXPECT_EQ(s.storageSize, static_cast<std::uint64_t>(volume.f_blocks) * volume.f_frsize);
  EXPECT_EQ(s.memorySize,
            static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)));
  EXPECT_GT(s.freeMemory, 0u);
  EXPECT_GE(s.usableMemory, s.freeMemory);
  EXPECT_LE(s.usableMemory, s.memorySize);

  // The facade now carries the texts too.
  const vx::ValueMap after = PloverCrash::sharedInstance().systemInfo();
  ASSERT_TRUE(after.contains("systemName"));
  EXPECT_EQ(*after.find("systemName")->stringValue(), vx::HostInfo::osName());
  EXPECT_EQ(after.find("processID")->integerValue().value_or(-1), getpid());
  EXPECT_FALSE(after.contains("model"));

  // Disabling keeps the facts but copies none.
  api->setEnabled(false);
  PloverCrash_MonitorContext disabled{};
  api->addContextualInfoToEvent(&disabled);
  EXPECT_EQ(disabled.System.systemName, nullptr);
  api->setEnabled(true);
  PloverCrash_MonitorContext again{};
  api->addContextualInfoToEvent(&again);
  EXPECT_EQ(again.System.systemName, s.systemName);
}

}  // namespace
