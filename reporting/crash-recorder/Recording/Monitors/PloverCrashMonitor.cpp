#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor.h"

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_AppState.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_CPPException.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_Deadlock.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_MachException.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_NSException.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_Signal.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_System.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_User.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_Zombie.h"
#include "reporting/crash-recorder/Recording/PloverCrashDebug.h"

#include <atomic>

namespace {

struct Monitor {
  PloverCrashMonitorType monitorType;
  PloverCrashMonitorOps* (*getAPI)();
};

// Table order is the order in which monitors are switched and asked for their information.
constexpr Monitor kMonitors[] = {
    {PloverCrashMonitorTypeMachException, plovercrashcm_machexception_getAPI},
    {PloverCrashMonitorTypeSignal, plovercrashcm_signal_getAPI},
    {PloverCrashMonitorTypeNSException, plovercrashcm_nsexception_getAPI},
    {PloverCrashMonitorTypeMainThreadDeadlock, plovercrashcm_deadlock_getAPI},
    {PloverCrashMonitorTypeZombie, plovercrashcm_zombie_getAPI},
    {PloverCrashMonitorTypeCPPException, plovercrashcm_cppexception_getAPI},
    {PloverCrashMonitorTypeUserReported, plovercrashcm_user_getAPI},
    {PloverCrashMonitorTypeSystem, plovercrashcm_system_getAPI},
    {PloverCrashMonitorTypeApplicationState, plovercrashcm_appstate_getAPI},
};

std::atomic<PloverCrashMonitorType> g_activeMonitors{PloverCrashMonitorTypeNone};
std::atomic<bool> g_handlingFatalException{false};
std::atomic<bool> g_crashedDuringExceptionHandling{false};
std::atomic<bool> g_requiresAsyncSafety{false};
std::atomic<void (*)(PloverCrash_MonitorContext*)> g_onExceptionEvent{nullptr};

void setMonitorEnabled(const Monitor& monitor, bool isEnabled) {
  PloverCrashMonitorOps* api = monitor.getAPI();
  if (api != nullptr && api->setEnabled != nullptr) api->setEnabled(isEnabled);
}

bool isMonitorEnabled(const Monitor& monitor) {
  PloverCrashMonitorOps* api = monitor.getAPI();
  return api != nullptr && api->isEnabled != nullptr && api->isEnabled();
}

void addContextualInfo(const Monitor& monitor, PloverCrash_MonitorContext* context) {
  PloverCrashMonitorOps* api = monitor.getAPI();
  if (api != nullptr && api->addContextualInfoToEvent != nullptr) {
    api->addContextualInfoToEvent(context);
  }
}

}  // namespace

void plovercrashcm_setEventCallback(void (*onEvent)(PloverCrash_MonitorContext*)) { g_onExceptionEvent.store(onEvent); }

PloverCrashMonitorType plovercrashcm_setActiveMonitors(PloverCrashMonitorType monitorTypes) {
  std::uint32_t mask = monitorTypes;
  if ((mask & PloverCrashMonitorTypeDebuggerUnsafe) != 0 && plovercrashdebug_isBeingTraced()) {
    mask &= ~std::uint32_t{PloverCrashMonitorTypeDebuggerUnsafe};
  }
  if (g_requiresAsyncSafety.load() && (mask & PloverCrashMonitorTypeAsyncUnsafe) != 0) {
    mask &= PloverCrashMonitorTypeAsyncSafe;
  }
  std::uint32_t active = 0;
  for (const Monitor& monitor : kMonitors) {
    setMonitorEnabled(monitor, (mask & monitor.monitorType) != 0);
    if (isMonitorEnabled(monitor)) active |= monitor.monitorType;
  }
  g_activeMonitors.store(static_cast<PloverCrashMonitorType>(active));
  return static_cast<PloverCrashMonitorType>(active);
}

PloverCrashMonitorType plovercrashcm_getActiveMonitors() { return g_activeMonitors.load(); }

bool plovercrashcm_notifyFatalExceptionCaptured(bool isAsyncSafeEnvironment) {
  if (isAsyncSafeEnvironment) g_requiresAsyncSafety.store(true);
  if (g_handlingFatalException.exchange(true)) g_crashedDuringExceptionHandling.store(true);
  if (g_crashedDuringExceptionHandling.load()) {
    plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeNone);
    return true;
  }
  return false;
}

void plovercrashcm_handleException(PloverCrash_MonitorContext* context) {
  context->requiresAsyncSafety = g_requiresAsyncSafety.load();
  if (g_crashedDuringExceptionHandling.load()) context->crashedDuringCrashHandling = true;
  for (const Monitor& monitor : kMonitors) {
    if (isMonitorEnabled(monitor)) addContextualInfo(monitor, context);
  }
  if (auto* onEvent = g_onExceptionEvent.load()) onEvent(context);
  if (context->currentSnapshotUserReported) {
    g_handlingFatalException.store(false);
  } else if (g_handlingFatalException.load() && !g_crashedDuringExceptionHandling.load()) {
    plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeNone);
  }
}
