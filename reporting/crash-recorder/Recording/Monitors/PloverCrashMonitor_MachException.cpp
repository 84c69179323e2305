#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_MachException.h"

#include "reporting/crash-recorder/Recording/PloverCrashMach.h"

namespace {

// No exception port can be set up on this system, so the monitor stays off.
void setEnabled(bool) {}

bool isEnabled() { return false; }

void addContextualInfo(PloverCrash_MonitorContext* eventContext) {
  if (eventContext->crashType == PloverCrashMonitorTypeMachException) return;
  if (eventContext->crashType == PloverCrashMonitorTypeSignal) {
    eventContext->mach.type = plovercrashmach_machExceptionForSignal(eventContext->signal.signum);
  } else {
    eventContext->mach.type = PLOVERCRASH_EXC_CRASH;
  }
}

PloverCrashMonitorOps g_api = {setEnabled, isEnabled, addContextualInfo};

}  // namespace

PloverCrashMonitorOps* plovercrashcm_machexception_getAPI() { return &g_api; }
