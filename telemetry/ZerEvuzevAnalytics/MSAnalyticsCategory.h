// Automatic page views: when a view controller's view is about to appear, a page named after the
// controller's class is tracked without any call from the application. The windowing layer's
// hook (the Qt bridge in Qt/, an application-wide filter of show events) calls viewWillAppear
// with the controller's class name; nothing happens before the analytics service activated the
// hook at its start, nor while automatic page tracking is off. A page view that comes while the
// service is not available is remembered (only the latest) and replayed when it is enabled.
//
// The remembered name is read and written on the main thread; a lock keeps other threads safe.
#pragma once

#include <optional>
#include <string>

class MSAnalyticsCategory {
 public:
  MSAnalyticsCategory() = delete;

  // Class names never tracked: containers of other controllers.
  static constexpr const char* kContainerClassNames[] = {"NSSplitViewController", "NSTabViewController",
                                                         "NSPageController"};
  static constexpr const char* kViewControllerSuffix = "ViewController";
  static constexpr const char* kModuleSeparator = "::";

  // Activates the hook, at most once per process (called by the service's start).
  static void activateCategory();
  static bool isActivated();
  // The page view remembered while the service was not available, if any.
  static std::optional<std::string> missedPageViewName();

  // A controller of the class (its full C++ name, "Vexelworks::SearchViewController") is about
  // to appear: tracks or remembers its page when the hook is active, automatic page tracking is
  // on and the class is not a container.
  static void viewWillAppear(const std::string& controllerClassName);
  // False only for the exact container class names (so their subclasses are tracked).
  static bool shouldTrackPageView(const std::string& controllerClassName);
  // The name after the last "::", less a trailing "ViewController" when something precedes it.
  static std::string pageNameForClassName(const std::string& controllerClassName);

  // Deactivates the hook and forgets the missed page view (tests).
  static void resetForTesting();
};
