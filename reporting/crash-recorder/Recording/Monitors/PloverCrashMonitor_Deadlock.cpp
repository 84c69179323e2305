#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_Deadlock.h"

#include "crash-engine/thread/MSHXCrashThreadCapture.h"
#include "platform/foundation/DispatchQueue.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor.h"
#include "reporting/crash-recorder/Recording/PloverCrashDynamicLinker.h"
#include "reporting/crash-recorder/Recording/PloverCrashID.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace {

std::atomic<double> g_watchdogInterval{0};
std::atomic<bool> g_isEnabled{false};
std::shared_ptr<PloverCrashDeadlockMonitor> g_monitor;
// The main thread: the process's first thread until the main queue says which thread serves it.
std::atomic<PloverCrashThread> g_mainQueueThread{static_cast<PloverCrashThread>(getpid())};
std::atomic<bool> g_mainThreadRecorded{false};
PloverCrash_MonitorContext g_monitorContext;
char g_eventID[37];

void initialize() {
  if (g_mainThreadRecorded.exchange(true)) return;
  g_mainQueueThread.store(static_cast<PloverCrashThread>(getpid()));
  vx::DispatchQueue::main()->async([] { g_mainQueueThread.store(plovercrashthread_self()); });
}

void setEnabled(bool isEnabled) {
  if (isEnabled == g_isEnabled.load()) return;
  g_isEnabled.store(isEnabled);
  if (isEnabled) {
    MShxcrash_nasync_thread_capture_install();
    plovercrashdl_imageCount();
    initialize();
    g_monitor = PloverCrashDeadlockMonitor::make();
  } else if (g_monitor != nullptr) {
    g_monitor->cancel();
    g_monitor.reset();
  }
}

bool isEnabled() { return g_isEnabled.load(); }

PloverCrashMonitorOps g_api = {setEnabled, isEnabled, nullptr};

}  // namespace

std::shared_ptr<PloverCrashDeadlockMonitor> PloverCrashDeadlockMonitor::make() {
  std::shared_ptr<PloverCrashDeadlockMonitor> monitor(new PloverCrashDeadlockMonitor());
  monitor->monitorThread_ = std::thread([raw = monitor.get()] { raw->runMonitor(); });
  pthread_setname_np(monitor->monitorThread_.native_handle(), "PloverCrash Dea");
  return monitor;
}

PloverCrashDeadlockMonitor::~PloverCrashDeadlockMonitor() { cancel(); }

void PloverCrashDeadlockMonitor::cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_.store(true);
  }
  wake_.notify_all();
  if (monitorThread_.joinable() && monitorThread_.get_id() != std::this_thread::get_id()) {
    monitorThread_.join();
  }
}

void PloverCrashDeadlockMonitor::watchdogPulse() {
  setAwaitingResponse(true);
  std::weak_ptr<PloverCrashDeadlockMonitor> weak = weak_from_this();
  vx::DispatchQueue::main()->async([weak] {
    if (auto monitor = weak.lock()) monitor->watchdogAnswer();
  });
}

void PloverCrashDeadlockMonitor::watchdogAnswer() { setAwaitingResponse(false); }

void PloverCrashDeadlockMonitor::handleDeadlock() {
  plovercrashmc_suspendEnvironment();
  plovercrashcm_notifyFatalExceptionCaptured(false);

  PloverCrashMachineContext machineContext;
  plovercrashmc_getContextForThread(g_mainQueueThread.load(), &machineContext, false);
  PloverCrashBacktraceCursor stackCursor;
  plovercrashsc_initWithMachineContext(&stackCursor, 100, &machineContext);
  plovercrashid_generate(g_eventID);

  PloverCrash_MonitorContext* crashContext = &g_monitorContext;
  crashContext->eventID = g_eventID;
  plovercrashcm_clearContextAfterEventID(crashContext);
  crashContext->crashType = PloverCrashMonitorTypeMainThreadDeadlock;
  crashContext->registersAreValid = false;
  crashContext->offendingMachineContext = &machineContext;
  crashContext->stackCursor = &stackCursor;

  plovercrashcm_handleException(crashContext);
  plovercrashmc_resumeEnvironment();
  std::abort();
}

void PloverCrashDeadlockMonitor::runMonitor() {
  for (;;) {
    const double interval = g_watchdogInterval.load();
    const double seconds = interval > 0 ? interval : 5.0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return cancelled_.load(); });
    }
    if (cancelled_.load()) return;
    if (g_watchdogInterval.load() > 0) {
      if (awaitingResponse()) {
        handleDeadlock();
      } else {
        watchdogPulse();
      }
    }
  }
}

PloverCrashMonitorOps* plovercrashcm_deadlock_getAPI() { return &g_api; }

void plovercrashcm_setDeadlockHandlerWatchdogInterval(double value) { g_watchdogInterval.store(value); }
