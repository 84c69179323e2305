// The grid on a real X server: painted cells read back from the screen, the main queue served
// by the X event loop, and a real drag that the user (here: a timer) cancels.
#include "GridTestSupport.h"

#include "app/views/CBProgressView.h"
#include "platform/foundation/DispatchQueue.h"

#include <QApplication>
#include <QDrag>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <thread>

using namespace Vexelworks;
using namespace Vexelworks::testing;

namespace {

class XvfbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != "xcb")
      GTEST_SKIP() << "needs the xcb platform, running on " << QGuiApplication::platformName().toStdString();
  }
};

}  // namespace

TEST_F(XvfbTest, TheMainQueueIsServedByTheXEventLoop) {
  bool ran = false;
  std::thread([&] { vx::DispatchQueue::main()->async([&] { ran = true; }); }).join();
  QElapsedTimer timer;
  timer.start();
  while (!ran && timer.elapsed() < 5000) QApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_TRUE(ran);
}

TEST_F(XvfbTest, ShownCellsArePaintedOnScreenAndARealDragCanBeCancelled) {
  CollectionView view;
  registerGridViews(view);
  GridSource source;
  GridDelegate delegate;
  delegate.columns = 4;
  delegate.columnSpacing = 10;
  delegate.interitemSpacing = 10;
  delegate.aspectRatio = QSizeF(1, 1);
  source.counts = {100};
  view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  view.setBackgroundColor(QColor(242, 242, 242));
  view.setDelegate(&delegate);
  view.resize(430, 300);
  view.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
  view.setDataSource(&source);
  QApplication::processEvents();

  const QImage screen = view.viewport()->grab().toImage();
  const QPoint cell = view.cellForItem({0, 1})->geometry().center();
  EXPECT_EQ(screen.pixelColor(cell), QColor(40, 40, 40));
  EXPECT_EQ(screen.pixelColor(view.cellForItem({0, 1})->geometry().right() + 5, cell.y()), QColor(242, 242, 242));

  // A real drag: the nested drag loop runs until the timer cancels it.
  QTimer::singleShot(300, [] { QDrag::cancel(); });
  QTimer::singleShot(3000, [] { QDrag::cancel(); });
  const QPoint start = cell;
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(start), view.viewport()->mapToGlobal(QPointF(start)),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(view.viewport(), &press);
  QMouseEvent move(QEvent::MouseMove, QPointF(start + QPoint(40, 0)),
                   view.viewport()->mapToGlobal(QPointF(start + QPoint(40, 0))), Qt::NoButton, Qt::LeftButton,
                   Qt::NoModifier);
  QApplication::sendEvent(view.viewport(), &move);
  EXPECT_EQ(delegate.dragStarts, (std::vector<IndexPath>{{0, 1}}));
  EXPECT_EQ(delegate.dragEnds, std::vector<Qt::DropAction>{Qt::IgnoreAction});
}

TEST_F(XvfbTest, ASpinningRingKeepsRepaintingWhileShown) {
  CBProgressView ring;
  ring.resize(40, 40);
  ring.setTrackColor(QColor(200, 200, 200));
  ring.setIndeterminateTint(QColor(255, 0, 0));
  ring.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&ring));
  ring.startAnimating(false);
  // The arc moves on by itself, and keeps moving: each read is followed by a different one.
  QImage shown = ring.grab().toImage();
  for (int step = 0; step < 3; ++step) {
    SCOPED_TRACE(step);
    QImage next;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          next = ring.grab().toImage();
          return next != shown;
        },
        10000));
    shown = next;
  }
}
