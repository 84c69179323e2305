#include "app/views/IconCollectionViewCell.h"

#include "app/service/Palette.h"
#include "app/views/Drawing.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace Vexelworks {

IconCollectionViewCell::IconCollectionViewCell(QWidget* parent) : CollectionViewCell(parent) {
  // The cell paints its whole tile itself; nothing of the grid shows through the corners but
  // what the cell leaves unpainted.
  setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void IconCollectionViewCell::setIconColor(const Color& color) {
  iconColor_ = color;
  updateBackground();
  update();
}

void IconCollectionViewCell::setImage(std::optional<IconImage> image) {
  image_ = std::move(image);
  artwork_ = QImage();
  update();
}

QRectF IconCollectionViewCell::iconRect() const {
  return QRectF(rect()).adjusted(kIconInset, kIconInset, -kIconInset, -kIconInset);
}

QColor IconCollectionViewCell::selectionBackground(const Color& iconColor) {
  const RGBA c = iconColor.rgba();
  const double brightness = (2 * c.red * 255 + 3 * c.green * 255 + c.blue * 255) / 6;
  return toQColor(brightness > 200 ? Palette::darkGrey : Palette::selectionLightGrey);
}

void IconCollectionViewCell::prepareForReuse() {
  CollectionViewCell::prepareForReuse();
  setImage(std::nullopt);
}

void IconCollectionViewCell::setSelected(bool selected, bool animated) {
  CollectionViewCell::setSelected(selected, animated);
  updateBackground();
  update();
}

void IconCollectionViewCell::apply(const CollectionViewLayoutAttributes& attributes, bool animated) {
  CollectionViewCell::apply(attributes, animated);
  update();
}

void IconCollectionViewCell::updateBackground() {
  if (selected()) {
    background_ = selectionBackground(iconColor_);
  } else {
    background_.reset();
  }
}

const QImage& IconCollectionViewCell::artwork(int pixels) {
  if (image_ && (artwork_.isNull() || artwork_.width() != pixels)) {
    artwork_ = renderIconImage(*image_, pixels);
  }
  return artwork_;
}

void IconCollectionViewCell::drawCell(QPainter& painter) {
  if (!painter.isActive()) return;
  painter.setRenderHint(QPainter::Antialiasing);
  if (background_) {
    QPainterPath tile;
    tile.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
    painter.fillPath(tile, *background_);
  }
  const QRectF target = iconRect();
  if (target.isEmpty()) return;
  if (image_) {
    const qreal scale = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const int pixels = static_cast<int>(std::lround(target.width() * scale));
    const QImage& art = artwork(pixels);
    drawTintedArtwork(painter, target, art, toQColor(selected() ? iconColor_ : Color::black()));
    return;
  }
  QColor placeholder = toQColor(Palette::placeholderGrey);
  placeholder.setAlphaF(0.25f);
  painter.setPen(Qt::NoPen);
  painter.setBrush(placeholder);
  painter.drawEllipse(target);
}

void IconCollectionViewCell::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  drawCell(painter);
}

}  // namespace Vexelworks
