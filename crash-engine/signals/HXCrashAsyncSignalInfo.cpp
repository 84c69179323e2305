#include "crash-engine/signals/HXCrashAsyncSignalInfo.h"

#include <signal.h>

namespace {

struct SignalName {
  int signal;
  const char* name;
};

struct SignalCode {
  int signal;  // 0: any signal
  int code;
  const char* name;
};

// Searched in order; SIGIOT shares SIGABRT's number, so SIGABRT always wins.
constexpr SignalName kSignalNames[] = {
    {SIGHUP, "SIGHUP"},       {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},     {SIGILL, "SIGILL"},
    {SIGTRAP, "SIGTRAP"},     {SIGABRT, "SIGABRT"}, {SIGIOT, "SIGIOT"},
#ifdef SIGEMT
    {SIGEMT, "SIGEMT"},
#endif
    {SIGFPE, "SIGFPE"},       {SIGKILL, "SIGKILL"}, {SIGBUS, "SIGBUS"},       {SIGSEGV, "SIGSEGV"},
    {SIGSYS, "SIGSYS"},       {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"},     {SIGTERM, "SIGTERM"},
    {SIGURG, "SIGURG"},       {SIGSTOP, "SIGSTOP"}, {SIGTSTP, "SIGTSTP"},     {SIGCONT, "SIGCONT"},
    {SIGCHLD, "SIGCHLD"},     {SIGTTIN, "SIGTTIN"}, {SIGTTOU, "SIGTTOU"},     {SIGIO, "SIGIO"},
    {SIGXCPU, "SIGXCPU"},     {SIGXFSZ, "SIGXFSZ"}, {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"},
    {SIGWINCH, "SIGWINCH"},
#ifdef SIGINFO
    {SIGINFO, "SIGINFO"},
#endif
    {SIGUSR1, "SIGUSR1"},     {SIGUSR2, "SIGUSR2"},
#ifdef SIGSTKFLT
    {SIGSTKFLT, "SIGSTKFLT"},
#endif
#ifdef SIGPWR
    {SIGPWR, "SIGPWR"},
#endif
};

// Code 0 means "no code" for the fault signals; the host's own values name the others.
constexpr SignalCode kSignalCodes[] = {
    {SIGILL, 0, "ILL_NOOP"},
    {SIGILL, ILL_ILLOPC, "ILL_ILLOPC"},
    {SIGILL, ILL_ILLTRP, "ILL_ILLTRP"},
    {SIGILL, ILL_PRVOPC, "ILL_PRVOPC"},
    {SIGILL, ILL_ILLOPN, "ILL_ILLOPN"},
    {SIGILL, ILL_ILLADR, "ILL_ILLADR"},
    {SIGILL, ILL_PRVREG, "ILL_PRVREG"},
    {SIGILL, ILL_COPROC, "ILL_COPROC"},
    {SIGILL, ILL_BADSTK, "ILL_BADSTK"},

    {SIGFPE, 0, "FPE_NOOP"},
    {SIGFPE, FPE_FLTDIV, "FPE_FLTDIV"},
    {SIGFPE, FPE_FLTOVF, "FPE_FLTOVF"},
    {SIGFPE, FPE_FLTUND, "FPE_FLTUND"},
    {SIGFPE, FPE_FLTRES, "FPE_FLTRES"},
    {SIGFPE, FPE_FLTINV, "FPE_FLTINV"},
    {SIGFPE, FPE_FLTSUB, "FPE_FLTSUB"},
    {SIGFPE, FPE_INTDIV, "FPE_INTDIV"},
    {SIGFPE, FPE_INTOVF, "FPE_INTOVF"},

    {SIGSEGV, 0, "SEGV_NOOP"},
    {SIGSEGV, SEGV_MAPERR, "SEGV_MAPERR"},
    {SIGSEGV, SEGV_ACCERR, "SEGV_ACCERR"},
#ifdef SEGV_BNDERR
    {SIGSEGV, SEGV_BNDERR, "SEGV_BNDERR"},
#endif
#ifdef SEGV_PKUERR
    {SIGSEGV, SEGV_PKUERR, "SEGV_PKUERR"},
#endif

    {SIGBUS, 0, "BUS_NOOP"},
    {SIGBUS, BUS_ADRALN, "BUS_ADRALN"},
    {SIGBUS, BUS_ADRERR, "BUS_ADRERR"},
    {SIGBUS, BUS_OBJERR, "BUS_OBJERR"},
#ifdef BUS_MCEERR_AR
    {SIGBUS, BUS_MCEERR_AR, "BUS_MCEERR_AR"},
    {SIGBUS, BUS_MCEERR_AO, "BUS_MCEERR_AO"},
#endif

    {SIGTRAP, TRAP_BRKPT, "TRAP_BRKPT"},
    {SIGTRAP, TRAP_TRACE, "TRAP_TRACE"},
#ifdef TRAP_BRANCH
    {SIGTRAP, TRAP_BRANCH, "TRAP_BRANCH"},
#endif
#ifdef TRAP_HWBKPT
    {SIGTRAP, TRAP_HWBKPT, "TRAP_HWBKPT"},
#endif

    {SIGABRT, 0, "#0"},

    // Who sent the signal, for any signal: kill/raise/abort and friends give these codes.
    {0, SI_QUEUE, "SI_QUEUE"},
    {0, SI_TIMER, "SI_TIMER"},
    {0, SI_MESGQ, "SI_MESGQ"},
    {0, SI_ASYNCIO, "SI_ASYNCIO"},
#ifdef SI_SIGIO
    {0, SI_SIGIO, "SI_SIGIO"},
#endif
#ifdef SI_TKILL
    {0, SI_TKILL, "SI_TKILL"},
#endif
#ifdef SI_KERNEL
    {0, SI_KERNEL, "SI_KERNEL"},
#endif
};

}  // namespace

const char* MShxcrash_async_signal_signame(int signal) {
  for (const SignalName& row : kSignalNames) {
    if (row.signal == signal) return row.name;
  }
  return nullptr;
}

const char* MShxcrash_async_signal_sigcode(int signal, int code) {
  for (const SignalCode& row : kSignalCodes) {
    const bool signalMatches = row.signal == 0 ? signal > 0 : row.signal == signal;
    if (signalMatches && row.code == code) {
      return row.name;
    }
  }
  return nullptr;
}
