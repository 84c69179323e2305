#include "app/views/ButtonCells.h"

#include "app/service/Fonts.h"
#include "app/service/Palette.h"
#include "app/views/Drawing.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

namespace Vexelworks {

QColor systemLightGrey() { return QColor::fromRgbF(2.0f / 3, 2.0f / 3, 2.0f / 3); }

void ButtonCell::drawBezel(QPainter&, const QRectF&, const CellDrawState&) {}

QRectF ButtonCell::drawTitle(QPainter& painter, const AttributedTitle& title, const QRectF& frame,
                             const CellDrawState&) {
  if (!painter.isActive() || title.text.isEmpty()) return {};
  painter.save();
  QFont font = title.font.value_or(painter.font());
  font.setUnderline(title.underline);
  painter.setFont(font);
  painter.setPen(title.color.value_or(painter.pen().color()));
  QRectF covered;
  painter.drawText(frame, static_cast<int>(title.alignment | Qt::AlignVCenter) | Qt::TextSingleLine, title.text,
                   &covered);
  painter.restore();
  return covered;
}

namespace {

void fillRounded(QPainter& painter, const QRectF& rect, double radius, const QColor& color) {
  if (!painter.isActive()) return;
  QPainterPath path;
  path.setFillRule(Qt::WindingFill);
  path.addRoundedRect(rect, radius, radius);
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.fillPath(path, color);
  painter.restore();
}

}  // namespace

FlatButtonCell::FlatButtonCell(QObject* parent)
    : ButtonCell(parent),
      textColor(toQColor(Palette::buttonTextWhite)),
      buttonColor(toQColor(Palette::buttonBlue)),
      buttonHighlightColor(toQColor(Palette::buttonBlueTranslucent)) {}

QColor FlatButtonCell::bezelColor(const CellDrawState& state) const {
  return state.highlighted ? buttonHighlightColor : buttonColor;
}

void FlatButtonCell::drawBezel(QPainter& painter, const QRectF& frame, const CellDrawState& state) {
  if (!painter.isActive()) return;
  painter.fillRect(frame, bezelColor(state));
}

QRectF FlatButtonCell::drawTitle(QPainter& painter, const AttributedTitle& title, const QRectF& frame,
                                 const CellDrawState& state) {
  AttributedTitle copy = title;
  copy.font = toQFont(Fonts::titleFont());
  copy.color = textColor;
  return ButtonCell::drawTitle(painter, copy, frame, state);
}

RoundedButtonCell::RoundedButtonCell(QObject* parent)
    : ButtonCell(parent),
      textColor(toQColor(Palette::buttonTextWhite)),
      buttonColor(toQColor(Palette::buttonBlue)),
      buttonHighlightColor(toQColor(Palette::buttonBlueTranslucent)) {}

QColor RoundedButtonCell::bezelColor(const CellDrawState& state) const {
  return state.highlighted ? buttonHighlightColor : buttonColor;
}

void RoundedButtonCell::drawBezel(QPainter& painter, const QRectF& frame, const CellDrawState& state) {
  fillRounded(painter, frame, kCornerRadius, bezelColor(state));
}

QRectF RoundedButtonCell::drawTitle(QPainter& painter, const AttributedTitle& title, const QRectF& frame,
                                    const CellDrawState& state) {
  AttributedTitle copy = title;
  copy.font = toQFont(Fonts::buttonFont());
  copy.color = textColor;
  return ButtonCell::drawTitle(painter, copy, frame, state);
}

UnderlineButtonCell::UnderlineButtonCell(QObject* parent)
    : ButtonCell(parent), textColor(systemLightGrey()), highlightedTextColor(systemLightGrey()) {}

QColor UnderlineButtonCell::titleColor(const CellDrawState& state) const {
  return state.highlighted ? highlightedTextColor : textColor;
}

void UnderlineButtonCell::drawBezel(QPainter&, const QRectF&, const CellDrawState&) {}

QRectF UnderlineButtonCell::drawTitle(QPainter& painter, const AttributedTitle& title, const QRectF& frame,
                                      const CellDrawState& state) {
  AttributedTitle copy = title;
  copy.color = titleColor(state);
  copy.underline = true;
  return ButtonCell::drawTitle(painter, copy, frame, state);
}

Button::Button(const QString& title, QWidget* parent) : Button(nullptr, title, parent) {}

Button::Button(ButtonCell* cell, const QString& title, QWidget* parent) : QAbstractButton(parent) {
  setText(title);
  setFocusPolicy(Qt::StrongFocus);
  setCell(cell != nullptr ? cell : new ButtonCell);
}

void Button::setCell(ButtonCell* cell) {
  if (cell == nullptr || cell == cell_) return;
  if (cell_ != nullptr) cell_->deleteLater();
  cell_ = cell;
  cell_->setParent(this);
  update();
}

QSize Button::sizeHint() const {
  QFontMetricsF metrics(font());
  return QSize(static_cast<int>(metrics.horizontalAdvance(text())) + 24, static_cast<int>(metrics.height()) + 12);
}

void Button::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const CellDrawState state = drawState();
  const QRectF frame(rect());
  cell_->drawBezel(painter, frame, state);
  AttributedTitle title;
  title.text = text();
  title.font = font();
  title.color = palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText);
  lastTitleRect_ = cell_->drawTitle(painter, title, frame, state);
}

}  // namespace Vexelworks
