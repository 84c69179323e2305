// The whole crash path allocates nothing: from the fatal signal through the handler, the thread
// capture, every thread's walk and the writer to the closed report file, no heap allocation or
// release happens (counted through the sanitizer runtime's allocation hooks, in a forked child
// with several parked threads and a real fault).
#include "crash-engine/report/MSHXCrashReport.h"
#include "crash-engine/MSHXCrashReporter.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, std::size_t),
                                                         void (*free_hook)(const volatile void*));
#define CE_SANITIZER_HOOKS 1
#endif

namespace {

std::atomic<bool> gInCrashPath{false};
std::atomic<int> gAllocations{0};
volatile std::uintptr_t gZero = 0;

[[maybe_unused]] void countAllocation(const volatile void*, std::size_t) {
  if (gInCrashPath.load()) gAllocations.fetch_add(1);
}
[[maybe_unused]] void countFree(const volatile void*) {
  if (gInCrashPath.load()) gAllocations.fetch_add(1);
}

// Runs after the report file is closed: the child's exit code tells the parent what happened.
void reportClosed(siginfo_t*, ucontext_t*, void*) {
  gInCrashPath = false;
  const int allocations = gAllocations.load();
  if (allocations != 0) std::fprintf(stderr, "the crash path allocated %d times\n", allocations);
  _exit(allocations == 0 ? 0 : 1);
}

volatile bool gNeverSet = false;

// Waits at the given depth until the process ends (the child crashes meanwhile).
__attribute__((noinline)) int park(int depth, std::atomic<int>* ready) {
  if (depth > 0) return park(depth - 1, ready) + 1;
  ready->fetch_add(1);
  while (!gNeverSet) pause();
  return 0;
}

__attribute__((noinline, no_sanitize("address", "undefined"))) void fault() {
  *reinterpret_cast<volatile int*>(gZero) = 1;
}

}  // namespace

#if !defined(CE_SANITIZER_HOOKS)
// Without the sanitizer's hooks the program's own allocator entry points stand in front of the
// C library's, so the optimised build counts the crash path's heap calls too.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);

void* malloc(std::size_t size) noexcept {
  countAllocation(nullptr, size);
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  countAllocation(nullptr, size);
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) noexcept {
  countAllocation(pointer, size);
  return __libc_realloc(pointer, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
  countAllocation(nullptr, size);
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  countAllocation(nullptr, size);
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
  countAllocation(nullptr, size);
  void* pointer = __libc_memalign(alignment, size);
  if (pointer == nullptr) return ENOMEM;
  *out = pointer;
  return 0;
}
void free(void* pointer) noexcept {
  if (pointer != nullptr) countFree(pointer);
  __libc_free(pointer);
}
}
#endif

namespace {

[[noreturn]] void crashWithThreads(int threads) {
#ifdef CE_SANITIZER_HOOKS
  __sanitizer_install_malloc_and_free_hooks(countAllocation, countFree);
#endif
  MSHXCrashReporter reporter("com.vexelworks.allocation", "1", std::nullopt,
                             MSHXCrashReporterConfig::defaultConfiguration());
  HXCrashReporterCallbacks callbacks{0, nullptr, reportClosed};
  reporter.setCrashCallbacks(&callbacks);
  if (!reporter.enableCrashReporter()) _exit(2);
  std::atomic<int> ready{0};
  std::vector<std::thread> others;
  for (int i = 0; i < threads; ++i) others.emplace_back([i, &ready] { park(i % 5 + 1, &ready); });
  while (ready.load() < threads) std::this_thread::yield();
  gInCrashPath = true;
  fault();
  _exit(3);
}

TEST(CrashPathAllocationTest, SignalToClosedReportAllocatesNothing) {
  const vx::test::TemporaryFolder folder("ce-alloc");
  setenv("XDG_CACHE_HOME", folder.path().c_str(), 1);
  for (const int threads : {0, 8}) {
    SCOPED_TRACE(threads);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) crashWithThreads(threads);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the crash path allocated; 2: no reporter";
    // The report the allocation-free path wrote is whole.
    const std::filesystem::path path =
        folder.file("com.vexelworks.crash-engine/com.vexelworks.allocation/live_report.hxcrash");
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    vx::Error error;
    const auto report = MSHXCrashReport::makeWithData(bytes, &error);
    ASSERT_NE(report, nullptr) << error.description;
    EXPECT_EQ(report->threads().size(), static_cast<std::size_t>(threads + 1));
    std::filesystem::remove(path);
  }
}

}  // namespace
