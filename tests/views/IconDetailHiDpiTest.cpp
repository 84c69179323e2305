// The large icon on a screen of device pixel ratio 2: the artwork is rendered at the widget's
// real pixel size (twice its size in points), so it is sharp rather than a scaled-up picture.
#include "IconDetailTestSupport.h"

#include "app/views/IconDetailCell.h"

#include <QScreen>

#include <cstdlib>

namespace {

// The scale factor must be in place before the application object exists, which the test
// program's main creates: set it while the program's globals are made.
const bool kScaleFactorSet = [] { return setenv("QT_SCALE_FACTOR", "2", 1) == 0; }();

}  // namespace

namespace Vexelworks {
namespace {

class IconDetailHiDpiTest : public test::IconDetailFixture {};

TEST_F(IconDetailHiDpiTest, TheLargeIconIsRenderedAtTwiceItsSizeInPoints) {
  ASSERT_TRUE(kScaleFactorSet);
  const IconPtr icon = iconWithID("30001");
  ASSERT_NE(icon, nullptr);
  fetchArtwork(icon);
  openDetail(icon, QSize(800, 600));
  ASSERT_DOUBLE_EQ(host_->devicePixelRatioF(), 2.0) << "QT_SCALE_FACTOR=2 did not apply";

  auto* cell = dynamic_cast<IconDetailCell*>(grid().cellForItem({0, 0}));
  ASSERT_NE(cell, nullptr);
  IconImageView& view = *cell->imageView;
  EXPECT_EQ(view.side(), 500) << "points";
  const QImage rendered = view.renderedImage();
  ASSERT_FALSE(rendered.isNull());
  EXPECT_EQ(rendered.size(), QSize(1000, 1000)) << "pixels";
  EXPECT_DOUBLE_EQ(rendered.devicePixelRatio(), 2.0);
  EXPECT_EQ(rendered.deviceIndependentSize(), QSizeF(500, 500));

  // What reaches the window is that picture, one to one: the grab (in device pixels) holds the
  // artwork's own edge pixels, not a blurred upscale of a 500-pixel one.
  const QImage grabbed = view.grab().toImage();
  EXPECT_EQ(grabbed.size(), QSize(1000, 1000));
  int compared = 0;
  int differing = 0;
  for (int y = 0; y < 1000; y += 7) {
    for (int x = 0; x < 1000; x += 7) {
      if (qAlpha(rendered.pixel(x, y)) != 255) continue;
      ++compared;
      if (grabbed.pixel(x, y) != rendered.pixel(x, y)) ++differing;
    }
  }
  EXPECT_GT(compared, 100);
  EXPECT_EQ(differing, 0);
  screenshot("icon-detail-dpr2");

  // A smaller window re-renders at the new pixel size.
  host_->resize(400, 600);
  QCoreApplication::processEvents();
  EXPECT_EQ(view.side(), 360);
  EXPECT_EQ(view.renderedImage().size(), QSize(720, 720));
}

}  // namespace
}  // namespace Vexelworks
