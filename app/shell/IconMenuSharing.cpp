#include "app/shell/IconMenuSharing.h"

namespace Vexelworks {

namespace {

class NoSharingServices : public SharingServiceProvider {
 public:
  std::vector<std::shared_ptr<SharingService>> sharingServicesForItems(const SharedItems&) override { return {}; }
};

}  // namespace

std::shared_ptr<SharingServiceProvider> platformSharingServiceProvider() {
  static const auto provider = std::make_shared<NoSharingServices>();
  return provider;
}

}  // namespace Vexelworks
