// The client's validated options, built from the options dictionary
// {"dsn", "release", "environment", "dist", "enabled"}.
#pragma once

#include "reporting/error-client/PloverDsn.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>

class PloverOptions {
 public:
  // nullptr when validation put an error (code 100) in the slot.
  static std::shared_ptr<PloverOptions> make(const nlohmann::json& options, vx::Error* error = nullptr);

  // Fills the properties; false with the error in the slot when "dsn" is missing, not a string
  // or not a valid DSN.
  bool validateOptions(const nlohmann::json& options, vx::Error* error);

  std::shared_ptr<PloverDsn> dsn;
  std::optional<std::string> releaseName;
  std::optional<std::string> dist;
  std::optional<std::string> environment;
  std::optional<bool> enabled;
};
