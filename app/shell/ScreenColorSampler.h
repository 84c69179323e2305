// The screen colour picker's work that needs no window: one picture of the screen, taken once
// when the picker opens (before its own window shows, so the picker never samples itself), the
// magnified circle around a point of it, and the colour at the circle's centre.
#pragma once

#include "app/service/Color.h"

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <optional>
#include <string>

namespace Vexelworks {

class ScreenColorSampler {
 public:
  static constexpr int kZoom = 5;          // each captured pixel becomes a 5 × 5 block
  static constexpr int kBitmapSide = 200;  // the magnified bitmap, pixels
  static constexpr double kCornerRadius = 100;

  ScreenColorSampler() = default;
  // `screen` is the picture of the screen whose top-left corner lies at `origin` in global
  // (device-independent) coordinates; its device pixel ratio says how many of its pixels make
  // one unit of those coordinates.
  ScreenColorSampler(QImage screen, QPoint origin);

  bool isNull() const { return screen_.isNull(); }
  const QImage& screen() const { return screen_; }

  // The area shown in a view of `viewSize` around `pointer`: a fifth of the view's size,
  // centred on the pointer, in global coordinates, with whole-number edges.
  static QRect captureRect(QPoint pointer, QSize viewSize);

  // The captured area drawn five times larger, without smoothing, into a 200 × 200 bitmap
  // clipped to the rounded rectangle (radius 100) of the view's bounds, so the pixel under the
  // pointer is the block at the circle's centre. Parts of the area beyond the screen stay
  // transparent. A null image when no screen picture is held.
  QImage magnify(QPoint pointer, QSize viewSize) const;

  // The colour at the centre of a magnified bitmap: opaque, its red, green and blue as they
  // stand in the bitmap's centre pixel. None for a null bitmap or one whose pixels are not
  // 32-bit.
  static std::optional<Color> centerColor(const QImage& magnified);

  // The colour of the screen pixel under `pointer` (global coordinates); none beyond the screen.
  std::optional<Color> colorAt(QPoint pointer) const;

  // The five diagnostic lines of a centre sample (standard output keeps them for bug reports).
  static std::string describeSample(int red, int green, int blue, const Color& color);

 private:
  QImage screen_;
  QPoint origin_;
  qreal ratio_ = 1;
};

}  // namespace Vexelworks
