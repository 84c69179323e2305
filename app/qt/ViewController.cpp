#include "app/qt/ViewController.h"

#include "app/qt/InterfaceRegistry.h"
#include "platform/foundation/Error.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLayout>
#include <QVBoxLayout>

namespace vx {

ViewController::ViewController(std::string nibName) : nibName_(std::move(nibName)) {}

ViewController::~ViewController() {
  if (view_ != nullptr) {
    view_->removeEventFilter(this);
    detachFromWidget(view_);
    if (view_->parentWidget() == nullptr) delete view_.data();
  }
}

QWidget* ViewController::view() {
  if (view_ == nullptr && !loading_) {
    loading_ = true;
    loadView();
    loading_ = false;
    if (view_ == nullptr) fatalError("ViewController: loadView made no view for \"" + nibName_ + "\"");
    viewDidLoad();
  }
  return view_;
}

void ViewController::setView(QWidget* view) {
  if (view_ == view) return;
  if (view_ != nullptr) {
    view_->removeEventFilter(this);
    detachFromWidget(view_);
  }
  view_ = view;
  if (view_ != nullptr) {
    attachToWidget(view_);
    view_->installEventFilter(this);
  }
}

bool ViewController::keyDown(QKeyEvent*) { return false; }

void ViewController::loadView() {
  if (nibName_.empty()) {
    setView(new QWidget);
    return;
  }
  QWidget* built = InterfaceRegistry::shared().instantiate(nibName_, this);
  if (built == nullptr) fatalError("ViewController: no interface named \"" + nibName_ + "\"");
  setView(built);
}

bool ViewController::eventFilter(QObject* watched, QEvent* event) {
  // Keys reach the view either directly or after every widget below it declined them.
  if (watched == view_ && event->type() == QEvent::KeyPress) {
    if (keyDown(static_cast<QKeyEvent*>(event))) {
      event->accept();
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

WindowController::WindowController(QWidget* window) { setWindow(window); }

WindowController::~WindowController() {
  if (window_ != nullptr) {
    detachFromWidget(window_);
    if (window_->parentWidget() == nullptr) delete window_.data();
  }
}

void WindowController::setWindow(QWidget* window) {
  if (window_ == window) return;
  if (window_ != nullptr) detachFromWidget(window_);
  window_ = window;
  if (window_ != nullptr) attachToWidget(window_);
}

void WindowController::loadWindow(const std::string& nibName) {
  QWidget* built = InterfaceRegistry::shared().instantiate(nibName, this);
  if (built == nullptr) fatalError("WindowController: no interface named \"" + nibName + "\"");
  if (window_ != nullptr && window_ != built) {
    detachFromWidget(window_);
    if (window_->parentWidget() == nullptr) delete window_.data();
  }
  window_ = nullptr;
  setWindow(built);
}

void WindowController::setContentViewController(ViewController* controller) {
  if (window_ == nullptr) return;
  QLayout* layout = window_->layout();
  if (layout == nullptr) {
    layout = new QVBoxLayout(window_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
  }
  // The old content leaves the window but stays owned by its controller.
  if (content_ != nullptr && content_->isViewLoaded()) {
    QWidget* old = content_->view();
    layout->removeWidget(old);
    old->hide();
    old->setParent(nullptr);
  }
  content_ = controller;
  if (controller != nullptr) {
    QWidget* view = controller->view();
    layout->addWidget(view);
    view->show();
  }
}

}  // namespace vx
