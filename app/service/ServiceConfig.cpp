#include "app/service/ServiceConfig.h"

#include "app/service/ServiceDefaults.h"
#include "platform/foundation/Error.h"

#include <cstdlib>
#include <mutex>
#include <string>

namespace Vexelworks {

namespace {

struct Overrides {
  std::mutex mutex;
  std::optional<vx::URL> api;
  std::optional<vx::URL> web;
};

Overrides& overrides() {
  static Overrides instance;
  return instance;
}

vx::URL resolve(const std::optional<vx::URL>& override, const char* variable, const char* fallback) {
  if (override) return *override;
  const char* value = std::getenv(variable);
  if (value != nullptr && *value != '\0') {
    if (auto url = parseBaseURL(value)) return *url;
    vx::fatalError(std::string(variable) + " is not an absolute http or https URL: " + value);
  }
  auto url = parseBaseURL(fallback);
  if (!url) vx::fatalError(std::string("the built-in base URL is not valid: ") + fallback);
  return *url;
}

}  // namespace

std::optional<vx::URL> parseBaseURL(std::string_view text) {
  auto url = vx::URL::parse(text);
  if (!url || !url->isAbsolute() || !url->host() || url->host()->empty()) return std::nullopt;
  if (*url->scheme() != "http" && *url->scheme() != "https") return std::nullopt;
  return url;
}

vx::URL apiBaseURL() {
  std::optional<vx::URL> override;
  {
    std::lock_guard lock(overrides().mutex);
    override = overrides().api;
  }
  return resolve(override, kAPIBaseURLEnvironmentVariable, VX_API_BASE_URL_DEFAULT);
}

vx::URL webBaseURL() {
  std::optional<vx::URL> override;
  {
    std::lock_guard lock(overrides().mutex);
    override = overrides().web;
  }
  return resolve(override, kWebBaseURLEnvironmentVariable, VX_WEB_BASE_URL_DEFAULT);
}

void setAPIBaseURL(std::optional<vx::URL> url) {
  std::lock_guard lock(overrides().mutex);
  overrides().api = std::move(url);
}

void setWebBaseURL(std::optional<vx::URL> url) {
  std::lock_guard lock(overrides().mutex);
  overrides().web = std::move(url);
}

}  // namespace Vexelworks
