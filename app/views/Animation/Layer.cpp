#include "app/views/Animation/Layer.h"

#include <QPen>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace Vexelworks {

Layer::~Layer() {
  for (auto& sublayer : sublayers_) sublayer->superlayer_ = nullptr;
}

void Layer::addSublayer(const std::shared_ptr<Layer>& layer) {
  if (layer == nullptr || layer.get() == this) return;
  layer->removeFromSuperlayer();
  layer->superlayer_ = this;
  sublayers_.push_back(layer);
  notifyChanged();
}

void Layer::removeFromSuperlayer() {
  Layer* parent = superlayer_;
  if (parent == nullptr) return;
  auto it = std::find_if(parent->sublayers_.begin(), parent->sublayers_.end(),
                         [this](const std::shared_ptr<Layer>& layer) { return layer.get() == this; });
  if (it == parent->sublayers_.end()) return;
  std::shared_ptr<Layer> keep = *it;  // keeps us alive until we are done here
  parent->sublayers_.erase(it);
  superlayer_ = nullptr;
  parent->notifyChanged();
}

void Layer::setFrame(const QRectF& frame) {
  if (frame.size() != frame_.size()) needsLayout_ = true;
  frame_ = frame;
  notifyChanged();
}

AnimationValue Layer::defaultValue(const std::string& keyPath) const {
  if (keyPath == KeyPath::opacity) return 1.0;
  if (keyPath == KeyPath::rotationZ) return 0.0;
  return std::monostate{};
}

AnimationValue Layer::value(const std::string& keyPath) const {
  auto it = model_.find(keyPath);
  return it == model_.end() ? defaultValue(keyPath) : it->second;
}

void Layer::setValue(const std::string& keyPath, const AnimationValue& newValue) {
  // Only layers below a shown root (one a view hosts) animate implicitly; the root itself and
  // layers still being put together change at once.
  const Layer* root = this;
  while (root->superlayer_ != nullptr) root = root->superlayer_;
  const bool implicit = root != this && root->changeHandler_ && !Transaction::disableActions();
  AnimationValue from;
  if (implicit) from = presentationValue(keyPath);
  model_[keyPath] = newValue;
  if (implicit && !animationValuesEqual(from, newValue)) {
    BasicAnimation animation(keyPath);
    animation.fromValue = from;
    animation.toValue = newValue;
    animation.duration = kDefaultAnimationDuration;
    animation.timingFunction = TimingFunction::defaultTiming();
    addAnimation(animation, keyPath);
  }
  notifyChanged();
}

AnimationValue Layer::presentationValue(const std::string& keyPath, double time) const {
  AnimationValue result = value(keyPath);
  for (const auto& entry : animations_) {
    if (entry.second->keyPath != keyPath) continue;
    if (auto v = entry.second->valueAt(time, result)) result = std::move(*v);
  }
  return result;
}

void Layer::setBackgroundColor(const std::optional<QColor>& color) {
  setValue(KeyPath::backgroundColor, color ? AnimationValue(*color) : AnimationValue());
}

void Layer::addAnimation(const Animation& animation, const std::string& key) {
  const double now = mediaTime();
  // Animations that ended and go away on completion leave now.
  std::erase_if(animations_, [now](const auto& entry) {
    return entry.second->removedOnCompletion && now >= entry.second->beginTime + entry.second->activeDuration();
  });
  std::string name = key.empty() ? "animation-" + std::to_string(nextAnonymousKey_++) : key;
  std::erase_if(animations_, [&name](const auto& entry) { return entry.first == name; });
  auto copy = animation.clone();
  copy->beginTime = now;
  Transaction::noteAnimationAdded(now + copy->activeDuration());
  animations_.emplace_back(std::move(name), std::move(copy));
  notifyChanged();
}

void Layer::removeAnimation(const std::string& key) {
  std::erase_if(animations_, [&key](const auto& entry) { return entry.first == key; });
  notifyChanged();
}

void Layer::removeAllAnimations() {
  animations_.clear();
  notifyChanged();
}

const Animation* Layer::animation(const std::string& key, double time) const {
  for (const auto& entry : animations_) {
    if (entry.first != key) continue;
    const Animation& a = *entry.second;
    if (a.removedOnCompletion && time >= a.beginTime + a.activeDuration()) return nullptr;
    return &a;
  }
  return nullptr;
}

std::vector<std::string> Layer::animationKeys(double time) const {
  std::vector<std::string> keys;
  for (const auto& entry : animations_) {
    if (animation(entry.first, time) != nullptr) keys.push_back(entry.first);
  }
  return keys;
}

bool Layer::hasRunningAnimations(double time) const {
  for (const auto& entry : animations_) {
    const Animation& a = *entry.second;
    if (time < a.beginTime + a.activeDuration()) return true;
  }
  for (const auto& sublayer : sublayers_) {
    if (sublayer->hasRunningAnimations(time)) return true;
  }
  return false;
}

void Layer::layoutIfNeeded() {
  if (needsLayout_) {
    needsLayout_ = false;
    layoutSublayers();
  }
  for (const auto& sublayer : sublayers_) sublayer->layoutIfNeeded();
}

void Layer::render(QPainter& painter, double time) const {
  const double opacity = numberOr(presentationValue(KeyPath::opacity, time), 1);
  if (opacity <= 0) return;
  painter.save();
  painter.setOpacity(painter.opacity() * std::min(1.0, opacity));
  painter.translate(frame_.topLeft());
  const double rotation = numberOr(presentationValue(KeyPath::rotationZ, time), 0);
  if (rotation != 0) {
    const QPointF centre = bounds().center();
    painter.translate(centre);
    painter.rotate(rotation * 180 / std::numbers::pi);
    painter.translate(-centre);
  }
  const AnimationValue background = presentationValue(KeyPath::backgroundColor, time);
  if (auto* colour = std::get_if<QColor>(&background); colour != nullptr && colour->isValid() && colour->alpha() > 0) {
    painter.fillRect(bounds(), *colour);
  }
  drawContent(painter, time);
  renderSublayers(painter, time);
  painter.restore();
}

void Layer::renderSublayers(QPainter& painter, double time) const {
  for (const auto& sublayer : sublayers_) sublayer->render(painter, time);
}

void Layer::notifyChanged() {
  Layer* root = this;
  while (root->superlayer_ != nullptr) root = root->superlayer_;
  if (root->changeHandler_) root->changeHandler_();
}

// --- ShapeLayer ---

AnimationValue ShapeLayer::defaultValue(const std::string& keyPath) const {
  if (keyPath == KeyPath::strokeStart) return 0.0;
  if (keyPath == KeyPath::strokeEnd) return 1.0;
  if (keyPath == KeyPath::lineWidth) return 1.0;
  return Layer::defaultValue(keyPath);
}

QPainterPath ShapeLayer::path() const {
  const AnimationValue v = value(KeyPath::path);
  if (auto* p = std::get_if<QPainterPath>(&v)) return *p;
  return {};
}

std::optional<QColor> ShapeLayer::strokeColor() const {
  const AnimationValue v = value(KeyPath::strokeColor);
  if (auto* c = std::get_if<QColor>(&v)) return *c;
  return std::nullopt;
}

void ShapeLayer::setStrokeColor(const std::optional<QColor>& color) {
  setValue(KeyPath::strokeColor, color ? AnimationValue(*color) : AnimationValue());
}

std::optional<QColor> ShapeLayer::fillColor() const {
  const AnimationValue v = value(KeyPath::fillColor);
  if (auto* c = std::get_if<QColor>(&v)) return *c;
  return std::nullopt;
}

void ShapeLayer::setFillColor(const std::optional<QColor>& color) {
  setValue(KeyPath::fillColor, color ? AnimationValue(*color) : AnimationValue());
}

void ShapeLayer::addPathAnimation(const QPainterPath& path, double duration) {
  BasicAnimation animation(KeyPath::path);
  animation.duration = duration;
  animation.fromValue = presentationValue(KeyPath::path);
  animation.toValue = path;
  animation.fillMode = FillMode::both;
  animation.additive = true;  // paths do not add up: the model keeps the plain to-value
  animation.removedOnCompletion = false;
  animation.timingFunction = TimingFunction::easeInEaseOut();
  // The presentation is read before the model changes, so the animation starts where the
  // path is shown now.
  withoutActions([&] { setValue(KeyPath::path, path); });
  addAnimation(animation, "animatePath");
}

void ShapeLayer::setPath(const QPainterPath& path, bool animated) {
  if (!animated) {
    // "Not animated" means shown at once, also where implicit actions would apply.
    withoutActions([&] { setValue(KeyPath::path, path); });
    return;
  }
  addPathAnimation(path, 0);  // the own duration: 0 uses the default
}

void ShapeLayer::setPathAnimated(const QPainterPath& path, double duration) { addPathAnimation(path, duration); }

void ShapeLayer::setPathFromPoint(const QPointF& from, const QPointF& to) {
  QPainterPath segment(from);
  segment.lineTo(to);
  withoutActions([&] { setValue(KeyPath::path, segment); });
}

QPainterPath ShapeLayer::strokedPart(const QPainterPath& path, double start, double end) {
  start = std::clamp(start, 0.0, 1.0);
  end = std::clamp(end, 0.0, 1.0);
  QPainterPath part;
  if (end <= start || path.isEmpty() || path.length() <= 0) return part;
  const int steps = std::max(2, static_cast<int>(std::ceil((end - start) * 360)));
  part.moveTo(path.pointAtPercent(start));
  for (int i = 1; i <= steps; ++i) part.lineTo(path.pointAtPercent(start + (end - start) * i / steps));
  return part;
}

void ShapeLayer::drawContent(QPainter& painter, double time) const {
  const AnimationValue pathValue = presentationValue(KeyPath::path, time);
  const auto* shape = std::get_if<QPainterPath>(&pathValue);
  if (shape == nullptr || shape->isEmpty()) return;
  painter.setRenderHint(QPainter::Antialiasing, true);
  const AnimationValue fill = presentationValue(KeyPath::fillColor, time);
  if (auto* colour = std::get_if<QColor>(&fill); colour != nullptr && colour->isValid()) {
    painter.fillPath(*shape, *colour);
  }
  const AnimationValue stroke = presentationValue(KeyPath::strokeColor, time);
  const auto* colour = std::get_if<QColor>(&stroke);
  const double width = numberOr(presentationValue(KeyPath::lineWidth, time), 1);
  if (colour == nullptr || !colour->isValid() || width <= 0) return;
  const double start = std::clamp(numberOr(presentationValue(KeyPath::strokeStart, time), 0), 0.0, 1.0);
  const double end = std::clamp(numberOr(presentationValue(KeyPath::strokeEnd, time), 1), 0.0, 1.0);
  if (end <= start) return;
  Qt::PenCapStyle cap = Qt::FlatCap;
  if (lineCap_ == LineCap::round) cap = Qt::RoundCap;
  if (lineCap_ == LineCap::square) cap = Qt::SquareCap;
  painter.setPen(QPen(*colour, width, Qt::SolidLine, cap, Qt::MiterJoin));
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(start <= 0 && end >= 1 ? *shape : strokedPart(*shape, start, end));
}

// --- ReplicatorLayer ---

void ReplicatorLayer::render(QPainter& painter, double time) const {
  const double opacity = numberOr(presentationValue(KeyPath::opacity, time), 1);
  if (opacity <= 0) return;
  painter.save();
  painter.setOpacity(painter.opacity() * std::min(1.0, opacity));
  painter.translate(frame().topLeft());
  drawContent(painter, time);
  for (int instance = 0; instance < std::max(0, instanceCount); ++instance) {
    painter.save();
    painter.translate(instanceOffset * instance);
    renderSublayers(painter, time - instanceDelay * instance);
    painter.restore();
  }
  painter.restore();
}

// --- paths ---

void addTangentArc(QPainterPath& path, const QPointF& corner, const QPointF& towards, double radius) {
  const QPointF start = path.currentPosition();
  const QPointF a = start - corner;
  const QPointF b = towards - corner;
  const double la = std::hypot(a.x(), a.y());
  const double lb = std::hypot(b.x(), b.y());
  if (la <= 0 || lb <= 0 || radius <= 0) {
    path.lineTo(corner);
    return;
  }
  const QPointF ua = a / la;
  const QPointF ub = b / lb;
  const double cosine = std::clamp(ua.x() * ub.x() + ua.y() * ub.y(), -1.0, 1.0);
  const double angle = std::acos(cosine);  // between the two legs
  if (angle <= 1e-9 || std::abs(angle - std::numbers::pi) <= 1e-9) {
    path.lineTo(corner);
    return;
  }
  const double legs = radius / std::tan(angle / 2);
  const QPointF t1 = corner + ua * legs;
  const QPointF t2 = corner + ub * legs;
  QPointF bisector = ua + ub;
  bisector /= std::hypot(bisector.x(), bisector.y());
  const QPointF centre = corner + bisector * (radius / std::sin(angle / 2));
  path.lineTo(t1);
  const double a1 = std::atan2(t1.y() - centre.y(), t1.x() - centre.x());
  const double a2 = std::atan2(t2.y() - centre.y(), t2.x() - centre.x());
  double sweep = a2 - a1;
  while (sweep > std::numbers::pi) sweep -= 2 * std::numbers::pi;
  while (sweep <= -std::numbers::pi) sweep += 2 * std::numbers::pi;
  const int pieces = std::max(1, static_cast<int>(std::ceil(std::abs(sweep) / (std::numbers::pi / 2) - 1e-9)));
  const double step = sweep / pieces;
  const double k = 4.0 / 3.0 * std::tan(step / 4);
  for (int i = 0; i < pieces; ++i) {
    const double from = a1 + step * i;
    const double to = from + step;
    const QPointF p0 = centre + QPointF(std::cos(from), std::sin(from)) * radius;
    const QPointF p3 = centre + QPointF(std::cos(to), std::sin(to)) * radius;
    const QPointF c1 = p0 + QPointF(-std::sin(from), std::cos(from)) * (k * radius);
    const QPointF c2 = p3 - QPointF(-std::sin(to), std::cos(to)) * (k * radius);
    path.cubicTo(c1, c2, p3);
  }
}

}  // namespace Vexelworks
