// Scrolls the icon grid as the application shows it: an IconList of 1,000, 5,000 or 10,000 icons
// paged from the local service, the grid controller with the list as its data source and itself
// as the grid's delegate, and a real ImageStore that downloads each icon's SVG from the service
// (the list starts every download as its pages arrive; the grid asks again for each cell that
// comes into view, so artwork the bounded caches evicted is fetched again and the cell is
// redrawn once it is back). Every frame moves the grid and turns the event loop once: the
// artwork that arrived reaches its cells and the window paints, on the offscreen platform.
//
// The service runs in a child process (this program started again with --serve-catalogue), so
// the catalogue it holds does not count towards this process's memory. The catalogue is the
// service's 72 sample icons repeated under new ids, 500 to a page, their artwork the same 72
// files.
//
// Reported per case: fps over a fixed number of frames (scrolling down and back up), then, after
// a sweep through the whole list a screenful at a time, down and back up (at each stop waiting
// until every shown cell has its artwork), the current resident memory (rss_MB, after returning
// freed heap to the system), the process's peak, how many shown cells found their artwork evicted
// (evicted_shown) and how many still had none after the wait (blank, which must be 0), and what
// the store's caches hold (entries, and cache_MB: their bytes together). Run each case in its own
// process to compare memory across list lengths (see README.md).
#include "app/qt/MainQueue.h"
#include "app/service/APIClient.h"
#include "app/service/ExportSettings.h"
#include "app/service/IconList/IconList.h"
#include "app/service/Images/ImageStore.h"
#include "app/service/ServiceConfig.h"
#include "app/service/ZoomLevel.h"
#include "app/views/IconCollectionViewCell.h"
#include "app/views/IconCollectionViewController.h"
#include "tests/support/TemporaryFolder.h"
#include "tools/devservice/DevService.h"
#include "tools/devservice/IconAPI.h"

#include <QApplication>
#include <QImage>
#include <QProcess>
#include <QScrollBar>
#include <QStringList>
#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

using namespace Vexelworks;

namespace {

constexpr const char* kServeArgument = "--serve-catalogue";
constexpr std::size_t kPageSize = 500;
constexpr int kViewWidth = 1024;
constexpr int kViewHeight = 768;

// The local service's sample data with a catalogue of `count` icons. None when the sample data
// cannot be read.
std::unique_ptr<vx::test::TemporaryFolder> makeCatalogue(std::size_t count) {
  const auto samples = vx::devservice::defaultDataDirectory();
  std::ifstream in(samples / "catalog.json");
  nlohmann::json catalogue = nlohmann::json::parse(in, nullptr, false);
  if (!catalogue.is_object() || !catalogue.contains("icons") || !catalogue["icons"].is_array() ||
      catalogue["icons"].empty()) {
    return nullptr;
  }
  auto folder = std::make_unique<vx::test::TemporaryFolder>("vx-grid-bench");
  std::error_code error;
  std::filesystem::copy(samples / "icons", folder->file("icons"), std::filesystem::copy_options::recursive, error);
  if (error) return nullptr;
  const nlohmann::json sampleIcons = catalogue["icons"];
  nlohmann::json icons = nlohmann::json::array();
  for (std::size_t i = 0; i < count; ++i) {
    nlohmann::json icon = sampleIcons[i % sampleIcons.size()];
    icon["id"] = std::to_string(100000 + i);
    icons.push_back(std::move(icon));
  }
  catalogue["icons"] = std::move(icons);
  catalogue["page_size"] = kPageSize;
  std::ofstream(folder->file("catalog.json")) << catalogue.dump();
  return folder;
}

// The child process: serves `data` until SIGTERM (or until the parent is gone), after printing
// its base URL on a line of its own.
int serveCatalogue(const char* data) {
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  vx::devservice::DevService::Options options;
  options.dataDirectory = data;
  options.maxLoggedRequests = 16;
  options.maxLoggedBodyBytes = 1u << 16;
  vx::devservice::DevService service(options);
  if (!service.start().ok()) {
    std::fprintf(stderr, "could not start the local service\n");
    return 1;
  }
  std::printf("%s\n", service.baseURL().c_str());
  std::fflush(stdout);
  int received = 0;
  sigwait(&stopSignals, &received);
  service.stop();
  return 0;
}

// The service for one case, in a child process that ends with the case.
class ServiceProcess {
 public:
  explicit ServiceProcess(const std::filesystem::path& data) {
    process_.start(QCoreApplication::applicationFilePath(),
                   {QString::fromLatin1(kServeArgument), QString::fromStdString(data.string())});
    if (!process_.waitForStarted(10000) || !process_.waitForReadyRead(30000)) return;
    while (!process_.canReadLine() && process_.waitForReadyRead(10000)) {
    }
    baseURL_ = process_.readLine().trimmed().toStdString();
  }
  ~ServiceProcess() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(10000)) {
      process_.kill();
      process_.waitForFinished(10000);
    }
  }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Empty when the service did not start.
  const std::string& baseURL() const { return baseURL_; }

 private:
  QProcess process_;
  std::string baseURL_;
};

// Runs the event loop until `done` holds; false when `limit` passed first.
bool runUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::size_t blankVisibleCells(CollectionView& view) {
  std::size_t blank = 0;
  for (const auto& path : view.indexPathsForVisibleItems()) {
    auto* cell = dynamic_cast<IconCollectionViewCell*>(view.cellForItem(path));
    if (cell != nullptr && !cell->image()) ++blank;
  }
  return blank;
}

// The process's resident memory now, after handing freed heap back to the system.
double residentMegabytes() {
  malloc_trim(0);
  std::ifstream statm("/proc/self/statm");
  long size = 0;
  long resident = 0;
  statm >> size >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double peakResidentMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

struct SweepResult {
  std::size_t evictedShown = 0;  // shown cells whose artwork was not in the store when they came into view
  std::size_t blank = 0;         // shown cells still without artwork after the wait
};

// Through the whole list a screenful at a time, down and back up; at each stop the grid asks
// for the shown cells' artwork and the stop lasts until every shown cell has it (or 10 seconds).
SweepResult sweep(CollectionView& view) {
  QScrollBar* bar = view.verticalScrollBar();
  const int page = std::max(1, view.viewport()->height());
  SweepResult result;
  const auto stop = [&](int y) {
    bar->setValue(y);
    result.evictedShown += blankVisibleCells(view);
    runUntil([&] { return blankVisibleCells(view) == 0; }, std::chrono::seconds(10));
    result.blank += blankVisibleCells(view);
  };
  for (int y = 0; y < bar->maximum(); y += page) stop(y);
  stop(bar->maximum());
  for (int y = bar->maximum(); y > 0; y -= page) stop(y);
  stop(0);
  return result;
}

// Arguments: zoom level index, points scrolled per frame, number of icons.
void BM_ScrollIconGrid(benchmark::State& state) {
  const ZoomLevel& zoom = ZoomLevel::all()[static_cast<std::size_t>(state.range(0))];
  const int step = static_cast<int>(state.range(1));
  const auto count = static_cast<std::size_t>(state.range(2));

  const auto catalogue = makeCatalogue(count);
  if (!catalogue) {
    state.SkipWithError("the sample data could not be read");
    return;
  }
  const ServiceProcess service(catalogue->path());
  const auto base = vx::URL::parse(service.baseURL());
  if (!base) {
    state.SkipWithError("the local service did not start");
    return;
  }
  setAPIBaseURL(*base);
  setWebBaseURL(*base);

  auto store = ImageStore::make();
  auto stored = std::make_shared<std::atomic<std::size_t>>(0);
  store->addHandler([stored](const ImageStoreChange&) { ++*stored; });
  const auto options = std::make_shared<const ExportOptions>(Color::rgb(0.9, 0.3, 0.1), PasteboardType::png, 300);
  auto list = IconList::make(SearchTypes::StarterPack{}, store,
                             APIClient::make(*base, AccessToken{std::string(vx::devservice::kDemoTokenKey),
                                                                std::string(vx::devservice::kDemoTokenSecret)}));
  list->setZoomLevel(zoom);
  list->setExportOptions(options);
  // Every page, as a user scrolling to the end would load them; each starts its artwork's
  // downloads.
  while (list->hasMore()) {
    const std::size_t before = list->icons().size();
    list->loadPage(list->nextPage());
    if (!runUntil([&] { return !list->loading(); }, std::chrono::seconds(60)) || list->icons().size() == before) break;
  }
  if (list->icons().size() != count) {
    state.SkipWithError("the list did not load every page");
    return;
  }
  if (!runUntil([&] { return *stored >= count && store->downloadQueue().operationCount() == 0; },
                std::chrono::seconds(600))) {
    state.SkipWithError("the list's artwork downloads did not finish");
    return;
  }

  double rss = 0;
  SweepResult swept;
  std::size_t svgCached = 0;
  std::size_t pdfCached = 0;
  double cachedMegabytes = 0;
  {
    IconCollectionViewController controller;
    controller.setZoomLevel(zoom);
    controller.setExportOptions(options);
    CollectionView& view = *static_cast<CollectionView*>(controller.view());
    view.resize(kViewWidth, kViewHeight);
    view.show();
    QCoreApplication::processEvents();
    controller.setIconList(list);
    controller.iconListDidLoadPage(*list, 1);
    view.selectItem({0, 3}, false, CollectionViewScrollPosition::noScroll);
    runUntil([&] { return blankVisibleCells(view) == 0; }, std::chrono::seconds(60));

    QScrollBar* bar = view.verticalScrollBar();
    int direction = 1;
    long frames = 0;
    long turns = 0;
    for (auto _ : state) {
      int next = bar->value() + direction * step;
      if (next > bar->maximum() || next < 0) {
        direction = -direction;
        next = std::clamp(next, 0, bar->maximum());
        ++turns;
      }
      bar->setValue(next);
      // One turn of the event loop, as the application's: artwork that arrived meanwhile is
      // handed to its cells, and the window paints what moved or changed.
      QCoreApplication::processEvents();
      ++frames;
    }
    state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["turns"] = static_cast<double>(turns);
    state.counters["columns"] = controller.numberOfColumns();
    state.counters["pooled"] = static_cast<double>(view.pooledViewCount());

    // The downloads the frames asked for land first, so the sweep's stops wait only for their own.
    runUntil([&] { return store->downloadQueue().operationCount() == 0; }, std::chrono::seconds(300));
    swept = sweep(view);
    svgCached = store->svgCache().count();
    pdfCached = store->pdfCache().count();
    cachedMegabytes =
        static_cast<double>(store->svgCache().totalCost() + store->pdfCache().totalCost()) / (1024.0 * 1024.0);
    rss = residentMegabytes();
    // Downloads still queued find no grid; they are dropped before the list and store go.
    store->downloadQueue().cancelAllOperations();
    store->downloadQueue().waitUntilAllOperationsAreFinished();
  }
  QCoreApplication::processEvents();
  state.counters["rss_MB"] = rss;
  state.counters["peak_rss_MB"] = peakResidentMegabytes();
  state.counters["evicted_shown"] = static_cast<double>(swept.evictedShown);
  state.counters["blank"] = static_cast<double>(swept.blank);
  state.counters["svg_cached"] = static_cast<double>(svgCached);
  state.counters["pdf_cached"] = static_cast<double>(pdfCached);
  state.counters["cache_MB"] = cachedMegabytes;
  setAPIBaseURL(std::nullopt);
  setWebBaseURL(std::nullopt);
}
// 100% (index 2) and 200% (index 4) over 1,000, 5,000 and 10,000 icons, 16 points per frame (a
// smooth fling); 120 points (a fast one) over 10,000. A fixed number of frames per case, so the
// list and its downloads are set up once per case.
BENCHMARK(BM_ScrollIconGrid)
    ->ArgNames({"zoom", "step", "icons"})
    ->Args({2, 16, 1000})
    ->Args({2, 16, 5000})
    ->Args({2, 16, 10000})
    ->Args({2, 120, 10000})
    ->Args({4, 16, 1000})
    ->Args({4, 16, 5000})
    ->Args({4, 16, 10000})
    ->Args({4, 120, 10000})
    ->Iterations(3000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], kServeArgument) == 0) return serveCatalogue(argv[2]);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  vx::QtMainQueue mainQueue;
  IconCollectionViewController::registerInterface();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
