// Time from a fatal signal to a closed report file, for processes with 1, 8 and 32 threads.
// Each iteration forks a child that enables the reporter, starts its threads and faults; the
// child takes a monotonic time just before the fault and again in the crash callback (which
// runs after the report file is closed) and hands both to the parent through shared memory.
#include "crash-engine/MSHXCrashReporter.h"

#include <benchmark/benchmark.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Shared {
  std::uint64_t faultNs;
  std::uint64_t closedNs;
};

Shared* g_shared = nullptr;
volatile std::uintptr_t g_zero = 0;

std::uint64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

void reportClosed(siginfo_t*, ucontext_t*, void*) { g_shared->closedNs = nowNs(); }

__attribute__((noinline, no_sanitize("address", "undefined"))) void fault() {
  *reinterpret_cast<volatile int*>(g_zero) = 1;
}

[[noreturn]] void child(int threads) {
  MSHXCrashReporter reporter("com.vexelworks.bench", "1", std::nullopt,
                             MSHXCrashReporterConfig::defaultConfiguration());
  HXCrashReporterCallbacks callbacks{0, nullptr, reportClosed};
  reporter.setCrashCallbacks(&callbacks);
  if (!reporter.enableCrashReporter()) _exit(2);
  std::atomic<int> ready{0};
  std::vector<std::thread> others;
  for (int i = 1; i < threads; ++i) {
    others.emplace_back([&ready] {
      ready.fetch_add(1);
      for (;;) pause();
    });
  }
  while (ready.load() < threads - 1) std::this_thread::yield();
  g_shared->faultNs = nowNs();
  fault();
  _exit(3);
}

void BM_SignalToClosedReport(benchmark::State& state) {
  static const bool prepared = [] {
    char folder[] = "/tmp/ce3benchXXXXXX";
    setenv("XDG_CACHE_HOME", mkdtemp(folder), 1);
    g_shared = static_cast<Shared*>(mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                                         MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    return true;
  }();
  (void)prepared;
  const int threads = static_cast<int>(state.range(0));
  for (auto _ : state) {
    g_shared->faultNs = 0;
    g_shared->closedNs = 0;
    const pid_t pid = fork();
    if (pid == 0) child(threads);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGSEGV || g_shared->closedNs == 0) {
      state.SkipWithError("the child did not write its report");
      break;
    }
    state.SetIterationTime(static_cast<double>(g_shared->closedNs - g_shared->faultNs) / 1e9);
  }
}

BENCHMARK(BM_SignalToClosedReport)->Arg(1)->Arg(8)->Arg(32)->UseManualTime()->Unit(
    benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
