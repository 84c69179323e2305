#include "app/shell/ScreenColorSampler.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <cstdio>

namespace Vexelworks {
namespace {

// Where the capture is drawn in the bitmap: two pixels up and left, so the 5 × 5 block of the
// pixel under the pointer is centred on the bitmap's centre pixel (100, 100), the one sampled.
constexpr int kDrawOffset = -2;

}  // namespace

ScreenColorSampler::ScreenColorSampler(QImage screen, QPoint origin) : screen_(std::move(screen)), origin_(origin) {
  if (screen_.isNull()) return;
  ratio_ = screen_.devicePixelRatio();
  screen_ = screen_.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  // Pixels are addressed one to one from here on; the ratio is applied by hand.
  screen_.setDevicePixelRatio(1);
}

QRect ScreenColorSampler::captureRect(QPoint pointer, QSize viewSize) {
  const double width = viewSize.width() / static_cast<double>(kZoom);
  const double height = viewSize.height() / static_cast<double>(kZoom);
  const double left = pointer.x() - width / 2;
  const double top = pointer.y() - height / 2;
  // The smallest rectangle with whole-number edges that holds the exact one.
  const int x0 = static_cast<int>(std::floor(left));
  const int y0 = static_cast<int>(std::floor(top));
  const int x1 = static_cast<int>(std::ceil(left + width));
  const int y1 = static_cast<int>(std::ceil(top + height));
  return QRect(QPoint(x0, y0), QPoint(x1 - 1, y1 - 1));
}

QImage ScreenColorSampler::magnify(QPoint pointer, QSize viewSize) const {
  if (screen_.isNull() || viewSize.isEmpty()) return {};
  const QRect area = captureRect(pointer, viewSize);
  const qreal ratio = ratio_;
  // The area in the picture's own pixels; what lies beyond the picture stays transparent.
  const QRect source(
      QPoint(static_cast<int>(std::floor((area.x() - origin_.x()) * ratio)),
             static_cast<int>(std::floor((area.y() - origin_.y()) * ratio))),
      QSize(static_cast<int>(std::ceil(area.width() * ratio)), static_cast<int>(std::ceil(area.height() * ratio))));
  QImage capture(source.size(), QImage::Format_ARGB32_Premultiplied);
  capture.fill(Qt::transparent);
  const QRect inside = source.intersected(QRect(QPoint(0, 0), screen_.size()));
  if (!inside.isEmpty()) {
    QPainter copy(&capture);
    copy.setCompositionMode(QPainter::CompositionMode_Source);
    copy.drawImage(inside.topLeft() - source.topLeft(), screen_, inside);
  }

  QImage bitmap(kBitmapSide, kBitmapSide, QImage::Format_ARGB32_Premultiplied);
  bitmap.fill(Qt::transparent);
  QPainter painter(&bitmap);
  QPainterPath clip;
  clip.setFillRule(Qt::WindingFill);
  clip.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(viewSize)), kCornerRadius, kCornerRadius);
  painter.setClipPath(clip);
  // Sharp squares: every magnified pixel keeps its exact colour.
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  painter.drawImage(QRectF(kDrawOffset, kDrawOffset, kBitmapSide, kBitmapSide), capture);
  painter.end();
  return bitmap;
}

std::optional<Color> ScreenColorSampler::centerColor(const QImage& magnified) {
  if (magnified.isNull() || magnified.depth() != 32) return std::nullopt;
  const int x = magnified.width() / 2;
  const int y = magnified.height() / 2;
  const QRgb pixel = reinterpret_cast<const QRgb*>(magnified.constScanLine(y))[x];
  const int red = qRed(pixel);
  const int green = qGreen(pixel);
  const int blue = qBlue(pixel);
  const Color color = Color::rgb(red / 255.0, green / 255.0, blue / 255.0, 1.0);
  std::fputs(describeSample(red, green, blue, color).c_str(), stdout);
  std::fflush(stdout);
  return color;
}

std::optional<Color> ScreenColorSampler::colorAt(QPoint pointer) const {
  if (screen_.isNull()) return std::nullopt;
  const qreal ratio = ratio_;
  const QPoint pixel(static_cast<int>(std::floor((pointer.x() - origin_.x()) * ratio)),
                     static_cast<int>(std::floor((pointer.y() - origin_.y()) * ratio)));
  if (!screen_.rect().contains(pixel)) return std::nullopt;
  const QRgb value = screen_.pixel(pixel);
  return Color::rgb(qRed(value) / 255.0, qGreen(value) / 255.0, qBlue(value) / 255.0, 1.0);
}

std::string ScreenColorSampler::describeSample(int red, int green, int blue, const Color& color) {
  const RGBA rgba = color.rgba();
  char line[256];
  std::string text = "PIXEL DATA --------------------------\n";
  std::snprintf(line, sizeof line, "components [%g, %g, %g, %g]\n", red / 255.0, green / 255.0, blue / 255.0, 1.0);
  text += line;
  std::snprintf(line, sizeof line, "values: %d, %d, %d\n", red, green, blue);
  text += line;
  std::snprintf(line, sizeof line, "values: %02x, %02x, %02x\n", red, green, blue);
  text += line;
  std::snprintf(line, sizeof line, "color: %s (red: %g, green: %g, blue: %g, alpha: %g) sRGB\n",
                color.hexString().c_str(), rgba.red, rgba.green, rgba.blue, rgba.alpha);
  text += line;
  return text;
}

}  // namespace Vexelworks
