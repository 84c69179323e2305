// What a forked child's event callback tells the parent about a crash event: written with
// crash-time safe calls only, as the callback runs inside the crash handler.
#pragma once

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorContext.h"

#include "crash-recorder/ForkedChild.h"

#include <atomic>

inline std::atomic<int> g_eventCount{0};

inline const char* orNone(const char* text) { return text != nullptr ? text : "(none)"; }

inline void reportMonitorEvent(PloverCrash_MonitorContext* context) {
  const int index = ++g_eventCount;
  childReport("events", "%d", index);
  childReport("type", "%u", static_cast<unsigned>(context->crashType));
  childReport("eventID", "%s", orNone(context->eventID));
  childReport("registersValid", "%d", context->registersAreValid ? 1 : 0);
  childReport("snapshot", "%d", context->currentSnapshotUserReported ? 1 : 0);
  childReport("recrash", "%d", context->crashedDuringCrashHandling ? 1 : 0);
  childReport("asyncSafety", "%d", context->requiresAsyncSafety ? 1 : 0);
  childReport("exceptionName", "%s", orNone(context->exceptionName));
  childReport("reason", "%s", orNone(context->crashReason));
  childReport("fault", "%llx", static_cast<unsigned long long>(context->faultAddress));
  childReport("signal", "%d", context->signal.signum);
  childReport("sigcode", "%d", context->signal.sigcode);
  childReport("machType", "%d", context->mach.type);
  childReport("cppName", "%s", orNone(context->CPPException.name));
  childReport("nsName", "%s", orNone(context->NSException.name));
  childReport("nsUserInfo", "%s", orNone(context->NSException.userInfo));
  childReport("userName", "%s", orNone(context->userException.name));
  childReport("userLanguage", "%s", orNone(context->userException.language));
  childReport("userLine", "%s", orNone(context->userException.lineOfCode));
  childReport("userStack", "%s", orNone(context->userException.customStackTrace));
  if (const PloverCrashMachineContext* machine = context->offendingMachineContext) {
    childReport("thread", "%u", machine->thisThread);
    childReport("threadCount", "%d", machine->threadCount);
    childReport("signalContext", "%d", machine->isSignalContext ? 1 : 0);
    childReport("crashedContext", "%d", machine->isCrashedContext ? 1 : 0);
    childReport("rip", "%llx", static_cast<unsigned long long>(machine->machineContext.__ss.rip));
  }
  if (PloverCrashBacktraceCursor* cursor = context->stackCursor) {
    int frames = 0;
    while (cursor->advanceCursor(cursor)) {
      if (frames == 0) {
        childReport("frame0", "%llx", static_cast<unsigned long long>(cursor->address));
        cursor->symbolicate(cursor);
        childReport("frame0image", "%s", orNone(cursor->stackEntry.imageName));
      }
      ++frames;
    }
    childReport("frames", "%d", frames);
  }
}
