// Encode and decode throughput of the recorder's JSON codec on a document shaped like a crash
// report (about 200 KB: threads with backtraces and registers, binary images, memory dumps),
// measured in the same run as nlohmann-json's dump and parse of the same document. Prints the
// ratios at the end (above 1: the recorder is faster).
#include "reporting/crash-recorder/Recording/PloverCrashJSONCodec.h"
#include "reporting/crash-recorder/Recording/PloverCrashJSONCodecObjC.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using nlohmann::ordered_json;

std::string hex(std::uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%016llx", static_cast<unsigned long long>(value));
  return buffer;
}

ordered_json makeReport() {
  std::mt19937_64 random(7);
  ordered_json report = ordered_json::object();
  report["report"] = {{"id", "3F2504E0-4F89-41D3-9A0C-0305E82C3301"},
                      {"timestamp", "2026-12-09T21:45:41Z"},
                      {"type", "standard"},
                      {"version", {{"major", 3}, {"minor", 3}}}};
  report["system"] = {{"system_name", "Linux"},
                      {"system_version", "6.1.0"},
                      {"machine", "x86_64"},
                      {"memory", {{"size", 17179869184LL}, {"usable", 8123456789LL}}},
                      {"boot_time", "2026-12-09T08:00:00Z"},
                      {"cpu_arch", "x86_64"},
                      {"app_start_time", "2026-12-09T21:40:00Z"}};
  ordered_json images = ordered_json::array();
  for (int i = 0; i < 320; ++i) {
    images.push_back({{"image_addr", 0x7f0000000000ULL + static_cast<std::uint64_t>(i) * 0x100000},
                      {"image_size", 0x80000 + i * 16},
                      {"name", "/usr/lib/x86_64-linux-gnu/libexample" + std::to_string(i) + ".so.1"},
                      {"uuid", "A1B2C3D4-E5F6-4789-ABCD-" + std::to_string(100000000000 + i)},
                      {"cpu_type", 16777223},
                      {"cpu_subtype", 3}});
  }
  report["binary_images"] = images;
  ordered_json threads = ordered_json::array();
  for (int t = 0; t < 24; ++t) {
    ordered_json frames = ordered_json::array();
    for (int f = 0; f < 28; ++f) {
      frames.push_back({{"instruction_addr", random() >> 17},
                        {"object_addr", 0x7f0000000000ULL + (random() % 320) * 0x100000},
                        {"object_name", "libexample" + std::to_string(random() % 320) + ".so.1"},
                        {"symbol_name", "_ZN9Vexelworks7Example" + std::to_string(f) + "runEv"},
                        {"symbol_addr", random() >> 17}});
    }
    ordered_json registers = ordered_json::object();
    for (const char* name : {"rax", "rbx", "rcx", "rdx", "rdi", "rsi", "rbp", "rsp", "r8", "r9", "r10", "r11", "r12",
                             "r13", "r14", "r15", "rip", "rflags"}) {
      registers[name] = random() >> 1;
    }
    threads.push_back(
        {{"index", t},
         {"name", "worker \"" + std::to_string(t) + "\"\twith escapes\n"},
         {"crashed", t == 3},
         {"current_thread", t == 3},
         {"cpu_usage", 0.015625 * t},
         {"backtrace", {{"contents", frames}, {"skipped", 0}}},
         {"registers", {{"basic", registers}}},
         {"stack",
          {{"grow_direction", "-"}, {"dump_start", hex(random())}, {"contents", std::string(512, 'A' + t % 6)}}}});
  }
  report["crash"] = {
      {"threads", threads},
      {"error", {{"signal", {{"signal", 11}, {"name", "SIGSEGV"}, {"code", 1}}}, {"address", 0}, {"type", "signal"}}}};
  report["user"] = {{"note", "caf\xc3\xa9 \xe2\x82\xac"}, {"ratio", 0.1}, {"none", nullptr}};
  return report;
}

const ordered_json& document() {
  static const ordered_json value = makeReport();
  return value;
}

const std::string& documentText() {
  static const std::string text = document().dump();
  return text;
}

void BM_PloverCrashEncode(benchmark::State& state) {
  const ordered_json& value = document();
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto data = PloverCrashJSONCodec::encode(value, 0);
    bytes = data->size();
    benchmark::DoNotOptimize(data);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_NlohmannDump(benchmark::State& state) {
  const ordered_json& value = document();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = value.dump();
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

int countElement(void* user) {
  ++*static_cast<long*>(user);
  return 0;
}

// The callback decoder alone: no tree is built.
void BM_PloverCrashCallbackDecode(benchmark::State& state) {
  const std::string& text = documentText();
  PloverCrashJSONDecodeCallbacks callbacks = {};
  callbacks.onEndContainer = countElement;
  std::vector<char> scratch(10001);
  for (auto _ : state) {
    long containers = 0;
    const int result = plovercrashjson_decode(text.data(), static_cast<int>(text.size()), scratch.data(),
                                              static_cast<int>(scratch.size()), &callbacks, &containers, nullptr);
    if (result != 0) {
      state.SkipWithError("decode failed");
    }
    benchmark::DoNotOptimize(containers);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_PloverCrashDecode(benchmark::State& state) {
  const std::string& text = documentText();
  for (auto _ : state) {
    auto value = PloverCrashJSONCodec::decode(std::string_view(text), 0);
    if (!value) {
      state.SkipWithError("decode failed");
    }
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_NlohmannParse(benchmark::State& state) {
  const std::string& text = documentText();
  for (auto _ : state) {
    auto value = ordered_json::parse(text);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// Decode and encode in one pass, as the report writer does with stored JSON.
void BM_PloverCrashReencode(benchmark::State& state) {
  const std::string& text = documentText();
  std::string output;
  output.reserve(text.size() + 1024);
  for (auto _ : state) {
    output.clear();
    PloverCrashJSONEncodeContext context;
    plovercrashjson_beginEncode(
        &context, false,
        [](const char* data, int length, void* user) {
          static_cast<std::string*>(user)->append(data, static_cast<std::size_t>(length));
          return 0;
        },
        &output);
    // Strings up to 5000 bytes fit the re-encoder's stack area.
    plovercrashjson_addJSONElement(&context, nullptr, text.data(), static_cast<int>(text.size()), true);
    benchmark::DoNotOptimize(output);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_PloverCrashEncode);
BENCHMARK(BM_NlohmannDump);
BENCHMARK(BM_PloverCrashCallbackDecode);
BENCHMARK(BM_PloverCrashDecode);
BENCHMARK(BM_NlohmannParse);
BENCHMARK(BM_PloverCrashReencode);

// Keeps each benchmark's rate so the ratios can be printed after the table.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rates;
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end() && run.run_type == Run::RT_Iteration) {
        rates[run.benchmark_name()] = it->second.value;
      }
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  std::printf("document: %zu bytes of compact JSON\n", documentText().size());
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  auto rate = [&](const char* name) {
    const auto it = reporter.rates.find(name);
    return it == reporter.rates.end() ? 0.0 : it->second / 1e6;
  };
  const double encode = rate("BM_PloverCrashEncode");
  const double dump = rate("BM_NlohmannDump");
  const double callbackDecode = rate("BM_PloverCrashCallbackDecode");
  const double decode = rate("BM_PloverCrashDecode");
  const double parse = rate("BM_NlohmannParse");
  std::printf("\nencode: PloverCrash %.1f MB/s, nlohmann dump %.1f MB/s, ratio %.2f\n", encode, dump,
              dump > 0 ? encode / dump : 0.0);
  std::printf("decode to a tree: PloverCrash %.1f MB/s, nlohmann parse %.1f MB/s, ratio %.2f\n", decode, parse,
              parse > 0 ? decode / parse : 0.0);
  std::printf("callback decode (no tree): PloverCrash %.1f MB/s, ratio to nlohmann parse %.2f\n", callbackDecode,
              parse > 0 ? callbackDecode / parse : 0.0);
  std::printf("re-encode (decode + encode): PloverCrash %.1f MB/s\n", rate("BM_PloverCrashReencode"));
  return 0;
}
