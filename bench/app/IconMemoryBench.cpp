// Resident memory of the real program after it showed 500 icons: a signed-in user starts
// "Vexelworks" on a private X server against the local service serving a catalogue of exactly
// 500 icons (the sample icons copied under new ids, each with an artwork file of its own, so
// nothing is shared between them), and turns the mouse wheel over the grid until every page has
// come, every icon's artwork was fetched and the grid stops moving: it is at the end, each row
// has passed through the window. Reports VmRSS and VmHWM from /proc in MB (goal: under 200 MB)
// and the time the scrolling took. Skips when no X server can be started here.
#include "bench/app/AppBenchSupport.h"
#include "tools/devservice/DevService.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <set>

namespace {

using namespace vx::bench;

constexpr std::size_t kIcons = 500;

vx::bench::PrivateHome* home = nullptr;

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A data folder for the local service: the sample catalogue with its icons repeated under new
// ids up to `count`; each copy's artwork is its own file. False when the sample cannot be read.
bool writeCatalogue(const std::filesystem::path& folder, std::size_t count) {
  nlohmann::json catalogue =
      nlohmann::json::parse(readFile(std::filesystem::path(VX_SAMPLE_DATA_DIR) / "catalog.json"), nullptr, false);
  if (catalogue.is_discarded() || !catalogue.contains("icons") || catalogue["icons"].empty()) return false;
  const nlohmann::json sample = catalogue["icons"];
  std::error_code error;
  std::filesystem::create_directories(folder / "icons", error);
  if (error) return false;
  nlohmann::json icons = nlohmann::json::array();
  for (std::size_t i = 0; i < count; ++i) {
    nlohmann::json icon = sample[i % sample.size()];
    const std::string svg = readFile(std::filesystem::path(VX_SAMPLE_DATA_DIR) / icon.value("file", ""));
    if (svg.empty()) return false;
    const std::string id = std::to_string(900000 + i);
    const std::string file = "icons/bench-" + id + ".svg";
    std::ofstream out(folder / file, std::ios::binary);
    out << svg << "\n<!-- copy " << id << " -->\n";
    if (!out) return false;
    icon["id"] = id;
    icon["file"] = file;
    icon["permalink"] = "/term/" + icon.value("term_slug", "") + "/" + id;
    icons.push_back(icon);
  }
  catalogue["icons"] = icons;
  std::ofstream out(folder / "catalog.json", std::ios::binary);
  out << catalogue.dump();
  return static_cast<bool>(out);
}

// Distinct icon artwork files the program fetched.
std::size_t artworkFetched(const vx::devservice::DevService& service) {
  std::set<std::string> paths;
  for (const auto& request : service.requests("/static/icons/bench-.*")) paths.insert(request.path);
  return paths.size();
}

// The checksum of `area` once the screen there stopped changing for a moment (the program has
// dealt with what it was sent); none if it keeps changing until `deadline`.
std::optional<std::uint64_t> settledChecksum(XDisplay& display, const XDisplay::Rect& area,
                                             Clock::time_point deadline) {
  std::optional<std::uint64_t> previous;
  int unchanged = 0;
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto now = display.checksum(area);
    if (!now) return std::nullopt;
    unchanged = previous == now ? unchanged + 1 : 0;
    if (unchanged >= 4) return now;
    previous = now;
  }
  return std::nullopt;
}

void BM_ResidentMemoryAfter500IconsShown(benchmark::State& state) {
  auto x = XServer::startOrSkip(state);
  if (!x) return;
  const auto data = home->root() / "service-data";
  if (!writeCatalogue(data, kIcons)) {
    state.SkipWithError("the sample catalogue could not be copied");
    return;
  }
  vx::devservice::DevService::Options options;
  options.dataDirectory = data;
  vx::devservice::DevService service(options);
  if (!service.start().ok()) {
    state.SkipWithError("the local service did not start");
    return;
  }
  XDisplay display(x->display());
  if (!display.ok()) {
    state.SkipWithError("no XTest extension on the private X server");
    return;
  }
  const auto environment = signedInEnvironment(*home, *x, service.baseURL());

  std::string whyNot;
  AppProcess::Memory memory;
  std::size_t fetched = 0;
  for (auto _ : state) {
    service.clearRequestLog();
    auto app = AppProcess::start(environment, home->root() / "stderr.txt", whyNot);
    if (!app) {
      state.SkipWithError(whyNot.c_str());
      break;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    if (!app->waitForLine(kSearchViewPaintedMarker, deadline)) {
      state.SkipWithError(("the program never painted the search view; its output: " + app->output()).c_str());
      break;
    }
    std::optional<XDisplay::Rect> window;
    while (!(window = display.window("Vexelworks")) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!window) {
      state.SkipWithError("the program's window never showed");
      break;
    }
    const auto scrollStart = Clock::now();
    const int centreX = window->x + window->width / 2;
    const int centreY = window->y + window->height / 2;
    // The middle half of the window, all grid: the search field's blinking cursor stays out.
    const XDisplay::Rect grid{window->x, window->y + window->height / 4, window->width, window->height / 2};
    // Until every page came (the artwork of all icons was fetched) the grid shows a progress
    // footer that never stops moving: turn the wheel steadily. Then it is at the end once two
    // rounds of turns in a row moved nothing.
    while ((fetched = artworkFetched(service)) < kIcons && Clock::now() < deadline) {
      display.scrollDown(centreX, centreY, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    int stillRounds = 0;
    bool atEnd = false;
    auto last = settledChecksum(display, grid, deadline);
    while (fetched >= kIcons && last && !atEnd) {
      display.scrollDown(centreX, centreY, 2);
      const auto now = settledChecksum(display, grid, deadline);
      if (!now) break;
      stillRounds = now == last ? stillRounds + 1 : 0;
      last = now;
      atEnd = stillRounds >= 2;
    }
    if (!atEnd) {
      state.SkipWithError(("the grid did not reach the end of " + std::to_string(kIcons) + " icons (artwork of " +
                           std::to_string(fetched) + " fetched)")
                              .c_str());
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - scrollStart).count());
    const auto read = app->memory();
    if (!read) {
      state.SkipWithError("the program's memory could not be read");
      break;
    }
    memory = *read;
    app->quit();
  }
  state.counters["rss_MB"] = static_cast<double>(memory.residentBytes) / (1024.0 * 1024.0);
  state.counters["hwm_MB"] = static_cast<double>(memory.peakResidentBytes) / (1024.0 * 1024.0);
  state.counters["icons"] = static_cast<double>(fetched);
}
BENCHMARK(BM_ResidentMemoryAfter500IconsShown)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return vx::bench::runAppBenchmarks(argc, argv, home); }
