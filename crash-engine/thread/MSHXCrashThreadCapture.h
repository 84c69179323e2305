// Registers of the other threads of our own process. Linux has no call that reads a running
// thread's registers from inside the process, so the engine sends the thread a reserved
// real-time signal with tgkill; the thread's handler copies its machine context into a slot
// allocated in advance and then waits there ("parked", the counterpart of a suspended thread)
// until it is resumed or its own wait times out. A thread that does not answer within the
// requester's timeout is reported as failed and can be written without registers.
//
// MShxcrash_nasync_* run outside crash time; every MShxcrash_async_* function is safe at crash
// time (raw system calls, atomics and futexes only; no allocation, no locks).
#pragma once

#include "crash-engine/async/HXCrashAsync.h"

#include <ucontext.h>

#include <cstdint>

// The signal the layer reserves: SIGRTMAX - 3.
int MShxcrash_async_thread_capture_signal();

// Installs the handler for the reserved signal (idempotent). hxcrash_error_internal, with a
// diagnostic line, when sigaction fails.
hxcrash_error_t MShxcrash_nasync_thread_capture_install();

// Parks thread (a kernel thread id of our process) with its context in a slot, waiting at most
// timeout_ms for it to answer. hxcrash_error_invalid_argument for our own thread or when the
// layer is not installed, hxcrash_error_no_memory when every slot is taken,
// hxcrash_error_not_found when tgkill fails (the thread is gone), hxcrash_error_internal when
// it did not answer in time. Nothing is logged. A parked thread is left parked (success).
hxcrash_error_t MShxcrash_async_thread_capture_suspend(vx::thread_t thread, std::uint32_t timeout_ms);

// Crash time. Copies the parked thread's context into out; parks it first (250 ms timeout) when
// it is not parked. 0 on success, else a Mach-style code: KERN_INVALID_ARGUMENT (own thread,
// not installed), KERN_RESOURCE_SHORTAGE (no slot), KERN_INVALID_NAME (no such thread),
// KERN_FAILURE (no answer). Nothing is logged.
int MShxcrash_async_thread_capture_get_context(vx::thread_t thread, mcontext_t* out);

// Crash time. Lets a parked thread go on (nothing when it is not parked).
void MShxcrash_async_thread_capture_resume(vx::thread_t thread);
void MShxcrash_async_thread_capture_resume_all();

// How long a parked thread waits for its resume before it goes on by itself.
inline constexpr std::uint32_t MShxcrash_thread_capture_park_timeout_ms = 10000;
