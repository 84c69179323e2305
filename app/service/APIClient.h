// APIClient: the one gateway to the icon service API. It holds the API base URL and the user's
// access token, signs every request with OAuth 1.0 (HMAC-SHA1, the built-in consumer key pair),
// runs requests on its own URL session and keeps the signer's clock in step with the server's
// "Date" header. Every component that talks to the API makes its own client from the current
// token; a client's token never changes.
#pragma once

#include "app/service/AsyncOperation.h"
#include "app/service/Color.h"
#include "app/service/ExportSettings.h"
#include "app/service/Icon.h"
#include "app/service/TDOAuth.h"
#include "app/service/VexelUser.h"
#include "platform/foundation/URL.h"
#include "platform/net/URLSession.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Vexelworks {

class APIClient : public std::enable_shared_from_this<APIClient> {
 public:
  // The service's consumer key pair, built into the application.
  static constexpr std::string_view kConsumerKey = "3f9c1e7a5b2d4c6e8f0a1b3c5d7e9f21";
  static constexpr std::string_view kConsumerSecret = "a7d2e94c1b6f3058e2c7d19a4b8f6e03";

  using Handler =
      std::function<void(std::vector<std::uint8_t> data, vx::HTTPURLResponse response, std::optional<vx::Error> error)>;
  using UserCompletion = std::function<void(std::optional<VexelUser> user, std::optional<vx::Error> error)>;

  static std::shared_ptr<APIClient> make(vx::URL url, AccessToken accessToken);

  const vx::URL& url() const { return url_; }
  const AccessToken& accessToken() const { return accessToken_; }

  // A signed request for `path` on the API host (form-encoded parameters: GET ones in the query,
  // others in the body), with the "User-Agent", "Authorization" and "Accept-Encoding" headers.
  vx::URLRequest signedRequest(std::string_view method, std::string_view path,
                               const std::optional<TDOAuthParameters>& parameters) const;
  // Sets the signer's class-wide clock offset from the response's "Date" header. A header that
  // is missing or does not parse, or an offset beyond 32 bits, changes nothing.
  static void syncClock(const vx::HTTPURLResponse& response);
  // A data task (not resumed) on the client's session whose completion corrects the clock and
  // calls `handler`; when no HTTP response came it logs a WARN line and does not call it.
  std::shared_ptr<vx::URLSessionDataTask> dataTask(vx::URLRequest request, Handler handler);
  // GET "/user": the signed-in user, or none and the session's error (possibly none).
  void loadUser(UserCompletion completion);
  // POST "/icon/<id>/download/mac" with "color" and "type"; the reply is only printed.
  void recordIconUsage(const Icon& icon, PasteboardType type, const Color& color);

  // Made on first use; one per client.
  std::shared_ptr<vx::URLSession> session();

 private:
  APIClient(vx::URL url, AccessToken accessToken) : url_(std::move(url)), accessToken_(std::move(accessToken)) {}

  vx::URL url_;
  AccessToken accessToken_;
  std::mutex mutex_;
  std::shared_ptr<vx::URLSession> session_;
};

// Search completions for the text typed so far. Its owner reads completions() once it has
// finished; a failed or unreadable reply leaves the list empty.
class AutocompleteOperation : public AsyncOperation {
 public:
  AutocompleteOperation(std::shared_ptr<APIClient> api, std::string query)
      : api_(std::move(api)), query_(std::move(query)) {}

  void start() override;
  // Also cancels the request in flight, so a queue that runs one at a time moves on at once.
  void cancel() override;

  const std::string& query() const { return query_; }
  std::vector<std::string> completions() const;

 private:
  std::shared_ptr<APIClient> api_;
  std::string query_;
  mutable std::mutex mutex_;
  std::shared_ptr<vx::URLSessionDataTask> task_;
  std::vector<std::string> completions_;
};

}  // namespace Vexelworks
