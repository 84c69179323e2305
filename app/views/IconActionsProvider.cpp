#include "app/views/IconActionsProvider.h"

namespace Vexelworks {

namespace {
IconActionsFactory& factorySlot() {
  static IconActionsFactory factory;
  return factory;
}
}  // namespace

void setIconActionsFactory(IconActionsFactory factory) { factorySlot() = std::move(factory); }

std::shared_ptr<IconActionsInterface> makeIconActions(std::shared_ptr<const Icon> icon,
                                                      std::shared_ptr<const ExportOptions> defaultOptions,
                                                      std::shared_ptr<ImageStore> imageStore) {
  if (!icon || !factorySlot()) return nullptr;
  return factorySlot()(std::move(icon), std::move(defaultOptions), std::move(imageStore));
}

}  // namespace Vexelworks
