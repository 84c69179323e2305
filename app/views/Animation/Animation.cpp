#include "app/views/Animation/Animation.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace Vexelworks {

double mediaTime() {
  const auto now = vx::Scheduler::current()->monotonicNow().time_since_epoch();
  return std::chrono::duration<double>(now).count();
}

namespace {

bool samePathShape(const QPainterPath& a, const QPainterPath& b) {
  if (a.elementCount() != b.elementCount()) return false;
  for (int i = 0; i < a.elementCount(); ++i) {
    if (a.elementAt(i).type != b.elementAt(i).type) return false;
  }
  return true;
}

double bezier(double a, double b, double t) {
  // One coordinate of the cubic with end points 0 and 1 and control values a and b.
  const double u = 1 - t;
  return 3 * u * u * t * a + 3 * u * t * t * b + t * t * t;
}

double bezierSlope(double a, double b, double t) {
  const double u = 1 - t;
  return 3 * u * u * a + 6 * u * t * (b - a) + 3 * t * t * (1 - b);
}

}  // namespace

bool animationValuesEqual(const AnimationValue& a, const AnimationValue& b) {
  if (a.index() != b.index()) return false;
  if (auto* x = std::get_if<double>(&a)) return *x == std::get<double>(b);
  if (auto* x = std::get_if<QColor>(&a)) return *x == std::get<QColor>(b);
  if (auto* x = std::get_if<QPainterPath>(&a)) return *x == std::get<QPainterPath>(b);
  return true;
}

AnimationValue interpolate(const AnimationValue& a, const AnimationValue& b, double f) {
  if (auto* x = std::get_if<double>(&a)) {
    if (auto* y = std::get_if<double>(&b)) return *x + (*y - *x) * f;
  }
  if (auto* x = std::get_if<QColor>(&a)) {
    if (auto* y = std::get_if<QColor>(&b)) {
      auto mix = [f](float p, float q) { return std::clamp(static_cast<double>(p) + (q - p) * f, 0.0, 1.0); };
      return QColor::fromRgbF(mix(x->redF(), y->redF()), mix(x->greenF(), y->greenF()), mix(x->blueF(), y->blueF()),
                              mix(x->alphaF(), y->alphaF()));
    }
  }
  if (auto* x = std::get_if<QPainterPath>(&a)) {
    if (auto* y = std::get_if<QPainterPath>(&b); y != nullptr && samePathShape(*x, *y)) {
      QPainterPath result = *x;
      for (int i = 0; i < result.elementCount(); ++i) {
        const auto& p = x->elementAt(i);
        const auto& q = y->elementAt(i);
        result.setElementPositionAt(i, p.x + (q.x - p.x) * f, p.y + (q.y - p.y) * f);
      }
      return result;
    }
  }
  return f <= 0 ? a : b;
}

AnimationValue addValues(const AnimationValue& a, const AnimationValue& b) {
  if (auto* x = std::get_if<double>(&a)) {
    if (auto* y = std::get_if<double>(&b)) return *x + *y;
  }
  return b;
}

double numberOr(const AnimationValue& value, double fallback) {
  if (auto* x = std::get_if<double>(&value)) return *x;
  return fallback;
}

double TimingFunction::evaluate(double x) const {
  x = std::clamp(x, 0.0, 1.0);
  if (c1x == c1y && c2x == c2y) return x;  // linear
  // Solve bezier(c1x, c2x, t) = x for t: Newton steps, then bisection when they stall.
  double t = x;
  for (int i = 0; i < 8; ++i) {
    const double error = bezier(c1x, c2x, t) - x;
    if (std::abs(error) < 1e-7) return bezier(c1y, c2y, t);
    const double slope = bezierSlope(c1x, c2x, t);
    if (std::abs(slope) < 1e-6) break;
    t -= error / slope;
  }
  double low = 0, high = 1;
  t = x;
  for (int i = 0; i < 60; ++i) {
    const double value = bezier(c1x, c2x, t);
    if (std::abs(value - x) < 1e-9) break;
    (value < x ? low : high) = t;
    t = (low + high) / 2;
  }
  return bezier(c1y, c2y, t);
}

double Animation::activeDuration() const {
  const double cycles = repeatCount > 0 ? repeatCount : 1;
  return effectiveDuration() * cycles;
}

double Animation::endTime() const {
  const bool holds = !removedOnCompletion && (fillMode == FillMode::forwards || fillMode == FillMode::both);
  if (holds) return std::numeric_limits<double>::infinity();
  return beginTime + activeDuration();
}

std::optional<AnimationValue> Animation::valueAt(double time, const AnimationValue& base) const {
  const double local = time - beginTime;
  const double cycle = effectiveDuration();
  const double active = activeDuration();
  double progress;
  if (local < 0) {
    if (fillMode != FillMode::backwards && fillMode != FillMode::both) return std::nullopt;
    progress = 0;
  } else if (local >= active) {
    if (removedOnCompletion) return std::nullopt;
    if (fillMode != FillMode::forwards && fillMode != FillMode::both) return std::nullopt;
    const double cycles = active / cycle;
    const double fraction = cycles - std::floor(cycles);
    progress = fraction > 0 ? fraction : 1;
  } else {
    progress = std::fmod(local, cycle) / cycle;
  }
  AnimationValue value = valueForProgress(progress, base);
  if (additive) value = addValues(base, value);
  return value;
}

BasicAnimation::BasicAnimation(std::string path) { keyPath = std::move(path); }

AnimationValue BasicAnimation::valueForProgress(double progress, const AnimationValue& base) const {
  const AnimationValue& from = std::holds_alternative<std::monostate>(fromValue) ? base : fromValue;
  const AnimationValue& to = std::holds_alternative<std::monostate>(toValue) ? base : toValue;
  return interpolate(from, to, timingFunction.evaluate(progress));
}

KeyframeAnimation::KeyframeAnimation(std::string path) { keyPath = std::move(path); }

AnimationValue KeyframeAnimation::valueForProgress(double progress, const AnimationValue& base) const {
  if (values.empty()) return base;
  if (values.size() == 1) return values.front();
  std::vector<double> times = keyTimes;
  if (times.size() != values.size()) {
    times.clear();
    for (std::size_t i = 0; i < values.size(); ++i) times.push_back(static_cast<double>(i) / (values.size() - 1));
  }
  if (progress <= times.front()) return values.front();
  for (std::size_t i = 1; i < times.size(); ++i) {
    if (progress <= times[i]) {
      const double span = times[i] - times[i - 1];
      const double local = span > 0 ? (progress - times[i - 1]) / span : 1;
      return interpolate(values[i - 1], values[i], timingFunction.evaluate(local));
    }
  }
  return values.back();
}

namespace {

struct TransactionFrame {
  bool disableActions = false;
  std::function<void()> completion;
  double latestEnd = -std::numeric_limits<double>::infinity();
};

std::vector<TransactionFrame>& frames() {
  static std::vector<TransactionFrame> stack;
  return stack;
}

}  // namespace

void Transaction::begin() {
  TransactionFrame frame;
  // A nested transaction starts with its parent's setting.
  if (!frames().empty()) frame.disableActions = frames().back().disableActions;
  frames().push_back(std::move(frame));
}

void Transaction::commit() {
  if (frames().empty()) return;
  TransactionFrame frame = std::move(frames().back());
  frames().pop_back();
  if (!frames().empty()) frames().back().latestEnd = std::max(frames().back().latestEnd, frame.latestEnd);
  if (!frame.completion) return;
  auto main = vx::DispatchQueue::main();
  if (!std::isfinite(frame.latestEnd) || frame.latestEnd <= mediaTime()) {
    if (frame.latestEnd == std::numeric_limits<double>::infinity()) return;  // never completes
    main->async(std::move(frame.completion));
    return;
  }
  auto scheduler = vx::Scheduler::current();
  const auto delay =
      std::chrono::duration_cast<vx::Duration>(std::chrono::duration<double>(frame.latestEnd - mediaTime()));
  scheduler->schedule(scheduler->monotonicNow() + delay, [main, completion = std::move(frame.completion)]() mutable {
    main->async(std::move(completion));
  });
}

void Transaction::setDisableActions(bool disable) {
  if (!frames().empty()) frames().back().disableActions = disable;
}

bool Transaction::disableActions() { return !frames().empty() && frames().back().disableActions; }

void Transaction::setCompletionBlock(std::function<void()> completion) {
  if (!frames().empty()) frames().back().completion = std::move(completion);
}

void Transaction::noteAnimationAdded(double endTime) {
  if (!frames().empty()) frames().back().latestEnd = std::max(frames().back().latestEnd, endTime);
}

void withoutActions(const std::function<void()>& body) {
  Transaction::begin();
  Transaction::setDisableActions(true);
  body();
  Transaction::commit();
}

}  // namespace Vexelworks
