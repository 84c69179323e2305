// The fatal signals the recorder catches and the names of signals and their codes. The names
// come from the crash engine's tables, which are keyed by this host's own signal numbers and
// codes. Every function is crash-time safe.
#pragma once

// "SIGSEGV" and so on for the fatal signals; null for any other signal.
const char* plovercrashsignal_signalName(int signal);

// The name of a code of SIGBUS, SIGFPE, SIGILL, SIGSEGV or SIGTRAP ("SEGV_ACCERR"); null for
// the other signals and for codes without a name.
const char* plovercrashsignal_signalCodeName(int signal, int code);

// SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGPIPE, SIGSEGV, SIGSYS, SIGTRAP, in that order.
const int* plovercrashsignal_fatalSignals();
int plovercrashsignal_numFatalSignals();
