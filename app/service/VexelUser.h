// The signed-in user's record and the OAuth token pair.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace Vexelworks {

struct VexelUser {
  std::int64_t id = 0;
  std::string name;
  std::string username;
  std::string email;

  // From the "user" object of the "/user" reply: "full_name" (text) and the object "auth_user"
  // with "id" (text holding a whole decimal number, optionally signed, within 64 bits),
  // "username" and "email" (text). std::nullopt when any is missing or of another type.
  static std::optional<VexelUser> make(const nlohmann::json& json);

  bool operator==(const VexelUser&) const = default;
};

// The OAuth token and token secret.
struct AccessToken {
  std::string key;
  std::string secret;

  bool operator==(const AccessToken&) const = default;
};

}  // namespace Vexelworks
