// Events tracked per second from MSAnalytics::trackEvent to the committed row in a real
// "Logs.sqlite", each event with 5 typed properties: building and validating the event, the
// session stamp and the filter, the journal, and the store. The analytics units are paused, so
// nothing is sent. Runs in a private temporary home so no user file is touched.
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzev/Storage/MSLogDBStorage.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr long kEventsPerRound = 1000;
constexpr const char* kAppSecret = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
double trackToRowRate = 0;

std::size_t storedAnalyticsRows() {
  auto storage = std::dynamic_pointer_cast<MSLogDBStorage>(MSZerEvuzev::sharedInstance()->channelGroup()->storage());
  return storage->countEntriesForTable(MSLogDBStorage::kMSLogTableName, "\"groupId\" = ?", {std::string("Analytics")});
}

void BM_TrackEventToCommittedRow(benchmark::State& state) {
  MSZerEvuzev::sharedInstance()->setLogUrl("http://127.0.0.1:9");
  MSZerEvuzev::start(std::string(kAppSecret), {MSAnalytics::sharedInstance()});
  MSAnalytics::pause();
  auto group = MSZerEvuzev::sharedInstance()->channelGroup();
  const auto queue = group->logsDispatchQueue();
  queue->sync([] {});
  long tracked = 0;
  Clock::duration timed{};
  for (auto _ : state) {
    const std::size_t before = storedAnalyticsRows();
    const auto start = Clock::now();
    for (long i = 0; i < kEventsPerRound; ++i) {
      auto properties = std::make_shared<MSEventProperties>();
      properties->setString(std::string("arrow-left"), std::string("term"))
          .setInt64(123456 + i, std::string("iconId"))
          .setString(std::string("SVG"), std::string("format"))
          .setDouble(300.0, std::string("size"))
          .setBool(true, std::string("recoloured"));
      MSAnalytics::trackEvent("iconExported", properties);
    }
    queue->sync([] {});
    timed += Clock::now() - start;
    tracked += kEventsPerRound;
    state.PauseTiming();
    if (storedAnalyticsRows() != before + kEventsPerRound) state.SkipWithError("not every event was stored");
    queue->sync([&] { group->storage()->deleteLogsWithGroupId("Analytics"); });
    state.ResumeTiming();
  }
  trackToRowRate = static_cast<double>(tracked) / std::chrono::duration<double>(timed).count();
  state.SetItemsProcessed(tracked);
  MSZerEvuzev::resetSharedInstance();
  MSAnalytics::resetSharedInstance();
}
BENCHMARK(BM_TrackEventToCommittedRow)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  char folder[] = "/tmp/vx-analytics-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  for (const char* variable : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"}) {
    const std::string path = std::string(folder) + "/" + variable;
    std::filesystem::create_directories(path);
    setenv(variable, path.c_str(), 1);
  }
  MSLogger::setCurrentLogLevel(MSLogLevel::None);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("events tracked per second, trackEvent to committed row (5 typed properties): %.0f\n", trackToRowRate);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return 0;
}
