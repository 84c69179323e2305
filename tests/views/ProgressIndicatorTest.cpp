// The progress ring and the dot indicator: their documented situations evaluated at chosen
// clock times, and renders checked pixel by pixel.
#include "app/views/CBProgressView.h"
#include "app/views/DotProgressIndicator.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace Vexelworks;

namespace {

std::chrono::nanoseconds seconds(double s) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(s));
}

const QColor kRed(255, 0, 0);
const QColor kGrey(128, 128, 128);

class RingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    view.resize(40, 40);
    view.layoutIfNeeded();
  }
  CBProgressLayer& ring() { return view.ringLayer(); }
  ShapeLayer& arc() { return *ring().foregroundLayer(); }
  double model(const std::string& key) { return numberOr(arc().value(key), -99); }
  double shown(const std::string& key, double at = 0) {
    return numberOr(arc().presentationValue(key, start + at), -99);
  }
  // The pixel of the ring at `degrees` clockwise from the top, in widget coordinates.
  QColor ringPixel(const QImage& image, double degrees) {
    const double a = degrees * std::numbers::pi / 180;
    return image.pixelColor(static_cast<int>(20 + 19 * std::sin(a)), static_cast<int>(20 - 19 * std::cos(a)));
  }

  vx::ScopedVirtualTime time;
  double start = mediaTime();
  CBProgressView view;
};

bool near(const QColor& a, const QColor& b, int tolerance = 40) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance && std::abs(a.alpha() - b.alpha()) <= tolerance;
}

}  // namespace

TEST_F(RingTest, ANewRingShowsNothing) {
  EXPECT_EQ(ring().trackColor(), std::nullopt);
  EXPECT_EQ(arc().strokeColor(), std::nullopt);
  EXPECT_EQ(model(KeyPath::strokeStart), 0);
  EXPECT_EQ(model(KeyPath::strokeEnd), 0);
  EXPECT_EQ(ring().progress(), 0);
  const QImage image = view.renderToImage(start);
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) ASSERT_EQ(image.pixelColor(x, y).alpha(), 0) << x << "," << y;
  }
}

TEST_F(RingTest, A40PointRingIsACircleOfRadius19StartingAtTheTopCentre) {
  const QPainterPath path = arc().path();
  ASSERT_FALSE(path.isEmpty());
  EXPECT_EQ(path.elementAt(0).x, 20);
  EXPECT_EQ(path.elementAt(0).y, 39);  // y counts upwards: the top
  const QRectF bounds = path.controlPointRect();
  EXPECT_NEAR(bounds.left(), 1, 1e-9);
  EXPECT_NEAR(bounds.right(), 39, 1e-9);
  for (double f : {0.0, 0.1, 0.25, 0.4, 0.5, 0.75, 0.9}) {
    const QPointF p = path.pointAtPercent(f);
    EXPECT_NEAR(std::hypot(p.x() - 20, p.y() - 20), 19, 0.05) << f;
  }
  // A quarter along is the right-hand side: clockwise.
  EXPECT_NEAR(path.pointAtPercent(0.25).x(), 39, 0.05);
  EXPECT_NEAR(path.pointAtPercent(0.25).y(), 20, 0.05);
  EXPECT_EQ(ring().backgroundLayer()->path(), path);
}

TEST_F(RingTest, ADeterminateValueWithoutAnimationShowsAtOnceFromZero) {
  ring().setStartPosition(0.3);
  ring().setProgressTint(kRed);
  ring().setProgress(0.4, false);
  EXPECT_EQ(model(KeyPath::strokeStart), 0);
  EXPECT_DOUBLE_EQ(model(KeyPath::strokeEnd), 0.4);
  EXPECT_DOUBLE_EQ(shown(KeyPath::strokeEnd), 0.4);
  EXPECT_EQ(arc().strokeColor(), kRed);
}

TEST_F(RingTest, LeavingTheIndeterminateModeRunsTheHandOverAndTimesTheFillByDistance) {
  ring().setProgress(-0.5, true);
  EXPECT_EQ(ring().progress(), -0.5);
  EXPECT_TRUE(arc().animationKeys().empty());
  ring().setProgress(0.3, true);
  const Animation* spin = arc().animation("spin");
  ASSERT_NE(spin, nullptr);
  EXPECT_DOUBLE_EQ(spin->duration, 0.1);
  EXPECT_DOUBLE_EQ(numberOr(static_cast<const BasicAnimation*>(spin)->toValue, 0), 6.283185307179586);
  const Animation* fill = arc().animation("progressAnimation");
  ASSERT_NE(fill, nullptr);
  EXPECT_NEAR(fill->duration, 1.6, 1e-6);  // 2 x (0.5 + 0.3)
  EXPECT_DOUBLE_EQ(model(KeyPath::rotationZ), 0);
  EXPECT_NEAR(shown(KeyPath::rotationZ, 0.05), std::numbers::pi, 1e-9);  // half way through the turn
  EXPECT_NEAR(shown(KeyPath::strokeEnd, 0.8), 0.15, 1e-6);
  EXPECT_NEAR(shown(KeyPath::strokeEnd, 1.6), 0.3, 1e-6);  // then the model value
  EXPECT_EQ(ring().progress(), 0.3);
}

TEST_F(RingTest, ProgressBeyondOneAnimatesToAFullRingButIsStoredAsGiven) {
  ring().setStartPosition(0.1);
  ring().setProgress(1.5, true);
  auto* fill = static_cast<const BasicAnimation*>(arc().animation("progressAnimation"));
  ASSERT_NE(fill, nullptr);
  EXPECT_DOUBLE_EQ(numberOr(fill->toValue, -1), 1.0);
  EXPECT_DOUBLE_EQ(model(KeyPath::strokeEnd), 1.6);
  EXPECT_EQ(ring().progress(), 1.5);
  EXPECT_NEAR(fill->duration, 2 * 1.0, 1e-6);  // from the stored 0 to the target 1
}

TEST_F(RingTest, SpinningTurnsOnceARotationDurationAndStopsHiddenOrFrozen) {
  ring().setIndeterminateTint(kRed);
  ring().startAnimating(false);
  EXPECT_EQ(ring().progress(), -1);
  EXPECT_EQ(arc().strokeColor(), kRed);
  EXPECT_DOUBLE_EQ(model(KeyPath::strokeEnd), 0.5);
  const struct {
    double at;
    double angle;
  } table[] = {{0, 0}, {0.25, -std::numbers::pi / 2}, {0.5, -std::numbers::pi}, {1.75, -3 * std::numbers::pi / 2}};
  for (const auto& row : table) EXPECT_NEAR(shown(KeyPath::rotationZ, row.at), row.angle, 1e-9) << row.at;

  // Stopped with hidesWhenStopped: the arc's start jumps to its end; the completion runs.
  bool completed = false;
  ring().stopAnimating(false, [&] { completed = true; });
  EXPECT_EQ(ring().progress(), -1);
  EXPECT_DOUBLE_EQ(model(KeyPath::strokeStart), 0.5);
  EXPECT_DOUBLE_EQ(shown(KeyPath::strokeStart), 0.5);
  vx::DispatchQueue::drainMainQueue();
  EXPECT_TRUE(completed);

  // A new rotation duration restarts the spin without animation.
  ring().setIndeterminateRotateDuration(2);
  ASSERT_NE(arc().animation("spin"), nullptr);
  EXPECT_DOUBLE_EQ(arc().animation("spin")->duration, 2);
  EXPECT_EQ(arc().animation("show"), nullptr);
}

TEST_F(RingTest, StartingAnimatedGrowsTheArcInUnlessTheRingNeverHides) {
  ring().startAnimating(true);
  ASSERT_NE(arc().animation("show"), nullptr);
  EXPECT_NEAR(shown(KeyPath::strokeEnd, 0), 0, 1e-9);
  EXPECT_NEAR(shown(KeyPath::strokeEnd, 0.25), 0.25, 1e-9);
  EXPECT_NEAR(shown(KeyPath::strokeEnd, 0.6), 0.5, 1e-9);

  CBProgressView other;
  other.resize(40, 40);
  other.layoutIfNeeded();
  other.setHidesWhenStopped(false);
  other.setProgress(0.4);
  ShapeLayer& arc2 = *other.ringLayer().foregroundLayer();
  other.startAnimating(true);
  EXPECT_EQ(numberOr(arc2.value(KeyPath::strokeStart), -1), 0);
  EXPECT_DOUBLE_EQ(numberOr(arc2.value(KeyPath::strokeEnd), -1), 0.4);
  EXPECT_EQ(arc2.animation("show"), nullptr);
  time.advance(seconds(0.25));
  other.stopAnimating(false);
  EXPECT_TRUE(arc2.animationKeys().empty());
  EXPECT_NEAR(numberOr(arc2.value(KeyPath::rotationZ), 0), -std::numbers::pi / 2, 1e-9);  // frozen
}

TEST_F(RingTest, ANoneTrackColourStrokesClearAndPropertiesWorkByName) {
  ring().setTrackColor(std::nullopt);
  ASSERT_TRUE(ring().trackColor());
  EXPECT_EQ(ring().trackColor()->alpha(), 0);
  view.setProperty("lineWidth", 4.0);
  EXPECT_EQ(ring().lineWidth(), 4.0);
  EXPECT_DOUBLE_EQ(numberOr(ring().backgroundLayer()->value(KeyPath::lineWidth), 0), 4.0);
  EXPECT_NEAR(arc().path().controlPointRect().left(), 2, 1e-9);  // the path moved in with the width
  view.setProperty("progressTint", kRed);
  EXPECT_EQ(view.property("progressTint").value<QColor>(), kRed);
  view.setProperty("progress", 0.7);
  EXPECT_DOUBLE_EQ(view.property("progress").toDouble(), 0.7);
  view.setProperty("hidesWhenStopped", false);
  EXPECT_FALSE(ring().hidesWhenStopped);
}

TEST_F(RingTest, ARingWokenWithANegativeProgressSpinsAtOnce) {
  view.setProperty("progress", -1.0);
  view.awakeFromNib();
  ASSERT_NE(arc().animation("spin"), nullptr);
  EXPECT_EQ(arc().animation("show"), nullptr);
}

TEST_F(RingTest, RenderedArcPixelsCarryTheTintAndTheTrackTheRest) {
  ring().setTrackColor(kGrey);
  ring().setProgressTint(kRed);
  ring().setProgress(0.25, false);
  const QImage image = view.renderToImage(start);
  EXPECT_TRUE(near(ringPixel(image, 45), kRed)) << ringPixel(image, 45).name().toStdString();
  EXPECT_TRUE(near(ringPixel(image, 225), kGrey)) << ringPixel(image, 225).name().toStdString();
  EXPECT_EQ(image.pixelColor(20, 20).alpha(), 0);  // the centre stays empty

  // Spinning half ring a quarter turn in: it covers the bottom, not the top.
  ring().setIndeterminateTint(kRed);
  ring().startAnimating(false);
  const QImage spun = view.renderToImage(start + 0.25);
  EXPECT_TRUE(near(ringPixel(spun, 180), kRed)) << ringPixel(spun, 180).name().toStdString();
  EXPECT_TRUE(near(ringPixel(spun, 0), kGrey)) << ringPixel(spun, 0).name().toStdString();
}

TEST_F(RingTest, AnimatedLineWidthAndTrackColourChangesRunTheirAnimations) {
  ring().setLineWidth(4, true);
  EXPECT_EQ(ring().lineWidth(), 4);
  for (const auto& shape : {ring().foregroundLayer(), ring().backgroundLayer()}) {
    auto* widen = static_cast<const BasicAnimation*>(shape->animation("lineWidthAnimation"));
    ASSERT_NE(widen, nullptr);
    EXPECT_DOUBLE_EQ(numberOr(widen->fromValue, -1), 2);
    EXPECT_DOUBLE_EQ(numberOr(widen->toValue, -1), 4);
    EXPECT_DOUBLE_EQ(widen->duration, 0.2);
    EXPECT_NEAR(numberOr(shape->presentationValue(KeyPath::lineWidth, start + 0.1), -1), 3, 1e-9);
    auto* path = shape->animation("animatePath");
    ASSERT_NE(path, nullptr);
    EXPECT_TRUE(path->additive);
    EXPECT_FALSE(path->removedOnCompletion);
    EXPECT_EQ(path->fillMode, FillMode::both);
    EXPECT_EQ(path->timingFunction, TimingFunction::easeInEaseOut());
    EXPECT_NEAR(shape->path().controlPointRect().left(), 2, 1e-9);
  }
  // The shown path moves in over the default duration, half way at 0.125 s.
  const auto shownPath = std::get<QPainterPath>(arc().presentationValue(KeyPath::path, start + 0.125));
  EXPECT_NEAR(shownPath.controlPointRect().left(), 1.5, 1e-6);

  // Without animation the old line-width animation goes away.
  ring().setLineWidth(3);
  EXPECT_EQ(arc().animation("lineWidthAnimation"), nullptr);
  EXPECT_DOUBLE_EQ(numberOr(arc().presentationValue(KeyPath::lineWidth, start), -1), 3);

  ring().setTrackColor(kGrey, false);
  ring().setTrackColor(kRed, true);
  EXPECT_EQ(ring().trackColor(), kRed);
  EXPECT_NE(ring().backgroundLayer()->animation(KeyPath::strokeColor), nullptr);  // implicit
  const auto mid = std::get<QColor>(ring().backgroundLayer()->presentationValue(KeyPath::strokeColor, start));
  EXPECT_EQ(mid, kGrey);
}

TEST_F(RingTest, TintsApplyOnlyInTheirOwnModeAndTheIndicatorSizeOnlyWhileIndeterminate) {
  ring().setProgress(0.5, false);
  ring().setIndeterminateTint(kGrey);
  EXPECT_EQ(arc().strokeColor(), QColor(0, 0, 255));  // still the progress tint
  ring().setIndeterminateIndicatorSize(0.2);
  EXPECT_DOUBLE_EQ(model(KeyPath::strokeEnd), 0.5);
  ring().startAnimating(false);
  EXPECT_EQ(arc().strokeColor(), kGrey);
  ring().setProgressTint(kRed);
  EXPECT_EQ(arc().strokeColor(), kGrey);
  ring().setIndeterminateIndicatorSize(0.3);
  EXPECT_DOUBLE_EQ(model(KeyPath::strokeEnd), 0.3);  // the size alone, not added to the start
}

TEST(ShapeLayerPaths, AnimatedAndStraightPathsAreSetAsAsked) {
  vx::ScopedVirtualTime time;
  const double start = mediaTime();
  ShapeLayer shape;
  QPainterPath small;
  small.addRect(0, 0, 10, 10);
  QPainterPath large;
  large.addRect(0, 0, 30, 30);
  shape.setPath(small, false);
  shape.setPathAnimated(large, 2);
  ASSERT_NE(shape.animation("animatePath"), nullptr);
  EXPECT_DOUBLE_EQ(shape.animation("animatePath")->duration, 2);
  const auto half = std::get<QPainterPath>(shape.presentationValue(KeyPath::path, start + 1));
  EXPECT_NEAR(half.controlPointRect().width(), 20, 1e-6);
  EXPECT_EQ(shape.path(), large);
  shape.setPathFromPoint({1, 2}, {3, 4});
  ASSERT_EQ(shape.path().elementCount(), 2);
  EXPECT_EQ(QPointF(shape.path().elementAt(1)), QPointF(3, 4));
  EXPECT_EQ(ShapeLayer::strokedPart(large, 0.5, 0.25).elementCount(), 0);  // an empty stretch
}

// --- dots ---

namespace {

class DotTest : public ::testing::Test {
 protected:
  vx::ScopedVirtualTime time;
  double start = mediaTime();
};

}  // namespace

TEST_F(DotTest, NotLayerBackedItDrawsNothingAndBuildsNothing) {
  DotProgressIndicator dots;
  dots.resize(48, 8);
  const QImage image = dots.renderToImage(start);
  EXPECT_EQ(dots.replicatorLayer(), nullptr);
  EXPECT_EQ(image.pixelColor(4, 4).alpha(), 0);
}

TEST_F(DotTest, ThreeDefaultDotsPulseOneAfterTheOther) {
  DotProgressIndicator dots;
  dots.resize(48, 8);
  dots.setWantsLayer(true);
  dots.setNeedsDisplay();
  QImage image = dots.renderToImage(start + 0.3);
  const auto& replicator = dots.replicatorLayer();
  ASSERT_NE(replicator, nullptr);
  EXPECT_EQ(replicator->instanceCount, 3);
  EXPECT_EQ(replicator->instanceOffset, QPointF(16, 0));
  EXPECT_NEAR(replicator->instanceDelay, 3.0 / 3.5, 1e-12);

  // At 0.3 s the first dot is at its brightest; the others have not started and rest at 0.1.
  const auto alphaAt = [](const QImage& im, int x) { return im.pixelColor(x, 4).alphaF(); };
  EXPECT_NEAR(alphaAt(image, 4), 0.9, 0.02);
  EXPECT_NEAR(alphaAt(image, 20), 0.1, 0.02);
  EXPECT_NEAR(alphaAt(image, 36), 0.1, 0.02);
  // Dots are 8 wide with left edges at 0, 16 and 32: nothing between them.
  EXPECT_EQ(image.pixelColor(12, 4).alpha(), 0);
  EXPECT_EQ(image.pixelColor(28, 4).alpha(), 0);
  EXPECT_EQ(image.pixelColor(44, 4).alpha(), 0);
  EXPECT_EQ(image.pixelColor(4, 4).rgb() & 0xffffff, 0u);  // black

  // One delay later the second dot peaks; by 2.4 s the first has fallen back.
  image = dots.renderToImage(start + 3.0 / 3.5 + 0.3);
  EXPECT_NEAR(alphaAt(image, 20), 0.9, 0.02);
  image = dots.renderToImage(start + 2.4);
  EXPECT_NEAR(alphaAt(image, 4), 0.1, 0.02);
  image = dots.renderToImage(start + 3.3);  // the next cycle
  EXPECT_NEAR(alphaAt(image, 4), 0.9, 0.02);
}

TEST_F(DotTest, EveryDisplayAfterANeedsDisplayRebuildsTheRow) {
  DotProgressIndicator dots;
  dots.resize(100, 10);
  dots.setWantsLayer(true);
  dots.setDotColor(kRed);
  dots.setDotCount(5);
  dots.setDotSize(10);
  dots.setDotMargin(2);
  dots.renderToImage(start);
  const auto first = dots.replicatorLayer();
  dots.renderToImage(start);
  EXPECT_EQ(dots.replicatorLayer(), first);  // no new request: kept
  dots.setNeedsDisplay();
  const QImage image = dots.renderToImage(start + 0.3);
  EXPECT_NE(dots.replicatorLayer(), first);
  EXPECT_EQ(dots.layer()->sublayers().size(), 1u);  // the old row left
  EXPECT_EQ(dots.replicatorLayer()->instanceCount, 5);
  EXPECT_NEAR(dots.replicatorLayer()->instanceDelay, 3.0 / 5.5, 1e-12);
  EXPECT_TRUE(near(image.pixelColor(5, 5), QColor(255, 0, 0, 230), 10))
      << image.pixelColor(5, 5).name(QColor::HexArgb).toStdString();
  EXPECT_GT(image.pixelColor(53, 5).alpha(), 0);  // fifth dot at x = 48
}
