// The web-site side of the local service: the sign-in page, the token exchange and the minimum
// build. Tests steer it through WebSite::of(service): the one-time tokens the sign-in page
// would hand to the browser, the server clock's lead in the exchange reply, a replacement
// exchange reply (to send broken ones on purpose) and the minimum build.
#pragma once

#include "tools/devservice/DevService.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vx::devservice {

// The URL scheme the sign-in page sends the browser back to, unless the page is asked for
// another with ?scheme=.
inline constexpr const char* kSignInURLScheme = "vexelworks";

class WebSite {
 public:
  // The web site of that service; every DevService gets one when it installs its routes.
  static std::shared_ptr<WebSite> of(const DevService& service);

  // A fresh one-time token for the catalogue user at `userIndex`, as the sign-in page issues it
  // after the user authorised the application. The exchange accepts it once.
  std::string issueSignInToken(std::size_t userIndex = 0);
  // The user a one-time token belongs to, and takes it; none when unknown or used.
  std::optional<std::size_t> redeemSignInToken(const std::string& token);

  // The exchange's "timestamp" is the service's wall clock (vx::wallNow()) plus this lead; the
  // icon API's OAuth timestamp check uses the same clock (the "Date" header does not).
  void setClockLead(std::chrono::duration<double> lead);
  std::chrono::duration<double> clockLead() const;

  // Answer every exchange with this body (status 200) instead of a real reply; none restores
  // the real one.
  void setExchangeReplyOverride(std::optional<nlohmann::json> reply);
  std::optional<nlohmann::json> exchangeReplyOverride() const;

  // The body of "/for-mac/version/"; {"minimum_build": 1} unless set.
  void setVersionReply(nlohmann::json reply);
  nlohmann::json versionReply() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::size_t> signInTokens_;
  std::chrono::duration<double> clockLead_{0};
  std::optional<nlohmann::json> exchangeReply_;
  nlohmann::json versionReply_ = {{"minimum_build", 1}};
};

}  // namespace vx::devservice
