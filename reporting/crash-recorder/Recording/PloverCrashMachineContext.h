// Machine contexts: the registers of one thread, the list of the process's threads and the
// flags the report writer needs (crashed, current, stack overflow, from a signal); suspending and
// resuming every other thread while a crash is recorded.
//
// Linux has no call that reads or stops another thread from inside the process. Both go through
// the crash engine's thread capture layer: a thread is "suspended" by parking it in the handler
// of a reserved signal, and its registers are the machine context it parked with. Monitors
// install that layer when they are enabled (MShxcrash_nasync_thread_capture_install).
#pragma once

#include "crash-engine/thread/MSHXCrashThreadState.h"
#include "reporting/crash-recorder/Recording/PloverCrashThread.h"

#include <cstdint>

inline constexpr int PLOVERCRASH_MAX_CAPTURED_THREADS = 100;
inline constexpr int PLOVERCRASH_MAX_RESERVED_THREADS = 10;

// The x86-64 machine state in the layout the other platform's kernel uses: exception state,
// thread state (the 21 general registers), floating-point state (the FXSAVE area).
struct PloverCrashMachineState {
  MShxcrash_x86_exception_state64 __es;
  MShxcrash_x86_thread_state64 __ss;
  std::uint8_t __fs[512];
};

struct PloverCrashMachineContext {
  PloverCrashThread thisThread;
  PloverCrashThread allThreads[PLOVERCRASH_MAX_CAPTURED_THREADS];
  int threadCount;
  bool isCrashedContext;
  bool isCurrentThread;
  bool isStackOverflow;
  bool isSignalContext;
  PloverCrashMachineState machineContext;
};

// Every function below is crash-time safe.

// The size callers reserve for a context (the record above).
int plovercrashmc_contextSize();

// Fills context for thread. Another thread's registers are read (it is parked to read them and
// let go again unless the environment is suspended). A crashed context also walks the stack
// (150 frames at most; a walk that reaches the limit marks a stack overflow) and lists the
// threads. Always true.
bool plovercrashmc_getContextForThread(PloverCrashThread thread, PloverCrashMachineContext* destinationContext,
                                       bool isCrashedContext);

// Fills context from a signal handler's user context (a ucontext_t): registers, the calling
// thread, crashed and signal flags, the stack-overflow walk and the thread list. False for a
// null user context.
bool plovercrashmc_getContextForSignal(void* signalUserContext, PloverCrashMachineContext* destinationContext);

PloverCrashThread plovercrashmc_getThreadFromContext(const PloverCrashMachineContext* context);
int plovercrashmc_getThreadCount(const PloverCrashMachineContext* context);
PloverCrashThread plovercrashmc_getThreadAtIndex(const PloverCrashMachineContext* context, int index);
// The index of thread in the context's thread list, or -1.
int plovercrashmc_indexOfThread(const PloverCrashMachineContext* context, PloverCrashThread thread);
// False for the calling thread outside a signal: its registers were not taken.
bool plovercrashmc_canHaveCPUState(const PloverCrashMachineContext* context);
bool plovercrashmc_isCrashedContext(const PloverCrashMachineContext* context);
bool plovercrashmc_hasValidExceptionRegisters(const PloverCrashMachineContext* context);

// Threads that suspension leaves running. The eleventh is refused with
// "Too many reserved threads (%d). Max is %d".
void plovercrashmc_addReservedThread(PloverCrashThread thread);

// Parks every thread except the caller and the reserved ones ("thread_suspend (%08x): %s" per
// failure); resume lets them all go on.
void plovercrashmc_suspendEnvironment();
void plovercrashmc_resumeEnvironment();
