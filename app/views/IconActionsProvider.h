// What the icon grid and the icon detail view need of an icon's actions (copy, and the context
// menu with its copy, attribution, web and share entries): an interface, so the views do not
// depend on the shell that implements it. The shell installs its factory at start-up
// (IconActions::install); until then no actions exist and the views' Copy and context menu do
// nothing.
#pragma once

#include "app/service/ExportSettings.h"
#include "app/service/Icon.h"
#include "app/service/Images/ImageStore.h"

#include <functional>
#include <memory>

class QMenu;
class QObject;

namespace Vexelworks {

class IconActionsInterface {
 public:
  virtual ~IconActionsInterface() = default;
  // The Copy command: the icon to the clipboard in the export options' type, one usage record.
  virtual void copy(QObject* sender) = 0;
  // A new context menu for the icon. The caller shows it and keeps this object alive while it
  // is shown (its items act on this object).
  virtual std::unique_ptr<QMenu> menu() = 0;
};

using IconActionsFactory = std::function<std::shared_ptr<IconActionsInterface>(
    std::shared_ptr<const Icon> icon, std::shared_ptr<const ExportOptions> defaultOptions,
    std::shared_ptr<ImageStore> imageStore)>;

// Installs the factory (main thread); an empty function removes it.
void setIconActionsFactory(IconActionsFactory factory);
// The actions for one icon, or nullptr when no factory is installed or no icon is given.
std::shared_ptr<IconActionsInterface> makeIconActions(std::shared_ptr<const Icon> icon,
                                                      std::shared_ptr<const ExportOptions> defaultOptions,
                                                      std::shared_ptr<ImageStore> imageStore);

}  // namespace Vexelworks
