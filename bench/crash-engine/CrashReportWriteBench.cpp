// Time from a fatal signal to a closed report file, for processes with 1, 8 and 32 threads,
// with and without frames named from symbol tables; and the symbol lookup per frame alone.
// Each iteration forks a child that enables the reporter, starts its threads and faults; the
// child takes a monotonic time just before the fault and again in the crash callback (which
// runs after the report file is closed) and hands both to the parent through shared memory.
#include "crash-engine/MSHXCrashReporter.h"
#include "crash-engine/symbols/MSHXCrashSymbolication.h"
#include "tests/support/TemporaryFolder.h"

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

[[noreturn]] void child(int threads, int strategy) {
  MSHXCrashReporter reporter("com.vexelworks.bench", "1", std::nullopt,
                             std::make_shared<MSHXCrashReporterConfig>(0, strategy));
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
    // Removed when the run ends (the crashing children leave through _exit or a signal).
    static const vx::test::TemporaryFolder folder("crashengine-bench");
    setenv("XDG_CACHE_HOME", folder.path().c_str(), 1);
    g_shared =
        static_cast<Shared*>(mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    return true;
  }();
  (void)prepared;
  const int threads = static_cast<int>(state.range(0));
  const int strategy = static_cast<int>(state.range(1));  // 1: frames named from symbol tables
  for (auto _ : state) {
    g_shared->faultNs = 0;
    g_shared->closedNs = 0;
    const pid_t pid = fork();
    if (pid == 0) child(threads, strategy);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGSEGV || g_shared->closedNs == 0) {
      state.SkipWithError("the child did not write its report");
      break;
    }
    state.SetIterationTime(static_cast<double>(g_shared->closedNs - g_shared->faultNs) / 1e9);
  }
}

BENCHMARK(BM_SignalToClosedReport)
    ->ArgsProduct({{1, 8, 32}, {0, 1}})
    ->ArgNames({"threads", "symbols"})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

// What naming one frame costs at crash time: the symbol lookup the writer makes per frame, over
// return addresses of this program and of the C library (prepared tables), and over the C
// library's .dynsym walked in memory as for an image found only at crash time.
void BM_SymbolLookupPerFrame(benchmark::State& state) {
  static MShxcrash_async_image_list* list = [] {
    auto* l = new MShxcrash_async_image_list{};
    MShxcrash_nasync_image_list_init(l, vx::mach_task_self());
    MShxcrash_nasync_image_list_track(l);
    return l;
  }();
  const bool walked = state.range(0) != 0;
  const std::uint64_t pcs[] = {
      reinterpret_cast<std::uint64_t>(&fault) + 4, reinterpret_cast<std::uint64_t>(&child) + 16,
      reinterpret_cast<std::uint64_t>(&getppid) + 2, reinterpret_cast<std::uint64_t>(&clock_gettime) + 2};
  MShxcrash_async_image_list_set_reading(list, true);
  std::size_t named = 0;
  for (auto _ : state) {
    for (const std::uint64_t pc : pcs) {
      MShxcrash_async_macho* image = MShxcrash_async_image_containing_address(list, pc);
      if (image == nullptr) continue;
      MShxcrash_async_macho bare;
      if (walked) {
        bare = *image;
        bare.symbol_table = nullptr;
        image = &bare;
      }
      MShxcrash_async_symbol_cache cache;
      MShxcrash_async_symbol_cache_init(&cache);
      if (MShxcrash_async_find_symbol(
              image, 1, &cache, pc, [](hxcrash_vm_address_t, const char*, void* n) { ++*static_cast<std::size_t*>(n); },
              &named) == hxcrash_error_none) {
        benchmark::DoNotOptimize(named);
      }
    }
  }
  MShxcrash_async_image_list_set_reading(list, false);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 4);
  state.counters["named"] = static_cast<double>(named) / static_cast<double>(state.iterations());
}

BENCHMARK(BM_SymbolLookupPerFrame)->ArgNames({"dynsym_walk"})->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
