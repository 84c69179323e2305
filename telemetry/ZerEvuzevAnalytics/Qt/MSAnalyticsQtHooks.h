// What the platform hooks give the analytics service in a Qt application: one application-wide
// event filter that turns the show event of a view controller's view into the page-view hook
// (MSAnalyticsCategory::viewWillAppear with the controller's C++ class name) and hands the
// application's activation changes to the application-delegate forwarder, where the session
// tracker hears them.
//
// Install it once on the GUI thread after the QApplication exists; it lives as long as the
// application object (it is its child).
#pragma once

#include <QObject>

#include <string>

class MSAnalyticsQtHooks : public QObject {
 public:
  // The hooks of the running application, made on first call; nullptr without a QApplication.
  static MSAnalyticsQtHooks* install();
  // The demangled class name of an object ("Vexelworks::SearchViewController").
  static std::string classNameOf(const QObject& object);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  explicit MSAnalyticsQtHooks(QObject* application);
  bool active_ = false;
};
