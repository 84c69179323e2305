#include "app/views/Animation/LayerView.h"

#include <QPainter>
#include <QResizeEvent>

namespace Vexelworks {

LayerView::LayerView(QWidget* parent) : QWidget(parent) {
  timer_.setInterval(16);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
}

LayerView::~LayerView() {
  if (layer_ != nullptr) layer_->setChangeHandler(nullptr);
}

void LayerView::setWantsLayer(bool wants) {
  if (wants == wantsLayer_) return;
  wantsLayer_ = wants;
  if (wants && layer_ == nullptr) {
    layer_ = std::make_shared<Layer>();
    layer_->setFrame(QRectF(QPointF(0, 0), QSizeF(size())));
    layer_->setChangeHandler([this] { layerChanged(); });
  }
  setNeedsDisplay();
}

void LayerView::setNeedsDisplay() {
  needsDisplay_ = true;
  update();
}

void LayerView::layerChanged() {
  update();
  if (isVisible() && !timer_.isActive()) timer_.start();
}

void LayerView::tick() {
  if (layer_ == nullptr || !isVisible() || !layer_->hasRunningAnimations(mediaTime())) {
    timer_.stop();
  }
  update();
}

void LayerView::layoutIfNeeded() {
  if (layer_ == nullptr) return;
  const QRectF frame(QPointF(0, 0), QSizeF(size()));
  if (layer_->frame() != frame) {
    layer_->setFrame(frame);
    layout();
  }
  layer_->layoutIfNeeded();
}

void LayerView::prepareForPainting() {
  if (!wantsLayer_ || layer_ == nullptr) return;
  if (needsDisplay_ && wantsUpdateLayer()) updateLayer();
  needsDisplay_ = false;
  layoutIfNeeded();
}

void LayerView::paintLayers(QPainter& painter, double time) {
  if (!wantsLayer_ || layer_ == nullptr) return;
  // Layers count y upwards from the bottom edge.
  painter.save();
  painter.translate(0, height());
  painter.scale(1, -1);
  layer_->render(painter, time);
  painter.restore();
}

void LayerView::paintEvent(QPaintEvent*) {
  prepareForPainting();
  QPainter painter(this);
  paintLayers(painter, mediaTime());
}

QImage LayerView::renderToImage(double time, const QColor& background) {
  prepareForPainting();
  QImage image(size(), QImage::Format_ARGB32_Premultiplied);
  image.fill(background);
  QPainter painter(&image);
  paintLayers(painter, time);
  return image;
}

void LayerView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (layer_ != nullptr) layer_->setFrame(QRectF(QPointF(0, 0), QSizeF(event->size())));
  layout();
}

void LayerView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (layer_ != nullptr && layer_->hasRunningAnimations(mediaTime())) timer_.start();
}

void LayerView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  timer_.stop();
}

}  // namespace Vexelworks
