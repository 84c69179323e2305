// The screen colour picker's magnifier while the pointer moves: every frame moves the pointer
// three points (as a steady hand does), re-centres the window, magnifies the area around the
// pointer from the screen picture taken at opening and paints the window. Runs the picker's own
// window on the offscreen platform over a 1920 x 1080 picture; reports frames per second.
#include "app/shell/CBColorMagnifierWindow.h"
#include "app/shell/ScreenColorSampler.h"

#include <QApplication>
#include <QCursor>
#include <QImage>
#include <QPainter>
#include <benchmark/benchmark.h>

#include <cstdlib>

using namespace Vexelworks;

namespace {

QImage screenPicture() {
  QImage picture(1920, 1080, QImage::Format_RGB32);
  QPainter painter(&picture);
  // Stripes and blocks, so neighbouring frames differ.
  for (int x = 0; x < picture.width(); x += 7) {
    painter.fillRect(QRect(x, 0, 7, picture.height()), QColor::fromHsv((x * 3) % 360, 200, 220));
  }
  for (int y = 0; y < picture.height(); y += 64) {
    painter.fillRect(QRect(0, y, picture.width(), 3), Qt::black);
  }
  return picture;
}

void BM_MagnifierFollowsThePointer(benchmark::State& state) {
  CBColorMagnifierWindowController controller;
  CBColorMagnifierWindow window(controller, ScreenColorSampler(screenPicture(), QPoint(0, 0)));
  window.show();
  QCursor::setPos(200, 300);
  window.recenterOnPointer();
  QImage frame(window.size(), QImage::Format_ARGB32_Premultiplied);
  long frames = 0;
  int direction = 3;
  for (auto _ : state) {
    const QPoint pointer = QCursor::pos();
    if (pointer.x() > 1700) direction = -3;
    if (pointer.x() < 200) direction = 3;
    window.movePointer(direction, 0);  // warps, re-centres and magnifies
    frame.fill(Qt::transparent);
    window.render(&frame);  // paints the window as the screen would
    benchmark::DoNotOptimize(frame.constBits());
    ++frames;
  }
  if (frames > 0 && QCursor::pos() == QPoint(200, 300)) {
    state.SkipWithError("the pointer could not be moved on this platform");
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  window.closeWindow();
}
BENCHMARK(BM_MagnifierFollowsThePointer)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
