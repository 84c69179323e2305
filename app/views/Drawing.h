// Drawing helpers of the views: the toolkit's side of the palette's colours and fonts, icon
// artwork turned into images, and the tint that draws an icon as a silhouette in one colour.
// app/service knows no toolkit; this is where its values become Qt's.
#pragma once

#include "app/service/Color.h"
#include "app/service/Fonts.h"
#include "app/service/Images/ImageStore.h"
#include "app/service/Images/SVGDocument.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QSize>

#include <optional>

class QPainter;
class QRectF;

namespace Vexelworks {

// The colour as Qt's (sRGB components; an unconvertible colour is transparent black).
QColor toQColor(const Color& color);
// Qt's colour as ours, in the RGB model.
Color fromQColor(const QColor& color);

// The font to draw with: the described family (or its installed substitute), its weight, and
// its size in points taken as device-independent pixels, so a design's 18-point title is 18
// pixels high at scale 1 whatever the screen's dots per inch.
QFont toQFont(const FontDescription& description);

// A rendered bitmap (premultiplied ARGB) as an image; a null image for an empty bitmap.
QImage toQImage(const Bitmap& bitmap);

// The artwork drawn into a square of `pixels` on a side; a null image when it cannot be drawn
// (size below 1 or beyond the bitmap limit).
QImage renderIconImage(const IconImage& image, int pixels);

// Draws `artwork` into `target` as a silhouette in `color`: the colour survives only where the
// artwork is opaque. The tint is made in an offscreen image and then drawn over what `painter`
// already holds, so pixels around and behind the artwork (a selection background, the window's
// backing store) are never cleared. Nothing is drawn when the painter is not active.
void drawTintedArtwork(QPainter& painter, const QRectF& target, const QImage& artwork, const QColor& color);

}  // namespace Vexelworks
