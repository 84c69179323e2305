#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_NSException.h"

#include "crash-engine/thread/MSHXCrashThreadCapture.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor.h"
#include "reporting/crash-recorder/Recording/PloverCrashDynamicLinker.h"
#include "reporting/crash-recorder/Recording/PloverCrashID.h"

#include <atomic>
#include <vector>

namespace {

std::atomic<bool> g_isEnabled{false};
std::atomic<PloverCrashUncaughtExceptionHandler> g_uncaughtExceptionHandler{nullptr};
PloverCrashUncaughtExceptionHandler g_previousUncaughtExceptionHandler = nullptr;
PloverCrash_MonitorContext g_monitorContext;

void handleException(const PloverCrashNSException* exception, bool currentSnapshotUserReported) {
  if (exception != nullptr && g_isEnabled.load()) {
    plovercrashmc_suspendEnvironment();
    plovercrashcm_notifyFatalExceptionCaptured(false);

    std::vector<std::uintptr_t> callstack(
        exception->callStackReturnAddresses,
        exception->callStackReturnAddresses +
            (exception->callStackReturnAddresses != nullptr && exception->callStackCount > 0 ? exception->callStackCount
                                                                                             : 0));
    char eventID[37];
    plovercrashid_generate(eventID);
    PloverCrashMachineContext machineContext;
    plovercrashmc_getContextForThread(plovercrashthread_self(), &machineContext, true);
    PloverCrashBacktraceCursor cursor;
    plovercrashsc_initWithBacktrace(&cursor, callstack.data(), static_cast<int>(callstack.size()), 0);

    PloverCrash_MonitorContext* crashContext = &g_monitorContext;
    plovercrashcm_clearContextAfterEventID(crashContext);
    crashContext->crashType = PloverCrashMonitorTypeNSException;
    crashContext->eventID = eventID;
    crashContext->offendingMachineContext = &machineContext;
    crashContext->registersAreValid = false;
    crashContext->NSException.name = exception->name;
    crashContext->NSException.userInfo = exception->userInfo;
    crashContext->exceptionName = exception->name;
    crashContext->crashReason = exception->reason;
    crashContext->stackCursor = &cursor;
    crashContext->currentSnapshotUserReported = currentSnapshotUserReported;

    plovercrashcm_handleException(crashContext);
    // The record held pointers into this frame.
    crashContext->eventID = nullptr;
    crashContext->offendingMachineContext = nullptr;
    crashContext->stackCursor = nullptr;
    if (currentSnapshotUserReported) plovercrashmc_resumeEnvironment();
  }
  if (g_previousUncaughtExceptionHandler != nullptr) g_previousUncaughtExceptionHandler(exception);
}

void handleUncaughtException(const PloverCrashNSException* exception) { handleException(exception, false); }

void handleCurrentSnapshotUserReportedException(const PloverCrashNSException* exception) {
  handleException(exception, true);
}

void setEnabled(bool isEnabled) {
  if (isEnabled == g_isEnabled.load()) return;
  g_isEnabled.store(isEnabled);
  if (isEnabled) {
    MShxcrash_nasync_thread_capture_install();
    plovercrashdl_imageCount();
    g_previousUncaughtExceptionHandler = plovercrash_getUncaughtExceptionHandler();
    plovercrash_setUncaughtExceptionHandler(handleUncaughtException);
  } else {
    plovercrash_setUncaughtExceptionHandler(g_previousUncaughtExceptionHandler);
  }
}

bool isEnabled() { return g_isEnabled.load(); }

PloverCrashMonitorOps g_api = {setEnabled, isEnabled, nullptr};

}  // namespace

PloverCrashUncaughtExceptionHandler plovercrash_getUncaughtExceptionHandler() {
  return g_uncaughtExceptionHandler.load();
}

void plovercrash_setUncaughtExceptionHandler(PloverCrashUncaughtExceptionHandler handler) {
  g_uncaughtExceptionHandler.store(handler);
}

PloverCrashMonitorOps* plovercrashcm_nsexception_getAPI() { return &g_api; }

PloverCrashUncaughtExceptionHandler plovercrashcm_nsexception_uncaughtExceptionHandler() {
  return g_isEnabled.load() ? handleUncaughtException : nullptr;
}

PloverCrashUncaughtExceptionHandler plovercrashcm_nsexception_snapshotExceptionHandler() {
  return g_isEnabled.load() ? handleCurrentSnapshotUserReportedException : nullptr;
}
