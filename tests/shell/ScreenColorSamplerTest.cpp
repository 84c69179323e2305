#include "app/shell/ScreenColorSampler.h"

#include "support/Screenshot.h"

#include <QLabel>
#include <QPixmap>

#include <gtest/gtest.h>

namespace Vexelworks {
namespace {

// A picture in which every pixel has its own colour: red from x, green from y, blue from both.
QImage uniquePixels(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      image.setPixel(x, y, qRgb(x % 256, y % 256, (x / 256 * 16 + y / 256) % 256));
    }
  }
  return image;
}

std::string hexOfPixel(const QImage& image, QPoint p) {
  const QRgb value = image.pixel(p);
  return Color::rgb(qRed(value) / 255.0, qGreen(value) / 255.0, qBlue(value) / 255.0).hexString();
}

TEST(ScreenColorSamplerTest, TheCapturedAreaIsAFifthOfTheViewAroundThePointer) {
  struct Case {
    QPoint pointer;
    QSize view;
    QRect expected;
  };
  const std::vector<Case> cases = {
      {{100, 100}, {200, 200}, QRect(80, 80, 40, 40)},
      {{0, 0}, {200, 200}, QRect(-20, -20, 40, 40)},
      // 203 / 5 = 40.6: the edges are widened to whole numbers.
      {{100, 100}, {203, 203}, QRect(79, 79, 42, 42)},
      {{7, 9}, {100, 50}, QRect(-3, 4, 20, 10)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ScreenColorSampler::captureRect(c.pointer, c.view), c.expected) << c.pointer.x() << "," << c.pointer.y();
  }
}

TEST(ScreenColorSamplerTest, TheCentreOfTheMagnifiedCircleIsThePixelUnderThePointer) {
  const QImage screen = uniquePixels(600, 400);
  const ScreenColorSampler sampler(screen, QPoint(0, 0));
  const QSize view(200, 200);
  // Inside, at every edge and corner, and on odd and even coordinates.
  for (const QPoint p : {QPoint(300, 200), QPoint(301, 199), QPoint(0, 0), QPoint(599, 399), QPoint(0, 399),
                         QPoint(599, 0), QPoint(19, 21), QPoint(20, 20)}) {
    const QImage magnified = sampler.magnify(p, view);
    ASSERT_EQ(magnified.size(), QSize(200, 200));
    const auto color = ScreenColorSampler::centerColor(magnified);
    ASSERT_TRUE(color.has_value());
    EXPECT_EQ(color->hexString(), hexOfPixel(screen, p)) << p.x() << "," << p.y();
    EXPECT_EQ(sampler.colorAt(p)->hexString(), hexOfPixel(screen, p));
  }
}

TEST(ScreenColorSamplerTest, EachCapturedPixelBecomesASharpFiveByFiveBlockInsideTheCircle) {
  const QImage screen = uniquePixels(300, 300);
  const ScreenColorSampler sampler(screen, QPoint(0, 0));
  const QImage magnified = sampler.magnify(QPoint(150, 150), QSize(200, 200));
  // The pointer's pixel covers the block from 98 to 102 in both directions.
  const QRgb centre = magnified.pixel(100, 100);
  for (int y = 98; y <= 102; ++y) {
    for (int x = 98; x <= 102; ++x) EXPECT_EQ(magnified.pixel(x, y), centre) << x << "," << y;
  }
  EXPECT_NE(magnified.pixel(103, 100), centre);
  EXPECT_NE(magnified.pixel(97, 100), centre);
  EXPECT_EQ(magnified.pixel(103, 100), screen.pixel(151, 150));
  EXPECT_EQ(magnified.pixel(100, 97), screen.pixel(150, 149));
  // Corners lie outside the circle of radius 100.
  EXPECT_EQ(qAlpha(magnified.pixel(2, 2)), 0);
  EXPECT_EQ(qAlpha(magnified.pixel(197, 197)), 0);
  EXPECT_EQ(qAlpha(magnified.pixel(100, 3)), 255);

  QLabel label;
  label.setPixmap(QPixmap::fromImage(magnified));
  label.resize(200, 200);
  EXPECT_FALSE(vx::test::saveScreenshot(&label, "color-picker-magnified-bitmap").isEmpty());
}

TEST(ScreenColorSamplerTest, BeyondTheScreenTheCircleStaysTransparent) {
  const QImage screen = uniquePixels(100, 100);
  const ScreenColorSampler sampler(screen, QPoint(0, 0));
  const QImage magnified = sampler.magnify(QPoint(0, 0), QSize(200, 200));
  EXPECT_EQ(qAlpha(magnified.pixel(60, 100)), 0) << "left of the screen";
  EXPECT_EQ(qAlpha(magnified.pixel(100, 60)), 0) << "above the screen";
  EXPECT_EQ(qAlpha(magnified.pixel(110, 110)), 255);
  EXPECT_FALSE(sampler.colorAt(QPoint(-1, 5)).has_value());
  EXPECT_FALSE(sampler.colorAt(QPoint(100, 5)).has_value());
}

TEST(ScreenColorSamplerTest, AScreenAwayFromTheOriginAndAtTwiceThePixelsMapsGlobalPoints) {
  // A screen at (1000, 50) whose picture holds two pixels per point.
  QImage picture = uniquePixels(400, 400);
  picture.setDevicePixelRatio(2);
  const ScreenColorSampler sampler(picture, QPoint(1000, 50));
  EXPECT_EQ(sampler.colorAt(QPoint(1100, 150))->hexString(), hexOfPixel(picture, QPoint(200, 200)));
  const auto centre = ScreenColorSampler::centerColor(sampler.magnify(QPoint(1100, 150), QSize(200, 200)));
  ASSERT_TRUE(centre.has_value());
  // 80 picture pixels fill 200: the centre sample is the pointer's pixel or its neighbour.
  const QRgb value = qRgb(static_cast<int>(std::lround(centre->rgba().red * 255)),
                          static_cast<int>(std::lround(centre->rgba().green * 255)), 0);
  EXPECT_NEAR(qRed(value), 200, 1);
  EXPECT_NEAR(qGreen(value), 200, 1);
}

TEST(ScreenColorSamplerTest, NoPictureMeansNoBitmapAndNoColour) {
  const ScreenColorSampler empty;
  EXPECT_TRUE(empty.isNull());
  EXPECT_TRUE(empty.magnify(QPoint(5, 5), QSize(200, 200)).isNull());
  EXPECT_FALSE(empty.colorAt(QPoint(5, 5)).has_value());
  EXPECT_FALSE(ScreenColorSampler::centerColor(QImage()).has_value());
  EXPECT_FALSE(ScreenColorSampler::centerColor(QImage(10, 10, QImage::Format_Grayscale8)).has_value());
  const ScreenColorSampler sampler(uniquePixels(10, 10), QPoint(0, 0));
  EXPECT_TRUE(sampler.magnify(QPoint(5, 5), QSize(0, 0)).isNull());
}

TEST(ScreenColorSamplerTest, TheDiagnosticLinesNameTheBytesAndTheColour) {
  const Color color = Color::rgb(18 / 255.0, 154 / 255.0, 92 / 255.0);
  const std::string text = ScreenColorSampler::describeSample(18, 154, 92, color);
  EXPECT_NE(text.find("PIXEL DATA --------------------------\n"), std::string::npos);
  EXPECT_NE(text.find("values: 18, 154, 92\n"), std::string::npos);
  EXPECT_NE(text.find("values: 12, 9a, 5c\n"), std::string::npos);
  EXPECT_NE(text.find("color: 129A5C "), std::string::npos);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5);
}

}  // namespace
}  // namespace Vexelworks
