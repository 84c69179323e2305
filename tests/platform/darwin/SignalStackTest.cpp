// Per-thread alternate signal stacks: installed once, kept when one exists, used by a handler
// after a real stack overflow (in a forked child), released when the thread ends.
#include "platform/darwin/SignalStack.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <thread>

namespace {

stack_t currentStack() {
  stack_t stack{};
  sigaltstack(nullptr, &stack);
  return stack;
}

TEST(SignalStackTest, InstallsOnceAndKeepsAnExistingStack) {
  std::thread([] {
    ASSERT_NE(currentStack().ss_flags & SS_DISABLE, 0) << "a new thread has none";
    ASSERT_TRUE(vx::thread_signal_stack_install());
    const stack_t first = currentStack();
    EXPECT_EQ(first.ss_flags & SS_DISABLE, 0);
    EXPECT_EQ(first.ss_size, vx::kThreadSignalStackSize);
    ASSERT_TRUE(vx::thread_signal_stack_install());
    EXPECT_EQ(currentStack().ss_sp, first.ss_sp);
  }).join();

  // A stack someone else installed stays.
  std::thread([] {
    static char own[64 * 1024];
    stack_t stack{};
    stack.ss_sp = own;
    stack.ss_size = sizeof own;
    ASSERT_EQ(sigaltstack(&stack, nullptr), 0);
    ASSERT_TRUE(vx::thread_signal_stack_install());
    EXPECT_EQ(currentStack().ss_sp, static_cast<void*>(own));
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
  }).join();
}

TEST(SignalStackTest, StackIsReleasedWhenTheThreadEnds) {
  void* sp = nullptr;
  std::thread([&] {
    ASSERT_TRUE(vx::thread_signal_stack_install());
    sp = currentStack().ss_sp;
  }).join();
  ASSERT_NE(sp, nullptr);
  // The mapping is gone: mincore refuses unmapped pages with ENOMEM.
  unsigned char resident = 0;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  void* aligned = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(sp) & ~(page - 1));
  EXPECT_EQ(mincore(aligned, page, &resident), -1);
}

volatile int gDepth = 0;
volatile bool gKeepGoing = true;

__attribute__((noinline)) int recurseForever(int n) {
  volatile char pad[512];
  pad[0] = static_cast<char>(n);
  gDepth = n;
  if (!gKeepGoing) return pad[0];
  return recurseForever(n + 1) + pad[0];
}

void onOverflow(int, siginfo_t*, void*) {
  // Running at all after the overflow needs the alternate stack.
  stack_t current{};
  sigaltstack(nullptr, &current);
  _exit((current.ss_flags & SS_ONSTACK) != 0 ? 7 : 8);
}

TEST(SignalStackTest, HandlerRunsAfterAStackOverflowOnTheThread) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct sigaction action {};
    action.sa_sigaction = onOverflow;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, nullptr);
    std::thread([] {
      if (!vx::thread_signal_stack_install()) _exit(3);
      recurseForever(0);
    }).join();
    _exit(4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

}  // namespace
