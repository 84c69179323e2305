// The animation model: easing curves, basic and keyframe animations evaluated at chosen clock
// times, implicit animations and transactions.
#include "app/views/Animation/Animation.h"
#include "app/views/Animation/Layer.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace Vexelworks;

namespace {

std::chrono::nanoseconds seconds(double s) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(s));
}

class AnimationTest : public ::testing::Test {
 protected:
  vx::ScopedVirtualTime time;
  double start = mediaTime();
};

}  // namespace

TEST(TimingFunction, EasingCurvesAtKnownPoints) {
  struct Case {
    const char* name;
    TimingFunction function;
    double x;
    double expected;
  };
  const Case cases[] = {
      {"linear", TimingFunction::linear(), 0.3, 0.3},
      {"ease in, middle", TimingFunction::easeIn(), 0.5, 0.3153},
      {"ease out, middle", TimingFunction::easeOut(), 0.5, 0.6847},
      {"ease in ease out, middle", TimingFunction::easeInEaseOut(), 0.5, 0.5},
      {"default, middle", TimingFunction::defaultTiming(), 0.5, 0.8024},
      {"ease out, start", TimingFunction::easeOut(), 0, 0},
      {"ease out, end", TimingFunction::easeOut(), 1, 1},
      {"clamped below", TimingFunction::easeIn(), -3, 0},
      {"clamped above", TimingFunction::easeIn(), 7, 1},
  };
  for (const auto& c : cases) EXPECT_NEAR(c.function.evaluate(c.x), c.expected, 1e-3) << c.name;
}

TEST_F(AnimationTest, BasicAnimationsAtChosenTimes) {
  struct Case {
    const char* name;
    double from, to, duration, repeat;
    bool removedOnCompletion;
    FillMode fill;
    bool additive;
    double at;
    double expected;
  };
  // The layer's model opacity is 0.5 throughout.
  const Case cases[] = {
      {"start", 10, 20, 2, 0, true, FillMode::removed, false, 0, 10},
      {"quarter", 10, 20, 2, 0, true, FillMode::removed, false, 0.5, 12.5},
      {"half", 10, 20, 2, 0, true, FillMode::removed, false, 1, 15},
      {"ended and removed: the model shows", 10, 20, 2, 0, true, FillMode::removed, false, 2, 0.5},
      {"ended, kept, no fill: the model shows", 10, 20, 2, 0, false, FillMode::removed, false, 3, 0.5},
      {"ended, kept, filled forwards", 10, 20, 2, 0, false, FillMode::forwards, false, 3, 20},
      {"second cycle", 10, 20, 2, 2, true, FillMode::removed, false, 2.5, 12.5},
      {"after both cycles", 10, 20, 2, 2, true, FillMode::removed, false, 4, 0.5},
      {"half a cycle more, filled", 10, 20, 2, 1.5, false, FillMode::both, false, 10, 15},
      {"additive adds to the model", 0, 10, 2, 0, true, FillMode::removed, true, 1, 5.5},
      {"zero duration uses the default", 0, 1, 0, 0, true, FillMode::removed, false, 0.125, 0.5},
  };
  for (const auto& c : cases) {
    Layer layer;
    layer.setOpacity(0.5);
    BasicAnimation animation(KeyPath::opacity);
    animation.fromValue = c.from;
    animation.toValue = c.to;
    animation.duration = c.duration;
    animation.repeatCount = c.repeat;
    animation.removedOnCompletion = c.removedOnCompletion;
    animation.fillMode = c.fill;
    animation.additive = c.additive;
    layer.addAnimation(animation, "a");
    EXPECT_NEAR(numberOr(layer.presentationValue(KeyPath::opacity, start + c.at), -1), c.expected, 1e-9) << c.name;
    EXPECT_DOUBLE_EQ(layer.opacity(), 0.5) << c.name;  // the model never moves
  }
}

TEST_F(AnimationTest, AMissingFromOrToValueStandsForTheModelValue) {
  Layer layer;
  layer.setOpacity(0.2);
  BasicAnimation towards(KeyPath::opacity);
  towards.toValue = 1.0;
  towards.duration = 1;
  layer.addAnimation(towards, "towards");
  EXPECT_NEAR(numberOr(layer.presentationValue(KeyPath::opacity, start + 0.5), -1), 0.6, 1e-9);
}

TEST_F(AnimationTest, KeyframesHitTheirValuesAtTheirKeyTimesAndEaseBetween) {
  // The dot indicator's pulse: 0.1 -> 0.9 -> 0.1 -> 0.1 at 0, 0.1, 0.8 and 1 of a 3 s cycle.
  Layer dot;
  dot.setOpacity(0.1);
  KeyframeAnimation pulse(KeyPath::opacity);
  pulse.duration = 3;
  pulse.values = {0.1, 0.9, 0.1, 0.1};
  pulse.keyTimes = {0, 0.1, 0.8, 1};
  pulse.repeatCount = 1e30;
  pulse.timingFunction = TimingFunction::easeOut();
  dot.addAnimation(pulse, "opacity");
  const std::pair<double, double> table[] = {
      {0, 0.1},         {0.3, 0.9}, {1.35, 0.5 + 0.8 * (0.5 - TimingFunction::easeOut().evaluate(0.5))},
      {2.4, 0.1},       {2.7, 0.1}, {3.3, 0.9},
      {30.0 + 0.3, 0.9}};
  for (const auto& [at, expected] : table) {
    EXPECT_NEAR(numberOr(dot.presentationValue(KeyPath::opacity, start + at), -1), expected, 1e-6) << at;
  }
  // Half way up the rise, ease-out is past the straight line.
  EXPECT_GT(numberOr(dot.presentationValue(KeyPath::opacity, start + 0.15), -1), 0.5);
}

TEST_F(AnimationTest, ChangesAnimateImplicitlyInAShownTreeUnlessActionsAreDisabled) {
  auto root = std::make_shared<Layer>();
  int changes = 0;
  root->setChangeHandler([&] { ++changes; });
  auto child = std::make_shared<ShapeLayer>();
  root->addSublayer(child);
  child->setStrokeEnd(0.5);  // from the default 1 over 0.25 s
  EXPECT_NEAR(numberOr(child->presentationValue(KeyPath::strokeEnd, start), -1), 1.0, 1e-9);
  EXPECT_NEAR(numberOr(child->presentationValue(KeyPath::strokeEnd, start + 0.125), -1),
              0.5 + 0.5 * (1 - TimingFunction::defaultTiming().evaluate(0.5)), 1e-6);
  EXPECT_NEAR(numberOr(child->presentationValue(KeyPath::strokeEnd, start + 0.25), -1), 0.5, 1e-9);
  EXPECT_NE(child->animation(KeyPath::strokeEnd), nullptr);
  EXPECT_GT(changes, 0);

  withoutActions([&] { child->setStrokeStart(0.3); });
  EXPECT_NEAR(numberOr(child->presentationValue(KeyPath::strokeStart, start), -1), 0.3, 1e-9);
  EXPECT_EQ(child->animation(KeyPath::strokeStart), nullptr);

  // Outside a shown tree nothing animates.
  ShapeLayer loose;
  loose.setStrokeEnd(0.25);
  EXPECT_NEAR(numberOr(loose.presentationValue(KeyPath::strokeEnd, start), -1), 0.25, 1e-9);
}

TEST_F(AnimationTest, AnimationsAreReplacedAndRemovedByKeyAndLeaveOnceEnded) {
  Layer layer;
  BasicAnimation first(KeyPath::opacity);
  first.fromValue = 0.0;
  first.toValue = 1.0;
  first.duration = 1;
  layer.addAnimation(first, "fade");
  BasicAnimation second = first;
  second.duration = 4;
  layer.addAnimation(second, "fade");
  EXPECT_EQ(layer.animationKeys(), std::vector<std::string>{"fade"});
  EXPECT_DOUBLE_EQ(layer.animation("fade")->duration, 4);
  EXPECT_TRUE(layer.hasRunningAnimations(start + 3.9));
  EXPECT_FALSE(layer.hasRunningAnimations(start + 4));
  time.advance(seconds(4));
  EXPECT_EQ(layer.animation("fade"), nullptr);
  layer.addAnimation(first, "other");
  layer.removeAnimation("other");
  EXPECT_TRUE(layer.animationKeys().empty());
}

TEST_F(AnimationTest, ATransactionsCompletionRunsOnTheMainQueueOnceItsAnimationsEnd) {
  Layer layer;
  bool withAnimation = false;
  Transaction::begin();
  Transaction::setCompletionBlock([&] { withAnimation = true; });
  BasicAnimation fade(KeyPath::opacity);
  fade.fromValue = 0.0;
  fade.toValue = 1.0;
  fade.duration = 1;
  layer.addAnimation(fade, "fade");
  Transaction::commit();

  bool without = false;
  Transaction::begin();
  Transaction::setDisableActions(true);
  EXPECT_TRUE(Transaction::disableActions());
  Transaction::setCompletionBlock([&] { without = true; });
  Transaction::commit();
  EXPECT_FALSE(Transaction::disableActions());

  EXPECT_FALSE(without);  // never inline
  vx::DispatchQueue::drainMainQueue();
  EXPECT_TRUE(without);
  EXPECT_FALSE(withAnimation);
  time.advance(seconds(0.5));
  vx::DispatchQueue::drainMainQueue();
  EXPECT_FALSE(withAnimation);
  time.advance(seconds(0.6));
  vx::DispatchQueue::drainMainQueue();
  EXPECT_TRUE(withAnimation);
}

TEST(LayerPaths, ATangentArcThroughARightAngleIsAQuarterCircle) {
  QPainterPath path(QPointF(20, 39));
  addTangentArc(path, {39, 39}, {39, 20}, 19);
  EXPECT_NEAR(path.currentPosition().x(), 39, 1e-9);
  EXPECT_NEAR(path.currentPosition().y(), 20, 1e-9);
  const QPointF middle = path.pointAtPercent(0.5);
  EXPECT_NEAR(std::hypot(middle.x() - 20, middle.y() - 20), 19, 0.05);
}
