// Signal and signal-code names, checked against signals really delivered to this process.
#include "crash-engine/signals/HXCrashAsyncSignalInfo.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

TEST(SignalInfoTest, NamesUseTheHostNumbers) {
  const std::pair<int, const char*> names[] = {
      {SIGHUP, "SIGHUP"}, {SIGABRT, "SIGABRT"},   {SIGBUS, "SIGBUS"},   {SIGSEGV, "SIGSEGV"},
      {SIGSYS, "SIGSYS"}, {SIGUSR1, "SIGUSR1"},   {SIGUSR2, "SIGUSR2"}, {SIGCHLD, "SIGCHLD"},
      {SIGIO, "SIGIO"},   {SIGWINCH, "SIGWINCH"}, {SIGPWR, "SIGPWR"},
  };
  for (const auto& [number, name] : names) EXPECT_STREQ(MShxcrash_async_signal_signame(number), name);
  EXPECT_EQ(SIGBUS, 7);
  EXPECT_STREQ(MShxcrash_async_signal_signame(7), "SIGBUS");
  EXPECT_STREQ(MShxcrash_async_signal_signame(31), "SIGSYS");
  EXPECT_STREQ(MShxcrash_async_signal_signame(6), "SIGABRT");  // never SIGIOT
  EXPECT_EQ(MShxcrash_async_signal_signame(0), nullptr);
  EXPECT_EQ(MShxcrash_async_signal_signame(64), nullptr);
}

TEST(SignalInfoTest, CodesUseTheHostConstants) {
  struct Row {
    int signal;
    int code;
    const char* name;
  };
  const Row rows[] = {
      {SIGFPE, FPE_INTDIV, "FPE_INTDIV"}, {SIGFPE, FPE_FLTDIV, "FPE_FLTDIV"},    {SIGFPE, 0, "FPE_NOOP"},
      {SIGILL, ILL_ILLOPN, "ILL_ILLOPN"}, {SIGSEGV, SEGV_MAPERR, "SEGV_MAPERR"}, {SIGSEGV, SEGV_ACCERR, "SEGV_ACCERR"},
      {SIGBUS, BUS_ADRERR, "BUS_ADRERR"}, {SIGTRAP, TRAP_BRKPT, "TRAP_BRKPT"},   {SIGABRT, 0, "#0"},
      {SIGABRT, SI_TKILL, "SI_TKILL"},    {SIGSEGV, SI_KERNEL, "SI_KERNEL"},     {SIGUSR1, SI_QUEUE, "SI_QUEUE"},
  };
  for (const Row& row : rows) {
    EXPECT_STREQ(MShxcrash_async_signal_sigcode(row.signal, row.code), row.name) << row.name;
  }
  EXPECT_EQ(FPE_INTDIV, 1);  // Linux numbering, not the other system's
  EXPECT_EQ(MShxcrash_async_signal_sigcode(SIGTRAP, 0), nullptr);
  EXPECT_EQ(MShxcrash_async_signal_sigcode(SIGSEGV, 99), nullptr);
  EXPECT_EQ(MShxcrash_async_signal_sigcode(0, SI_TKILL), nullptr);
}

// In a child: catch the signal, print its names, and leave with status 0.
void nameSignal(int signal, siginfo_t* info, void*) {
  std::fprintf(stderr, "caught %s %s\n", MShxcrash_async_signal_signame(signal),
               MShxcrash_async_signal_sigcode(signal, info->si_code));
  _exit(0);
}

void catchAll() {
  struct sigaction action {};
  action.sa_sigaction = nameSignal;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGABRT, SIGILL, SIGTRAP}) sigaction(signal, &action, nullptr);
}

volatile int gZero = 0;
// Read at run time, so the compiler sees no constant wild address to warn about.
volatile std::uintptr_t gUnmappedAddress = 16;

TEST(SignalInfoDeathTest, RealSignalsAreNamedCorrectly) {
  EXPECT_EXIT(
      {
        catchAll();
        *reinterpret_cast<volatile int*>(gUnmappedAddress) = 1;
      },
      testing::ExitedWithCode(0), "caught SIGSEGV SEGV_MAPERR");
  EXPECT_EXIT(
      {
        catchAll();
        void* page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        *static_cast<volatile int*>(page) = 1;
      },
      testing::ExitedWithCode(0), "caught SIGSEGV SEGV_ACCERR");
  EXPECT_EXIT(
      {
        catchAll();
        // Divide in assembly: the undefined-behaviour checker would stop a C division first.
        int quotient = 10;
        int divisor = gZero;
        asm volatile("cltd\n\tidivl %1" : "+a"(quotient) : "r"(divisor) : "edx");
      },
      testing::ExitedWithCode(0), "caught SIGFPE FPE_INTDIV");
  EXPECT_EXIT(
      {
        catchAll();
        abort();
      },
      testing::ExitedWithCode(0), "caught SIGABRT SI_TKILL");
  EXPECT_EXIT(
      {
        catchAll();
        __builtin_trap();
      },
      testing::ExitedWithCode(0), "caught SIGILL ILL_ILLOPN");
  EXPECT_EXIT(
      {
        catchAll();
        char path[] = "/tmp/ce-sigbus-XXXXXX";
        const int fd = mkstemp(path);
        unlink(path);
        void* page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);  // empty file
        volatile char c = *static_cast<volatile char*>(page);
        (void)c;
      },
      testing::ExitedWithCode(0), "caught SIGBUS BUS_ADRERR");
}

}  // namespace
