// Where the service lives: the API base URL (signed REST calls) and the web-site base URL
// (sign-in page, token exchange, minimum build, pages opened in the browser).
//
// Each comes from, in order: a value set in this process with setAPIBaseURL/setWebBaseURL
// (tests that start the local service on an ephemeral port), the environment variable
// VX_API_BASE_URL / VX_WEB_BASE_URL, and the build's default (the local service,
// tools/devservice, in development builds; CMake's VX_API_BASE_URL_DEFAULT and
// VX_WEB_BASE_URL_DEFAULT for a deployment). Safe from any thread.
#pragma once

#include "platform/foundation/URL.h"

#include <optional>
#include <string_view>

namespace Vexelworks {

inline constexpr const char* kAPIBaseURLEnvironmentVariable = "VX_API_BASE_URL";
inline constexpr const char* kWebBaseURLEnvironmentVariable = "VX_WEB_BASE_URL";

// An environment value that is set but is not an absolute http or https URL with a host stops
// the program with a message that names the variable: talking to a wrong service silently would
// be worse.
vx::URL apiBaseURL();
vx::URL webBaseURL();

// Overrides for this process; std::nullopt goes back to the environment and the default.
void setAPIBaseURL(std::optional<vx::URL> url);
void setWebBaseURL(std::optional<vx::URL> url);

// The text as a base URL: absolute, "http" or "https", with a host. std::nullopt otherwise.
std::optional<vx::URL> parseBaseURL(std::string_view text);

}  // namespace Vexelworks
