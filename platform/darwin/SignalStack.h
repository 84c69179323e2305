// Alternate signal stacks for threads. A fatal-signal handler installed with SA_ONSTACK runs on
// the thread's alternate stack; a thread without one that overflows its own stack is killed
// before any handler runs. The threads platform/ starts (dispatch and operation-queue workers,
// the HTTP thread) call this when they start; other threads may call it themselves.
#pragma once

#include <cstddef>

namespace vx {

// Size of the stacks thread_signal_stack_install gives (a guard page below comes on top).
inline constexpr std::size_t kThreadSignalStackSize = 128 * 1024;

// Gives the calling thread an alternate signal stack of its own, released when the thread
// ends. A thread that already has one (installed by anyone) keeps it. Returns false, with errno
// set by the failing call, when no stack could be mapped or installed; nothing changes then.
// Not for signal handlers.
bool thread_signal_stack_install();

}  // namespace vx
