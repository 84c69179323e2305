// IconActions: what one icon's context menu does, in the icon grid and the detail view. It
// builds the menu and runs its items: copy the icon to the clipboard in the export type or a
// chosen one, copy its attribution, open its page on the web site, share it (through the
// platform's sharing services; none exist on Linux), and with "DebugEnabled" set, print its SVG
// or its details. The views' own Copy command goes through copy() too. Every copy and every
// completed share records the icon's usage through the action-handler list.
//
// Threads: main thread only. Make it with std::make_shared: the share path keeps it alive until
// a share ends.
#pragma once

#include "app/service/ExportSettings.h"
#include "app/service/Icon.h"
#include "app/service/Images/ImageStore.h"
#include "app/shell/IconMenuSharing.h"
#include "app/views/IconActionsProvider.h"

#include <QObject>

#include <memory>

class QMenu;

namespace Vexelworks {

class IconActions : public QObject,
                    public IconActionsInterface,
                    public SharingServiceDelegate,
                    public std::enable_shared_from_this<IconActions> {
 public:
  IconActions(std::shared_ptr<const Icon> icon, std::shared_ptr<const ExportOptions> defaultOptions,
              std::shared_ptr<ImageStore> imageStore,
              std::shared_ptr<SharingServiceProvider> sharing = platformSharingServiceProvider());

  // Makes the views use IconActions for their Copy command and context menus, with the
  // platform's sharing services.
  static void install();

  const std::shared_ptr<const Icon>& icon() const { return icon_; }
  const std::shared_ptr<const ExportOptions>& defaultOptions() const { return defaultOptions_; }
  const std::shared_ptr<ImageStore>& imageStore() const { return imageStore_; }

  // The context menu: the icon's title (disabled), a separator, "Copy", "Copy As" (SVG, PDF,
  // PNG), "Copy Attribution", a separator, "View on the Web...", "Share"; with "DebugEnabled"
  // also a separator, "Log SVG" and "Log Info". No item has a shortcut.
  std::unique_ptr<QMenu> menu() override;
  // One item per sharing service that can share the icon (title, image, the service attached);
  // empty when there is none.
  std::unique_ptr<QMenu> shareMenu();

  // The menu's actions; `sender` is the menu item (or whoever sent the command).
  void copy(QObject* sender) override;
  void copyAsSVG(QObject* sender);
  void copyAsPDF(QObject* sender);
  void copyAsPNG(QObject* sender);
  void copyAttribution(QObject* sender);
  void openIconInBrowser(QObject* sender);
  void shareIcon(QObject* sender);
  void logSVG(QObject* sender);
  void logInfo(QObject* sender);

  // Replaces the clipboard with the icon as `type` (data made only when a receiver asks),
  // records one usage with that type and the export colour, and logs "Copied icon <id>".
  void copyAs(PasteboardType type);

  void sharingServiceDidShareItems(SharingService& service, const SharedItems& items) override;

 private:
  std::shared_ptr<const IconPasteboardItem> pasteboardItem(PasteboardType type) const;
  void printHeading() const;

  std::shared_ptr<const Icon> icon_;
  std::shared_ptr<const ExportOptions> defaultOptions_;
  std::shared_ptr<ImageStore> imageStore_;
  std::shared_ptr<SharingServiceProvider> sharing_;
};

}  // namespace Vexelworks
