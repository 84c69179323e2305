// Cold start of the real program to its first painted search view: a signed-in user (the access
// token stored) starts "Vexelworks" against the local service on a private X server, and the time
// runs from the start of the process until it reports the search view's first paint (the
// VX_STARTUP_MARKER line). Each of the ten runs is a new process, ended before the next starts.
// One untimed launch before them creates the program's files, as any earlier use would have;
// its time is reported as first_launch_ms. Reports the median in milliseconds (goal: under 1 s).
// Skips when no X server can be started here.
#include "bench/app/AppBenchSupport.h"
#include "tools/devservice/DevService.h"

#include <benchmark/benchmark.h>

namespace {

using namespace vx::bench;

vx::bench::PrivateHome* home = nullptr;

// One launch: milliseconds from start to the marker, or why there are none.
std::optional<double> launchOnce(const std::map<std::string, std::string>& environment, std::string& whyNot) {
  auto app = AppProcess::start(environment, home->root() / "stderr.txt", whyNot);
  if (!app) return std::nullopt;
  const auto painted = app->waitForLine(kSearchViewPaintedMarker, Clock::now() + std::chrono::seconds(60));
  if (!painted) {
    whyNot = "the program never painted the search view; its output: " + app->output();
    return std::nullopt;
  }
  const double milliseconds = std::chrono::duration<double, std::milli>(*painted - app->startedAt()).count();
  app->quit();
  return milliseconds;
}

void BM_ColdStartToFirstPaintedSearchView(benchmark::State& state) {
  auto x = XServer::startOrSkip(state);
  if (!x) return;
  vx::devservice::DevService service;
  if (!service.start().ok()) {
    state.SkipWithError("the local service did not start");
    return;
  }
  const auto environment = signedInEnvironment(*home, *x, service.baseURL());

  std::string whyNot;
  const auto first = launchOnce(environment, whyNot);
  if (!first) {
    state.SkipWithError(whyNot.c_str());
    return;
  }
  std::vector<double> samples;
  for (auto _ : state) {
    const auto milliseconds = launchOnce(environment, whyNot);
    if (!milliseconds) {
      state.SkipWithError(whyNot.c_str());
      break;
    }
    state.SetIterationTime(*milliseconds / 1000);
    samples.push_back(*milliseconds);
  }
  state.counters["median_ms"] = median(samples);
  state.counters["first_launch_ms"] = *first;
  state.counters["runs"] = static_cast<double>(samples.size());
}
BENCHMARK(BM_ColdStartToFirstPaintedSearchView)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return vx::bench::runAppBenchmarks(argc, argv, home); }
