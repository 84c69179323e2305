// The Mach exception monitor. Linux delivers faults as signals and has no exception ports, so
// this monitor is a layer that never becomes enabled here: enabling it leaves it off (the signal
// monitor catches the faults). It still adds the Mach exception type that stands for each event
// of the other monitors, as reports expect one.
#pragma once

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorContext.h"

PloverCrashMonitorOps* plovercrashcm_machexception_getAPI();
