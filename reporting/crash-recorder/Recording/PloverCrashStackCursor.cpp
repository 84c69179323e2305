#include "reporting/crash-recorder/Recording/PloverCrashStackCursor.h"

#include "reporting/crash-recorder/Recording/PloverCrashCPU.h"
#include "reporting/crash-recorder/Recording/PloverCrashDynamicLinker.h"
#include "reporting/crash-recorder/Recording/PloverCrashMemory.h"

#include <dlfcn.h>

namespace {

struct BacktraceContext {
  int skipEntries;
  int backtraceLength;
  const std::uintptr_t* backtrace;
};

struct SelfThreadContext {
  BacktraceContext backtrace;
  std::uintptr_t entries[PLOVERCRASHSC_SELF_THREAD_MAX_ENTRIES];
};

struct FrameEntry {
  std::uintptr_t previous;
  std::uintptr_t returnAddress;
};

struct MachineContextCursor {
  const PloverCrashMachineContext* machineContext;
  int maxStackDepth;
  FrameEntry currentFrame;
  std::uintptr_t instructionAddress;
  std::uintptr_t linkRegister;
  bool isPastFramePointer;
};

static_assert(sizeof(SelfThreadContext) <= sizeof(PloverCrashBacktraceCursor::context));
static_assert(sizeof(MachineContextCursor) <= sizeof(PloverCrashBacktraceCursor::context));

template <class T>
T* workingArea(PloverCrashBacktraceCursor* cursor) {
  return reinterpret_cast<T*>(cursor->context);
}

bool advanceNever(PloverCrashBacktraceCursor*) { return false; }

bool advanceBacktrace(PloverCrashBacktraceCursor* cursor) {
  auto* context = workingArea<BacktraceContext>(cursor);
  const int endDepth = context->backtraceLength - context->skipEntries;
  if (cursor->state.currentDepth >= endDepth) return false;
  const std::uintptr_t next = context->backtrace[cursor->state.currentDepth + context->skipEntries];
  if (next == 0 || next == 1) return false;
  cursor->address = next;
  cursor->state.currentDepth++;
  return true;
}

void resetMachineContext(PloverCrashBacktraceCursor* cursor) {
  plovercrashsc_resetCursor(cursor);
  auto* context = workingArea<MachineContextCursor>(cursor);
  context->currentFrame = FrameEntry{};
  context->instructionAddress = 0;
  context->linkRegister = 0;
  context->isPastFramePointer = false;
}

bool advanceMachineContext(PloverCrashBacktraceCursor* cursor) {
  auto* context = workingArea<MachineContextCursor>(cursor);
  if (cursor->state.currentDepth >= context->maxStackDepth) {
    cursor->state.hasGivenUp = true;
    return false;
  }
  std::uintptr_t next = 0;
  if (context->instructionAddress == 0) {
    context->instructionAddress = plovercrashcpu_instructionAddress(context->machineContext);
    if (context->instructionAddress == 0) return false;
    next = context->instructionAddress;
  } else if (context->linkRegister == 0 && !context->isPastFramePointer &&
             (context->linkRegister = plovercrashcpu_linkRegister(context->machineContext)) != 0) {
    next = context->linkRegister;
  } else {
    if (context->currentFrame.previous == 0) {
      if (context->isPastFramePointer) return false;
      context->currentFrame.previous = plovercrashcpu_framePointer(context->machineContext);
      context->isPastFramePointer = true;
    }
    if (!plovercrashmem_copySafely(reinterpret_cast<const void*>(context->currentFrame.previous),
                                   &context->currentFrame, sizeof context->currentFrame)) {
      return false;
    }
    if (context->currentFrame.previous == 0 || context->currentFrame.returnAddress == 0) {
      return false;
    }
    next = context->currentFrame.returnAddress;
  }
  cursor->address = plovercrashcpu_normaliseInstructionPointer(next);
  cursor->state.currentDepth++;
  return true;
}

}  // namespace

void plovercrashsc_resetCursor(PloverCrashBacktraceCursor* cursor) {
  cursor->state.currentDepth = 0;
  cursor->state.hasGivenUp = false;
  cursor->address = 0;
  cursor->stackEntry.imageAddress = 0;
  cursor->stackEntry.imageName = nullptr;
  cursor->stackEntry.symbolAddress = 0;
  cursor->stackEntry.symbolName = nullptr;
}

void plovercrashsc_initCursor(PloverCrashBacktraceCursor* cursor, void (*resetCursor)(PloverCrashBacktraceCursor*),
                              bool (*advanceCursor)(PloverCrashBacktraceCursor*)) {
  cursor->symbolicate = plovercrashsymbolicator_symbolicate;
  cursor->advanceCursor = advanceCursor != nullptr ? advanceCursor : advanceNever;
  cursor->resetCursor = resetCursor != nullptr ? resetCursor : plovercrashsc_resetCursor;
  cursor->resetCursor(cursor);
}

void plovercrashsc_initWithBacktrace(PloverCrashBacktraceCursor* cursor, const std::uintptr_t* backtrace,
                                     int backtraceLength, int skipEntries) {
  plovercrashsc_initCursor(cursor, plovercrashsc_resetCursor, advanceBacktrace);
  auto* context = workingArea<BacktraceContext>(cursor);
  context->skipEntries = skipEntries < 0 ? 0 : skipEntries;
  context->backtraceLength = backtrace == nullptr ? 0 : backtraceLength;
  context->backtrace = backtrace;
}

__attribute__((noinline)) void plovercrashsc_initSelfThread(PloverCrashBacktraceCursor* cursor, int skipEntries) {
  auto* context = workingArea<SelfThreadContext>(cursor);
  int count = 0;
  FrameEntry frame{reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)), 0};
  while (count < PLOVERCRASHSC_SELF_THREAD_MAX_ENTRIES && frame.previous != 0) {
    if (!plovercrashmem_copySafely(reinterpret_cast<const void*>(frame.previous), &frame, sizeof frame) ||
        frame.returnAddress == 0) {
      break;
    }
    context->entries[count++] = frame.returnAddress;
  }
  // The list starts at our caller, so this routine itself needs no skipping.
  plovercrashsc_initWithBacktrace(cursor, context->entries, count, skipEntries);
}

void plovercrashsc_initWithMachineContext(PloverCrashBacktraceCursor* cursor, int maxStackDepth,
                                          const PloverCrashMachineContext* machineContext) {
  plovercrashsc_initCursor(cursor, resetMachineContext, advanceMachineContext);
  auto* context = workingArea<MachineContextCursor>(cursor);
  context->machineContext = machineContext;
  context->maxStackDepth = maxStackDepth;
  context->instructionAddress = 0;
}

bool plovercrashsymbolicator_symbolicate(PloverCrashBacktraceCursor* cursor) {
  Dl_info info;
  if (cursor->address > 1 && plovercrashdl_dladdr(cursor->address - 1, &info)) {
    cursor->stackEntry.imageAddress = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    cursor->stackEntry.imageName = info.dli_fname;
    cursor->stackEntry.symbolAddress = reinterpret_cast<std::uintptr_t>(info.dli_saddr);
    cursor->stackEntry.symbolName = info.dli_sname;
    return true;
  }
  cursor->stackEntry.imageAddress = 0;
  cursor->stackEntry.imageName = nullptr;
  cursor->stackEntry.symbolAddress = 0;
  cursor->stackEntry.symbolName = nullptr;
  return false;
}
