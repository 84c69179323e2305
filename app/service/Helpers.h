// Small shared helpers of the service client: the JSON decoder for API replies, the
// installation's client identifier, the main-queue hop and opening a page of the web site.
#pragma once

#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace Vexelworks {

// Parses the bytes as JSON and returns the top-level object. When parsing fails, or the
// top-level value is a scalar (a bare number, string, true/false/null), the parse error's
// description is written to standard output and std::nullopt returned; a top-level array gives
// std::nullopt without a word.
std::optional<nlohmann::json> decodeJSON(std::string_view bytes);
std::optional<nlohmann::json> decodeJSON(const vx::Bytes& bytes);

// The member `key` of a JSON object as text; std::nullopt when `json` is not an object, or the
// member is absent or of another JSON type.
std::optional<std::string> textMember(const nlohmann::json& json, const char* key);

// The user-defaults key of the installation's client identifier.
inline constexpr const char* kClientIdKey = "ClientId";

// The installation's client identifier: the text under "ClientId" in the standard user
// defaults; on first use a new upper-case UUID text, stored (and written to disk) at once.
std::string clientId();

// Schedules the closure on the main queue and returns at once.
void runOnMain(std::function<void()> closure);

// Resolves `path` (with optional query, "/for-mac/download/") against the web-site base URL and
// opens it in the user's browser. Whether a browser opened is not looked at.
void openWebPage(std::string_view path);
// The URL openWebPage opens for `path`; std::nullopt when the path does not form a URL.
std::optional<vx::URL> webPageURL(std::string_view path);

// Who opens URLs: by default "xdg-open" in a child process. The shell (or a test) may install
// its own; nullptr restores the default. Returns the opener it replaced.
using URLOpener = std::function<void(const vx::URL&)>;
URLOpener setURLOpener(URLOpener opener);

}  // namespace Vexelworks
