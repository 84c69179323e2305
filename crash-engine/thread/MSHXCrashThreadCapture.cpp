#include "crash-engine/thread/MSHXCrashThreadCapture.h"

#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

enum SlotState : std::int32_t {
  kFree = 0,
  kClaimed = 1,    // a requester is filling in the thread id
  kRequested = 2,  // signal sent, waiting for the thread's handler
  kParked = 3,     // context copied, handler waiting for its resume
  kReleased = 4,   // resumed; the handler frees the slot
};

struct Slot {
  std::atomic<std::int32_t> state;
  std::atomic<std::int32_t> tid;
  mcontext_t context;
};

constexpr int kSlotCount = 256;
Slot gSlots[kSlotCount];
std::atomic<bool> gInstalled{false};

pid_t currentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

std::int32_t* word(std::atomic<std::int32_t>* value) {
  static_assert(sizeof(std::atomic<std::int32_t>) == sizeof(std::int32_t));
  return reinterpret_cast<std::int32_t*>(value);
}

// Waits while *value == expected, at most until deadline (CLOCK_MONOTONIC).
void futexWait(std::atomic<std::int32_t>* value, std::int32_t expected, const timespec& deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
  if (left.tv_nsec < 0) {
    left.tv_nsec += 1000000000L;
    left.tv_sec -= 1;
  }
  if (left.tv_sec < 0) return;
  syscall(SYS_futex, word(value), FUTEX_WAIT_PRIVATE, expected, &left, nullptr, 0);
}

void futexWake(std::atomic<std::int32_t>* value) {
  syscall(SYS_futex, word(value), FUTEX_WAKE_PRIVATE, 0x7fffffff, nullptr, nullptr, 0);
}

timespec deadlineAfter(std::uint32_t ms) {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += ms / 1000;
  t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_nsec -= 1000000000L;
    t.tv_sec += 1;
  }
  return t;
}

bool passed(const timespec& deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

Slot* findSlot(pid_t tid, std::int32_t state) {
  for (Slot& slot : gSlots) {
    if (slot.state.load() == state && slot.tid.load() == tid) return &slot;
  }
  return nullptr;
}

void captureHandler(int, siginfo_t*, void* uap) {
  const int savedErrno = errno;
  Slot* slot = findSlot(currentTid(), kRequested);
  if (slot != nullptr) {
    const auto* uc = static_cast<const ucontext_t*>(uap);
    MShxcrash_async_memcpy(&slot->context, &uc->uc_mcontext, sizeof slot->context);
    slot->context.fpregs = nullptr;
    std::int32_t expected = kRequested;
    if (slot->state.compare_exchange_strong(expected, kParked)) {
      futexWake(&slot->state);
      const timespec deadline = deadlineAfter(MShxcrash_thread_capture_park_timeout_ms);
      while (slot->state.load() == kParked && !passed(deadline)) {
        futexWait(&slot->state, kParked, deadline);
      }
      // Released, or nobody came back for us: free the slot either way.
      slot->tid.store(0);
      slot->state.store(kFree);
    }
  }
  errno = savedErrno;
}

}  // namespace

int MShxcrash_async_thread_capture_signal() { return SIGRTMAX - 3; }

hxcrash_error_t MShxcrash_nasync_thread_capture_install() {
  if (gInstalled.load()) return hxcrash_error_none;
  struct sigaction action {};
  action.sa_sigaction = captureHandler;
  action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  if (sigaction(MShxcrash_async_thread_capture_signal(), &action, nullptr) != 0) {
    MSHXCF_DEBUG("sigaction for the thread capture signal failed: %d", errno);
    return hxcrash_error_internal;
  }
  gInstalled.store(true);
  return hxcrash_error_none;
}

hxcrash_error_t MShxcrash_async_thread_capture_suspend(vx::thread_t thread, std::uint32_t timeout_ms) {
  const pid_t tid = static_cast<pid_t>(thread);
  if (!gInstalled.load() || tid == currentTid() || tid <= 0) {
    return hxcrash_error_invalid_argument;
  }
  if (findSlot(tid, kParked) != nullptr) return hxcrash_error_none;
  Slot* slot = nullptr;
  for (Slot& candidate : gSlots) {
    std::int32_t expected = kFree;
    if (candidate.state.compare_exchange_strong(expected, kClaimed)) {
      slot = &candidate;
      break;
    }
  }
  if (slot == nullptr) return hxcrash_error_no_memory;
  slot->tid.store(tid);
  slot->state.store(kRequested);
  if (syscall(SYS_tgkill, getpid(), tid, MShxcrash_async_thread_capture_signal()) != 0) {
    slot->tid.store(0);
    slot->state.store(kFree);
    return hxcrash_error_not_found;
  }
  const timespec deadline = deadlineAfter(timeout_ms);
  while (slot->state.load() == kRequested && !passed(deadline)) {
    futexWait(&slot->state, kRequested, deadline);
  }
  std::int32_t expected = kRequested;
  if (slot->state.compare_exchange_strong(expected, kFree)) {
    // No answer: take the request back so a late handler finds nothing to fill.
    slot->tid.store(0);
    return hxcrash_error_internal;
  }
  return hxcrash_error_none;
}

int MShxcrash_async_thread_capture_get_context(vx::thread_t thread, mcontext_t* out) {
  const pid_t tid = static_cast<pid_t>(thread);
  Slot* slot = findSlot(tid, kParked);
  if (slot == nullptr) {
    switch (MShxcrash_async_thread_capture_suspend(thread, 250)) {
      case hxcrash_error_none:
        break;
      case hxcrash_error_invalid_argument:
        return vx::KERN_INVALID_ARGUMENT;
      case hxcrash_error_no_memory:
        return vx::KERN_RESOURCE_SHORTAGE;
      case hxcrash_error_not_found:
        return vx::KERN_INVALID_NAME;
      default:
        return vx::KERN_FAILURE;
    }
    slot = findSlot(tid, kParked);
    if (slot == nullptr) return vx::KERN_FAILURE;  // its own wait ran out meanwhile
  }
  MShxcrash_async_memcpy(out, &slot->context, sizeof *out);
  return vx::KERN_SUCCESS;
}

void MShxcrash_async_thread_capture_resume(vx::thread_t thread) {
  Slot* slot = findSlot(static_cast<pid_t>(thread), kParked);
  if (slot == nullptr) return;
  std::int32_t expected = kParked;
  if (slot->state.compare_exchange_strong(expected, kReleased)) futexWake(&slot->state);
}

void MShxcrash_async_thread_capture_resume_all() {
  for (Slot& slot : gSlots) {
    std::int32_t expected = kParked;
    if (slot.state.compare_exchange_strong(expected, kReleased)) futexWake(&slot.state);
  }
}
