#include "app/views/Drawing.h"

#include <QPainter>
#include <QRectF>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Vexelworks {

QColor toQColor(const Color& color) {
  const RGBA c = color.rgba();
  auto clamp = [](double v) { return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0; };
  return QColor::fromRgbF(static_cast<float>(clamp(c.red)), static_cast<float>(clamp(c.green)),
                          static_cast<float>(clamp(c.blue)), static_cast<float>(clamp(c.alpha)));
}

Color fromQColor(const QColor& color) {
  const QColor rgb = color.toRgb();
  return Color::rgb(rgb.redF(), rgb.greenF(), rgb.blueF(), rgb.alphaF());
}

QFont toQFont(const FontDescription& description) {
  QFont font(QString::fromStdString(description.resolvedFamily()));
  font.setPixelSize(std::max(1, static_cast<int>(std::lround(description.pointSize))));
  font.setWeight(static_cast<QFont::Weight>(std::clamp(description.weight, 1, 1000)));
  if (!description.style.empty()) font.setStyleName(QString::fromStdString(description.style));
  return font;
}

QImage toQImage(const Bitmap& bitmap) {
  if (bitmap.width <= 0 || bitmap.height <= 0 || bitmap.stride < bitmap.width * 4) return {};
  if (bitmap.pixels.size() < static_cast<std::size_t>(bitmap.stride) * static_cast<std::size_t>(bitmap.height)) {
    return {};
  }
  QImage image(bitmap.width, bitmap.height, QImage::Format_ARGB32_Premultiplied);
  if (image.isNull()) return {};
  for (int y = 0; y < bitmap.height; ++y) {
    std::memcpy(image.scanLine(y), bitmap.pixels.data() + static_cast<std::size_t>(y) * bitmap.stride,
                static_cast<std::size_t>(bitmap.width) * 4);
  }
  return image;
}

QImage renderIconImage(const IconImage& image, int pixels) {
  const auto bitmap = image.render(pixels);
  if (!bitmap) return {};
  return toQImage(*bitmap);
}

void drawTintedArtwork(QPainter& painter, const QRectF& target, const QImage& artwork, const QColor& color) {
  if (!painter.isActive() || artwork.isNull() || target.isEmpty()) return;
  // Destination-in on the painter itself would wipe whatever lies under the artwork's
  // transparent parts; doing it in an image of our own keeps the target untouched.
  QImage tinted(artwork.size(), QImage::Format_ARGB32_Premultiplied);
  if (tinted.isNull()) return;
  tinted.fill(color);
  {
    QPainter mask(&tinted);
    mask.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    mask.drawImage(0, 0, artwork);
  }
  painter.drawImage(target, tinted);
}

}  // namespace Vexelworks
