// The NSException monitor. This system has no Objective-C runtime, so an exception reaches the
// monitor as a plain record, through the process-wide uncaught-exception handler slot below
// (where the runtime would call it) or through the facade's snapshot path. Nothing on Linux
// raises one by itself.
#pragma once

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorContext.h"

#include <cstdint>

struct PloverCrashNSException {
  const char* name;
  const char* reason;
  const char* userInfo;  // its description text
  const std::uintptr_t* callStackReturnAddresses;
  int callStackCount;
};

using PloverCrashUncaughtExceptionHandler = void (*)(const PloverCrashNSException* exception);

// The process-wide uncaught-exception handler slot (null until set).
PloverCrashUncaughtExceptionHandler plovercrash_getUncaughtExceptionHandler();
void plovercrash_setUncaughtExceptionHandler(PloverCrashUncaughtExceptionHandler handler);

PloverCrashMonitorOps* plovercrashcm_nsexception_getAPI();

// The two handlers the monitor offers the facade while it is enabled (null while it is not):
// the uncaught-exception handler and the user-reported snapshot handler.
PloverCrashUncaughtExceptionHandler plovercrashcm_nsexception_uncaughtExceptionHandler();
PloverCrashUncaughtExceptionHandler plovercrashcm_nsexception_snapshotExceptionHandler();
