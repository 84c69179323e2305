#include "app/views/CBProgressView.h"

#include <cfloat>
#include <cmath>
#include <numbers>

namespace Vexelworks {

namespace {

constexpr double kTwoPi = 6.283185307179586;
const QColor kClear(0, 0, 0, 0);

AnimationValue tintValue(const std::optional<QColor>& tint) { return tint ? AnimationValue(*tint) : AnimationValue(); }

}  // namespace

CBProgressLayer::CBProgressLayer() { configureLayers(); }

void CBProgressLayer::configureLayers() {
  for (const auto& shape : {backgroundLayer_, foregroundLayer_}) {
    shape->setStrokeStart(0);
    shape->setLineWidth(lineWidth_);
    shape->setFillColor(std::nullopt);
    addSublayer(shape);  // the arc, added last, draws above the track
  }
  backgroundLayer_->setStrokeEnd(1.0);
  foregroundLayer_->setLineCap(LineCap::square);
  foregroundLayer_->setStrokeStart(progress_);
  foregroundLayer_->setStrokeEnd(progress_);
  setBackgroundColor(kClear);
}

void CBProgressLayer::applyLineWidth(ShapeLayer& shape) {
  shape.removeAnimation("lineWidthAnimation");
  withoutActions([&] {
    shape.setLineWidth(lineWidth_);
    updatePath(false);
  });
}

void CBProgressLayer::setLineWidth(double width) {
  lineWidth_ = width;
  applyLineWidth(*foregroundLayer_);
  applyLineWidth(*backgroundLayer_);
}

void CBProgressLayer::setStartPosition(double position) {
  startPosition_ = position;
  foregroundLayer_->setStrokeStart(position);
}

void CBProgressLayer::setProgressTint(const std::optional<QColor>& tint) {
  progressTint_ = tint;
  if (progress_ >= 0) foregroundLayer_->setValue(KeyPath::strokeColor, tintValue(tint));
}

void CBProgressLayer::setIndeterminateTint(const std::optional<QColor>& tint) {
  indeterminateTint_ = tint;
  if (progress_ < 0) foregroundLayer_->setValue(KeyPath::strokeColor, tintValue(tint));
}

std::optional<QColor> CBProgressLayer::trackColor() const { return backgroundLayer_->strokeColor(); }

void CBProgressLayer::setTrackColor(const std::optional<QColor>& color, bool animated) {
  const QColor stroke = color.value_or(kClear);
  if (animated) {
    backgroundLayer_->setStrokeColor(stroke);
  } else {
    withoutActions([&] { backgroundLayer_->setStrokeColor(stroke); });
  }
}

void CBProgressLayer::setIndeterminateRotateDuration(double seconds) {
  indeterminateRotateDuration_ = seconds;
  if (progress_ < 0) {
    stopAnimating(false);
    startAnimating(false);
  }
}

void CBProgressLayer::setIndeterminateIndicatorSize(double size) {
  indeterminateIndicatorSize_ = size;
  if (progress_ < 0) foregroundLayer_->setStrokeEnd(size);
}

void CBProgressLayer::layoutSublayers() {
  Layer::layoutSublayers();
  if (backgroundLayer_->frame().size() == frame().size()) return;
  foregroundLayer_->setFrame(bounds());
  backgroundLayer_->setFrame(bounds());
  updatePath(false);
}

void CBProgressLayer::updatePath(bool animated) {
  const QRectF b = bounds();
  if (b.isEmpty()) return;
  const double inset = lineWidth_ * 0.5;
  const QRectF r = b.adjusted(inset, inset, -inset, -inset);
  const double radius = r.width() * 0.5;
  // y grows upwards: bottom() is the top edge. Clockwise from the top centre.
  const double minX = r.left(), maxX = r.right(), minY = r.top(), maxY = r.bottom();
  const double midX = r.center().x(), midY = r.center().y();
  QPainterPath path(QPointF(midX, maxY));
  addTangentArc(path, {maxX, maxY}, {maxX, midY}, radius);
  addTangentArc(path, {maxX, minY}, {midX, minY}, radius);
  addTangentArc(path, {minX, minY}, {minX, midY}, radius);
  addTangentArc(path, {minX, maxY}, {midX, maxY}, radius);
  foregroundLayer_->setPath(path, animated);
  backgroundLayer_->setPath(path, animated);
}

void CBProgressLayer::setLineWidth(double width, bool animated) {
  const double before = lineWidth_;
  lineWidth_ = width;
  if (!animated) {
    applyLineWidth(*foregroundLayer_);
    applyLineWidth(*backgroundLayer_);
    return;
  }
  for (const auto& shape : {foregroundLayer_, backgroundLayer_}) {
    updatePath(true);
    withoutActions([&] { shape->setLineWidth(width); });
    BasicAnimation animation(KeyPath::lineWidth);
    animation.fromValue = before;
    animation.toValue = static_cast<double>(static_cast<float>(width));
    animation.duration = 0.2;
    shape->addAnimation(animation, "lineWidthAnimation");
  }
}

void CBProgressLayer::setProgress(double progress, bool animated) {
  if (progress < 0) {
    progress_ = progress;
    return;
  }
  ShapeLayer& arc = *foregroundLayer_;
  if (progress_ < 0) {
    // Leaving the spin: one quick turn forward to a full circle, then rest at 0.
    arc.removeAnimation("show");
    BasicAnimation handOver(KeyPath::rotationZ);
    handOver.duration = 0.1;
    handOver.fromValue = static_cast<double>(static_cast<float>(numberOr(arc.value(KeyPath::rotationZ), 0)));
    handOver.toValue = kTwoPi;
    arc.addAnimation(handOver, "spin");
    withoutActions([&] { arc.setValue(KeyPath::rotationZ, 0.0); });
  }
  if (!animated) {
    arc.removeAnimation("progressAnimation");
    withoutActions([&] {
      arc.setValue(KeyPath::strokeColor, tintValue(progressTint_));
      arc.setStrokeStart(0);
      arc.setStrokeEnd(progress);
    });
  } else {
    const double target = std::min(progress, 1.0);
    arc.removeAnimation("progressAnimation");
    BasicAnimation animation(KeyPath::strokeEnd);
    animation.fromValue =
        static_cast<double>(static_cast<float>(numberOr(arc.presentationValue(KeyPath::strokeEnd), 0)));
    animation.toValue = static_cast<double>(static_cast<float>(target));
    const float span = std::fabs(static_cast<float>(progress_) - static_cast<float>(target));
    animation.duration = static_cast<double>(2.0f * span);
    withoutActions([&] { arc.setStrokeEnd(startPosition_ + progress); });
    arc.addAnimation(animation, "progressAnimation");
  }
  progress_ = progress;
}

void CBProgressLayer::startAnimating(bool animated) {
  progress_ = -1;
  ShapeLayer& arc = *foregroundLayer_;
  arc.removeAllAnimations();
  if (!animated) {
    withoutActions([&] {
      arc.setValue(KeyPath::strokeColor, tintValue(indeterminateTint_));
      arc.setStrokeEnd(startPosition_ + indeterminateIndicatorSize_);
      arc.setStrokeStart(startPosition_);
    });
  } else {
    arc.setValue(KeyPath::strokeColor, tintValue(indeterminateTint_));
  }
  BasicAnimation spin(KeyPath::rotationZ);
  spin.duration = indeterminateRotateDuration_;
  spin.removedOnCompletion = false;
  spin.fromValue = static_cast<double>(static_cast<float>(numberOr(arc.value(KeyPath::rotationZ), 0)));
  spin.toValue = -kTwoPi;
  spin.repeatCount = static_cast<double>(FLT_MAX);
  arc.addAnimation(spin, "spin");
  if (animated && hidesWhenStopped) {
    withoutActions([&] {
      arc.setStrokeStart(startPosition_);
      arc.setStrokeEnd(startPosition_);
    });
    BasicAnimation show(KeyPath::strokeEnd);
    show.fromValue = 0.0;
    show.toValue = static_cast<double>(static_cast<float>(indeterminateIndicatorSize_));
    show.duration = 0.5;
    show.removedOnCompletion = false;
    withoutActions([&] { arc.setStrokeEnd(startPosition_ + indeterminateIndicatorSize_); });
    arc.addAnimation(show, "show");
  }
}

void CBProgressLayer::stopAnimating(bool animated, std::function<void()> completion) {
  progress_ = -1;
  ShapeLayer& arc = *foregroundLayer_;
  // Every path reports through a transaction, so the completion runs once whatever the stop
  // shows has finished (at once when nothing animates).
  Transaction::begin();
  if (completion) Transaction::setCompletionBlock(std::move(completion));
  if (hidesWhenStopped && !animated) {
    Transaction::setDisableActions(true);
    arc.setStrokeStart(indeterminateIndicatorSize_);
  } else if (hidesWhenStopped) {
    BasicAnimation hide(KeyPath::strokeStart);
    hide.fromValue = 0.0;
    hide.toValue = static_cast<double>(static_cast<float>(indeterminateIndicatorSize_));
    hide.duration = 0.5;
    hide.removedOnCompletion = false;
    withoutActions([&] { arc.setStrokeStart(indeterminateIndicatorSize_); });
    arc.addAnimation(hide, "hide");
  } else {
    const AnimationValue angle = arc.presentationValue(KeyPath::rotationZ);
    arc.removeAllAnimations();
    withoutActions([&] { arc.setValue(KeyPath::rotationZ, angle); });
  }
  Transaction::commit();
}

CBProgressView::CBProgressView(QWidget* parent) : LayerView(parent), layer_(std::make_shared<CBProgressLayer>()) {
  setWantsLayer(true);
  layer()->addSublayer(layer_);
  layer_->setFrame(QRectF(QPointF(0, 0), QSizeF(size())));
}

void CBProgressView::awakeFromNib() {
  if (layer_->progress() < 0) layer_->startAnimating(false);
}

void CBProgressView::layout() { layer_->setFrame(QRectF(QPointF(0, 0), QSizeF(size()))); }

}  // namespace Vexelworks
