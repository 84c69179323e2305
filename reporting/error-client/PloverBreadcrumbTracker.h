// Automatic breadcrumbs and the method-replacement registry they would rest on. This platform
// has no runtime to replace methods in and no system notifications to observe: the application
// shell hands the tracker its events through plain calls, and the swizzle registry keeps the
// replacement modes and lookups over implementations registered with it.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>

class PloverBreadcrumbTracker {
 public:
  // Adds the "started" breadcrumb; the automatic hooks have nothing to attach to here.
  void start();
  void trackApplicationUIKitNotifications() {}
  void swizzleSendAction() {}
  void swizzleViewDidAppear() {}
  void addEnabledCrumb();

  // Events the application shell reports.
  void applicationEvent(const std::string& name);
  void viewDidAppear(const std::string& className);

  static const std::regex& viewControllerRegex();
  // The first group of every "[<.](\w+)" match joined with "."; unchanged when nothing matches.
  static std::string sanitizeViewControllerName(const std::string& name);
};

// An implementation in the registry: takes and returns nothing; enough for breadcrumbs and tests.
using PloverImp = std::function<void()>;

// A class in the registry: its name and superclass; methods by selector.
struct PloverSwizzleClass {
  std::string name;
  std::shared_ptr<PloverSwizzleClass> superclass;
  std::map<std::string, PloverImp> methods;
};

enum class PloverSwizzleMode : int {
  always = 0,                       // replace every time
  oncePerClass = 1,                 // once per key and class
  oncePerClassAndSuperclasses = 2,  // not when the class or a superclass has it under the key
};

class PloverSwizzleInfo {
 public:
  // The implementation that was replaced, or, when the class only inherited the method, the
  // superclass's implementation as it is at call time.
  PloverImp getOriginalImplementation() const { return impProvider_ ? impProvider_() : nullptr; }
  const std::string& selector() const { return selector_; }
  void setSelector(std::string selector) { selector_ = std::move(selector); }
  void setImpProviderBlock(std::function<PloverImp()> provider) { impProvider_ = std::move(provider); }

 private:
  std::string selector_;
  std::function<PloverImp()> impProvider_;
};

class PloverSwizzle {
 public:
  using Factory = std::function<PloverImp(const PloverSwizzleInfo& info)>;
  // True when the method was replaced, false when the mode forbade it.
  static bool swizzleInstanceMethod(const std::string& selector, const std::shared_ptr<PloverSwizzleClass>& cls,
                                    Factory factory, PloverSwizzleMode mode, const void* key);
  // The implementation a call would run: the class's own, else the nearest superclass's.
  static PloverImp lookup(const std::shared_ptr<PloverSwizzleClass>& cls, const std::string& selector);
};
