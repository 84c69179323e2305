#include "app/views/PopUpButtonCells.h"

#include "app/service/Fonts.h"
#include "app/service/Palette.h"
#include "app/views/Drawing.h"

#include <QPainter>
#include <QPainterPath>

namespace Vexelworks {

namespace {

void fillGreyTile(QPainter& painter, const QRectF& frame) {
  if (!painter.isActive()) return;
  const QRectF r = frame.adjusted(ToolbarPopupButtonCell::kInset, ToolbarPopupButtonCell::kInset,
                                  -ToolbarPopupButtonCell::kInset, -ToolbarPopupButtonCell::kInset);
  if (r.isEmpty()) return;
  QPainterPath path;
  path.addRoundedRect(r, ToolbarPopupButtonCell::kCornerRadius, ToolbarPopupButtonCell::kCornerRadius);
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.fillPath(path, toQColor(Palette::darkGrey));
  painter.restore();
}

}  // namespace

void PopUpButtonCell::drawImage(QPainter& painter, const QIcon& image, const QRectF& frame) {
  if (!painter.isActive() || image.isNull() || frame.isEmpty()) return;
  image.paint(&painter, frame.toAlignedRect());
}

void ToolbarPopupButtonCell::drawBezel(QPainter& painter, const QRectF& frame, const CellDrawState&) {
  fillGreyTile(painter, frame);
}

QColor ToolbarPopupButtonCell::titleColor(const CellDrawState& state) {
  return state.enabled ? QColor(Qt::white) : systemLightGrey();
}

QRectF ToolbarPopupButtonCell::drawTitle(QPainter& painter, const AttributedTitle& title, const QRectF& frame,
                                         const CellDrawState& state) {
  AttributedTitle copy = title;
  copy.alignment = Qt::AlignHCenter;
  copy.font = toQFont(Fonts::popupFont());
  copy.color = titleColor(state);
  return PopUpButtonCell::drawTitle(painter, copy, frame, state);
}

void ColorPopupButtonCell::drawBezel(QPainter& painter, const QRectF& frame, const CellDrawState&) {
  if (!painter.isActive()) return;
  painter.save();
  fillGreyTile(painter, frame);
  painter.restore();
}

void ColorPopupButtonCell::drawImage(QPainter&, const QIcon&, const QRectF&) {}

std::pair<QRectF, Qt::Alignment> ColorPopupButtonCell::titleLayout(const QString& title, const QRectF& frame) {
  if (title == kChooseTitle) {
    return {QRectF(frame.x() + kChooseOffset, frame.y(), frame.width(), frame.height()), Qt::AlignLeft};
  }
  return {frame, Qt::AlignHCenter};
}

QRectF ColorPopupButtonCell::drawTitle(QPainter& painter, const AttributedTitle& title, const QRectF& frame,
                                       const CellDrawState& state) {
  AttributedTitle copy = title;
  copy.color = QColor(Qt::white);
  copy.font = toQFont(Fonts::popupFont());
  const auto [shifted, alignment] = titleLayout(title.text, frame);
  copy.alignment = alignment;
  return PopUpButtonCell::drawTitle(painter, copy, shifted, state);
}

PopUpButton::PopUpButton(PopUpButtonCell* cell, QWidget* parent) : QComboBox(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setCell(cell != nullptr ? cell : new PopUpButtonCell);
}

void PopUpButton::setCell(PopUpButtonCell* cell) {
  if (cell == nullptr || cell == cell_) return;
  if (cell_ != nullptr) cell_->deleteLater();
  cell_ = cell;
  cell_->setParent(this);
  update();
}

QRectF PopUpButton::imageFrame() const {
  const double side = 13;
  return QRectF(8, (height() - side) / 2, side, side);
}

QRectF PopUpButton::titleFrame() const { return QRectF(rect()).adjusted(4, 0, -4, 0); }

void PopUpButton::showPopup() {
  popupShown_ = true;
  update();
  QComboBox::showPopup();
}

void PopUpButton::hidePopup() {
  QComboBox::hidePopup();
  popupShown_ = false;
  update();
}

void PopUpButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const CellDrawState state = drawState();
  cell_->drawBezel(painter, QRectF(rect()), state);
  if (currentIndex() >= 0) cell_->drawImage(painter, itemIcon(currentIndex()), imageFrame());
  AttributedTitle title;
  title.text = currentText();
  title.font = font();
  title.color = palette().color(QPalette::ButtonText);
  lastTitleRect_ = cell_->drawTitle(painter, title, titleFrame(), state);
}

}  // namespace Vexelworks
