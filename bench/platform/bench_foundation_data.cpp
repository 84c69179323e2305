// Throughput of the data half of the foundation layer: settings that persist on every change,
// and keyed archives of a record with 50 fields.
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/UserDefaults.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using namespace vx;

// Points XDG_CONFIG_HOME at a fresh temporary folder for the whole run.
struct TemporaryConfigHome {
  TemporaryConfigHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vx-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern;
    setenv("XDG_CONFIG_HOME", path.c_str(), 1);
  }
  ~TemporaryConfigHome() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::filesystem::path path;
};

TemporaryConfigHome& configHome() {
  static TemporaryConfigHome home;
  return home;
}

void BM_UserDefaultsSetAndPersist(benchmark::State& state) {
  configHome();
  auto defaults = UserDefaults::make("bench-" + std::to_string(state.range(0)));
  // A suite of the given size, so the cost of writing the whole file shows.
  for (std::int64_t i = 0; i < state.range(0); ++i)
    defaults->setString("value " + std::to_string(i), "key" + std::to_string(i));
  std::int64_t counter = 0;
  for (auto _ : state) {
    defaults->setInteger(++counter, "counter");  // a changed value: written and fsynced
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("sets persisted");
}
BENCHMARK(BM_UserDefaultsSetAndPersist)->Arg(1)->Arg(50)->Unit(benchmark::kMicrosecond)->UseRealTime();

class Record : public Archivable {
 public:
  Record() {
    for (int i = 0; i < 50; ++i) {
      const auto key = "field" + std::to_string(i);
      switch (i % 5) {
        case 0:
          fields.set(key, "text value number " + std::to_string(i));
          break;
        case 1:
          fields.set(key, std::int64_t{1} << (i % 60));
          break;
        case 2:
          fields.set(key, i * 0.25);
          break;
        case 3:
          fields.set(key, i % 2 == 0);
          break;
        default:
          fields.set(key, std::chrono::system_clock::now());
          break;
      }
    }
  }
  explicit Record(KeyedUnarchiver& coder) {
    for (int i = 0; i < 50; ++i) {
      const auto key = "field" + std::to_string(i);
      switch (i % 5) {
        case 0:
          fields.set(key, coder.decodeString(key).value_or(""));
          break;
        case 1:
          fields.set(key, coder.decodeInt64(key).value_or(0));
          break;
        case 2:
          fields.set(key, coder.decodeDouble(key).value_or(0));
          break;
        case 3:
          fields.set(key, coder.decodeBool(key).value_or(false));
          break;
        default:
          fields.set(key, coder.decodeDate(key).value_or(Date{}));
          break;
      }
    }
  }
  std::string className() const override { return "BenchRecord"; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    for (const auto& [key, value] : fields) {
      switch (value.type()) {
        case Value::Type::String:
          coder.encodeString(*value.stringValue(), key);
          break;
        case Value::Type::Integer:
          coder.encodeInt64(*value.integerValue(), key);
          break;
        case Value::Type::Double:
          coder.encodeDouble(*value.doubleValue(), key);
          break;
        case Value::Type::Bool:
          coder.encodeBool(*value.boolValue(), key);
          break;
        default:
          coder.encodeDate(*value.dateValue(), key);
          break;
      }
    }
  }
  ValueMap fields;
};

void BM_ArchiveEncode50Keys(benchmark::State& state) {
  const Record record;
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto data = KeyedArchiver::archivedData(record);
    bytes = data->size();
    benchmark::DoNotOptimize(data);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["archive_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ArchiveEncode50Keys)->Unit(benchmark::kMicrosecond);

void BM_ArchiveDecode50Keys(benchmark::State& state) {
  KeyedUnarchiver::registerClass<Record>("BenchRecord");
  const auto data = *KeyedArchiver::archivedData(Record());
  for (auto _ : state) {
    auto object = KeyedUnarchiver::unarchiveObject(data);
    if (!object) state.SkipWithError(object.error().description.c_str());
    benchmark::DoNotOptimize(object);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ArchiveDecode50Keys)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
