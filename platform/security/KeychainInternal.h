// Shared by the keychain sources only; not part of the library's API.
#pragma once

#include "platform/security/Keychain.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>

namespace vx::keychain_internal {

Error makeError(std::int32_t status, std::string description, nlohmann::json userInfo = nlohmann::json::object());

// The Secret Service backend; with `requireDefaultCollection`, a service without a default
// collection (a freshly activated daemon that nobody set up) counts as not available, since
// every add would then need a prompt that a headless session cannot show.
Result<std::shared_ptr<KeychainBackend>> probeSecretService(std::chrono::milliseconds probeTimeout,
                                                            std::chrono::milliseconds operationTimeout,
                                                            bool requireDefaultCollection);

}  // namespace vx::keychain_internal
