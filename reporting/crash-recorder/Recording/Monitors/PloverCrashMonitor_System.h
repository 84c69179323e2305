// The system monitor: gathers the facts about the machine, the system and the running program
// once, when it is first enabled, and copies them into every event together with the memory
// that is free at that moment. On Linux the facts come from os-release, uname, sysconf, /proc,
// /sys, statvfs, the bundle facts and the executable's build id.
#pragma once

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorContext.h"

PloverCrashMonitorOps* plovercrashcm_system_getAPI();
