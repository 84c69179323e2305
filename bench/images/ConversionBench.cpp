// Icons per second: the image pipeline in process versus one rsvg-convert process per icon.
#include "app/service/Images/PDFConverter.h"
#include "app/service/Images/SVGDocument.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Vexelworks::Bytes;

struct SampleIcon {
  std::string path;
  Bytes svg;
};

const std::vector<SampleIcon>& sampleIcons() {
  static const std::vector<SampleIcon> icons = [] {
    std::vector<SampleIcon> out;
    for (const auto& entry : std::filesystem::directory_iterator(VX_SAMPLE_ICONS_DIR)) {
      if (entry.path().extension() != ".svg") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      out.push_back(
          {entry.path().string(), Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())});
    }
    std::sort(out.begin(), out.end(), [](const SampleIcon& a, const SampleIcon& b) { return a.path < b.path; });
    return out;
  }();
  return icons;
}

// Runs a program to its end; its exit status, -1 when it could not be started.
int runProgram(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool haveRsvgConvert() {
  static const bool have = runProgram({"rsvg-convert", "--version"}) == 0;
  return have;
}

void BM_Ours_SVGToPNG300(benchmark::State& state) {
  const auto& icons = sampleIcons();
  for (auto _ : state) {
    for (const auto& icon : icons) {
      const auto document = Vexelworks::SVGDocument::make(icon.svg);
      if (!document) {
        state.SkipWithError("unreadable sample icon");
        return;
      }
      auto png = document->pngData(300, 300);
      benchmark::DoNotOptimize(png.data());
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * icons.size()));
}

void BM_Ours_SVGToPDF(benchmark::State& state) {
  const auto& icons = sampleIcons();
  const Vexelworks::PDFConverter converter;
  for (auto _ : state) {
    for (const auto& icon : icons) {
      auto pdf = converter.convert(icon.svg);
      if (pdf.empty()) {
        state.SkipWithError("unreadable sample icon");
        return;
      }
      benchmark::DoNotOptimize(pdf.data());
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * icons.size()));
}

void runRsvgConvert(benchmark::State& state, const std::vector<std::string>& options) {
  if (!haveRsvgConvert()) {
    state.SkipWithError("rsvg-convert is not installed (librsvg2-bin)");
    return;
  }
  const auto& icons = sampleIcons();
  // rsvg-convert writes only to regular files: one scratch file, overwritten per icon.
  std::string folder = (std::filesystem::temp_directory_path() / "vx-bench-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string output = folder + "/out";
  for (auto _ : state) {
    for (const auto& icon : icons) {
      std::vector<std::string> arguments{"rsvg-convert"};
      arguments.insert(arguments.end(), options.begin(), options.end());
      arguments.insert(arguments.end(), {"-o", output, icon.path});
      if (runProgram(arguments) != 0) {
        state.SkipWithError("rsvg-convert failed");
        std::filesystem::remove_all(folder);
        return;
      }
    }
  }
  std::filesystem::remove_all(folder);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * icons.size()));
}

void BM_RsvgConvert_SVGToPNG300(benchmark::State& state) {
  runRsvgConvert(state, {"-f", "png", "-w", "300", "-h", "300"});
}

void BM_RsvgConvert_SVGToPDF(benchmark::State& state) { runRsvgConvert(state, {"-f", "pdf"}); }

BENCHMARK(BM_Ours_SVGToPNG300)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RsvgConvert_SVGToPNG300)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Ours_SVGToPDF)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RsvgConvert_SVGToPDF)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keeps the rate of every run so the comparison can be printed at the end.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred) continue;
      const auto found = run.counters.find("items_per_second");
      if (found != run.counters.end()) rates[run.run_name.function_name] = found->second.value;
    }
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nIcons per second on %zu sample icons (rsvg-convert: one process per icon)\n", sampleIcons().size());
  for (const char* task : {"SVGToPNG300", "SVGToPDF"}) {
    const auto ours = reporter.rates.find(std::string("BM_Ours_") + task);
    const auto peer = reporter.rates.find(std::string("BM_RsvgConvert_") + task);
    if (ours == reporter.rates.end() || peer == reporter.rates.end()) continue;
    std::printf("  %-12s image pipeline %9.1f/s   rsvg-convert %9.1f/s   ratio %.2fx\n", task, ours->second,
                peer->second, ours->second / peer->second);
  }
  benchmark::Shutdown();
  return 0;
}
