#include "app/shell/CBColorMagnifierWindow.h"

#include "app/service/Logger.h"

#include <QApplication>
#include <QColorDialog>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <cstdio>

namespace Vexelworks {

// --- CBColorMagnifierController ---

CBColorMagnifierController::CBColorMagnifierController() : vx::ViewController() {}

void CBColorMagnifierController::loadView() {
  auto* view = new QWidget;
  view->setAttribute(Qt::WA_TranslucentBackground);
  auto* layout = new QVBoxLayout(view);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* image = new QLabel(view);
  image->setObjectName(QStringLiteral("imageView"));
  image->setFixedSize(kImageSide, kImageSide);
  image->setAttribute(Qt::WA_TranslucentBackground);
  image->setAttribute(Qt::WA_TransparentForMouseEvents);
  layout->addWidget(image, 0, Qt::AlignCenter);
  imageView = image;
  setView(view);
}

// --- CBColorMagnifierWindow ---

CBColorMagnifierWindow::CBColorMagnifierWindow(CBColorMagnifierWindowController& controller, ScreenColorSampler sampler)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::X11BypassWindowManagerHint | Qt::NoDropShadowWindowHint),
      controller_(controller),
      sampler_(std::move(sampler)) {
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_ShowWithoutActivating, false);
  setMouseTracking(true);
  setFocusPolicy(Qt::StrongFocus);
  setFixedSize(kWindowSide, kWindowSide);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(content_.view());
  content_.view()->setMouseTracking(true);
  connect(qApp, &QGuiApplication::applicationStateChanged, this, &CBColorMagnifierWindow::applicationStateChanged);
}

CBColorMagnifierWindow::~CBColorMagnifierWindow() {
  VX_LOG("DEBUG", "Deinit magnifier");
  if (cursorHidden_) QGuiApplication::restoreOverrideCursor();
}

void CBColorMagnifierWindow::grabInput() {
  // The window always lies under the pointer, but a grab also keeps the keys and the clicks
  // when another window would take them, and shows no pointer while it lasts.
  grabMouse(QCursor(Qt::BlankCursor));
  grabKeyboard();
}

void CBColorMagnifierWindow::becomeKeyWindow() {
  key_ = true;
  setFocus(Qt::ActiveWindowFocusReason);
  recenterOnPointer();
  updateMagnifiedImage();
  if (!cursorHidden_) {
    QGuiApplication::setOverrideCursor(QCursor(Qt::BlankCursor));
    cursorHidden_ = true;
  }
  grabInput();
}

void CBColorMagnifierWindow::recenterOnPointer() {
  const QPoint pointer = QCursor::pos();
  setGeometry(pointer.x() - kWindowSide / 2, pointer.y() - kWindowSide / 2, kWindowSide, kWindowSide);
}

void CBColorMagnifierWindow::updateMagnifiedImage() {
  QLabel* imageView = content_.imageView;
  if (imageView == nullptr) return;
  const QImage bitmap = sampler_.magnify(QCursor::pos(), imageView->size());
  if (bitmap.isNull()) {
    imageView->clear();
    return;
  }
  displayImage_ = bitmap;
  QPixmap pixmap = QPixmap::fromImage(bitmap);
  pixmap.setDevicePixelRatio(static_cast<qreal>(bitmap.width()) / imageView->width());
  imageView->setPixmap(pixmap);
}

std::optional<Color> CBColorMagnifierWindow::centerColor() const {
  if (displayImage_.isNull() || content_.imageView == nullptr) return std::nullopt;
  return ScreenColorSampler::centerColor(displayImage_);
}

void CBColorMagnifierWindow::pickColor() {
  const auto color = centerColor();
  if (!color) return;
  CBColorMagnifierWindowDelegate* delegate = controller_.pickerDelegate;
  if (delegate == nullptr) return;
  std::printf("Picked colour #%s\n", color->hexString().c_str());
  std::fflush(stdout);
  delegate->applyExportColor(*color);
  controller_.close();
}

void CBColorMagnifierWindow::movePointer(int dx, int dy) {
  const QPoint pointer = QCursor::pos();
  QCursor::setPos(screen(), pointer + QPoint(dx, dy));
  recenterOnPointer();
  updateMagnifiedImage();
}

void CBColorMagnifierWindow::closeWindow() {
  if (closing_) return;
  closing_ = true;
  key_ = false;
  releaseKeyboard();
  releaseMouse();
  if (cursorHidden_) {
    QGuiApplication::restoreOverrideCursor();
    cursorHidden_ = false;
  }
  hide();
}

void CBColorMagnifierWindow::mouseMoveEvent(QMouseEvent* event) {
  QWidget::mouseMoveEvent(event);
  recenterOnPointer();
  updateMagnifiedImage();
}

void CBColorMagnifierWindow::mouseReleaseEvent(QMouseEvent* event) {
  QWidget::mouseReleaseEvent(event);
  pickColor();
}

void CBColorMagnifierWindow::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  if (key == Qt::Key_Space) pickColor();
  if (closing_) return;
  const int step = (event->modifiers() & Qt::ShiftModifier) ? kShiftStep : kStep;
  switch (key) {
    case Qt::Key_Left:
      movePointer(-step, 0);
      break;
    case Qt::Key_Right:
      movePointer(step, 0);
      break;
    case Qt::Key_Up:
      movePointer(0, -step);
      break;
    case Qt::Key_Down:
      movePointer(0, step);
      break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      pickColor();
      break;
    case Qt::Key_Escape:
      controller_.close();
      break;
    default:
      break;
  }
  VX_LOG("DEBUG", "Key Down: " + std::to_string(event->nativeScanCode()));
}

void CBColorMagnifierWindow::paintEvent(QPaintEvent* event) {
  QWidget::paintEvent(event);
  // Painted means on screen. A window manager may refuse to activate a window that bypasses
  // it, so the picker takes the keys itself once it can be seen, activated or not.
  if (!key_ && !closing_) {
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (!key_ && !closing_) becomeKeyWindow();
        },
        Qt::QueuedConnection);
  }
}

bool CBColorMagnifierWindow::event(QEvent* event) {
  switch (event->type()) {
    case QEvent::WindowActivate:
      if (!key_ && !closing_) becomeKeyWindow();
      break;
    case QEvent::WindowDeactivate:
      // Losing the keys closes the picker (only once it had them).
      if (key_ && !closing_) controller_.close();
      break;
    default:
      break;
  }
  return QWidget::event(event);
}

void CBColorMagnifierWindow::applicationStateChanged(Qt::ApplicationState state) {
  if (state != Qt::ApplicationActive && key_ && !closing_) controller_.close();
}

// --- CBColorMagnifierWindowController ---

CBColorMagnifierWindowController::CBColorMagnifierWindowController(QString platformName)
    : platformName_(platformName.isEmpty() ? QGuiApplication::platformName() : std::move(platformName)) {}

CBColorMagnifierWindowController::~CBColorMagnifierWindowController() {
  delete window_;
  delete message_;
  delete dialog_;
}

bool CBColorMagnifierWindowController::canReadScreen(const QString& platformName) {
  return !platformName.startsWith(QStringLiteral("wayland"));
}

const char* CBColorMagnifierWindowController::unavailableMessageText() {
  return "The screen colour picker cannot read the screen under Wayland, which does not let "
         "applications read the screen or move the pointer. Choose the colour in the colour "
         "dialog instead.";
}

void CBColorMagnifierWindowController::showWindow() {
  if (!canReadScreen(platformName_)) {
    offerColorDialog();
    return;
  }
  if (window_ != nullptr && window_->isVisible()) return;
  delete window_;
  // One picture of the main screen, taken before the picker's own window shows.
  QScreen* screen = QGuiApplication::primaryScreen();
  QImage picture;
  QPoint origin;
  if (screen != nullptr) {
    picture = screen->grabWindow(0).toImage();
    origin = screen->geometry().topLeft();
  }
  window_ = new CBColorMagnifierWindow(*this, ScreenColorSampler(picture, origin));
  window_->recenterOnPointer();
  window_->show();
  window_->raise();
  window_->activateWindow();
  // Follow the pointer at once; the activation that follows grabs the input.
  window_->updateMagnifiedImage();
}

void CBColorMagnifierWindowController::close() {
  if (window_ == nullptr) return;
  CBColorMagnifierWindow* window = window_;
  window_ = nullptr;
  window->closeWindow();
  window->deleteLater();
  emit closed();
}

void CBColorMagnifierWindowController::offerColorDialog() {
  if (message_ != nullptr) {
    message_->raise();
    return;
  }
  auto* message = new QMessageBox(QMessageBox::Information, QStringLiteral("Pick a Colour"),
                                  QString::fromUtf8(unavailableMessageText()));
  message->setAttribute(Qt::WA_DeleteOnClose);
  QPushButton* choose = message->addButton(QStringLiteral("Choose..."), QMessageBox::AcceptRole);
  message->addButton(QMessageBox::Cancel);
  message->setDefaultButton(choose);
  message_ = message;
  connect(message, &QMessageBox::buttonClicked, this, [this, choose](QAbstractButton* button) {
    if (button != choose) {
      emit closed();
      return;
    }
    auto* dialog = new QColorDialog(Qt::black);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog_ = dialog;
    connect(dialog, &QColorDialog::colorSelected, this, [this](const QColor& chosen) {
      if (pickerDelegate != nullptr) {
        pickerDelegate->applyExportColor(Color::rgb(chosen.redF(), chosen.greenF(), chosen.blueF(), chosen.alphaF()));
      }
    });
    connect(dialog, &QColorDialog::finished, this, [this] { emit closed(); });
    dialog->open();
  });
  message->open();
}

}  // namespace Vexelworks
