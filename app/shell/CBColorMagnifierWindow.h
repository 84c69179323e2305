// The screen colour picker (an eyedropper): a borderless, transparent window floating above
// everything that follows the pointer with a magnified circle of the screen around it, hides the
// pointer, lets the arrow keys nudge the pointer (Shift: five points), and on a click, Return or
// Space hands the colour of the centre pixel to its delegate and closes; Escape closes with no
// colour.
//
// The screen is read once, when the picker opens, and every magnified view and the picked colour
// come from that picture (ScreenColorSampler). Where the windowing system lets no application
// read the screen or move the pointer (Wayland), the picker says so and offers the colour dialog
// in its place.
#pragma once

#include "app/qt/ViewController.h"
#include "app/service/Color.h"
#include "app/shell/ScreenColorSampler.h"

#include <QColorDialog>
#include <QImage>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <optional>

class QLabel;

namespace Vexelworks {

class CBColorMagnifierWindowController;

// Receives the picked colour (the search window: it becomes the export colour).
class CBColorMagnifierWindowDelegate {
 public:
  virtual ~CBColorMagnifierWindowDelegate() = default;
  virtual void applyExportColor(const Color& color) = 0;
};

// The window's content: holds the image view that shows the magnified circle.
class CBColorMagnifierController : public vx::ViewController {
 public:
  static constexpr int kImageSide = 200;

  CBColorMagnifierController();
  QPointer<QLabel> imageView;

 protected:
  void loadView() override;
};

class CBColorMagnifierWindow : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWindowSide = 500;
  static constexpr int kStep = 1;
  static constexpr int kShiftStep = 5;

  CBColorMagnifierWindow(CBColorMagnifierWindowController& controller, ScreenColorSampler sampler);
  ~CBColorMagnifierWindow() override;

  CBColorMagnifierController& contentViewController() { return content_; }
  // The last magnified bitmap; null until one was made.
  const QImage& displayImage() const { return displayImage_; }
  const ScreenColorSampler& sampler() const { return sampler_; }

  // The window becomes the one that takes keys: hides the pointer, follows it, grabs input.
  void becomeKeyWindow();
  // Puts the window's centre on the pointer.
  void recenterOnPointer();
  // Draws the magnified circle for the pointer's place. When the screen picture is missing the
  // image view is emptied and displayImage kept.
  void updateMagnifiedImage();
  // The colour at the magnified bitmap's centre; none before a bitmap was made.
  std::optional<Color> centerColor() const;
  // Hands the centre colour to the controller's delegate and closes; without a delegate (or a
  // colour) nothing happens and the picker stays open.
  void pickColor();
  // Moves the pointer by (dx, dy) points (y downwards), then follows it.
  void movePointer(int dx, int dy);
  // Shows the pointer again, lets go of the input and hides the window.
  void closeWindow();

 protected:
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;

 private:
  void applicationStateChanged(Qt::ApplicationState state);
  void grabInput();

  CBColorMagnifierWindowController& controller_;
  ScreenColorSampler sampler_;
  CBColorMagnifierController content_;
  QImage displayImage_;
  bool key_ = false;
  bool cursorHidden_ = false;
  bool closing_ = false;
};

class CBColorMagnifierWindowController : public QObject {
  Q_OBJECT

 public:
  // `platformName` is the windowing system's name as Qt reports it ("xcb", "wayland").
  explicit CBColorMagnifierWindowController(QString platformName = {});
  ~CBColorMagnifierWindowController() override;

  // Not owned: the search window owns this controller and outlives it.
  CBColorMagnifierWindowDelegate* pickerDelegate = nullptr;

  // Whether this windowing system lets an application read the screen and move the pointer.
  static bool canReadScreen(const QString& platformName);
  // The sentence shown where it does not.
  static const char* unavailableMessageText();

  // Opens the picker: reads the main screen once, then shows the magnifier at the pointer. Where
  // the screen cannot be read, shows the message and offers the colour dialog instead.
  void showWindow();
  // Closes the picker (Escape); nothing when it is not open.
  void close();
  bool isOpen() const { return window_ != nullptr && window_->isVisible(); }

  CBColorMagnifierWindow* window() const { return window_; }
  // The Wayland fallback's message and colour dialog, while shown.
  QMessageBox* unavailableMessage() const { return message_; }
  QColorDialog* colorDialog() const { return dialog_; }

 signals:
  // The picker closed, with or without a colour.
  void closed();

 private:
  void offerColorDialog();

  QString platformName_;
  QPointer<CBColorMagnifierWindow> window_;
  QPointer<QMessageBox> message_;
  QPointer<QColorDialog> dialog_;
};

}  // namespace Vexelworks
