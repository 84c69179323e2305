#include "app/views/IconDetailCell.h"

#include "app/service/Palette.h"
#include "app/views/Drawing.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace Vexelworks {

// --- IconImageView ---

IconImageView::IconImageView(QWidget* parent) : QWidget(parent) {}

void IconImageView::setImage(std::optional<IconImage> image) {
  image_ = std::move(image);
  rendered_ = QImage();
  renderedPixels_ = 0;
  renderedRatio_ = 0;
  update();
}

int IconImageView::side() const { return std::max(0, std::min(width(), height())); }

QImage IconImageView::renderedImage() {
  if (!image_) return {};
  const double ratio = devicePixelRatioF() > 0 ? devicePixelRatioF() : 1.0;
  const int pixels = static_cast<int>(std::lround(side() * ratio));
  if (pixels < 1) return {};
  // A failed render is remembered too, so painting does not retry it for the same size.
  if (pixels != renderedPixels_ || ratio != renderedRatio_) {
    renderedPixels_ = pixels;
    renderedRatio_ = ratio;
    rendered_ = renderIconImage(*image_, pixels);
    if (!rendered_.isNull()) rendered_.setDevicePixelRatio(ratio);
  }
  return rendered_;
}

void IconImageView::paintEvent(QPaintEvent*) {
  const QImage picture = renderedImage();
  if (picture.isNull()) return;
  QPainter painter(this);
  const int s = side();
  const QRectF target((width() - s) / 2.0, (height() - s) / 2.0, s, s);
  // The image already has the target's pixel size, so this draws it 1:1 on the screen.
  painter.drawImage(target, picture);
}

// --- IconDetailCell ---

IconDetailCell::IconDetailCell(QWidget* parent) : CollectionViewCell(parent) {}

void IconDetailCell::awakeFromNib() {
  // The cell, its container and its image view paint their own backgrounds (the layer-backed
  // views of the interface): nothing to switch on here but the first update.
  updateCell();
}

void IconDetailCell::updateCell() {
  const RGBA c = iconColor_.rgba();
  const double brightness = (2 * c.red * 255 + 3 * c.green * 255 + c.blue * 255) / 6;
  if (brightness > 200) {
    background_ = toQColor(Palette::darkGrey);
  } else {
    background_.reset();
  }
  // The container is always shown at full strength: the colour never fades the icon.
  if (imageContainer != nullptr) imageContainer->setVisible(true);
  layoutImage();
  update();
}

void IconDetailCell::resizeEvent(QResizeEvent* event) {
  CollectionViewCell::resizeEvent(event);
  layoutImage();
}

void IconDetailCell::layoutImage() {
  // The container is the largest centred square of the cell; the image view fills it.
  const int s = std::max(0, std::min(width(), height()));
  const QRect square((width() - s) / 2, (height() - s) / 2, s, s);
  if (imageContainer != nullptr) {
    imageContainer->setGeometry(square);
    if (imageView != nullptr && imageView->parentWidget() == imageContainer) {
      imageView->setGeometry(0, 0, s, s);
    }
  } else if (imageView != nullptr) {
    imageView->setGeometry(square);
  }
}

void IconDetailCell::paintEvent(QPaintEvent*) {
  if (!background_) return;
  QPainter painter(this);
  painter.fillRect(rect(), *background_);
}

// --- IconInfoCell ---

IconInfoCell::IconInfoCell(QWidget* parent) : CollectionViewCell(parent) {}

void IconInfoCell::awakeFromNib() { updateButtons(); }

void IconInfoCell::updateButtons() {
  if (openButton != nullptr) openButton->setVisible(true);
  if (downloadButton != nullptr) downloadButton->setVisible(false);
}

}  // namespace Vexelworks
