// The monitor registry: switches the monitors on and off together, lets every enabled monitor add
// its part to each crash event, and hands the event to the recorder's callback. Its flags are
// atomic: crashing threads, the watchdog and the installing thread may touch them at once.
#pragma once

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorContext.h"

// Not for crash time. The function every event is handed to.
void plovercrashcm_setEventCallback(void (*onEvent)(PloverCrash_MonitorContext* monitorContext));

// Switches each monitor on when its bit is in the mask and off otherwise (without the debugger-
// disturbed monitors while a debugger is attached, and only the async-safe ones once an async-safe
// event was captured), and returns the mask of the monitors that say they are enabled.
// Crash-time safe when the mask is 0.
PloverCrashMonitorType plovercrashcm_setActiveMonitors(PloverCrashMonitorType monitorTypes);
PloverCrashMonitorType plovercrashcm_getActiveMonitors();

// Crash-time safe. Called by a monitor as soon as it has caught a fatal event. True when this is
// a second fatal event during the handling of one: every monitor is then already switched off.
bool plovercrashcm_notifyFatalExceptionCaptured(bool isAsyncSafeEnvironment);

// Crash-time safe as far as the enabled monitors are. Completes the record and calls the event
// callback; after a fatal event, switches every monitor off so the previous handlers are back.
void plovercrashcm_handleException(PloverCrash_MonitorContext* context);
