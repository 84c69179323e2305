// The signal monitor: catches the fatal signals on a 128 KiB alternate stack, records the event
// and re-raises the signal for the handler that was there before. A signal that was ignored when
// the monitor was enabled (SIGPIPE, typically) stays ignored: it ends no process, so it is no
// crash.
#pragma once

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorContext.h"

PloverCrashMonitorOps* plovercrashcm_signal_getAPI();
