// The zombie monitor: remembers the class of recently freed objects in a fixed cache keyed by
// address, so a crash on a freed object can name what it was, and keeps the name and reason of
// the last freed exception. On the other platform the runtime's deallocation is hooked; this
// system has no Objective-C runtime, so plovercrashzombie_handleDealloc is the hook, called with
// objects laid out in memory as the runtime lays them out.
#pragma once

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorContext.h"

PloverCrashMonitorOps* plovercrashcm_zombie_getAPI();

// Crash-time safe. The class name recorded for the object freed at address, or null (no such
// entry, a later object took the entry, or the monitor was never enabled).
const char* plovercrashzombie_className(const void* object);

// The deallocation hook: records object's address and class name, and, for an exception (its
// class or a superclass is named "NSException"), its "name" and "reason" texts. Does nothing
// while the monitor has no cache.
void plovercrashzombie_handleDealloc(const void* object);
