#include "telemetry/ZerEvuzevAnalytics/Qt/MSAnalyticsQtHooks.h"

#include "app/qt/Responder.h"
#include "app/qt/ViewController.h"
#include "telemetry/ZerEvuzev/Core/MSDelegateForwarder.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalyticsCategory.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QtGui/qevent.h>
#include <QPointer>
#include <QWidget>

#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

MSAnalyticsQtHooks::MSAnalyticsQtHooks(QObject* application) : QObject(application) {
  active_ = QGuiApplication::applicationState() == Qt::ApplicationActive;
  application->installEventFilter(this);
}

MSAnalyticsQtHooks* MSAnalyticsQtHooks::install() {
  static QPointer<MSAnalyticsQtHooks> hooks;
  QCoreApplication* application = QCoreApplication::instance();
  if (application == nullptr) return nullptr;
  if (hooks == nullptr || hooks->parent() != application) hooks = new MSAnalyticsQtHooks(application);
  return hooks;
}

std::string MSAnalyticsQtHooks::classNameOf(const QObject& object) {
  const char* mangled = typeid(object).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  return status == 0 && demangled ? std::string(demangled.get()) : std::string(mangled);
}

bool MSAnalyticsQtHooks::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Show && watched->isWidgetType()) {
    auto* view = static_cast<QWidget*>(watched);
    // Only a view controller's own view stands for the controller appearing.
    if (auto* controller = dynamic_cast<vx::ViewController*>(vx::Responder::attachedTo(view));
        controller != nullptr && controller->isViewLoaded() && controller->view() == view) {
      MSAnalyticsCategory::viewWillAppear(classNameOf(*controller));
    }
  } else if (event->type() == QEvent::ApplicationStateChange && watched == QCoreApplication::instance()) {
    const bool active = static_cast<QApplicationStateChangeEvent*>(event)->applicationState() == Qt::ApplicationActive;
    if (active != active_) {
      active_ = active;
      auto forwarder = MSAppDelegateForwarder::sharedInstance();
      if (active) {
        forwarder->applicationDidBecomeActive();
      } else {
        forwarder->applicationWillResignActive();
      }
    }
  }
  return QObject::eventFilter(watched, event);
}
