// How many event-sized telemetry logs per second are written as JSON (the ingestion body) and
// archived (the log store's row), and how many archives per second are read back.
#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"

#include <benchmark/benchmark.h>

namespace {

// An event as the analytics service sends it: base fields, a full device and five properties.
std::shared_ptr<MSLogWithProperties> eventSizedLog() {
  auto device = std::make_shared<MSDevice>();
  device->sdkName = "zerevuzev.macos";
  device->sdkVersion = "2.1.0";
  device->model = "Standard PC (Q35 + ICH9, 2009)";
  device->oemName = "QEMU";
  device->osName = "Debian GNU/Linux";
  device->osVersion = "12";
  device->osBuild = "6.1.0-18-amd64";
  device->locale = "en_US";
  device->timeZoneOffset = -300;
  device->screenSize = "1080x1920";
  device->appVersion = "1.0.0";
  device->appBuild = "100";
  device->appNamespace = "com.vexelworks.Vexelworks";

  auto log = std::make_shared<MSLogWithProperties>();
  log->type = "event";
  log->timestamp = std::chrono::system_clock::now();
  log->sid = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  log->userId = "c:user-1234";
  log->device = device;
  log->properties = std::map<std::string, std::string>{
      {"iconId", "123456"}, {"term", "arrow/left"}, {"format", "SVG"}, {"size", "300"}, {"color", "#1a2b3c"}};
  return log;
}

void BM_SerializeLogToJson(benchmark::State& state) {
  const auto log = eventSizedLog();
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto text = log->serializeLogWithPrettyPrinting(false);
    bytes += text->size();
    benchmark::DoNotOptimize(text);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_SerializeLogToJson);

void BM_ArchiveLog(benchmark::State& state) {
  const auto log = eventSizedLog();
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto data = MSArchivedData(*log);
    bytes += data->size();
    benchmark::DoNotOptimize(data);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_ArchiveLog);

void BM_UnarchiveLog(benchmark::State& state) {
  const auto data = MSArchivedData(*eventSizedLog());
  for (auto _ : state) {
    auto log = MSUnarchiveObject<MSLogWithProperties>(data.value());
    benchmark::DoNotOptimize(log);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UnarchiveLog);

}  // namespace

BENCHMARK_MAIN();
