// Pop-up buttons with the toolbar's flat look. A PopUpButton is the control (a QComboBox: items
// with titles and images, the pop-up list, arrow keys and type-ahead, activated()); its
// PopUpButtonCell draws the closed button: bezel, image, then the selected item's title.
// ToolbarPopupButtonCell and ColorPopupButtonCell both draw a grey rounded tile; the colour
// pop-up never draws the item's image in the button and moves its "Choose..." title aside.
#pragma once

#include "app/views/ButtonCells.h"

#include <QComboBox>
#include <QIcon>
#include <QObject>

namespace Vexelworks {

// The base: no bezel, the item's image at the left, the title as the button cell draws it.
class PopUpButtonCell : public ButtonCell {
  Q_OBJECT

 public:
  explicit PopUpButtonCell(QObject* parent = nullptr) : ButtonCell(parent) {}
  // Draws the selected item's image into `frame`.
  virtual void drawImage(QPainter& painter, const QIcon& image, const QRectF& frame);
};

// Inset by 3 on every side: a rounded tile (radius 3) in dark grey; the title centred in the
// 12-point system font, white while enabled and light grey while disabled.
class ToolbarPopupButtonCell : public PopUpButtonCell {
  Q_OBJECT

 public:
  static constexpr double kInset = 3;
  static constexpr double kCornerRadius = 3;

  explicit ToolbarPopupButtonCell(QObject* parent = nullptr) : PopUpButtonCell(parent) {}

  void drawBezel(QPainter& painter, const QRectF& frame, const CellDrawState& state) override;
  QRectF drawTitle(QPainter& painter, const AttributedTitle& title, const QRectF& frame,
                   const CellDrawState& state) override;
  static QColor titleColor(const CellDrawState& state);
};

// The same tile; the title white in the 12-point system font, centred, except the exact title
// "Choose...", which is left-aligned in a frame moved 20 points to the right. The item's image
// is never drawn in the button.
class ColorPopupButtonCell : public PopUpButtonCell {
  Q_OBJECT

 public:
  static inline const QString kChooseTitle = QStringLiteral("Choose...");
  static constexpr double kChooseOffset = 20;

  explicit ColorPopupButtonCell(QObject* parent = nullptr) : PopUpButtonCell(parent) {}

  void drawBezel(QPainter& painter, const QRectF& frame, const CellDrawState& state) override;
  void drawImage(QPainter& painter, const QIcon& image, const QRectF& frame) override;
  QRectF drawTitle(QPainter& painter, const AttributedTitle& title, const QRectF& frame,
                   const CellDrawState& state) override;
  // The frame and alignment the title is handed on with.
  static std::pair<QRectF, Qt::Alignment> titleLayout(const QString& title, const QRectF& frame);
};

class PopUpButton : public QComboBox {
  Q_OBJECT

 public:
  // Takes `cell` (a plain PopUpButtonCell when nullptr).
  explicit PopUpButton(PopUpButtonCell* cell = nullptr, QWidget* parent = nullptr);

  PopUpButtonCell* cell() const { return cell_; }
  void setCell(PopUpButtonCell* cell);
  // Pressed while the list is open.
  CellDrawState drawState() const { return {popupShown_, isEnabled()}; }
  QRectF lastTitleRect() const { return lastTitleRect_; }
  // Where the selected item's image and title go.
  QRectF imageFrame() const;
  QRectF titleFrame() const;

  void showPopup() override;
  void hidePopup() override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  PopUpButtonCell* cell_ = nullptr;
  bool popupShown_ = false;
  QRectF lastTitleRect_;
};

}  // namespace Vexelworks
