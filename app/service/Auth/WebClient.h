// WebClient: the application's two calls to the service's web site (not its API): exchanging the
// one-time sign-in token that the browser hands back for an OAuth access token pair and the
// server's clock, and asking for the minimum build the service still supports.
#pragma once

#include "app/service/VexelUser.h"

#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"
#include "platform/net/URLSession.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace Vexelworks {

// What a token exchange gives: the token pair and the server clock's lead over ours in whole
// seconds (signed, within 32 bits), or neither.
struct TokenExchangeResult {
  std::optional<AccessToken> token;
  std::optional<std::int32_t> offset;
};

class WebClient {
 public:
  // (token or none, offset or none, the transport's error or none)
  using ExchangeCompletion = std::function<void(std::optional<AccessToken> token, std::optional<std::int32_t> offset,
                                                std::optional<vx::Error> error)>;
  // (the minimum build, the transport's error or none)
  using MinimumBuildCompletion = std::function<void(std::int64_t minimumBuild, std::optional<vx::Error> error)>;

  static constexpr std::string_view kExchangePath = "/for-mac/oauth/";
  static constexpr std::string_view kVersionPath = "/for-mac/version/";
  static constexpr std::string_view kAuthorizePath = "/for-mac/authorize/";

  explicit WebClient(vx::URL url);

  const vx::URL& url() const { return url_; }
  // Made on first use; shared by both calls.
  std::shared_ptr<vx::URLSession> session();

  // POST "/for-mac/oauth/" (resolved against the site URL, replacing its path) with the form
  // body token=…&client_id=…&build_number=…, each value form-encoded so no text can add a
  // field. The completion runs on the session's callback thread, once: with the pair and the
  // offset when the reply is usable (parseExchangeReply), otherwise with neither and the
  // transport's error (none when the transport reported none). The HTTP status is not looked at.
  void exchangeToken(std::string_view token, ExchangeCompletion completion);

  // GET "/for-mac/version/" with a 60-second time-out. When the reply is a JSON object whose
  // "minimum_build" is an integer (within 64 bits), the completion runs on the main queue with
  // it and the transport's error, if any. In every other case it is never called.
  void fetchMinimumBuild(MinimumBuildCompletion completion);

  // The request exchangeToken sends (for tests and logging).
  vx::URLRequest exchangeRequest(std::string_view token) const;

  // The reply {"access_token": {"token": text, "secret": text}, "timestamp": number}. Unusable,
  // giving neither, when it is not such an object, when the token or the secret is empty or
  // holds ":" (it could not be stored), or when the timestamp is not a finite number whose lead
  // over `now`, rounded to a whole number of seconds with halves away from zero, fits in 32 bits.
  static TokenExchangeResult parseExchangeReply(const std::vector<std::uint8_t>& data, vx::WallTime now);

 private:
  vx::URL url_;
  std::mutex mutex_;
  std::shared_ptr<vx::URLSession> session_;
};

}  // namespace Vexelworks
