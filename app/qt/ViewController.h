// The base of every view controller: the view is made on first use (from the interface
// registered under the controller's nib name, or by an override of loadView), then
// viewDidLoad runs once. The controller is a responder tied to its view, so actions sent
// from inside the view reach it, and keys its view does not take reach keyDown.
#pragma once

#include "app/qt/Responder.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <string>

class QKeyEvent;

namespace vx {

class ViewController : public QObject, public Responder {
 public:
  // `nibName` names the interface to build in loadView (empty: a plain widget).
  explicit ViewController(std::string nibName = {});
  ~ViewController() override;

  const std::string& nibName() const { return nibName_; }

  // The view, loaded on first use (loadView, then viewDidLoad).
  QWidget* view();
  bool isViewLoaded() const { return view_ != nullptr; }
  // Loads the view when not yet loaded.
  void loadViewIfNeeded() { view(); }
  // Replaces the view (the controller owns it unless it has a parent widget).
  void setView(QWidget* view);

  // A key the view tree did not take. Return true when handled; the default hands it on.
  virtual bool keyDown(QKeyEvent* event);

 protected:
  // Builds the view: from the interface registry when a nib name is set (a missing interface
  // is a fatal error, as the interface files are part of the application), else a plain
  // widget. Overrides call setView.
  virtual void loadView();
  // Runs once, right after the view was loaded.
  virtual void viewDidLoad() {}

  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::string nibName_;
  QPointer<QWidget> view_;
  bool loading_ = false;
};

// The controller of one top-level window; tied to the window so it takes part in the chain.
class WindowController : public QObject, public Responder {
 public:
  explicit WindowController(QWidget* window = nullptr);
  ~WindowController() override;

  QWidget* window() const { return window_; }
  // Adopts `window` (owned unless it has a parent) and ties this controller to it.
  void setWindow(QWidget* window);
  // Builds the window from the interface registered under `nibName` (the builder may set this
  // controller's outlets) and adopts it. A missing interface is a fatal error.
  void loadWindow(const std::string& nibName);
  // Makes `controller`'s view the window's content, replacing the previous content.
  void setContentViewController(ViewController* controller);
  ViewController* contentViewController() const { return content_; }

 private:
  QPointer<QWidget> window_;
  QPointer<ViewController> content_;
};

}  // namespace vx
