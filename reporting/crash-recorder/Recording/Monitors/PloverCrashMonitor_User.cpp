#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_User.h"

#include "crash-engine/thread/MSHXCrashThreadCapture.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor.h"
#include "reporting/crash-recorder/Recording/PloverCrashDynamicLinker.h"
#include "reporting/crash-recorder/Recording/PloverCrashID.h"

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<bool> g_isEnabled{false};

void setEnabled(bool isEnabled) {
  if (isEnabled && !g_isEnabled.load()) {
    MShxcrash_nasync_thread_capture_install();
    plovercrashdl_imageCount();
  }
  g_isEnabled.store(isEnabled);
}

bool isEnabled() { return g_isEnabled.load(); }

PloverCrashMonitorOps g_api = {setEnabled, isEnabled, nullptr};

}  // namespace

PloverCrashMonitorOps* plovercrashcm_user_getAPI() { return &g_api; }

void plovercrashcm_reportUserException(const char* name, const char* reason, const char* language,
                                       const char* lineOfCode, const char* stackTrace, bool logAllThreads,
                                       bool terminateProgram) {
  if (!g_isEnabled.load()) return;
  if (logAllThreads) plovercrashmc_suspendEnvironment();
  if (terminateProgram) plovercrashcm_notifyFatalExceptionCaptured(false);

  char eventID[37];
  plovercrashid_generate(eventID);
  PloverCrashMachineContext machineContext;
  plovercrashmc_getContextForThread(plovercrashthread_self(), &machineContext, true);
  PloverCrashBacktraceCursor stackCursor;
  plovercrashsc_initSelfThread(&stackCursor, 0);

  PloverCrash_MonitorContext context;
  context.eventID = eventID;
  plovercrashcm_clearContextAfterEventID(&context);
  context.crashType = PloverCrashMonitorTypeUserReported;
  context.offendingMachineContext = &machineContext;
  context.registersAreValid = false;
  context.crashReason = reason;
  context.userException.name = name;
  context.userException.language = language;
  context.userException.lineOfCode = lineOfCode;
  context.userException.customStackTrace = stackTrace;
  context.stackCursor = &stackCursor;

  plovercrashcm_handleException(&context);

  if (logAllThreads) plovercrashmc_resumeEnvironment();
  if (terminateProgram) std::abort();
}
