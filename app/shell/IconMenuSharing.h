// Sharing an icon through the desktop's sharing services: what the icon menu's "Share" submenu
// lists. A provider names the services that can share a set of items; a service performs the
// share and tells its delegate when it is done. Linux desktops offer no such services, so the
// provider the application uses lists none and the submenu stays empty.
#pragma once

#include "app/service/Export/Pasteboard.h"

#include <QIcon>
#include <QMetaType>
#include <QString>

#include <memory>
#include <vector>

namespace Vexelworks {

class SharingService;
using SharedItems = std::vector<std::shared_ptr<const IconPasteboardItem>>;

class SharingServiceDelegate {
 public:
  virtual ~SharingServiceDelegate() = default;
  // The items were shared (not called for a cancelled or failed share).
  virtual void sharingServiceDidShareItems(SharingService& service, const SharedItems& items) = 0;
};

class SharingService {
 public:
  virtual ~SharingService() = default;
  virtual QString menuItemTitle() const = 0;
  virtual QIcon image() const = 0;

  // The service holds its delegate until the share it starts has ended, so an object made for
  // one menu still hears of a share that finishes after the menu closed.
  void setDelegate(std::shared_ptr<SharingServiceDelegate> delegate) { delegate_ = std::move(delegate); }
  const std::shared_ptr<SharingServiceDelegate>& delegate() const { return delegate_; }

  // Starts sharing the items; the end is reported through shareDidEnd.
  virtual void perform(const SharedItems& items) = 0;

 protected:
  // Implementations call this once per perform: `shared` false for a cancelled or failed share.
  // The delegate is told of a completed share and then let go.
  void shareDidEnd(const SharedItems& items, bool shared) {
    auto delegate = std::move(delegate_);
    if (shared && delegate) delegate->sharingServiceDidShareItems(*this, items);
  }

 private:
  std::shared_ptr<SharingServiceDelegate> delegate_;
};

class SharingServiceProvider {
 public:
  virtual ~SharingServiceProvider() = default;
  // The services that can share these items, in the order to list them.
  virtual std::vector<std::shared_ptr<SharingService>> sharingServicesForItems(const SharedItems& items) = 0;
};

// The provider on this platform: no sharing services exist, so it lists none.
std::shared_ptr<SharingServiceProvider> platformSharingServiceProvider();

}  // namespace Vexelworks

Q_DECLARE_METATYPE(std::shared_ptr<Vexelworks::SharingService>)
