// The program's entry point. A launch carrying "vexelworks://" URLs while the application
// already runs hands them to the running instance and exits; otherwise this process becomes the
// running instance, its own URLs wait as get-URL events for the URL handler, and the application
// delegate runs the start-up sequence inside the Qt event loop.
#include "app/qt/MainQueue.h"
#include "app/service/Auth/URLHandler.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/MainWindowController.h"
#include "app/shell/SearchViewController.h"
#include "platform/desktop/GetURLEvents.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"
#include "telemetry/ZerEvuzevCrashes/MSCrashes.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <iostream>

namespace {

// With this variable set, the program prints kSearchViewPaintedMarker on standard output once,
// when the search view first paints; start-up benchmarks wait for that line. Off by default.
constexpr const char* kStartupMarkerVariable = "VX_STARTUP_MARKER";
constexpr const char* kSearchViewPaintedMarker = "vexelworks: search view painted";

// Forwards the application-level events the delegate answers.
class ApplicationEvents : public QObject {
 public:
  explicit ApplicationEvents(Vexelworks::AppDelegate& delegate)
      : delegate_(delegate), reportFirstPaint_(qEnvironmentVariableIsSet(kStartupMarkerVariable)) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == qApp && event->type() == QEvent::ApplicationActivate) {
      delegate_.applicationDidBecomeActive();
    }
    if (reportFirstPaint_ && event->type() == QEvent::Paint && isSearchView(watched)) {
      reportFirstPaint_ = false;
      std::cout << kSearchViewPaintedMarker << std::endl;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  bool isSearchView(QObject* object) const {
    const Vexelworks::MainWindowController* window = delegate_.mainWindowController();
    Vexelworks::SearchViewController* search = window != nullptr ? window->searchViewController() : nullptr;
    return search != nullptr && search->isViewLoaded() && object == search->view();
  }

  Vexelworks::AppDelegate& delegate_;
  bool reportFirstPaint_;
};

}  // namespace

int main(int argc, char** argv) {
  // Before any window: a second launch must not flash one.
  auto handOff = Vexelworks::handOffLaunchURLs(argc, argv);
  if (handOff.ok() && handOff.value().outcome == vx::URLHandOff::Outcome::handedOff) return 0;
  if (!handOff.ok()) {
    // The running instance did not take the URLs: this one runs on its own with them.
    std::cerr << "Could not reach the running Vexelworks: " << handOff.error().description << std::endl;
    for (std::string& url : vx::urlArguments(argc, argv, {Vexelworks::kURLScheme})) {
      vx::GetURLEventManager::shared().postGetURLEvent(std::move(url));
    }
  }

  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vexelworks"));
  QApplication::setQuitOnLastWindowClosed(true);
  vx::QtMainQueue mainQueue;

  if (auto installed = Vexelworks::installURLSchemeHandler(); !installed.ok()) {
    std::cerr << "Could not register the vexelworks: URL scheme: " << installed.error().description << std::endl;
  }

  Vexelworks::AppDelegate::registerInterfaces();
  std::shared_ptr<Vexelworks::AppDelegate> delegate = Vexelworks::AppDelegate::make();
  ApplicationEvents events(*delegate);
  application.installEventFilter(&events);
  QTimer::singleShot(0, &application, [&delegate] { delegate->applicationDidFinishLaunching(); });

  const int status = QApplication::exec();
  delegate->applicationWillTerminate();
  application.removeEventFilter(&events);
  // The telemetry pipeline goes first, while the process-wide tables its journal uses still
  // exist (they are torn down with the other statics after main returns). Its logs are on disk.
  MSZerEvuzev::resetSharedInstance();
  MSCrashes::resetSharedInstance();
  MSAnalytics::resetSharedInstance();
  return status;
}
