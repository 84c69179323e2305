#include "app/shell/AppIdentity.h"

#include "platform/foundation/Bundle.h"

namespace Vexelworks {

bool isReleaseBundle() { return vx::Bundle::main().bundleIdentifier() == kReleaseBundleIdentifier; }

}  // namespace Vexelworks
