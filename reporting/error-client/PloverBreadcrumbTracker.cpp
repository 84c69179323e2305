#include "reporting/error-client/PloverBreadcrumbTracker.h"

#include "reporting/error-client/PloverClient.h"

#include <mutex>

namespace {

void addCrumb(PloverSeverity level, const std::string& category, const std::string& type, const std::string& message,
              std::optional<vx::ValueMap> data = std::nullopt) {
  auto client = PloverClient::sharedClient();
  if (!client) return;
  PloverBreadcrumb crumb(level, category);
  crumb.type = type;
  crumb.message = message;
  crumb.data = std::move(data);
  client->breadcrumbs()->addBreadcrumb(crumb);
}

std::mutex& registryMutex() {
  static std::mutex mutex;
  return mutex;
}
// Guards the stored replaced implementations, which a swizzled method reads when it runs.
std::mutex& impMutex() {
  static std::mutex mutex;
  return mutex;
}
std::map<const void*, std::set<const PloverSwizzleClass*>>& keyedClasses() {
  static std::map<const void*, std::set<const PloverSwizzleClass*>> classes;
  return classes;
}

}  // namespace

void PloverBreadcrumbTracker::start() {
  addEnabledCrumb();
  swizzleSendAction();
  swizzleViewDidAppear();
  trackApplicationUIKitNotifications();
}

void PloverBreadcrumbTracker::addEnabledCrumb() {
  addCrumb(PloverSeverity::info, "started", "debug", "Breadcrumb Tracking");
}

void PloverBreadcrumbTracker::applicationEvent(const std::string& name) {
  addCrumb(PloverSeverity::info, "app.lifecycle", "navigation", name);
}

void PloverBreadcrumbTracker::viewDidAppear(const std::string& className) {
  addCrumb(PloverSeverity::info, "ui.lifecycle", "navigation", "viewDidAppear",
           vx::ValueMap{{"controller", sanitizeViewControllerName(className)}});
}

const std::regex& PloverBreadcrumbTracker::viewControllerRegex() {
  static const std::regex pattern("[<.](\\w+)");
  return pattern;
}

std::string PloverBreadcrumbTracker::sanitizeViewControllerName(const std::string& name) {
  std::string joined;
  bool any = false;
  for (std::sregex_iterator it(name.begin(), name.end(), viewControllerRegex()), end; it != end; ++it) {
    if (any) joined += ".";
    joined += (*it)[1].str();
    any = true;
  }
  return any ? joined : name;
}

PloverImp PloverSwizzle::lookup(const std::shared_ptr<PloverSwizzleClass>& cls, const std::string& selector) {
  std::lock_guard lock(impMutex());
  for (auto current = cls; current; current = current->superclass) {
    auto found = current->methods.find(selector);
    if (found != current->methods.end()) return found->second;
  }
  return nullptr;
}

bool PloverSwizzle::swizzleInstanceMethod(const std::string& selector, const std::shared_ptr<PloverSwizzleClass>& cls,
                                          Factory factory, PloverSwizzleMode mode, const void* key) {
  if (!cls || !factory) return false;
  std::lock_guard lock(registryMutex());
  if (key != nullptr) {
    const auto& classes = keyedClasses()[key];
    if (mode == PloverSwizzleMode::oncePerClass && classes.count(cls.get())) return false;
    if (mode == PloverSwizzleMode::oncePerClassAndSuperclasses) {
      for (auto current = cls; current; current = current->superclass) {
        if (classes.count(current.get())) return false;
      }
    }
  }
  // What this replaces: the class's own implementation, or none when it only inherited one.
  auto replaced = std::make_shared<PloverImp>();
  {
    std::lock_guard impLock(impMutex());
    auto own = cls->methods.find(selector);
    if (own != cls->methods.end()) *replaced = own->second;
  }
  PloverSwizzleInfo info;
  info.setSelector(selector);
  std::weak_ptr<PloverSwizzleClass> superclass = cls->superclass;
  info.setImpProviderBlock([replaced, superclass, selector]() -> PloverImp {
    {
      std::lock_guard impLock(impMutex());
      if (*replaced) return *replaced;
    }
    return lookup(superclass.lock(), selector);
  });
  PloverImp replacement = factory(info);
  {
    std::lock_guard impLock(impMutex());
    cls->methods[selector] = std::move(replacement);
  }
  if (key != nullptr) keyedClasses()[key].insert(cls.get());
  return true;
}
