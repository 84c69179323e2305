#include "reporting/error-client/PloverOptions.h"

#include "reporting/error-client/PloverError.h"

std::shared_ptr<PloverOptions> PloverOptions::make(const nlohmann::json& options, vx::Error* error) {
  auto result = std::make_shared<PloverOptions>();
  if (!result->validateOptions(options, error)) return nullptr;
  return result;
}

bool PloverOptions::validateOptions(const nlohmann::json& options, vx::Error* error) {
  if (!options.is_object() || !options.contains("dsn") || !options["dsn"].is_string()) {
    return fillError(error, kPloverErrorDomain, kPloverErrorInvalidDsnError, "Dsn cannot be empty");
  }
  dsn = PloverDsn::make(options["dsn"].get<std::string>(), error);
  if (!dsn) return false;
  auto stringOption = [&options](const char* key) -> std::optional<std::string> {
    auto it = options.find(key);
    if (it == options.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
  };
  releaseName = stringOption("release");
  environment = stringOption("environment");
  dist = stringOption("dist");
  if (auto it = options.find("enabled"); it != options.end()) {
    // Any value that answers a boolean: booleans, and numbers (non-zero is YES).
    if (it->is_boolean()) {
      enabled = it->get<bool>();
    } else if (it->is_number()) {
      enabled = it->get<double>() != 0.0;
    } else if (it->is_string()) {
      const auto text = it->get<std::string>();
      enabled = !text.empty() && (text[0] == 'Y' || text[0] == 'y' || text[0] == 'T' || text[0] == 't' ||
                                  (text[0] >= '1' && text[0] <= '9'));
    }
  }
  return true;
}
