#include "app/views/ColorSwatch.h"

#include <QPainter>
#include <QPainterPath>

namespace Vexelworks {

ColorSwatch::ColorSwatch(QWidget* parent) : QWidget(parent) {}

void ColorSwatch::draw(QPainter& painter, const QRectF& bounds) const {
  if (!painter.isActive() || bounds.isEmpty()) return;
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath rounded;
  rounded.setFillRule(Qt::WindingFill);
  rounded.addRoundedRect(bounds, kCornerRadius, kCornerRadius);
  painter.fillPath(rounded, selectedColor_);
  // Square the right-hand corners over the rounded ones.
  painter.fillRect(QRectF(bounds.x() + bounds.width() - kCornerRadius, bounds.y(), kCornerRadius, bounds.height()),
                   selectedColor_);
  painter.restore();
}

void ColorSwatch::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  draw(painter, QRectF(rect()));
}

}  // namespace Vexelworks
