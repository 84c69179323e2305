#include "app/views/SliderCell.h"

#include "app/service/Palette.h"
#include "app/views/Drawing.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace Vexelworks {

Slider* SliderCell::slider() const { return qobject_cast<Slider*>(parent()); }

void SliderCell::drawBar(QPainter& painter, const QRectF& barRect, bool) {
  if (!painter.isActive()) return;
  painter.fillRect(QRectF(barRect.x() + 6, barRect.y(), barRect.width() - 12, barRect.height() + 2),
                   toQColor(Palette::sliderBlack));
}

void SliderCell::drawTickMarks(QPainter& painter) {
  Slider* control = slider();
  if (!painter.isActive() || control == nullptr) return;
  // Asking for a tick mark the slider does not have has no sound answer; draw only real ones.
  const int count = std::min(kDrawnTickMarks, control->numberOfTickMarks());
  for (int i = 0; i < count; ++i) {
    QRectF tick = control->rectOfTickMark(i);
    tick.setHeight(tick.height() + 2);
    painter.fillRect(tick, toQColor(Palette::sliderTickGrey));
  }
}

QPolygonF SliderCell::knobShape(const QRectF& knobRect) {
  const QRectF r = knobRect.adjusted(2, 4, -2, -4);
  return QPolygonF({QPointF(r.x(), r.y() + 15), QPointF(r.x(), r.y() + 8), QPointF(r.x() + 7.5, r.y() + 1),
                    QPointF(r.x() + 15, r.y() + 8), QPointF(r.x() + 15, r.y() + 15)});
}

void SliderCell::drawKnob(QPainter& painter, const QRectF& knobRect) {
  if (!painter.isActive()) return;
  QPainterPath path;
  path.setFillRule(Qt::WindingFill);
  path.addPolygon(knobShape(knobRect));
  path.closeSubpath();
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.fillPath(path, toQColor(Palette::sliderKnobGrey));
  painter.restore();
}

Slider::Slider(QWidget* parent) : QSlider(Qt::Horizontal, parent), cell_(new SliderCell(this)) {
  setFocusPolicy(Qt::StrongFocus);
}

void Slider::setNumberOfTickMarks(int count) {
  tickMarks_ = std::max(0, count);
  update();
}

double Slider::centreFor(int value) const {
  const double span = std::max(0.0, width() - kKnobWidth);
  const int range = maximum() - minimum();
  const double fraction = range > 0 ? static_cast<double>(value - minimum()) / range : 0.0;
  return kKnobWidth / 2 + fraction * span;
}

QRectF Slider::barRect() const { return QRectF(0, (height() - kBarHeight) / 2 - 2, width(), kBarHeight); }

QRectF Slider::knobRect() const {
  const double centre = centreFor(value());
  return QRectF(centre - kKnobWidth / 2, (height() - kKnobHeight) / 2, kKnobWidth, kKnobHeight);
}

QRectF Slider::rectOfTickMark(int index) const {
  if (index < 0 || index >= tickMarks_) return {};
  const double span = std::max(0.0, width() - kKnobWidth);
  const double x = tickMarks_ == 1 ? width() / 2.0 : kKnobWidth / 2 + span * index / (tickMarks_ - 1);
  const QRectF bar = barRect();
  return QRectF(x - kTickWidth / 2, bar.bottom() + 4, kTickWidth, kTickHeight);
}

int Slider::valueAt(double x) const {
  const double span = width() - kKnobWidth;
  if (span <= 0) return minimum();
  const double fraction = std::clamp((x - kKnobWidth / 2) / span, 0.0, 1.0);
  return minimum() + static_cast<int>(std::lround(fraction * (maximum() - minimum())));
}

QSize Slider::sizeHint() const { return QSize(160, static_cast<int>(kKnobHeight) + 8); }

void Slider::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  cell_->drawBar(painter, barRect(), false);
  cell_->drawTickMarks(painter);
  cell_->drawKnob(painter, knobRect());
}

void Slider::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !isEnabled()) {
    QSlider::mousePressEvent(event);
    return;
  }
  tracking_ = true;
  setSliderDown(true);
  setSliderPosition(valueAt(event->position().x()));
  event->accept();
}

void Slider::mouseMoveEvent(QMouseEvent* event) {
  if (!tracking_) {
    QSlider::mouseMoveEvent(event);
    return;
  }
  setSliderPosition(valueAt(event->position().x()));
  event->accept();
}

void Slider::mouseReleaseEvent(QMouseEvent* event) {
  if (!tracking_) {
    QSlider::mouseReleaseEvent(event);
    return;
  }
  tracking_ = false;
  setSliderPosition(valueAt(event->position().x()));
  setSliderDown(false);
  event->accept();
}

}  // namespace Vexelworks
