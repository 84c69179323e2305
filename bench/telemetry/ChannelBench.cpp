// How fast the channel pipeline moves logs, on a real "Logs.sqlite" and the local service:
// - the enqueue call on the caller's thread (stamping, validation, the journal's append; the
//   disk is never waited for);
// - logs per second from enqueue to committed row (a paused unit, so nothing is sent);
// - logs per second end to end, from enqueue to the 200 that deletes them, with the default
//   configuration (batches of 50, 3 s, 3 in flight) and the default ingestion;
// - beside them, the store's own save rate in the same run.
// The rates are printed together at the end.
#include "telemetry/ZerEvuzev/Channel/MSChannelGroupDefault.h"
#include "telemetry/ZerEvuzev/Ingestion/MSZerEvuzevIngestion.h"
#include "telemetry/ZerEvuzev/Storage/MSLogDBStorage.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include "platform/foundation/UUID.h"
#include "tools/devservice/DevService.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kAppSecret = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
constexpr long kLogsPerRound = 1000;

std::map<std::string, double>& rates() {
  static std::map<std::string, double> map;
  return map;
}

std::shared_ptr<MSDevice> benchDevice() {
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
  return device;
}

std::shared_ptr<MSLogWithProperties> eventSizedLog(long n, const std::shared_ptr<MSDevice>& device) {
  auto log = std::make_shared<MSLogWithProperties>();
  log->type = "event";
  log->timestamp = std::chrono::system_clock::now();
  log->sid = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  log->userId = "c:user-" + std::to_string(n);
  log->device = device;
  log->properties = std::map<std::string, std::string>{
      {"iconId", "123456"}, {"term", "arrow/left"}, {"format", "SVG"}, {"size", "300"}, {"color", "#1a2b3c"}};
  return log;
}

vx::devservice::DevService& service() {
  static vx::devservice::DevService* instance = [] {
    auto* s = new vx::devservice::DevService();
    if (!s->start().ok()) std::abort();
    return s;
  }();
  return *instance;
}

// Counts the logs the service acknowledged.
class SentCounter : public MSChannelDelegate {
 public:
  void channelDidSucceedSendingLog(MSChannelProtocol*, const MSLogPtr&) override {
    std::lock_guard lock(mutex_);
    ++sent_;
    changed_.notify_all();
  }
  void waitFor(long count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return sent_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  long sent_ = 0;
};

struct Pipeline {
  std::shared_ptr<MSLogDBStorage> storage;
  std::shared_ptr<MSZerEvuzevIngestion> ingestion;
  std::shared_ptr<MSChannelGroupDefault> group;
  std::shared_ptr<MSChannelUnitProtocol> unit;

  Pipeline(const std::string& database, bool readyToSend) {
    MSUtility::deleteItemForPathComponent(database);
    storage = std::make_shared<MSLogDBStorage>(database);
    ingestion = MSHttpIngestion::make<MSZerEvuzevIngestion>(service().baseURL(), vx::UUID::make().uuidString());
    if (readyToSend) ingestion->setAppSecret(kAppSecret);
    group = MSChannelGroupDefault::make(ingestion, storage);
    unit = group->addChannelUnitWithConfiguration(std::make_shared<MSChannelUnitConfiguration>("Analytics"));
  }
  void drain() {
    group->logsDispatchQueue()->sync([] {});
  }
};

void BM_StoreSaveLog(benchmark::State& state) {
  MSUtility::deleteItemForPathComponent("bench-channel-save.sqlite");
  MSLogDBStorage storage("bench-channel-save.sqlite");
  const auto log = eventSizedLog(1, benchDevice());
  const auto start = Clock::now();
  for (auto _ : state) {
    if (!storage.saveLog(log, "Analytics", 1)) state.SkipWithError("save failed");
  }
  rates()["store save"] =
      static_cast<double>(state.iterations()) / std::chrono::duration<double>(Clock::now() - start).count();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreSaveLog)->Unit(benchmark::kMicrosecond);

// The caller's side alone. The ingestion has no secret yet, so the queue drops the logs and never
// falls far behind; the caller's work is the same as for a log that is stored.
void BM_EnqueueCall(benchmark::State& state) {
  Pipeline pipeline("bench-channel-enqueue.sqlite", false);
  const auto device = benchDevice();
  long n = 0;
  Clock::duration timed{};
  for (auto _ : state) {
    state.PauseTiming();
    auto log = eventSizedLog(n++, device);
    state.ResumeTiming();
    const auto start = Clock::now();
    pipeline.unit->enqueueItem(log, 1);
    timed += Clock::now() - start;
    if (n % 1000 == 0) {
      state.PauseTiming();
      pipeline.drain();
      state.ResumeTiming();
    }
  }
  pipeline.drain();
  rates()["enqueue call (us)"] =
      std::chrono::duration<double, std::micro>(timed).count() / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnqueueCall)->Unit(benchmark::kMicrosecond);

// Enqueue to committed row: the unit is paused, so every log is stored and none is sent.
void BM_EnqueueToCommittedRow(benchmark::State& state) {
  Pipeline pipeline("bench-channel-store.sqlite", true);
  auto holder = std::make_shared<int>(0);
  pipeline.unit->pauseWithIdentifyingObject(holder);
  const auto device = benchDevice();
  long n = 0;
  Clock::duration timed{};
  for (auto _ : state) {
    const auto start = Clock::now();
    for (long i = 0; i < kLogsPerRound; ++i) pipeline.unit->enqueueItem(eventSizedLog(n++, device), 1);
    pipeline.drain();
    timed += Clock::now() - start;
    state.PauseTiming();
    pipeline.group->logsDispatchQueue()->sync([&] { pipeline.storage->deleteLogsWithGroupId("Analytics"); });
    state.ResumeTiming();
  }
  rates()["enqueue to row"] = static_cast<double>(n) / std::chrono::duration<double>(timed).count();
  state.SetItemsProcessed(n);
}
BENCHMARK(BM_EnqueueToCommittedRow)->Unit(benchmark::kMillisecond)->Iterations(3);

// Enqueue to the service's 200 and the batch's deletion, default configuration.
void BM_EndToEnd(benchmark::State& state) {
  Pipeline pipeline("bench-channel-send.sqlite", true);
  auto counter = std::make_shared<SentCounter>();
  pipeline.group->addDelegate(counter);
  const auto device = benchDevice();
  long n = 0;
  Clock::duration timed{};
  for (auto _ : state) {
    const auto start = Clock::now();
    for (long i = 0; i < kLogsPerRound; ++i) pipeline.unit->enqueueItem(eventSizedLog(n++, device), 1);
    counter->waitFor(n);  // the round is a multiple of 50: no log waits for the timer
    pipeline.drain();
    timed += Clock::now() - start;
  }
  rates()["end to end"] = static_cast<double>(n) / std::chrono::duration<double>(timed).count();
  state.SetItemsProcessed(n);
}
BENCHMARK(BM_EndToEnd)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  // Keep the benchmark's files (database, journal, keychain, settings) out of the user's folders.
  std::string home = (fs::temp_directory_path() / "vx-bench-channel-XXXXXX").string();
  if (mkdtemp(home.data()) == nullptr) return 1;
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
    const fs::path dir = fs::path(home) / (std::string(name).substr(4));
    fs::create_directories(dir);
    setenv(name, dir.c_str(), 1);
  }
  setenv("VX_KEYCHAIN_BACKEND", "file", 1);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\n");
  for (const auto& [name, value] : rates()) {
    std::printf("%-20s %12.1f%s\n", name.c_str(), value, name.find("(us)") != std::string::npos ? "" : " logs/s");
  }
  std::error_code ignored;
  fs::remove_all(home, ignored);
  return 0;
}
