// The signal handler chain, with real signals in forked children.
#include "crash-engine/signals/MSHXCrashSignalHandler.h"

#include "crash-engine/async/HXCrashAsync.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

siginfo_t* gSeenInfo = nullptr;
ucontext_t* gSeenContext = nullptr;

void say(const char* text) { MShxcrash_async_writen(STDERR_FILENO, text, std::strlen(text)); }

bool printingCallback(int, siginfo_t* info, ucontext_t* uap, void* context, hxcrash_signal_next_handle* next) {
  say(static_cast<const char*>(context));
  gSeenInfo = info;
  gSeenContext = uap;
  return MSHXCrashSignalHandlerForward(next, info->si_signo, info, uap);
}

bool answerFalseCallback(int, siginfo_t*, ucontext_t*, void* context, hxcrash_signal_next_handle*) {
  say(static_cast<const char*>(context));
  return false;
}

void priorSigInfoHandler(int signo, siginfo_t* info, void* uap) {
  say(info == gSeenInfo && uap == gSeenContext ? "prior:same " : "prior:different ");
  if (signo == SIGUSR1 && info->si_signo == SIGUSR1) say("prior:SIGUSR1 ");
  _exit(0);
}

void installPrior(int signo) {
  struct sigaction action {};
  action.sa_sigaction = priorSigInfoHandler;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(signo, &action, nullptr);
}

void registerOrDie(int signo, MShxcrash_signal_callback callback, const char* text) {
  vx::Error error;
  if (!MSHXCrashSignalHandler::sharedHandler()->registerHandlerForSignal(signo, callback, const_cast<char*>(text),
                                                                         &error)) {
    std::fprintf(stderr, "registration failed: %s\n", error.toString().c_str());
    _exit(99);
  }
}

TEST(SignalHandlerDeathTest, CallbacksRunNewestFirstThenThePriorSigInfoAction) {
  EXPECT_EXIT(
      {
        installPrior(SIGUSR1);
        registerOrDie(SIGUSR1, printingCallback, "first ");
        registerOrDie(SIGUSR1, printingCallback, "second ");
        raise(SIGUSR1);
        say("not reached");
        _exit(5);
      },
      testing::ExitedWithCode(0), "^second first prior:same prior:SIGUSR1 $");
}

TEST(SignalHandlerDeathTest, IgnoredPriorActionCountsAsHandled) {
  EXPECT_EXIT(
      {
        signal(SIGUSR2, SIG_IGN);
        registerOrDie(SIGUSR2, printingCallback, "callback ");
        raise(SIGUSR2);
        say("continued");
        _exit(3);
      },
      testing::ExitedWithCode(3), "^callback continued$");
}

// Read at run time, so the compiler sees no constant wild address to warn about.
volatile std::uintptr_t gUnmappedAddress = 8;

TEST(SignalHandlerDeathTest, DefaultPriorActionEndsTheProcessWithTheSameSignal) {
  EXPECT_EXIT(
      {
        signal(SIGSEGV, SIG_DFL);
        registerOrDie(SIGSEGV, printingCallback, "segv-callback ");
        *reinterpret_cast<volatile int*>(gUnmappedAddress) = 1;
        _exit(5);
      },
      testing::KilledBySignal(SIGSEGV), "segv-callback");
}

TEST(SignalHandlerDeathTest, UnhandledSignalIsRaisedAgain) {
  EXPECT_EXIT(
      {
        installPrior(SIGTERM);  // never reached: the only callback does not forward
        registerOrDie(SIGTERM, answerFalseCallback, "refused ");
        raise(SIGTERM);
        _exit(5);
      },
      testing::KilledBySignal(SIGTERM), "^refused $");
}

TEST(SignalHandlerDeathTest, PlainPriorHandlerIsCalledWithTheSignalNumber) {
  EXPECT_EXIT(
      {
        signal(SIGHUP, [](int signo) {
          say(signo == SIGHUP ? "plain:SIGHUP" : "plain:other");
          _exit(4);
        });
        registerOrDie(SIGHUP, printingCallback, "cb ");
        raise(SIGHUP);
        _exit(5);
      },
      testing::ExitedWithCode(4), "^cb plain:SIGHUP$");
}

volatile int gDepth = 0;
volatile bool gKeepGoing = true;

// Recurses until the stack runs out (the flag only hides that from the compiler).
int recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  gDepth = depth;
  if (!gKeepGoing) return frame[0];
  return recurse(depth + 1) + frame[0];
}

bool overflowCallback(int signo, siginfo_t*, ucontext_t*, void*, hxcrash_signal_next_handle*) {
  // The thread's own stack is exhausted: only the alternate stack can run this.
  stack_t current{};
  sigaltstack(nullptr, &current);
  const char* where = (current.ss_flags & SS_ONSTACK) != 0 ? "on-alternate-stack " : "elsewhere ";
  say(where);
  say(signo == SIGSEGV ? "overflow caught" : "wrong signal");
  _exit(0);
}

TEST(SignalHandlerDeathTest, AlternateStackCatchesStackOverflow) {
  EXPECT_EXIT(
      {
        registerOrDie(SIGSEGV, overflowCallback, nullptr);
        recurse(0);
        _exit(5);
      },
      testing::ExitedWithCode(0), "^on-alternate-stack overflow caught$");
}

TEST(SignalHandlerDeathTest, RegisteringTwiceInstallsOnceAndKeepsTheFirstPriorAction) {
  EXPECT_EXIT(
      {
        installPrior(SIGUSR1);
        MSHXCrashSignalHandler* handler = MSHXCrashSignalHandler::sharedHandler();
        vx::Error error;
        bool ok =
            handler->registerHandlerWithSignal(SIGUSR1, &error) && handler->registerHandlerWithSignal(SIGUSR1, &error);
        struct sigaction installed {};
        sigaction(SIGUSR1, nullptr, &installed);
        ok = ok && installed.sa_sigaction == MShxcrash_signal_handler &&
             (installed.sa_flags & (SA_SIGINFO | SA_ONSTACK)) == (SA_SIGINFO | SA_ONSTACK);
        int saved = 0;
        auto& actions = hxcrash_signal_saved_action_list();
        actions.set_reading(true);
        for (auto* item = actions.next(nullptr); item != nullptr; item = actions.next(item)) {
          ++saved;
          ok = ok && item->value.signo == SIGUSR1 && item->value.action.sa_sigaction == priorSigInfoHandler;
        }
        actions.set_reading(false);
        int callbacks = 0;
        auto& chain = hxcrash_signal_callback_list();
        chain.set_reading(true);
        for (auto* item = chain.next(nullptr); item != nullptr; item = chain.next(item)) ++callbacks;
        chain.set_reading(false);
        stack_t stack{};
        sigaltstack(nullptr, &stack);
        ok = ok && stack.ss_size == 65536 && stack.ss_sp == handler->alternateStack().ss_sp;
        std::fprintf(stderr, "saved=%d callbacks=%d ok=%d\n", saved, callbacks, ok ? 1 : 0);
        _exit(0);
      },
      testing::ExitedWithCode(0), "saved=1 callbacks=2 ok=1");
}

bool lastEntryCallback(int signo, siginfo_t* info, ucontext_t* uap, void*, hxcrash_signal_next_handle* next) {
  // The forwarding entry after us has no successor; forwarding to null answers false.
  say(next != nullptr ? "has-next " : "no-next ");
  say(MSHXCrashSignalHandlerForward(nullptr, signo, info, uap) ? "null:true " : "null:false ");
  return MSHXCrashSignalHandlerForward(next, signo, info, uap);
}

TEST(SignalHandlerDeathTest, TheLastEntryGetsNoNextHandle) {
  EXPECT_EXIT(
      {
        signal(SIGUSR2, SIG_IGN);
        registerOrDie(SIGUSR2, lastEntryCallback, nullptr);
        // Walk the chain by hand: the forwarding entry is last and must see a null handle.
        auto& chain = hxcrash_signal_callback_list();
        chain.set_reading(true);
        auto* first = chain.next(nullptr);
        auto* second = chain.next(first);
        const bool shape = second != nullptr && chain.next(second) == nullptr;
        chain.set_reading(false);
        raise(SIGUSR2);
        say(shape ? "shape-ok" : "shape-bad");
        _exit(0);
      },
      testing::ExitedWithCode(0), "^has-next null:false shape-ok$");
}

TEST(SignalHandlerDeathTest, ResetEmptiesTheListsButKeepsTheInstalledAction) {
  EXPECT_EXIT(
      {
        registerOrDie(SIGUSR1, printingCallback, "cb ");
        MSHXCrashSignalHandler::resetHandlers();
        int entries = 0;
        auto& chain = hxcrash_signal_callback_list();
        chain.set_reading(true);
        for (auto* item = chain.next(nullptr); item != nullptr; item = chain.next(item)) ++entries;
        chain.set_reading(false);
        auto& actions = hxcrash_signal_saved_action_list();
        actions.set_reading(true);
        for (auto* item = actions.next(nullptr); item != nullptr; item = actions.next(item)) ++entries;
        actions.set_reading(false);
        struct sigaction installed {};
        sigaction(SIGUSR1, nullptr, &installed);
        std::fprintf(stderr, "entries=%d ours=%d\n", entries,
                     installed.sa_sigaction == MShxcrash_signal_handler ? 1 : 0);
        // With an empty chain the signal is unhandled: default action, raised again.
        raise(SIGUSR1);
        _exit(5);
      },
      testing::KilledBySignal(SIGUSR1), "entries=0 ours=1");
}

TEST(SignalHandlerDeathTest, SigactionFailureIsReported) {
  EXPECT_EXIT(
      {
        vx::Error error;
        const bool ok = MSHXCrashSignalHandler::sharedHandler()->registerHandlerWithSignal(SIGKILL, &error);
        std::fprintf(stderr, "ok=%d domain=%s code=%lld desc=%s underlying=%s/%d\n", ok ? 1 : 0, error.domain.c_str(),
                     static_cast<long long>(error.code), error.description.c_str(),
                     error.userInfo["NSUnderlyingError"]["domain"].get<std::string>().c_str(),
                     error.userInfo["NSUnderlyingError"]["code"].get<int>());
        _exit(0);
      },
      testing::ExitedWithCode(0),
      "ok=0 domain=HXCrashReporterErrorDomain code=1 desc=Failed to register signal handler "
      "underlying=NSPOSIXErrorDomain/22");
}

volatile bool gRaiseAtTheVeryEnd = false;

bool lateCallback(int, siginfo_t*, ucontext_t*, void*, hxcrash_signal_next_handle*) {
  say("late signal handled");
  _exit(42);
}

}  // namespace

// Runs after every static destructor and exit handler of the program: a signal here still
// finds the engine's lists intact.
__attribute__((destructor)) static void raiseAfterExit() {
  if (gRaiseAtTheVeryEnd) raise(SIGUSR1);
}

namespace {

TEST(SignalHandlerDeathTest, SignalDuringExitStillWalksValidLists) {
  EXPECT_EXIT(
      {
        registerOrDie(SIGUSR1, lateCallback, nullptr);
        gRaiseAtTheVeryEnd = true;
        exit(0);
      },
      testing::ExitedWithCode(42), "late signal handled");
}

}  // namespace
