#include "app/qt/InterfaceRegistry.h"

#include <QWidget>

namespace vx {

InterfaceRegistry& InterfaceRegistry::shared() {
  static InterfaceRegistry registry;
  return registry;
}

void InterfaceRegistry::registerInterface(const std::string& name, Builder builder) {
  builders_[name] = std::move(builder);
}

void InterfaceRegistry::unregisterInterface(const std::string& name) { builders_.erase(name); }

bool InterfaceRegistry::contains(const std::string& name) const { return builders_.count(name) != 0; }

std::vector<std::string> InterfaceRegistry::names() const {
  std::vector<std::string> result;
  for (const auto& entry : builders_) result.push_back(entry.first);
  return result;
}

QWidget* InterfaceRegistry::instantiate(const std::string& name, QObject* owner) const {
  auto it = builders_.find(name);
  if (it == builders_.end() || !it->second) return nullptr;
  QWidget* root = it->second(owner);
  if (root == nullptr) return nullptr;
  // Children first, the root last: a root's awakeFromNib can rely on its parts being awake.
  const auto children = root->findChildren<QWidget*>();
  for (auto child = children.rbegin(); child != children.rend(); ++child) {
    if (auto* awake = dynamic_cast<AwakeFromNib*>(*child)) awake->awakeFromNib();
  }
  if (auto* awake = dynamic_cast<AwakeFromNib*>(root)) awake->awakeFromNib();
  if (owner != nullptr) {
    if (auto* awake = dynamic_cast<AwakeFromNib*>(owner)) awake->awakeFromNib();
  }
  return root;
}

}  // namespace vx
