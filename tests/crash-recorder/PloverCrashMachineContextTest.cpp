// Machine contexts, checked memory reads, thread suspension and names, the thread cache, and the
// name tables, against real threads and real unreadable pages of this process.
#include "reporting/crash-recorder/Recording/PloverCrashCPU.h"
#include "reporting/crash-recorder/Recording/PloverCrashCachedData.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"
#include "reporting/crash-recorder/Recording/PloverCrashMach.h"
#include "reporting/crash-recorder/Recording/PloverCrashMachineContext.h"
#include "reporting/crash-recorder/Recording/PloverCrashMemory.h"
#include "reporting/crash-recorder/Recording/PloverCrashSignalInfo.h"
#include "reporting/crash-recorder/Recording/PloverCrashStackCursor.h"

#include "crash-engine/thread/MSHXCrashThreadCapture.h"
#include "crash-recorder/ForkedChild.h"
#include "crash-recorder/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <ucontext.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Two pages: the first readable, the second PROT_NONE.
class GuardedPages {
 public:
  GuardedPages() {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    memory_ = static_cast<char*>(mmap(nullptr, page_ * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    std::memset(memory_, 'x', page_);
    mprotect(memory_ + page_, page_, PROT_NONE);
  }
  ~GuardedPages() { munmap(memory_, page_ * 2); }
  char* readable() const { return memory_; }
  char* unreadable() const { return memory_ + page_; }
  int pageSize() const { return static_cast<int>(page_); }

 private:
  std::size_t page_;
  char* memory_;
};

TEST(PloverCrashMemoryTest, CopySafelyRefusesUnreadableMemory) {
  GuardedPages pages;
  char target[64] = {};
  EXPECT_TRUE(plovercrashmem_copySafely(pages.readable(), target, 16));
  EXPECT_EQ(target[0], 'x');
  EXPECT_FALSE(plovercrashmem_copySafely(pages.unreadable(), target, 16));
  EXPECT_FALSE(plovercrashmem_copySafely(pages.unreadable() - 8, target, 16));  // spans the edge
  EXPECT_FALSE(plovercrashmem_copySafely(nullptr, target, 8));
  EXPECT_FALSE(plovercrashmem_copySafely(pages.readable(), target, 0));
}

TEST(PloverCrashMemoryTest, ReadableTestsAndLongestRun) {
  GuardedPages pages;
  EXPECT_TRUE(plovercrashmem_isMemoryReadable(pages.readable(), pages.pageSize()));
  EXPECT_FALSE(plovercrashmem_isMemoryReadable(pages.readable(), pages.pageSize() + 1));
  // Starting 100 bytes before the guard page, exactly 100 bytes can be read.
  EXPECT_EQ(plovercrashmem_maxReadableBytes(pages.unreadable() - 100, 5000), 100);
  EXPECT_EQ(plovercrashmem_maxReadableBytes(pages.unreadable(), 10), 0);
  // Whole 10,240-byte chunks first, then the search on the rest.
  std::vector<char> big(30000, 'y');
  EXPECT_EQ(plovercrashmem_maxReadableBytes(big.data(), 30000), 30000);
}

TEST(PloverCrashMemoryTest, CopyMaxPossibleStopsAtTheGuardPage) {
  GuardedPages pages;
  char target[300] = {};
  EXPECT_EQ(plovercrashmem_copyMaxPossible(pages.unreadable() - 37, target, 300), 37);
  EXPECT_EQ(target[36], 'x');
  // A length of 1: 0 from an unreadable address, 1 from a readable one.
  EXPECT_EQ(plovercrashmem_copyMaxPossible(pages.unreadable(), target, 1), 0);
  EXPECT_EQ(plovercrashmem_copyMaxPossible(pages.readable(), target, 1), 1);
  EXPECT_EQ(plovercrashmem_copyMaxPossible(pages.unreadable(), target, 50), 0);
}

TEST(PloverCrashCPUTest, RegisterNamesAndBadIndexes) {
  EXPECT_EQ(plovercrashcpu_numRegisters(), 21);
  EXPECT_STREQ(plovercrashcpu_registerName(0), "rax");
  EXPECT_STREQ(plovercrashcpu_registerName(16), "rip");
  EXPECT_STREQ(plovercrashcpu_registerName(20), "gs");
  EXPECT_EQ(plovercrashcpu_registerName(21), nullptr);
  EXPECT_EQ(plovercrashcpu_registerName(-1), nullptr);
  EXPECT_EQ(plovercrashcpu_numExceptionRegisters(), 3);
  EXPECT_STREQ(plovercrashcpu_exceptionRegisterName(2), "faultvaddr");
  EXPECT_EQ(plovercrashcpu_exceptionRegisterName(3), nullptr);
  EXPECT_EQ(plovercrashcpu_stackGrowDirection(), -1);
  EXPECT_EQ(plovercrashcpu_normaliseInstructionPointer(0x1234), 0x1234u);

  TemporaryFolder folder;
  const std::string log = folder.file("log.txt");
  ASSERT_TRUE(plovercrashlog_setLogFilename(log.c_str(), true));
  PloverCrashMachineContext context{};
  context.machineContext.__ss.rip = 0xabc;
  context.machineContext.__ss.rsp = 0x100;
  context.machineContext.__es.faultvaddr = 0x42;
  EXPECT_EQ(plovercrashcpu_registerValue(&context, 16), 0xabcu);
  EXPECT_EQ(plovercrashcpu_instructionAddress(&context), 0xabcu);
  EXPECT_EQ(plovercrashcpu_stackPointer(&context), 0x100u);
  EXPECT_EQ(plovercrashcpu_faultAddress(&context), 0x42u);
  EXPECT_EQ(plovercrashcpu_exceptionRegisterValue(&context, 2), 0x42u);
  EXPECT_EQ(plovercrashcpu_registerValue(&context, 21), 0u);
  EXPECT_EQ(plovercrashcpu_linkRegister(&context), 0u);
  plovercrashlog_setLogFilename(nullptr, false);
  EXPECT_NE(TemporaryFolder::read(log).find("Invalid register number: 21"), std::string::npos);
}

TEST(PloverCrashCPUTest, CurrentArchitectureIsTheMachines) {
  utsname name;
  ASSERT_EQ(uname(&name), 0);
  ASSERT_NE(plovercrashcpu_currentArch(), nullptr);
  EXPECT_STREQ(plovercrashcpu_currentArch(), name.machine);
}

TEST(PloverCrashNamesTest, MachExceptionAndKernelReturnNames) {
  EXPECT_EQ(plovercrashmach_exceptionName(0), nullptr);
  EXPECT_STREQ(plovercrashmach_exceptionName(1), "EXC_BAD_ACCESS");
  EXPECT_STREQ(plovercrashmach_exceptionName(10), "EXC_CRASH");
  EXPECT_EQ(plovercrashmach_exceptionName(11), nullptr);
  EXPECT_STREQ(plovercrashmach_kernelReturnCodeName(0), "KERN_SUCCESS");
  EXPECT_STREQ(plovercrashmach_kernelReturnCodeName(15), "KERN_INVALID_NAME");
  EXPECT_STREQ(plovercrashmach_kernelReturnCodeName(50), "KERN_CODESIGN_ERROR");
  EXPECT_EQ(plovercrashmach_kernelReturnCodeName(51), nullptr);
}

TEST(PloverCrashNamesTest, SignalMachMappingUsesTheHostsSignals) {
  struct Row {
    int signal;
    int exception;
  };
  const Row rows[] = {{SIGILL, 2},        {SIGTRAP, 6}, {SIGABRT, 10}, {SIGFPE, 3},
                      {SIGKILL, 0x10003}, {SIGBUS, 1},  {SIGSEGV, 1},  {SIGSYS, 0x10000},
                      {SIGPIPE, 0x10001}, {SIGTERM, 0}, {SIGUSR1, 0}};
  for (const Row& row : rows) {
    EXPECT_EQ(plovercrashmach_machExceptionForSignal(row.signal), row.exception) << row.signal;
  }
  EXPECT_EQ(plovercrashmach_signalForMachException(1, 1), SIGSEGV);
  EXPECT_EQ(plovercrashmach_signalForMachException(1, 2), SIGBUS);
  EXPECT_EQ(plovercrashmach_signalForMachException(2, 0), SIGILL);
  EXPECT_EQ(plovercrashmach_signalForMachException(3, 0), SIGFPE);
  EXPECT_EQ(plovercrashmach_signalForMachException(4, 0), 0);  // no SIGEMT here
  EXPECT_EQ(plovercrashmach_signalForMachException(5, 0x10000), SIGSYS);
  EXPECT_EQ(plovercrashmach_signalForMachException(5, 0x10001), SIGPIPE);
  EXPECT_EQ(plovercrashmach_signalForMachException(5, 0x10002), SIGABRT);
  EXPECT_EQ(plovercrashmach_signalForMachException(5, 0x10003), SIGKILL);
  EXPECT_EQ(plovercrashmach_signalForMachException(5, 7), 0);
  EXPECT_EQ(plovercrashmach_signalForMachException(6, 0), SIGTRAP);
  EXPECT_EQ(plovercrashmach_signalForMachException(10, 0), 0);
}

TEST(PloverCrashNamesTest, SignalNamesComeFromTheHostsConstants) {
  ASSERT_EQ(plovercrashsignal_numFatalSignals(), 8);
  const int expected[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGPIPE, SIGSEGV, SIGSYS, SIGTRAP};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(plovercrashsignal_fatalSignals()[i], expected[i]);
  EXPECT_STREQ(plovercrashsignal_signalName(SIGBUS), "SIGBUS");
  EXPECT_STREQ(plovercrashsignal_signalName(SIGSEGV), "SIGSEGV");
  EXPECT_EQ(plovercrashsignal_signalName(SIGTERM), nullptr);
  EXPECT_STREQ(plovercrashsignal_signalCodeName(SIGSEGV, SEGV_ACCERR), "SEGV_ACCERR");
  EXPECT_STREQ(plovercrashsignal_signalCodeName(SIGSEGV, SEGV_MAPERR), "SEGV_MAPERR");
  EXPECT_STREQ(plovercrashsignal_signalCodeName(SIGBUS, BUS_ADRERR), "BUS_ADRERR");
  EXPECT_STREQ(plovercrashsignal_signalCodeName(SIGFPE, FPE_INTDIV), "FPE_INTDIV");
  EXPECT_STREQ(plovercrashsignal_signalCodeName(SIGILL, ILL_ILLOPC), "ILL_ILLOPC");
  EXPECT_STREQ(plovercrashsignal_signalCodeName(SIGTRAP, TRAP_BRKPT), "TRAP_BRKPT");
  EXPECT_EQ(plovercrashsignal_signalCodeName(SIGABRT, 0), nullptr);
  EXPECT_EQ(plovercrashsignal_signalCodeName(SIGPIPE, 1), nullptr);
}

TEST(PloverCrashMachineContextTest, ReservedThreadsStopAtTen) {
  TemporaryFolder folder;
  const std::string log = folder.file("log.txt");
  ChildResult result = runInChild([&] {
    plovercrashlog_setLogFilename(log.c_str(), true);
    for (int i = 0; i < 11; ++i) plovercrashmc_addReservedThread(static_cast<PloverCrashThread>(90000 + i));
    return 0;
  });
  ASSERT_TRUE(result.exitedWith(0));
  EXPECT_NE(TemporaryFolder::read(log).find("Too many reserved threads (10). Max is 9"), std::string::npos);
}

// A thread that counts while it runs and stops when told.
class CountingThread {
 public:
  CountingThread() {
    thread_ = std::thread([this] {
      tid_.store(plovercrashthread_self());
      pthread_setname_np(pthread_self(), "counter");
      while (!stop_.load()) count_.fetch_add(1);
    });
    while (tid_.load() == 0) std::this_thread::yield();
  }
  ~CountingThread() {
    stop_.store(true);
    thread_.join();
  }
  PloverCrashThread tid() const { return tid_.load(); }
  long count() const { return count_.load(); }
  // Waits (bounded) until the count moves past `from`.
  bool advancesPast(long from) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (count_.load() <= from) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }

 private:
  std::thread thread_;
  std::atomic<PloverCrashThread> tid_{0};
  std::atomic<bool> stop_{false};
  std::atomic<long> count_{0};
};

TEST(PloverCrashMachineContextTest, AnotherThreadsRegistersAreReadAndItGoesOn) {
  ASSERT_EQ(MShxcrash_nasync_thread_capture_install(), hxcrash_error_none);
  CountingThread counter;
  PloverCrashMachineContext context;
  ASSERT_TRUE(plovercrashmc_getContextForThread(counter.tid(), &context, false));
  EXPECT_EQ(plovercrashmc_getThreadFromContext(&context), counter.tid());
  EXPECT_FALSE(context.isCurrentThread);
  EXPECT_TRUE(plovercrashmc_canHaveCPUState(&context));
  EXPECT_FALSE(plovercrashmc_hasValidExceptionRegisters(&context));
  EXPECT_NE(plovercrashcpu_instructionAddress(&context), 0u);
  EXPECT_NE(plovercrashcpu_stackPointer(&context), 0u);
  EXPECT_EQ(plovercrashmc_getThreadCount(&context), 0);  // only crashed contexts list threads
  // Reading parked the thread only for the read.
  EXPECT_TRUE(counter.advancesPast(counter.count()));

  char name[32];
  ASSERT_TRUE(plovercrashthread_getThreadName(counter.tid(), name, sizeof name));
  EXPECT_STREQ(name, "counter");
  EXPECT_FALSE(plovercrashthread_getThreadName(0x7ffffff0, name, sizeof name));
}

TEST(PloverCrashMachineContextTest, CurrentThreadCrashedContextListsThreads) {
  ASSERT_EQ(MShxcrash_nasync_thread_capture_install(), hxcrash_error_none);
  CountingThread counter;
  PloverCrashMachineContext context;
  plovercrashmc_getContextForThread(plovercrashthread_self(), &context, true);
  EXPECT_TRUE(context.isCurrentThread);
  EXPECT_TRUE(plovercrashmc_isCrashedContext(&context));
  EXPECT_FALSE(plovercrashmc_canHaveCPUState(&context));
  EXPECT_GE(plovercrashmc_indexOfThread(&context, plovercrashthread_self()), 0);
  EXPECT_GE(plovercrashmc_indexOfThread(&context, counter.tid()), 0);
  EXPECT_EQ(plovercrashmc_indexOfThread(&context, 0x7ffffff0), -1);
  EXPECT_EQ(plovercrashmc_getThreadAtIndex(&context, plovercrashmc_indexOfThread(&context, counter.tid())),
            counter.tid());
}

TEST(PloverCrashMachineContextTest, SuspendedThreadsMakeNoProgressUntilResumed) {
  ASSERT_EQ(MShxcrash_nasync_thread_capture_install(), hxcrash_error_none);
  CountingThread counter;
  ASSERT_TRUE(counter.advancesPast(0));
  plovercrashmc_suspendEnvironment();
  // The crash-time wait for a thread to answer is 250 ms; on a loaded machine the thread may answer
  // later. Waiting for it here (a thread already parked returns at once) keeps the checks below
  // about what parking does, not about the scheduler.
  ASSERT_EQ(MShxcrash_async_thread_capture_suspend(counter.tid(), 60000), hxcrash_error_none);
  const long parked = counter.count();
  for (int i = 0; i < 10000; ++i) std::this_thread::yield();
  EXPECT_EQ(counter.count(), parked);
  // Registers of a parked thread are read without letting it go.
  PloverCrashMachineContext context;
  plovercrashmc_getContextForThread(counter.tid(), &context, false);
  EXPECT_NE(plovercrashcpu_instructionAddress(&context), 0u);
  EXPECT_EQ(counter.count(), parked);
  plovercrashmc_resumeEnvironment();
  EXPECT_TRUE(counter.advancesPast(parked));
}

TEST(PloverCrashMachineContextTest, OnlyTheFirstHundredThreadsAreKept) {
  TemporaryFolder folder;
  const std::string log = folder.file("log.txt");
  ChildResult result = runInChild([&] {
    plovercrashlog_setLogFilename(log.c_str(), true);
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::vector<std::thread> threads;
    for (int i = 0; i < 149; ++i) {
      threads.emplace_back([&] {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, [&] { return finished; });
      });
    }
    PloverCrashMachineContext context;
    plovercrashmc_getContextForThread(plovercrashthread_self(), &context, true);
    childReport("count", "%d", plovercrashmc_getThreadCount(&context));
    {
      std::lock_guard<std::mutex> lock(mutex);
      finished = true;
    }
    done.notify_all();
    for (auto& thread : threads) thread.join();
    return 0;
  });
  ASSERT_TRUE(result.exitedWith(0));
  EXPECT_EQ(result["count"], "100");
  EXPECT_NE(TemporaryFolder::read(log).find("Thread count 150 is higher than maximum of 100"), std::string::npos);
}

// A chain of frame records (previous frame pointer, return address) of the given length.
std::vector<std::uintptr_t> frameChain(int frames) {
  std::vector<std::uintptr_t> chain(static_cast<std::size_t>(frames) * 2 + 2, 0);
  for (int i = 0; i < frames; ++i) {
    const bool last = i == frames - 1;
    chain[i * 2] = last ? 0 : reinterpret_cast<std::uintptr_t>(&chain[(i + 1) * 2]);
    chain[i * 2 + 1] = 0x1000 + static_cast<std::uintptr_t>(i);
  }
  return chain;
}

TEST(PloverCrashMachineContextTest, LongFramePointerChainIsAStackOverflow) {
  struct Case {
    int frames;
    bool overflow;
  };
  for (const Case& c : {Case{10, false}, Case{148, false}, Case{150, true}, Case{400, true}}) {
    std::vector<std::uintptr_t> chain = frameChain(c.frames);
    ucontext_t user{};
    user.uc_mcontext.gregs[REG_RIP] = 0x4242;
    user.uc_mcontext.gregs[REG_RBP] = static_cast<greg_t>(reinterpret_cast<std::uintptr_t>(chain.data()));
    PloverCrashMachineContext context;
    ASSERT_TRUE(plovercrashmc_getContextForSignal(&user, &context));
    EXPECT_EQ(context.isStackOverflow, c.overflow) << c.frames;
    EXPECT_TRUE(context.isSignalContext);
    EXPECT_TRUE(plovercrashmc_hasValidExceptionRegisters(&context));
    EXPECT_EQ(plovercrashcpu_instructionAddress(&context), 0x4242u);
  }
  EXPECT_FALSE(plovercrashmc_getContextForSignal(nullptr, nullptr));
}

TEST(PloverCrashStackCursorTest, MachineContextWalkFollowsTheChainAndStopsAtBadFrames) {
  std::vector<std::uintptr_t> chain = frameChain(5);
  PloverCrashMachineContext context{};
  context.machineContext.__ss.rip = 0x4242;
  context.machineContext.__ss.rbp = reinterpret_cast<std::uintptr_t>(chain.data());
  PloverCrashBacktraceCursor cursor;
  plovercrashsc_initWithMachineContext(&cursor, 100, &context);
  std::vector<std::uintptr_t> seen;
  while (cursor.advanceCursor(&cursor)) seen.push_back(cursor.address);
  // The last record has no previous frame, which ends the walk before its return address.
  EXPECT_EQ(seen, (std::vector<std::uintptr_t>{0x4242, 0x1000, 0x1001, 0x1002, 0x1003}));
  EXPECT_FALSE(cursor.state.hasGivenUp);

  // A frame pointer into an unreadable page ends the walk cleanly.
  GuardedPages pages;
  context.machineContext.__ss.rbp = reinterpret_cast<std::uintptr_t>(pages.unreadable());
  plovercrashsc_initWithMachineContext(&cursor, 100, &context);
  int count = 0;
  while (cursor.advanceCursor(&cursor)) ++count;
  EXPECT_EQ(count, 1);

  cursor.resetCursor(&cursor);
  EXPECT_EQ(cursor.state.currentDepth, 0);
  EXPECT_TRUE(cursor.advanceCursor(&cursor));
  EXPECT_EQ(cursor.address, 0x4242u);
}

TEST(PloverCrashStackCursorTest, BacktraceCursorSkipsAndEndsAtZeroOrOne) {
  const std::uintptr_t addresses[] = {0x10, 0x20, 0x30, 1, 0x50};
  PloverCrashBacktraceCursor cursor;
  plovercrashsc_initWithBacktrace(&cursor, addresses, 5, 1);
  std::vector<std::uintptr_t> seen;
  while (cursor.advanceCursor(&cursor)) seen.push_back(cursor.address);
  EXPECT_EQ(seen, (std::vector<std::uintptr_t>{0x20, 0x30}));

  plovercrashsc_initCursor(&cursor, nullptr, nullptr);
  EXPECT_FALSE(cursor.advanceCursor(&cursor));
  EXPECT_EQ(cursor.symbolicate, plovercrashsymbolicator_symbolicate);
}

__attribute__((noinline)) void captureHere(PloverCrashBacktraceCursor* cursor) {
  plovercrashsc_initSelfThread(cursor, 0);
  asm volatile("");
}

TEST(PloverCrashStackCursorTest, SelfThreadCursorStartsInItsCaller) {
  PloverCrashBacktraceCursor cursor;
  captureHere(&cursor);
  ASSERT_TRUE(cursor.advanceCursor(&cursor));
  const auto start = reinterpret_cast<std::uintptr_t>(&captureHere);
  EXPECT_GT(cursor.address, start);
  EXPECT_LT(cursor.address, start + 256);
  int depth = 1;
  while (cursor.advanceCursor(&cursor)) ++depth;
  EXPECT_GE(depth, 3);  // this test, the test framework, main
  EXPECT_LE(depth, PLOVERCRASHSC_SELF_THREAD_MAX_ENTRIES);
}

TEST(PloverCrashCachedDataTest, CacheNamesThreadsAndFreezeKeepsItsListsStill) {
  ChildResult result = runInChild([] {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 40; ++i) {
      threads.emplace_back([&stop, i] {
        char name[16];
        plovercrashformat_format(name, sizeof name, "worker-%d", i);
        pthread_setname_np(pthread_self(), name);
        while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      });
    }
    plovercrashccd_init(1);
    // Read the lists over and over while the cache thread keeps replacing them; a reader that
    // saw freed lists would be caught by the address sanitizer. Between reads the cache is left
    // unfrozen for a moment, as a refresh is skipped while a freeze holds.
    int refreshesSeen = 0;
    PloverCrashThread* last = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (refreshesSeen < 3 && std::chrono::steady_clock::now() < deadline) {
      plovercrashccd_freeze();
      int count = 0;
      PloverCrashThread* all = plovercrashccd_getAllThreads(&count);
      int named = 0;
      for (int i = 0; i < count; ++i) {
        const char* name = plovercrashccd_getThreadName(all[i]);
        if (name != nullptr && std::strncmp(name, "worker-", 7) == 0) ++named;
        if (plovercrashccd_getQueueName(all[i]) != nullptr) childReport("queue", "unexpected");
      }
      if (all != nullptr && all != last) {
        ++refreshesSeen;
        last = all;
        childReport("named", "%d", named);
      }
      plovercrashccd_unfreeze();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    childReport("refreshes", "%d", refreshesSeen);
    stop.store(true);
    for (auto& thread : threads) thread.join();
    return 0;
  });
  ASSERT_TRUE(result.exitedWith(0)) << result.output;
  EXPECT_EQ(result["refreshes"], "3");
  EXPECT_EQ(result["named"], "40");
  EXPECT_FALSE(result.has("queue"));
}

}  // namespace
