// A small animation model for layer trees: model values set by the program, animations that
// run from a start time on the scheduler's clock, and presentation values computed from both at
// any chosen time. Tests install virtual time and read presentation values at exact instants;
// the views paint the presentation at the current time from a timer.
#pragma once

#include <QColor>
#include <QPainterPath>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace Vexelworks {

// The value of one animatable property. monostate means "none" (no colour, no path).
using AnimationValue = std::variant<std::monostate, double, QColor, QPainterPath>;

// Seconds on the current scheduler's monotonic clock (virtual in tests).
double mediaTime();

bool animationValuesEqual(const AnimationValue& a, const AnimationValue& b);
// Straight interpolation at `fraction` (0: a, 1: b). Colours mix their components; paths of the
// same shape mix their points; anything else jumps to `b`.
AnimationValue interpolate(const AnimationValue& a, const AnimationValue& b, double fraction);
// a + b for numbers; other kinds are not additive and give `b`.
AnimationValue addValues(const AnimationValue& a, const AnimationValue& b);
// The number in `value`, or `fallback` when it holds none.
double numberOr(const AnimationValue& value, double fallback);

// A cubic Bézier easing curve from (0,0) to (1,1).
struct TimingFunction {
  double c1x = 0, c1y = 0, c2x = 1, c2y = 1;

  static TimingFunction linear() { return {0, 0, 1, 1}; }
  static TimingFunction easeIn() { return {0.42, 0, 1, 1}; }
  static TimingFunction easeOut() { return {0, 0, 0.58, 1}; }
  static TimingFunction easeInEaseOut() { return {0.42, 0, 0.58, 1}; }
  static TimingFunction defaultTiming() { return {0.25, 0.1, 0.25, 1}; }

  // Eased progress for linear progress `x` in 0..1.
  double evaluate(double x) const;
  bool operator==(const TimingFunction&) const = default;
};

enum class FillMode { removed, forwards, backwards, both };

// Duration used when an animation's own duration is 0.
inline constexpr double kDefaultAnimationDuration = 0.25;

class Animation {
 public:
  virtual ~Animation() = default;

  std::string keyPath;
  double duration = 0;     // seconds; 0 uses kDefaultAnimationDuration
  double repeatCount = 0;  // cycles; 0 runs once
  bool removedOnCompletion = true;
  FillMode fillMode = FillMode::removed;
  bool additive = false;
  TimingFunction timingFunction = TimingFunction::linear();
  double beginTime = 0;  // media time; set when added to a layer

  double effectiveDuration() const { return duration > 0 ? duration : kDefaultAnimationDuration; }
  // Seconds from begin to the end of the last cycle.
  double activeDuration() const;
  // The time at which it stops contributing (infinite when it holds its final value forever).
  double endTime() const;

  // The value this animation gives at `time` over `base` (the model value, or what earlier
  // animations made of it); none when it does not contribute at that time.
  std::optional<AnimationValue> valueAt(double time, const AnimationValue& base) const;
  virtual std::unique_ptr<Animation> clone() const = 0;

 protected:
  // The value for cycle progress `progress` (0..1, before easing).
  virtual AnimationValue valueForProgress(double progress, const AnimationValue& base) const = 0;
};

class BasicAnimation : public Animation {
 public:
  explicit BasicAnimation(std::string keyPath = {});
  AnimationValue fromValue;  // none: from the base value
  AnimationValue toValue;    // none: to the base value
  std::unique_ptr<Animation> clone() const override { return std::make_unique<BasicAnimation>(*this); }

 protected:
  AnimationValue valueForProgress(double progress, const AnimationValue& base) const override;
};

// Values at key times (fractions of the cycle); the timing function eases each segment.
class KeyframeAnimation : public Animation {
 public:
  explicit KeyframeAnimation(std::string keyPath = {});
  std::vector<AnimationValue> values;
  std::vector<double> keyTimes;  // empty: evenly spaced
  std::unique_ptr<Animation> clone() const override { return std::make_unique<KeyframeAnimation>(*this); }

 protected:
  AnimationValue valueForProgress(double progress, const AnimationValue& base) const override;
};

// Batches property changes. While the innermost open transaction disables actions, changes of
// animatable properties show at once instead of animating implicitly. The completion block runs
// on the main queue once every animation added inside the transaction has finished (at once
// when none was added). Main thread only.
class Transaction {
 public:
  static void begin();
  static void commit();
  static void setDisableActions(bool disable);
  static bool disableActions();
  static void setCompletionBlock(std::function<void()> completion);
  // Called by layers for every animation they add.
  static void noteAnimationAdded(double endTime);
};

// Runs `body` in a transaction with implicit actions disabled.
void withoutActions(const std::function<void()>& body);

}  // namespace Vexelworks
