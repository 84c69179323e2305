// Frames unwound per second by the DWARF frame reader on a 64-deep real stack, beside
// libunwind's unw_step on the same stack; the last line prints both and the ratio.
#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include "crash-engine/async/HXCrashAsyncImageList.h"
#include "crash-engine/thread/MSHXCrashFrame.h"
#include "crash-engine/thread/MSHXCrashThreadState.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr int kDepth = 64;

MShxcrash_async_image_list gImages;

// kDepth nested calls, then fn(state) at the bottom, where the whole stack stays live.
__attribute__((noinline)) int recurse(int depth, void (*fn)(benchmark::State&), benchmark::State& state) {
  if (depth <= 1) {
    fn(state);
    return 0;
  }
  const int result = recurse(depth - 1, fn, state);
  benchmark::DoNotOptimize(result);
  return result + 1;
}

struct DwarfRun {
  benchmark::State* state;
  std::int64_t frames;
};

hxcrash_error_t runDwarf(hxcrash_async_thread_state* start, void* context) {
  auto* run = static_cast<DwarfRun*>(context);
  static const MSplframe_cursor_frame_reader_t readers[] = {MSplframe_cursor_read_dwarf_unwind};
  for (auto _ : *run->state) {
    MSplframe_cursor cursor;
    MSplframe_cursor_init(&cursor, vx::mach_task_self(), start, &gImages);
    while (MSplframe_cursor_next_with_readers(&cursor, readers, 1) == MSPLFRAME_OK) {
      run->frames += 1;
    }
    MSplframe_cursor_free(&cursor);
  }
  return hxcrash_error_none;
}

void dwarfBottom(benchmark::State& state) {
  DwarfRun run{&state, 0};
  MShxcrash_async_thread_state_current(runDwarf, &run);
  state.SetItemsProcessed(run.frames);
  state.counters["frames_per_walk"] = static_cast<double>(run.frames) / static_cast<double>(state.iterations());
}

void libunwindBottom(benchmark::State& state) {
  unw_context_t context;
  unw_getcontext(&context);
  std::int64_t frames = 0;
  for (auto _ : state) {
    unw_cursor_t cursor;
    unw_init_local(&cursor, &context);
    frames += 1;  // the starting frame, as the cursor's first step yields it
    while (unw_step(&cursor) > 0) frames += 1;
  }
  state.SetItemsProcessed(frames);
  state.counters["frames_per_walk"] = static_cast<double>(frames) / static_cast<double>(state.iterations());
}

void DwarfReader(benchmark::State& state) { recurse(kDepth, dwarfBottom, state); }
void LibunwindStep(benchmark::State& state) { recurse(kDepth, libunwindBottom, state); }

BENCHMARK(DwarfReader);
BENCHMARK(LibunwindStep);

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
  MShxcrash_nasync_image_list_init(&gImages, vx::mach_task_self());
  MShxcrash_nasync_image_list_track(&gImages);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double dwarf = reporter.perSecond["DwarfReader"];
  const double libunwind = reporter.perSecond["LibunwindStep"];
  if (dwarf > 0 && libunwind > 0) {
    std::printf(
        "frames/s on a %d-deep stack: DWARF reader %.3g, libunwind unw_step %.3g, "
        "libunwind is %.1fx faster\n",
        kDepth, dwarf, libunwind, libunwind / dwarf);
  }
  benchmark::Shutdown();
  MShxcrash_nasync_image_list_untrack(&gImages);
  MShxcrash_nasync_image_list_free(&gImages);
  return 0;
}
