// The crash event record that a monitor fills and hands to the registry, which lets every enabled
// monitor add its part and passes it on to the event callback (the report writer). Texts are
// borrowed: they point into the monitors' own storage, which outlives the callback.
#pragma once

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorType.h"
#include "reporting/crash-recorder/Recording/PloverCrashMachineContext.h"
#include "reporting/crash-recorder/Recording/PloverCrashStackCursor.h"

#include <cstddef>
#include <cstdint>

struct PloverCrash_MonitorContext {
  const char* eventID;
  bool currentSnapshotUserReported;
  bool requiresAsyncSafety;
  bool crashedDuringCrashHandling;
  bool registersAreValid;
  bool isStackOverflow;
  PloverCrashMachineContext* offendingMachineContext;
  std::uintptr_t faultAddress;
  PloverCrashMonitorType crashType;
  const char* exceptionName;
  const char* crashReason;
  PloverCrashBacktraceCursor* stackCursor;

  struct {
    int type;
    std::int64_t code;
    std::int64_t subcode;
  } mach;

  struct {
    const char* name;
    const char* userInfo;
  } NSException;

  struct {
    const char* name;
  } CPPException;

  struct {
    const void* userContext;
    int signum;
    int sigcode;
  } signal;

  struct {
    const char* name;
    const char* language;
    const char* lineOfCode;
    const char* customStackTrace;
  } userException;

  struct {
    double activeDurationSinceLastCrash;
    double backgroundDurationSinceLastCrash;
    int launchesSinceLastCrash;
    int sessionsSinceLastCrash;
    double activeDurationSinceLaunch;
    double backgroundDurationSinceLaunch;
    int sessionsSinceLaunch;
    bool crashedLastLaunch;
    bool crashedThisLaunch;
    double appStateTransitionTime;
    bool applicationIsActive;
    bool applicationIsInForeground;
  } AppState;

  struct {
    const char* systemName;
    const char* systemVersion;
    const char* machine;
    const char* model;
    const char* kernelVersion;
    const char* osVersion;
    bool isJailbroken;
    const char* bootTime;
    const char* appStartTime;
    const char* executablePath;
    const char* executableName;
    const char* bundleID;
    const char* bundleName;
    const char* bundleVersion;
    const char* bundleShortVersion;
    const char* appID;
    const char* cpuArchitecture;
    int cpuType;
    int cpuSubType;
    int binaryCPUType;
    int binaryCPUSubType;
    const char* timezone;
    const char* processName;
    int processID;
    int parentProcessID;
    const char* deviceAppHash;
    const char* buildType;
    std::uint64_t storageSize;
    std::uint64_t memorySize;
    std::uint64_t freeMemory;
    std::uint64_t usableMemory;
  } System;

  struct {
    std::uintptr_t address;
    const char* name;
    const char* reason;
  } ZombieException;

  const char* consoleLogPath;
};

// Crash-time safe. Clears everything after the event id, which a monitor keeps from one event to
// the next.
inline void plovercrashcm_clearContextAfterEventID(PloverCrash_MonitorContext* context) {
  auto* bytes = reinterpret_cast<unsigned char*>(context);
  const std::size_t start = offsetof(PloverCrash_MonitorContext, currentSnapshotUserReported);
  for (std::size_t i = start; i < sizeof *context; ++i) bytes[i] = 0;
}

// One monitor's operations; any may be null.
struct PloverCrashMonitorOps {
  void (*setEnabled)(bool isEnabled);
  bool (*isEnabled)();
  void (*addContextualInfoToEvent)(PloverCrash_MonitorContext* eventContext);
};
