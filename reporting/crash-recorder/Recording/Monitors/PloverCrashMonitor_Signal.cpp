#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_Signal.h"

#include "crash-engine/thread/MSHXCrashThreadCapture.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor.h"
#include "reporting/crash-recorder/Recording/PloverCrashDynamicLinker.h"
#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashID.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"
#include "reporting/crash-recorder/Recording/PloverCrashSignalInfo.h"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>

namespace {

constexpr std::size_t kSignalStackSize = 0x20000;
constexpr int kMaxFatalSignals = 8;

std::atomic<bool> g_isEnabled{false};
PloverCrash_MonitorContext g_monitorContext;
stack_t g_signalStack{};
struct sigaction g_previousSignalHandlers[kMaxFatalSignals];
bool g_installed[kMaxFatalSignals];
char g_eventID[37];

void handleSignal(int sigNum, siginfo_t* signalInfo, void* userContext) {
  if (g_isEnabled.load()) {
    plovercrashmc_suspendEnvironment();
    plovercrashcm_notifyFatalExceptionCaptured(false);

    PloverCrashMachineContext machineContext;
    plovercrashmc_getContextForSignal(userContext, &machineContext);
    PloverCrashBacktraceCursor cursor;
    plovercrashsc_initWithMachineContext(&cursor, 100, &machineContext);

    PloverCrash_MonitorContext* crashContext = &g_monitorContext;
    plovercrashcm_clearContextAfterEventID(crashContext);
    crashContext->crashType = PloverCrashMonitorTypeSignal;
    crashContext->eventID = g_eventID;
    crashContext->offendingMachineContext = &machineContext;
    crashContext->registersAreValid = true;
    crashContext->isStackOverflow = machineContext.isStackOverflow;
    crashContext->faultAddress = reinterpret_cast<std::uintptr_t>(signalInfo->si_addr);
    crashContext->signal.userContext = userContext;
    crashContext->signal.signum = signalInfo->si_signo;
    crashContext->signal.sigcode = signalInfo->si_code;
    crashContext->stackCursor = &cursor;

    plovercrashcm_handleException(crashContext);
    plovercrashmc_resumeEnvironment();
  }
  // By now the registry has put the previous handlers back; they (or the default action) get
  // the signal once this handler returns.
  raise(sigNum);
}

void uninstallSignalHandlers(int upTo) {
  const int* fatalSignals = plovercrashsignal_fatalSignals();
  for (int i = upTo - 1; i >= 0; --i) {
    if (g_installed[i]) {
      sigaction(fatalSignals[i], &g_previousSignalHandlers[i], nullptr);
      g_installed[i] = false;
    }
  }
}

bool installSignalHandlers() {
  if (g_signalStack.ss_size == 0) {
    void* stack = mmap(nullptr, kSignalStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED) {
      PLOVERCRASHLOG_ERROR("signalstack: %s", plovercrashformat_errorText(errno));
      return false;
    }
    g_signalStack.ss_sp = stack;
    g_signalStack.ss_size = kSignalStackSize;
    g_signalStack.ss_flags = 0;
  }
  if (sigaltstack(&g_signalStack, nullptr) != 0) {
    PLOVERCRASHLOG_ERROR("signalstack: %s", plovercrashformat_errorText(errno));
    return false;
  }
  // Other threads are parked through the engine's capture layer while an event is recorded;
  // the image list must exist before crash time too.
  MShxcrash_nasync_thread_capture_install();
  plovercrashdl_imageCount();

  const int* fatalSignals = plovercrashsignal_fatalSignals();
  const int fatalSignalsCount = plovercrashsignal_numFatalSignals();
  struct sigaction action {};
  // SA_NODEFER: a fault inside the handler must reach it again, so that the second crash is
  // recorded as a crash during crash handling; without it the kernel would end the process at
  // once, as a blocked fault signal cannot be delivered.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  action.sa_sigaction = handleSignal;
  for (int i = 0; i < fatalSignalsCount; ++i) {
    g_installed[i] = false;
    if (sigaction(fatalSignals[i], nullptr, &g_previousSignalHandlers[i]) == 0 &&
        (g_previousSignalHandlers[i].sa_flags & SA_SIGINFO) == 0 && g_previousSignalHandlers[i].sa_handler == SIG_IGN) {
      continue;
    }
    if (sigaction(fatalSignals[i], &action, &g_previousSignalHandlers[i]) != 0) {
      const int error = errno;
      const char* sigName = plovercrashsignal_signalName(fatalSignals[i]);
      if (sigName != nullptr) {
        PLOVERCRASHLOG_ERROR("sigaction (%s): %s", sigName, plovercrashformat_errorText(error));
      } else {
        PLOVERCRASHLOG_ERROR("sigaction (%d): %s", fatalSignals[i], plovercrashformat_errorText(error));
      }
      uninstallSignalHandlers(i);
      return false;
    }
    g_installed[i] = true;
  }
  return true;
}

void setEnabled(bool isEnabled) {
  if (isEnabled == g_isEnabled.load()) return;
  if (isEnabled) {
    plovercrashid_generate(g_eventID);
    g_isEnabled.store(true);
    // A monitor that could not install every handler is off, with the handlers it did install
    // taken back.
    if (!installSignalHandlers()) g_isEnabled.store(false);
  } else {
    g_isEnabled.store(false);
    uninstallSignalHandlers(plovercrashsignal_numFatalSignals());
  }
}

bool isEnabled() { return g_isEnabled.load(); }

void addContextualInfo(PloverCrash_MonitorContext* eventContext) {
  if ((eventContext->crashType & PloverCrashMonitorTypeAsyncSafe) == 0) {
    eventContext->signal.signum = SIGABRT;
  }
}

PloverCrashMonitorOps g_api = {setEnabled, isEnabled, addContextualInfo};

}  // namespace

PloverCrashMonitorOps* plovercrashcm_signal_getAPI() { return &g_api; }
