// The bundle identifier of the released application. Builds with any other identifier (local,
// beta, tests) are told apart by comparing with it: they sign in through the beta page and use
// the development telemetry secret.
#pragma once

// The identifier itself is declared beside the keychain names that depend on it.
#include "app/service/Auth/TokenStore.h"

namespace Vexelworks {

// True when the running bundle's identifier is the release one.
bool isReleaseBundle();

}  // namespace Vexelworks
