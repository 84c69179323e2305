// Scrolls a 10,000-item icon grid from top to bottom on the offscreen platform, laying out and
// painting the visible cells into an image for every frame, as the screen would. Reports frames
// per second and the process's peak resident memory. Goal: 60 frames per second or more at the
// 100% zoom size (80-point icons, 10-point gaps) in a 1024 x 768 window.
#include "app/qt/MainQueue.h"
#include "app/views/CollectionView.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdlib>

using namespace Vexelworks;

namespace {

// An icon silhouette drawn the way the grid's icon cells draw: fill the inset square with the
// colour, keep it only where the artwork is opaque.
const QImage& iconArtwork() {
  static const QImage image = [] {
    QImage artwork(80, 80, QImage::Format_ARGB32_Premultiplied);
    artwork.fill(Qt::transparent);
    QPainter painter(&artwork);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::black);
    painter.drawEllipse(QRectF(8, 8, 64, 64));
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.drawRect(QRectF(30, 30, 20, 20));
    return artwork;
  }();
  return image;
}

class IconLikeCell : public CollectionViewCell {
 protected:
  void paintEvent(QPaintEvent*) override {
    const QRect target = rect().adjusted(10, 10, -10, -10);
    if (target.isEmpty()) return;
    QImage tinted(target.size(), QImage::Format_ARGB32_Premultiplied);
    tinted.fill(selected() ? QColor(255, 80, 0) : Qt::black);
    {
      QPainter mask(&tinted);
      mask.setCompositionMode(QPainter::CompositionMode_DestinationIn);
      mask.drawImage(tinted.rect(), iconArtwork());
    }
    QPainter painter(this);
    painter.drawImage(target, tinted);
  }
};

class Source : public CollectionViewDataSource {
 public:
  int numberOfItemsInSection(CollectionView&, int) override { return 10000; }
  CollectionViewCell* cellForItemAt(CollectionView& view, const IndexPath& path) override {
    return view.dequeueReusableCell("IconCollectionViewCell", path);
  }
};

// The grid controller's answers at the 100% zoom: columns from the width, square cells.
class Delegate : public CollectionViewDelegate, public CollectionViewDelegateColumnLayout {
 public:
  std::optional<QSizeF> aspectRatioForItemAt(CollectionView&, CollectionViewLayout&, const IndexPath&) override {
    return QSizeF(1, 1);
  }
  std::optional<int> numberOfColumnsInSection(CollectionView& view, CollectionViewLayout&, int) override {
    return static_cast<int>(view.width() / (80 + 10));
  }
  std::optional<double> interitemSpacingForSectionAt(CollectionView&, CollectionViewLayout&, int) override {
    return 10;
  }
  std::optional<double> columnSpacingForSectionAt(CollectionView&, CollectionViewLayout&, int) override { return 10; }
};

long peakResidentKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void BM_ScrollTenThousandIcons(benchmark::State& state) {
  const int step = static_cast<int>(state.range(0));
  CollectionView view;
  view.registerClass<IconLikeCell>("IconCollectionViewCell");
  Source source;
  Delegate delegate;
  view.setDelegate(&delegate);
  view.setBackgroundColor(QColor(242, 242, 242));
  view.resize(1024, 768);
  view.show();
  QApplication::processEvents();
  view.setDataSource(&source);
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
    bar->setValue(next);              // scrolls: lays out and places the visible cells
    view.viewport()->render(&frame);  // paints the background and every shown cell
    benchmark::DoNotOptimize(frame.constBits());
    ++frames;
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.counters["peak_rss_MB"] = static_cast<double>(peakResidentKilobytes()) / 1024.0;
  state.counters["cells"] = static_cast<double>(view.indexPathsForVisibleItems().size());
  state.counters["passes"] = static_cast<double>(passes);
}
// 16 points per frame is a smooth fling; 768 is a page per frame (every cell new each frame).
BENCHMARK(BM_ScrollTenThousandIcons)
    ->Arg(16)
    ->Arg(120)
    ->Arg(768)
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
