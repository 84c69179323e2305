// The user-report monitor: records an exception that the host reports itself (a script error,
// say), optionally with every other thread stopped, and optionally ends the process afterwards.
#pragma once

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorContext.h"

PloverCrashMonitorOps* plovercrashcm_user_getAPI();

// Crash-time safe (it allocates nothing). Does nothing while the monitor is disabled. The texts
// are borrowed for the event; stackTrace is JSON text. With terminateProgram the event counts as
// fatal and the process aborts afterwards.
void plovercrashcm_reportUserException(const char* name, const char* reason, const char* language,
                                       const char* lineOfCode, const char* stackTrace, bool logAllThreads,
                                       bool terminateProgram);
