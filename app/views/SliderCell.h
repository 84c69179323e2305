// A horizontal slider with the application's look. Slider is the control (a QSlider: the value,
// arrow and page keys, valueChanged); a press anywhere on it moves the knob under the pointer and
// dragging follows it. Its SliderCell draws the bar in black, up to four tick marks in grey and
// a fixed 15 x 14 point five-sided knob pointing up.
#pragma once

#include <QObject>
#include <QRectF>
#include <QSlider>

namespace Vexelworks {

class Slider;

class SliderCell : public QObject {
  Q_OBJECT

 public:
  // How many of the slider's tick marks the cell draws, at most.
  static constexpr int kDrawnTickMarks = 4;

  explicit SliderCell(QObject* parent = nullptr) : QObject(parent) {}

  // The slider it draws (its parent).
  Slider* slider() const;

  // Fills (x + 6, y, width - 12, height + 2) of the bar rectangle in the slider black; the
  // flipped flag makes no difference.
  void drawBar(QPainter& painter, const QRectF& barRect, bool flipped);
  // Fills each of the first four tick marks, made 2 points taller, in the tick grey. Only tick
  // marks the slider has are drawn: a slider with fewer than four draws those it has.
  void drawTickMarks(QPainter& painter);
  // The five-sided knob, 15 x 14 points, at the knob rectangle inset by 2 horizontally and 4
  // vertically, in the knob grey.
  void drawKnob(QPainter& painter, const QRectF& knobRect);
  // The knob's outline for a knob rectangle.
  static QPolygonF knobShape(const QRectF& knobRect);
};

class Slider : public QSlider {
  Q_OBJECT
  Q_PROPERTY(int numberOfTickMarks READ numberOfTickMarks WRITE setNumberOfTickMarks)

 public:
  static constexpr double kBarHeight = 4;
  static constexpr double kKnobWidth = 19;
  static constexpr double kKnobHeight = 22;
  static constexpr double kTickHeight = 4;
  static constexpr double kTickWidth = 2;

  explicit Slider(QWidget* parent = nullptr);

  SliderCell* cell() const { return cell_; }

  // Tick marks spread evenly from the minimum to the maximum; 0 for none (never negative).
  int numberOfTickMarks() const { return tickMarks_; }
  void setNumberOfTickMarks(int count);
  // The rectangle of tick mark `index`; an empty rectangle for an index the slider lacks.
  QRectF rectOfTickMark(int index) const;
  QRectF barRect() const;
  QRectF knobRect() const;
  // The value the pointer at x points at.
  int valueAt(double x) const;

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  // Horizontal centre of the knob for a value.
  double centreFor(int value) const;

  SliderCell* cell_ = nullptr;
  int tickMarks_ = 0;
  bool tracking_ = false;
};

}  // namespace Vexelworks
