// Checked reads of our own memory (the crash path's only way to follow a pointer) beside plain
// memcpy of the same data, for 8-byte words and 4 KiB blocks. Prints how many times slower the
// checked read is.
#include "crash-engine/async/HXCrashAsync.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t>& source() {
  static std::vector<std::uint8_t> data(1 << 20, 0x5a);
  return data;
}

void checkedRead(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> target(size);
  const auto base = reinterpret_cast<std::uint64_t>(source().data());
  std::size_t offset = 0;
  for (auto _ : state) {
    const hxcrash_error_t err = MShxcrash_async_task_memcpy(vx::mach_task_self(), base,
                                                            static_cast<hxcrash_vm_off_t>(offset), target.data(), size);
    benchmark::DoNotOptimize(err);
    benchmark::ClobberMemory();
    offset = (offset + 4096) % (source().size() - size);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}

void plainMemcpy(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> target(size);
  std::size_t offset = 0;
  for (auto _ : state) {
    std::memcpy(target.data(), source().data() + offset, size);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
    offset = (offset + 4096) % (source().size() - size);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}

BENCHMARK(checkedRead)->Name("CheckedRead")->Arg(8);
BENCHMARK(plainMemcpy)->Name("Memcpy")->Arg(8);
BENCHMARK(checkedRead)->Name("CheckedRead")->Arg(4096);
BENCHMARK(plainMemcpy)->Name("Memcpy")->Arg(4096);

// Keeps each run's reads per second so the ratio can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto items = run.counters.find("items_per_second");
      if (items != run.counters.end()) perSecond[run.benchmark_name()] = items->second.value;
    }
  }
  std::map<std::string, double> perSecond;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* size : {"8", "4096"}) {
    const double checked = reporter.perSecond["CheckedRead/" + std::string(size)];
    const double plain = reporter.perSecond["Memcpy/" + std::string(size)];
    if (checked > 0 && plain > 0) {
      std::printf("%s-byte reads: checked %.3g/s, memcpy %.3g/s, memcpy is %.1fx faster\n", size, checked, plain,
                  plain / checked);
    }
  }
  benchmark::Shutdown();
  return 0;
}
