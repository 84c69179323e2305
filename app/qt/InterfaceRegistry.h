// Interface resources loaded by name ("MainWindow", "PoisonPill", the cells and views of the
// grids): each name maps to code that builds the widget tree and connects the owner's outlets.
// Building runs awakeFromNib on every object of the new tree that wants it, like loading a nib.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

class QObject;
class QWidget;

namespace vx {

// Implemented by widgets that finish their set-up once the whole tree they belong to is built
// and every property a builder sets has been set.
class AwakeFromNib {
 public:
  virtual ~AwakeFromNib() = default;
  virtual void awakeFromNib() = 0;
};

class InterfaceRegistry {
 public:
  // Builds the tree for one name. `owner` is the object that asked (a view controller, or
  // nullptr); the builder sets the owner's outlets and may parent the tree under nothing. The
  // caller owns the returned widget.
  using Builder = std::function<QWidget*(QObject* owner)>;

  // The process-wide registry (main thread only).
  static InterfaceRegistry& shared();

  // Adds or replaces the builder for `name`.
  void registerInterface(const std::string& name, Builder builder);
  void unregisterInterface(const std::string& name);
  bool contains(const std::string& name) const;
  std::vector<std::string> names() const;

  // Builds `name` for `owner`; nullptr when no builder is registered or the builder built
  // nothing. Runs awakeFromNib on the new widget and its descendants (descendants first).
  QWidget* instantiate(const std::string& name, QObject* owner = nullptr) const;

 private:
  std::map<std::string, Builder> builders_;
};

}  // namespace vx
