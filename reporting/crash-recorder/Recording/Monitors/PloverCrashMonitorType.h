// The monitors' type bits and the masks built from them.
#pragma once

#include <cstdint>

enum PloverCrashMonitorType : std::uint32_t {
  PloverCrashMonitorTypeNone = 0,
  PloverCrashMonitorTypeMachException = 0x01,
  PloverCrashMonitorTypeSignal = 0x02,
  PloverCrashMonitorTypeCPPException = 0x04,
  PloverCrashMonitorTypeNSException = 0x08,
  PloverCrashMonitorTypeMainThreadDeadlock = 0x10,
  PloverCrashMonitorTypeUserReported = 0x20,
  PloverCrashMonitorTypeSystem = 0x40,
  PloverCrashMonitorTypeApplicationState = 0x80,
  PloverCrashMonitorTypeZombie = 0x100,

  // Monitors that need no locks and no allocation.
  PloverCrashMonitorTypeAsyncSafe = 0x03,
  // Monitors that a debugger disturbs.
  PloverCrashMonitorTypeDebuggerUnsafe = 0x0F,
  // Every other monitor.
  PloverCrashMonitorTypeDebuggerSafe = 0x1F0,
  // Every monitor that is not async-safe.
  PloverCrashMonitorTypeAsyncUnsafe = 0x1FC,
  // The default set: all but the deadlock and zombie monitors.
  PloverCrashMonitorTypeProductionSafe = 0xEF,
  PloverCrashMonitorTypeAll = 0x1FF,
};
