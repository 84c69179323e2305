// Names of signals and signal codes, from the host's own signal numbers and codes, so the
// signal of a real crash is named as this system numbers it. Safe at crash time.
#pragma once

// The name of the signal ("SIGSEGV"), or null for a number with no name.
const char* MShxcrash_async_signal_signame(int signal);

// The name of a signal's code ("SEGV_MAPERR", "SI_TKILL"), or null when none is known.
const char* MShxcrash_async_signal_sigcode(int signal, int code);
