// The export toolbar's colour swatch: a tile of the current export colour, rounded (radius 3)
// on the left and square on the right, where it meets the colour pop-up.
#pragma once

#include <QColor>
#include <QWidget>

namespace Vexelworks {

class ColorSwatch : public QWidget {
  Q_OBJECT
  Q_PROPERTY(QColor selectedColor READ selectedColor WRITE setSelectedColor)

 public:
  static constexpr double kCornerRadius = 3;

  explicit ColorSwatch(QWidget* parent = nullptr);

  QColor selectedColor() const { return selectedColor_; }
  // Stores the colour; the owner marks the swatch for redisplay (update()).
  void setSelectedColor(const QColor& color) { selectedColor_ = color; }

  // Fills `bounds` as the swatch draws itself.
  void draw(QPainter& painter, const QRectF& bounds) const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor selectedColor_ = Qt::black;
};

}  // namespace Vexelworks
