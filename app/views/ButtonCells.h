// Flat-looking buttons. A Button is the control (mouse, keyboard, focus, the clicked signal come
// from QAbstractButton); its ButtonCell draws it: first the bezel (the background), then the
// title. FlatButtonCell fills a square blue tile, RoundedButtonCell a rounded one, and
// UnderlineButtonCell draws no tile and an underlined title. Their colours are properties, so an
// interface builder sets them by name (QObject::setProperty("buttonColor", ...)).
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QObject>
#include <QRectF>
#include <QString>

#include <memory>
#include <optional>

class QPainter;

namespace Vexelworks {

// What a cell draws in: pressed (highlighted) and enabled.
struct CellDrawState {
  bool highlighted = false;
  bool enabled = true;
};

// A title with the attributes a cell adds over its whole length.
struct AttributedTitle {
  QString text;
  std::optional<QFont> font;
  std::optional<QColor> color;
  bool underline = false;
  Qt::Alignment alignment = Qt::AlignHCenter;
};

// The base cell: no bezel; the title drawn with its attributes, vertically centred in the frame.
class ButtonCell : public QObject {
  Q_OBJECT

 public:
  explicit ButtonCell(QObject* parent = nullptr) : QObject(parent) {}

  virtual void drawBezel(QPainter& painter, const QRectF& frame, const CellDrawState& state);
  // Draws the title and returns the rectangle it covers. Nothing is drawn (an empty rectangle
  // is returned) when the painter is not active.
  virtual QRectF drawTitle(QPainter& painter, const AttributedTitle& title, const QRectF& frame,
                           const CellDrawState& state);
};

// A square tile in buttonColor (buttonHighlightColor while pressed); the title in titleFont and
// textColor.
class FlatButtonCell : public ButtonCell {
  Q_OBJECT
  Q_PROPERTY(QColor textColor MEMBER textColor)
  Q_PROPERTY(QColor buttonColor MEMBER buttonColor)
  Q_PROPERTY(QColor buttonHighlightColor MEMBER buttonHighlightColor)

 public:
  explicit FlatButtonCell(QObject* parent = nullptr);

  QColor textColor;
  QColor buttonColor;
  QColor buttonHighlightColor;

  void drawBezel(QPainter& painter, const QRectF& frame, const CellDrawState& state) override;
  QRectF drawTitle(QPainter& painter, const AttributedTitle& title, const QRectF& frame,
                   const CellDrawState& state) override;
  // The tile's colour in a state.
  QColor bezelColor(const CellDrawState& state) const;
};

// The flat cell's colours on a tile with corners of radius 3; the title in buttonFont.
class RoundedButtonCell : public ButtonCell {
  Q_OBJECT
  Q_PROPERTY(QColor textColor MEMBER textColor)
  Q_PROPERTY(QColor buttonColor MEMBER buttonColor)
  Q_PROPERTY(QColor buttonHighlightColor MEMBER buttonHighlightColor)

 public:
  static constexpr double kCornerRadius = 3;

  explicit RoundedButtonCell(QObject* parent = nullptr);

  QColor textColor;
  QColor buttonColor;
  QColor buttonHighlightColor;

  void drawBezel(QPainter& painter, const QRectF& frame, const CellDrawState& state) override;
  QRectF drawTitle(QPainter& painter, const AttributedTitle& title, const QRectF& frame,
                   const CellDrawState& state) override;
  QColor bezelColor(const CellDrawState& state) const;
};

// Text only: no tile; the title underlined, in highlightedTextColor while pressed, else in
// textColor (both light grey by default, so pressing does not show), in the title's own font.
class UnderlineButtonCell : public ButtonCell {
  Q_OBJECT
  Q_PROPERTY(QColor textColor MEMBER textColor)
  Q_PROPERTY(QColor highlightedTextColor MEMBER highlightedTextColor)

 public:
  explicit UnderlineButtonCell(QObject* parent = nullptr);

  QColor textColor;
  QColor highlightedTextColor;

  void drawBezel(QPainter& painter, const QRectF& frame, const CellDrawState& state) override;
  QRectF drawTitle(QPainter& painter, const AttributedTitle& title, const QRectF& frame,
                   const CellDrawState& state) override;
  QColor titleColor(const CellDrawState& state) const;
};

// The system's light grey (1/3 white), as the underline button's default colours.
QColor systemLightGrey();

// A push button drawn by its cell (a plain ButtonCell when none is given). Pressing with the
// mouse or the space bar highlights it; releasing over it emits clicked().
class Button : public QAbstractButton {
  Q_OBJECT

 public:
  explicit Button(const QString& title = {}, QWidget* parent = nullptr);
  // Takes `cell` (the button becomes its parent).
  Button(ButtonCell* cell, const QString& title, QWidget* parent = nullptr);

  ButtonCell* cell() const { return cell_; }
  // Replaces the cell (the button takes it).
  void setCell(ButtonCell* cell);
  // The state the cell draws in now.
  CellDrawState drawState() const { return {isDown(), isEnabled()}; }
  // The rectangle the title covered at the last paint.
  QRectF lastTitleRect() const { return lastTitleRect_; }

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  ButtonCell* cell_ = nullptr;
  QRectF lastTitleRect_;
};

}  // namespace Vexelworks
