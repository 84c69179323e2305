// Scrolls the icon grid over 10,000 icons with real artwork: the grid controller's layout (its
// column count, spacing and square cells), icon cells configured as the icon list configures
// them (artwork from a real image store, drawn black at the zoom size and tinted when drawn),
// painted into an image for every frame on the offscreen platform. The artwork is the local
// service's 72 sample icons, stored under 10,000 ids. Reports frames per second and peak
// resident memory at the 100% and 200% zoom levels; the number of icons is an argument, so
// runs with 1,000 and 10,000 icons show whether memory follows the list length.
#include "app/qt/MainQueue.h"
#include "app/service/Images/ImageStore.h"
#include "app/service/ZoomLevel.h"
#include "app/views/IconCollectionViewCell.h"
#include "app/views/IconCollectionViewController.h"
#include "tools/devservice/DevService.h"

#include <QApplication>
#include <QImage>
#include <QScrollBar>
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

using namespace Vexelworks;

namespace {

struct Library {
  std::shared_ptr<ImageStore> store = ImageStore::make();
  std::vector<IconPtr> icons;
};

// `count` icons whose artwork is stored as a completed download would store it.
Library makeLibrary(std::size_t count) {
  std::vector<std::pair<Bytes, Bytes>> artwork;  // SVG and its PDF
  for (const auto& entry : std::filesystem::directory_iterator(vx::devservice::defaultDataDirectory() / "icons")) {
    if (entry.path().extension() != ".svg") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    Bytes svg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes pdf = PDFConverter().convert(svg);
    artwork.emplace_back(std::move(svg), std::move(pdf));
  }
  Library library;
  if (artwork.empty()) return library;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string id = std::to_string(100000 + i);
    auto icon = std::make_shared<const Icon>(
        Icon{id, "icon", "Icon " + id, *vx::URL::parse("http://127.0.0.1/" + id + ".svg"),
             *vx::URL::parse("http://127.0.0.1/icon/" + id), std::make_shared<const Creator>(), nullptr});
    const auto& [svg, pdf] = artwork[i % artwork.size()];
    library.store->svgCache().setObject(icon->id, svg);
    library.store->pdfCache().setObject(icon->id, pdf);
    library.icons.push_back(std::move(icon));
  }
  return library;
}

// The icon list's cell set-up over a plain vector of icons.
class Source : public CollectionViewDataSource {
 public:
  Source(const Library& library, const ZoomLevel& zoom) : library_(library), zoom_(zoom) {}
  int numberOfItemsInSection(CollectionView&, int) override { return static_cast<int>(library_.icons.size()); }
  CollectionViewCell* cellForItemAt(CollectionView& view, const IndexPath& path) override {
    auto* cell =
        static_cast<IconCollectionViewCell*>(view.dequeueReusableCell(IconCollectionViewCell::reuseIdentifier, path));
    const auto& icon = library_.icons[static_cast<std::size_t>(path.item)];
    cell->setImage(library_.store->image(*icon, zoom_.size, Color::black()));
    cell->setIconColor(Color::rgb(0.9, 0.3, 0.1));
    return cell;
  }

 private:
  const Library& library_;
  ZoomLevel zoom_;
};

long peakResidentKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Arguments: zoom level index, points scrolled per frame, number of icons.
void BM_ScrollIconGrid(benchmark::State& state) {
  const ZoomLevel& zoom = ZoomLevel::all()[static_cast<std::size_t>(state.range(0))];
  const int step = static_cast<int>(state.range(1));
  const Library library = makeLibrary(static_cast<std::size_t>(state.range(2)));
  if (library.icons.empty()) {
    state.SkipWithError("no sample artwork found");
    return;
  }
  IconCollectionViewController::registerInterface();
  IconCollectionViewController controller;
  controller.setZoomLevel(zoom);
  CollectionView& view = *static_cast<CollectionView*>(controller.view());
  Source source(library, zoom);
  view.resize(1024, 768);
  view.show();
  QApplication::processEvents();
  view.setDataSource(&source);
  view.selectItem({0, 3}, false, CollectionViewScrollPosition::noScroll);
  QImage frame(view.viewport()->size(), QImage::Format_ARGB32_Premultiplied);
  QScrollBar* bar = view.verticalScrollBar();
  long frames = 0;
  long passes = 0;
  for (auto _ : state) {
    int next = bar->value() + step;
    if (next > bar->maximum()) {
      next = 0;
      ++passes;
    }
    bar->setValue(next);
    view.viewport()->render(&frame);
    benchmark::DoNotOptimize(frame.constBits());
    ++frames;
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["peak_rss_MB"] = static_cast<double>(peakResidentKilobytes()) / 1024.0;
  state.counters["columns"] = controller.numberOfColumns();
  state.counters["pooled"] = static_cast<double>(view.pooledViewCount());
  state.counters["passes"] = static_cast<double>(passes);
}
// 100% (index 2) and 200% (index 4); 16 points per frame is a smooth fling, 120 a fast one.
BENCHMARK(BM_ScrollIconGrid)
    ->ArgNames({"zoom", "step", "icons"})
    ->Args({2, 16, 1000})
    ->Args({2, 16, 10000})
    ->Args({2, 120, 10000})
    ->Args({4, 16, 10000})
    ->Args({4, 120, 10000})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  vx::QtMainQueue mainQueue;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
