#include "reporting/crash-recorder/Recording/PloverCrashMachineContext.h"

#include "crash-engine/async/HXCrashAsync.h"
#include "crash-engine/report/MSHXCrashLogWriter.h"
#include "crash-engine/thread/MSHXCrashThreadCapture.h"
#include "reporting/crash-recorder/Recording/PloverCrashCPU.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"
#include "reporting/crash-recorder/Recording/PloverCrashStackCursor.h"

#include <ucontext.h>

#include <atomic>
#include <cerrno>

void plovercrashcpu_i_fillFromMContext(PloverCrashMachineContext* context, const mcontext_t* mcontext);

namespace {

// Enough for the thread list of any process the recorder sees; only the first 100 are kept.
constexpr std::size_t kThreadListCapacity = 1024;
// How long a thread may take to park before it is reported as not suspended.
constexpr std::uint32_t kSuspendTimeoutMs = 250;

std::atomic<PloverCrashThread> g_reservedThreads[PLOVERCRASH_MAX_RESERVED_THREADS];
std::atomic<int> g_reservedThreadsCount{0};
std::atomic<bool> g_environmentSuspended{false};

bool isReserved(PloverCrashThread thread) {
  const int count = g_reservedThreadsCount.load();
  for (int i = 0; i < count && i < PLOVERCRASH_MAX_RESERVED_THREADS; ++i) {
    if (g_reservedThreads[i].load() == thread) return true;
  }
  return false;
}

void clearContext(PloverCrashMachineContext* context) { MShxcrash_async_memset(context, 0, sizeof *context); }

void getThreadList(PloverCrashMachineContext* context) {
  vx::thread_t threads[kThreadListCapacity];
  std::size_t count = 0;
  if (!MShxcrash_async_task_threads(threads, kThreadListCapacity, &count)) {
    PLOVERCRASHLOG_ERROR("task_threads: %s", MShxcrash_async_errno_text(errno));
    return;
  }
  if (count > PLOVERCRASH_MAX_CAPTURED_THREADS) {
    PLOVERCRASHLOG_ERROR("Thread count %d is higher than maximum of %d", static_cast<int>(count),
                         PLOVERCRASH_MAX_CAPTURED_THREADS);
    count = PLOVERCRASH_MAX_CAPTURED_THREADS;
  }
  for (std::size_t i = 0; i < count; ++i) context->allThreads[i] = threads[i];
  context->threadCount = static_cast<int>(count);
}

void markStackOverflow(PloverCrashMachineContext* context) {
  PloverCrashBacktraceCursor cursor;
  plovercrashsc_initWithMachineContext(&cursor, 150, context);
  while (cursor.advanceCursor(&cursor)) {
  }
  context->isStackOverflow = cursor.state.hasGivenUp;
}

}  // namespace

int plovercrashmc_contextSize() { return sizeof(PloverCrashMachineContext); }

bool plovercrashmc_getContextForThread(PloverCrashThread thread, PloverCrashMachineContext* destinationContext,
                                       bool isCrashedContext) {
  clearContext(destinationContext);
  destinationContext->thisThread = thread;
  destinationContext->isCurrentThread = thread == plovercrashthread_self();
  destinationContext->isCrashedContext = isCrashedContext;
  destinationContext->isSignalContext = false;
  if (plovercrashmc_canHaveCPUState(destinationContext)) {
    plovercrashcpu_getState(destinationContext);
    // Reading parked the thread; outside a suspended environment it must go on again.
    if (!g_environmentSuspended.load()) MShxcrash_async_thread_capture_resume(thread);
  }
  if (isCrashedContext) {
    markStackOverflow(destinationContext);
    getThreadList(destinationContext);
  }
  return true;
}

bool plovercrashmc_getContextForSignal(void* signalUserContext, PloverCrashMachineContext* destinationContext) {
  if (signalUserContext == nullptr) return false;
  clearContext(destinationContext);
  const auto* userContext = static_cast<const ucontext_t*>(signalUserContext);
  plovercrashcpu_i_fillFromMContext(destinationContext, &userContext->uc_mcontext);
  destinationContext->thisThread = plovercrashthread_self();
  destinationContext->isCurrentThread = true;
  destinationContext->isCrashedContext = true;
  destinationContext->isSignalContext = true;
  markStackOverflow(destinationContext);
  getThreadList(destinationContext);
  return true;
}

PloverCrashThread plovercrashmc_getThreadFromContext(const PloverCrashMachineContext* context) {
  return context->thisThread;
}

int plovercrashmc_getThreadCount(const PloverCrashMachineContext* context) { return context->threadCount; }

PloverCrashThread plovercrashmc_getThreadAtIndex(const PloverCrashMachineContext* context, int index) {
  if (index < 0 || index >= context->threadCount) return 0;
  return context->allThreads[index];
}

int plovercrashmc_indexOfThread(const PloverCrashMachineContext* context, PloverCrashThread thread) {
  for (int i = 0; i < context->threadCount; ++i) {
    if (context->allThreads[i] == thread) return i;
  }
  return -1;
}

bool plovercrashmc_canHaveCPUState(const PloverCrashMachineContext* context) {
  return !context->isCurrentThread || context->isSignalContext;
}

bool plovercrashmc_isCrashedContext(const PloverCrashMachineContext* context) { return context->isCrashedContext; }

bool plovercrashmc_hasValidExceptionRegisters(const PloverCrashMachineContext* context) {
  return plovercrashmc_canHaveCPUState(context) && plovercrashmc_isCrashedContext(context);
}

void plovercrashmc_addReservedThread(PloverCrashThread thread) {
  const int index = g_reservedThreadsCount.load();
  if (index >= PLOVERCRASH_MAX_RESERVED_THREADS) {
    PLOVERCRASHLOG_ERROR("Too many reserved threads (%d). Max is %d", index, PLOVERCRASH_MAX_RESERVED_THREADS - 1);
    return;
  }
  g_reservedThreads[index].store(thread);
  g_reservedThreadsCount.store(index + 1);
}

void plovercrashmc_suspendEnvironment() {
  vx::thread_t threads[kThreadListCapacity];
  std::size_t count = 0;
  if (!MShxcrash_async_task_threads(threads, kThreadListCapacity, &count)) {
    PLOVERCRASHLOG_ERROR("task_threads: %s", MShxcrash_async_errno_text(errno));
    return;
  }
  g_environmentSuspended.store(true);
  const PloverCrashThread self = plovercrashthread_self();
  for (std::size_t i = 0; i < count; ++i) {
    const PloverCrashThread thread = threads[i];
    if (thread == self || isReserved(thread)) continue;
    const hxcrash_error_t error = MShxcrash_async_thread_capture_suspend(thread, kSuspendTimeoutMs);
    if (error != hxcrash_error_none) {
      PLOVERCRASHLOG_ERROR("thread_suspend (%08x): %s", thread, MShxcrash_async_strerror(error));
    }
  }
}

void plovercrashmc_resumeEnvironment() {
  MShxcrash_async_thread_capture_resume_all();
  g_environmentSuspended.store(false);
}
