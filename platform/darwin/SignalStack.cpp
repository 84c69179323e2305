#include "platform/darwin/SignalStack.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace vx {

namespace {

// Owns the calling thread's stack; at thread exit the stack is switched off before it is
// unmapped, so a late signal cannot land on freed memory.
struct ThreadSignalStack {
  void* mapping = nullptr;
  std::size_t length = 0;

  ~ThreadSignalStack() {
    if (mapping == nullptr) return;
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_ONSTACK) != 0) {
      return;  // still running on it: keep the memory
    }
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(mapping, length);
  }
};

thread_local ThreadSignalStack tlsStack;

}  // namespace

bool thread_signal_stack_install() {
  stack_t current{};
  if (sigaltstack(nullptr, &current) != 0) return false;
  if ((current.ss_flags & SS_DISABLE) == 0) return true;

  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t length = kThreadSignalStackSize + page;
  void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return false;
  // A guard page below the stack: a handler that overflows it faults instead of writing into
  // whatever lies below.
  if (mprotect(mapping, page, PROT_NONE) != 0) {
    const int saved = errno;
    munmap(mapping, length);
    errno = saved;
    return false;
  }
  stack_t stack{};
  stack.ss_sp = static_cast<char*>(mapping) + page;
  stack.ss_size = kThreadSignalStackSize;
  stack.ss_flags = 0;
  if (sigaltstack(&stack, nullptr) != 0) {
    const int saved = errno;
    munmap(mapping, length);
    errno = saved;
    return false;
  }
  tlsStack.mapping = mapping;
  tlsStack.length = length;
  return true;
}

}  // namespace vx
