#include "telemetry/ZerEvuzevAnalytics/MSAnalyticsCategory.h"

#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

std::atomic<bool>& activated() {
  static std::atomic<bool> flag{false};
  return flag;
}

std::mutex& missedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::optional<std::string>& missedName() {
  static std::optional<std::string> name;
  return name;
}

}  // namespace

void MSAnalyticsCategory::activateCategory() { activated().store(true); }

bool MSAnalyticsCategory::isActivated() { return activated().load(); }

std::optional<std::string> MSAnalyticsCategory::missedPageViewName() {
  std::lock_guard lock(missedMutex());
  return missedName();
}

void MSAnalyticsCategory::viewWillAppear(const std::string& controllerClassName) {
  if (!isActivated() || !MSAnalytics::isAutoPageTrackingEnabled() || !shouldTrackPageView(controllerClassName)) {
    return;
  }
  const std::string name = pageNameForClassName(controllerClassName);
  if (MSAnalytics::sharedInstance()->isAvailable()) {
    {
      std::lock_guard lock(missedMutex());
      missedName().reset();
    }
    MSAnalytics::trackPage(name);
  } else {
    std::lock_guard lock(missedMutex());
    missedName() = name;
  }
}

bool MSAnalyticsCategory::shouldTrackPageView(const std::string& controllerClassName) {
  for (const char* container : kContainerClassNames) {
    if (controllerClassName == container) return false;
  }
  return true;
}

std::string MSAnalyticsCategory::pageNameForClassName(const std::string& controllerClassName) {
  std::string name = controllerClassName;
  if (const auto separator = name.rfind(kModuleSeparator); separator != std::string::npos) {
    name = name.substr(separator + std::strlen(kModuleSeparator));
  }
  const std::size_t suffixLength = std::strlen(kViewControllerSuffix);
  if (name.size() > suffixLength && name.ends_with(kViewControllerSuffix)) name.resize(name.size() - suffixLength);
  return name;
}

void MSAnalyticsCategory::resetForTesting() {
  activated().store(false);
  std::lock_guard lock(missedMutex());
  missedName().reset();
}
