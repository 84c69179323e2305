// How fast the log store keeps and hands out logs on a real "Logs.sqlite": event-sized logs
// saved per second (each save opens the file, sets the size limit, inserts and closes, as the
// store always does), and batches of 50 loaded and deleted per second. Beside each, the same
// rows through the SQLite C API on one open connection - inserts with one prepared statement in
// one transaction, and a select plus delete of 50 rows - as the ceiling; the ratios are printed
// at the end.
#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzev/Storage/MSLogDBStorage.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include "platform/security/Crypto.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kBatch = 50;

// Rates of the last run of each benchmark, per second.
std::map<std::string, double>& rates() {
  static std::map<std::string, double> map;
  return map;
}

std::shared_ptr<MSLogWithProperties> eventSizedLog(int n) {
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
  log->userId = "c:user-" + std::to_string(n);
  log->device = device;
  log->properties = std::map<std::string, std::string>{
      {"iconId", "123456"}, {"term", "arrow/left"}, {"format", "SVG"}, {"size", "300"}, {"color", "#1a2b3c"}};
  return log;
}

// A fresh store file for one benchmark.
std::unique_ptr<MSLogDBStorage> freshStorage(const std::string& name) {
  MSUtility::deleteItemForPathComponent(name);
  return std::make_unique<MSLogDBStorage>(name);
}

sqlite3* openRaw(const std::string& name) {
  sqlite3* db = nullptr;
  if (sqlite3_open((MSUtility::zerEvuzevDirectoryURL() / name).c_str(), &db) != SQLITE_OK) std::abort();
  return db;
}

// The row the store writes for the log, inserted `count` times in one transaction.
void insertRaw(sqlite3* db, const std::string& base64, std::size_t count) {
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO \"logs\" (\"groupId\", \"log\", \"priority\", \"timestamp\") VALUES (?, ?, ?, ?)",
                     -1, &insert, nullptr);
  for (std::size_t i = 0; i < count; ++i) {
    sqlite3_bind_text(insert, 1, "Analytics", -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 2, base64.c_str(), static_cast<int>(base64.size()), SQLITE_STATIC);
    sqlite3_bind_int64(insert, 3, 1);
    sqlite3_bind_int64(insert, 4, 1765400000000LL + static_cast<std::int64_t>(i));
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
}

void BM_StoreSaveLog(benchmark::State& state) {
  auto storage = freshStorage("bench-save.sqlite");
  const auto log = eventSizedLog(1);
  const auto start = Clock::now();
  for (auto _ : state) {
    if (!storage->saveLog(log, "Analytics", 1)) state.SkipWithError("save failed");
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  rates()["save"] = static_cast<double>(state.iterations()) / seconds;
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreSaveLog)->Unit(benchmark::kMicrosecond);

void BM_CeilingInsertOneTransaction(benchmark::State& state) {
  freshStorage("bench-ceiling.sqlite");  // same schema and pragmas
  sqlite3* db = openRaw("bench-ceiling.sqlite");
  const std::string base64 = vx::base64Encode(*MSArchivedData(*eventSizedLog(1)));
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO \"logs\" (\"groupId\", \"log\", \"priority\", \"timestamp\") VALUES (?, ?, ?, ?)",
                     -1, &insert, nullptr);
  const auto start = Clock::now();
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (auto _ : state) {
    // The store archives and encodes every log it saves; so does the ceiling.
    const std::string row = vx::base64Encode(*MSArchivedData(*eventSizedLog(1)));
    sqlite3_bind_text(insert, 1, "Analytics", -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 2, row.c_str(), static_cast<int>(row.size()), SQLITE_STATIC);
    sqlite3_bind_int64(insert, 3, 1);
    sqlite3_bind_int64(insert, 4, 1765400000000LL);
    if (sqlite3_step(insert) != SQLITE_DONE) state.SkipWithError("insert failed");
    sqlite3_reset(insert);
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  rates()["save ceiling"] = static_cast<double>(state.iterations()) / seconds;
  sqlite3_finalize(insert);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CeilingInsertOneTransaction)->Unit(benchmark::kMicrosecond);

void BM_StoreLoadAndDeleteBatch(benchmark::State& state) {
  auto storage = freshStorage("bench-load.sqlite");
  sqlite3* db = openRaw("bench-load.sqlite");
  const std::string base64 = vx::base64Encode(*MSArchivedData(*eventSizedLog(1)));
  Clock::duration timed{};
  for (auto _ : state) {
    if (storage->countLogs() < kBatch) {
      state.PauseTiming();
      insertRaw(db, base64, 100 * kBatch);
      state.ResumeTiming();
    }
    const auto start = Clock::now();
    std::optional<std::string> batchId;
    storage->loadLogsWithGroupId("Analytics", kBatch, std::nullopt, std::nullopt, std::nullopt,
                                 [&](const std::vector<MSLogPtr>& logs, const std::optional<std::string>& id) {
                                   if (logs.size() != kBatch) state.SkipWithError("short batch");
                                   batchId = id;
                                 });
    if (batchId) storage->deleteLogsWithBatchId(*batchId, "Analytics");
    timed += Clock::now() - start;
  }
  rates()["load+delete"] = static_cast<double>(state.iterations()) / std::chrono::duration<double>(timed).count();
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreLoadAndDeleteBatch)->Unit(benchmark::kMicrosecond);

// The same work on one open connection: select 50 rows in the store's order, unarchive them,
// delete them by id.
void BM_CeilingLoadAndDeleteBatch(benchmark::State& state) {
  freshStorage("bench-load-ceiling.sqlite");
  sqlite3* db = openRaw("bench-load-ceiling.sqlite");
  const std::string base64 = vx::base64Encode(*MSArchivedData(*eventSizedLog(1)));
  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT \"id\", \"log\" FROM \"logs\" WHERE \"groupId\" = ? ORDER BY \"priority\" DESC, \"id\" "
                     "ASC LIMIT 51",
                     -1, &select, nullptr);
  sqlite3_stmt* remove = nullptr;
  sqlite3_prepare_v2(db, "DELETE FROM \"logs\" WHERE \"id\" BETWEEN ? AND ?", -1, &remove, nullptr);
  Clock::duration timed{};
  std::int64_t available = 0;
  for (auto _ : state) {
    if (available < static_cast<std::int64_t>(kBatch)) {
      state.PauseTiming();
      insertRaw(db, base64, 100 * kBatch);
      available += 100 * kBatch;
      state.ResumeTiming();
    }
    const auto start = Clock::now();
    sqlite3_bind_text(select, 1, "Analytics", -1, SQLITE_STATIC);
    std::int64_t first = -1;
    std::int64_t last = -1;
    std::size_t rows = 0;
    while (sqlite3_step(select) == SQLITE_ROW && rows < kBatch) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(select, 1));
      auto data = vx::base64Decode(text, vx::Base64DecodeMode::ignoreUnknownCharacters);
      auto log = MSUnarchiveObject<MSAbstractLog>(*data);
      benchmark::DoNotOptimize(log);
      last = sqlite3_column_int64(select, 0);
      if (first < 0) first = last;
      ++rows;
    }
    sqlite3_reset(select);
    sqlite3_bind_int64(remove, 1, first);
    sqlite3_bind_int64(remove, 2, last);
    sqlite3_step(remove);
    sqlite3_reset(remove);
    available -= static_cast<std::int64_t>(rows);
    timed += Clock::now() - start;
  }
  rates()["load+delete ceiling"] =
      static_cast<double>(state.iterations()) / std::chrono::duration<double>(timed).count();
  sqlite3_finalize(select);
  sqlite3_finalize(remove);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CeilingLoadAndDeleteBatch)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // Keep the benchmark's files (database, keychain, settings) out of the user's folders.
  std::string home = (fs::temp_directory_path() / "vx-bench-storage-XXXXXX").string();
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

  auto& r = rates();
  const auto ratio = [&](const char* store, const char* ceiling) {
    if (!r.count(store) || !r.count(ceiling)) return;
    std::printf("%-12s store %12.0f/s   SQLite C API ceiling %12.0f/s   store/ceiling %.4f\n", store, r[store],
                r[ceiling], r[store] / r[ceiling]);
  };
  std::printf("\n");
  ratio("save", "save ceiling");
  ratio("load+delete", "load+delete ceiling");

  std::error_code ignored;
  fs::remove_all(home, ignored);
  return 0;
}
