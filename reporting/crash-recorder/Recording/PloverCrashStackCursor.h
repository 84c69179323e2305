// Stack cursors: one fixed-size record that walks a list of return addresses (a backtrace) or a
// thread's frame-pointer chain from its machine context, and names each address's image and
// symbol. The record carries its own working area, so a walk needs no memory beyond it. Every
// function is crash-time safe.
#pragma once

#include "reporting/crash-recorder/Recording/PloverCrashMachineContext.h"

#include <cstdint>

inline constexpr int PLOVERCRASHSC_CONTEXT_SIZE = 100;
// A cursor of the current thread keeps this many return addresses in its own working area.
inline constexpr int PLOVERCRASHSC_SELF_THREAD_MAX_ENTRIES = 97;

struct PloverCrashBacktraceCursor {
  std::uintptr_t address;
  struct {
    std::uintptr_t imageAddress;
    const char* imageName;
    std::uintptr_t symbolAddress;
    const char* symbolName;
  } stackEntry;
  struct {
    int currentDepth;
    bool hasGivenUp;
  } state;
  void (*resetCursor)(PloverCrashBacktraceCursor*);
  bool (*advanceCursor)(PloverCrashBacktraceCursor*);
  bool (*symbolicate)(PloverCrashBacktraceCursor*);
  void* context[PLOVERCRASHSC_CONTEXT_SIZE];
};

// Sets the operations (null reset: the plain reset; null advance: one that always ends; the
// symbolicate operation is always plovercrashsymbolicator_symbolicate) and resets the cursor.
void plovercrashsc_initCursor(PloverCrashBacktraceCursor* cursor, void (*resetCursor)(PloverCrashBacktraceCursor*),
                              bool (*advanceCursor)(PloverCrashBacktraceCursor*));

// Clears the address, symbol information and state.
void plovercrashsc_resetCursor(PloverCrashBacktraceCursor* cursor);

// Walks backtrace[skipEntries ...] until its end or an entry of 0 or 1. The array is borrowed.
void plovercrashsc_initWithBacktrace(PloverCrashBacktraceCursor* cursor, const std::uintptr_t* backtrace,
                                     int backtraceLength, int skipEntries);

// Captures the caller's return addresses (97 at most, by its frame-pointer chain) into the
// cursor's own area; skipEntries leaves out that many of the innermost callers.
void plovercrashsc_initSelfThread(PloverCrashBacktraceCursor* cursor, int skipEntries);

// Walks the context's thread: its instruction address, then the return addresses of its
// frame-pointer chain, read with checked copies. At maxStackDepth the walk gives up
// (state.hasGivenUp). The context is borrowed.
void plovercrashsc_initWithMachineContext(PloverCrashBacktraceCursor* cursor, int maxStackDepth,
                                          const PloverCrashMachineContext* machineContext);

// Names the image and symbol of the cursor's address (looked up at address - 1, inside the
// calling instruction). False, with the information cleared, when no image holds it.
bool plovercrashsymbolicator_symbolicate(PloverCrashBacktraceCursor* cursor);
