#include "app/views/DotProgressIndicator.h"

#include <algorithm>
#include <cfloat>
#include <climits>

namespace Vexelworks {

DotProgressIndicator::DotProgressIndicator(QWidget* parent) : LayerView(parent) {}

void DotProgressIndicator::rebuildLayers() {
  if (replicatorLayer_ != nullptr) {
    replicatorLayer_->removeAllAnimations();
    replicatorLayer_->removeFromSuperlayer();
  }
  auto replicator = std::make_shared<ReplicatorLayer>();
  replicator->instanceCount = static_cast<int>(std::clamp<qint64>(dotCount_, 0, INT_MAX));
  replicator->instanceOffset = QPointF(dotSize_ + dotMargin_, 0);
  // dotCount + 0.5 is never zero for a whole count.
  replicator->instanceDelay = duration_ / (static_cast<double>(dotCount_) + 0.5);
  replicatorLayer_ = replicator;

  KeyframeAnimation pulse(KeyPath::opacity);
  pulse.duration = duration_;
  pulse.values = {static_cast<double>(minOpacity_), static_cast<double>(maxOpacity_), static_cast<double>(minOpacity_),
                  static_cast<double>(minOpacity_)};
  pulse.keyTimes = {0.0, 0.1, 0.8, 1.0};
  pulse.repeatCount = static_cast<double>(FLT_MAX);
  pulse.timingFunction = TimingFunction::easeOut();

  auto dot = std::make_shared<ShapeLayer>();
  QPainterPath circle;
  circle.addEllipse(QRectF(0, 0, dotSize_, dotSize_));
  dot->setPath(circle);
  dot->setFillColor(dotColor_);
  dot->setOpacity(minOpacity_);
  dot->addAnimation(pulse, "opacity");

  replicator->addSublayer(dot);
  if (layer() != nullptr) layer()->addSublayer(replicator);
}

}  // namespace Vexelworks
