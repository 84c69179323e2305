// Time from a fatal signal to a closed crash report, for processes with 1, 8 and 32 threads:
// the recorder's JSON report beside the crash engine's protobuf report of the same kind of
// process, in the same run. Each iteration forks a child that sets up one of the two, starts its
// threads and faults; the child takes a monotonic time just before the fault and again once its
// report file is closed, and hands both to the parent through shared memory.
#include "crash-engine/MSHXCrashReporter.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor.h"
#include "reporting/crash-recorder/Recording/PloverCrashReport.h"
#include "reporting/crash-recorder/Recording/PloverCrashReportStore.h"
#include "reporting/crash-recorder/Recording/PloverCrashCachedData.h"
#include "tests/support/TemporaryFolder.h"

#include <benchmark/benchmark.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Shared {
  std::uint64_t faultNs;
  std::uint64_t closedNs;
  std::uint64_t reportBytes;
};

Shared* g_shared = nullptr;
std::string* g_folder = nullptr;
volatile std::uintptr_t g_zero = 0;

std::uint64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

__attribute__((noinline, no_sanitize("address", "undefined"))) void fault() {
  *reinterpret_cast<volatile int*>(g_zero) = 1;
}

void startThreadsAndFault(int threads) {
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

char g_reportPath[500];

void writeJSONReport(PloverCrash_MonitorContext* context) {
  plovercrashcrs_getNextCrashReportPath(g_reportPath);
  plovercrashreport_writeStandardReport(context, g_reportPath);
  g_shared->closedNs = nowNs();
}

[[noreturn]] void jsonChild(int threads) {
  plovercrashcrs_initialize("Bench", (*g_folder + "/Reports").c_str());
  plovercrashccd_init(60);
  plovercrashcm_setEventCallback(writeJSONReport);
  if (plovercrashcm_setActiveMonitors(
          static_cast<PloverCrashMonitorType>(PloverCrashMonitorTypeSignal | PloverCrashMonitorTypeSystem)) == 0) {
    _exit(2);
  }
  startThreadsAndFault(threads);
  _exit(3);
}

void protobufReportClosed(siginfo_t*, ucontext_t*, void*) { g_shared->closedNs = nowNs(); }

[[noreturn]] void protobufChild(int threads) {
  MSHXCrashReporter reporter("com.vexelworks.bench", "1", std::nullopt,
                             MSHXCrashReporterConfig::defaultConfiguration());
  HXCrashReporterCallbacks callbacks{0, nullptr, protobufReportClosed};
  reporter.setCrashCallbacks(&callbacks);
  if (!reporter.enableCrashReporter()) _exit(2);
  startThreadsAndFault(threads);
  _exit(3);
}

void prepare() {
  static const bool prepared = [] {
    // Removed when the run ends (the crashing children leave through _exit or a signal).
    static const vx::test::TemporaryFolder folder("plovercrash-bench");
    g_folder = new std::string(folder.path().string());
    setenv("XDG_CACHE_HOME", g_folder->c_str(), 1);
    g_shared =
        static_cast<Shared*>(mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    return true;
  }();
  (void)prepared;
}

void run(benchmark::State& state, void (*child)(int)) {
  prepare();
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

void BM_JSONReport(benchmark::State& state) { run(state, jsonChild); }
void BM_ProtobufReport(benchmark::State& state) { run(state, protobufChild); }

BENCHMARK(BM_JSONReport)->Arg(1)->Arg(8)->Arg(32)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_ProtobufReport)->Arg(1)->Arg(8)->Arg(32)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
