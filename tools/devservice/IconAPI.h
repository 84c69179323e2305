// The icon API side of the local service: the consumer key pair it accepts, the demo token, and
// the signature check its routes use.
#pragma once

#include "tools/devservice/DevService.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vx::devservice {

// The consumer key pair built into the application (a shared secret of client and service).
inline constexpr std::string_view kConsumerKey = "3f9c1e7a5b2d4c6e8f0a1b3c5d7e9f21";
inline constexpr std::string_view kConsumerSecret = "a7d2e94c1b6f3058e2c7d19a4b8f6e03";
// A token the service knows from the start, belonging to the catalogue's first user.
inline constexpr std::string_view kDemoTokenKey = "demo-token-key";
inline constexpr std::string_view kDemoTokenSecret = "demo-token-secret";

struct AccessTokenPair {
  std::string key;
  std::string secret;
};

// How far an OAuth timestamp may lie from the service's clock, either way; a nonce is refused
// when it was already used within this window.
inline constexpr std::chrono::seconds kOAuthTimestampWindow{300};

// Why the request's OAuth 1.0 signature is not acceptable, or std::nullopt when it is: the
// signature must match (the base string's host without a default port), the timestamp must lie
// within kOAuthTimestampWindow of Request::serviceTime, and the nonce must be new.
// `clockLead` moves the service's clock further (the web site's lead, WebSite::setClockLead).
std::optional<std::string> checkOAuthSignature(const Request& request,
                                               std::chrono::system_clock::duration clockLead = {});
// A fresh token pair for the catalogue user at `userIndex`, known to the signature check.
AccessTokenPair issueToken(std::size_t userIndex);

}  // namespace vx::devservice
