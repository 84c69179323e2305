// Thread handles of the recorder: a thread is named by its kernel thread id, which stands where
// the other platform has a thread port. Both functions are crash-time safe.
#pragma once

#include <cstdint>

using PloverCrashThread = std::uint32_t;

// The calling thread (no reference is held, so nothing needs releasing).
PloverCrashThread plovercrashthread_self();

// Copies the thread's name (its /proc comm text, at most 15 characters on Linux) into buffer.
// False when the thread is gone, has no name or bufLength is below 2.
bool plovercrashthread_getThreadName(PloverCrashThread thread, char* buffer, int bufLength);
