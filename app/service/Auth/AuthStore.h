// AuthStore: the sign-in store. The user signs in on the web site, never by typing a password
// here: the site hands a one-time token back through the application's URL scheme, the store
// exchanges it (WebClient) for an access token pair and the server's clock, keeps the pair in
// the keychain (TokenStore), corrects the request signer's clock, makes a new API client,
// tells every action handler about the new token and loads the user record. It also refreshes
// the user and signs out, and tells its subscribers what happened (AuthStoreChange).
//
// Threads: the store's state (its API client) changes on the main queue only: the exchange's
// completion moves there before anything is stored or sent, so changeAccessToken reaches every
// action handler on the main thread. Subscribers are always called on the main queue.
#pragma once

#include "app/service/APIClient.h"
#include "app/service/Action.h"
#include "app/service/Auth/TokenStore.h"
#include "app/service/Auth/WebClient.h"
#include "app/service/VexelUser.h"

#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

namespace Vexelworks {

struct AuthStoreConfig {
  vx::URL wwwURL;  // the web site: sign-in page, token exchange, minimum build
  vx::URL apiURL;  // the REST API
};

namespace AuthStoreChanges {
// Signed in and the user record loaded.
struct LoggedIn {
  VexelUser user;
};
// The user record was loaded again.
struct RefreshedUser {
  VexelUser user;
};
// Sign-in or a user load failed; the error is absent when the failure carried none (an
// unusable exchange reply, for one).
struct LogInFailed {
  std::optional<vx::Error> error;
};
// The token was deleted.
struct LoggedOut {};
}  // namespace AuthStoreChanges

using AuthStoreChange = std::variant<AuthStoreChanges::LoggedIn, AuthStoreChanges::RefreshedUser,
                                     AuthStoreChanges::LogInFailed, AuthStoreChanges::LoggedOut>;

class AuthStore : public std::enable_shared_from_this<AuthStore> {
 public:
  using Handler = std::function<void(const AuthStoreChange&)>;

  // Reads the stored token; when there is one the store makes its API client for it (no request
  // is sent) and gives the signer back the clock offset saved at the last sign-in.
  static std::shared_ptr<AuthStore> make(AuthStoreConfig config);

  // Subscribers, in the order added; they are never removed.
  void addHandler(Handler handler);
  std::size_t handlerCount() const;

  const AuthStoreConfig& config() const { return config_; }
  const TokenStore& tokenStore() const { return tokenStore_; }
  const std::shared_ptr<WebClient>& webClient() const { return webClient_; }
  // Present once a token was found at creation or a sign-in succeeded; sign-out keeps it.
  std::shared_ptr<APIClient> apiClient() const;

  // The store's entry in the action-handler list: logIn exchanges the token, logOut deletes it,
  // clears the reported user and notifies loggedOut (also when nothing was stored), refreshUser
  // reloads the user when there is an API client. Other actions are ignored.
  void dispatch(const Action& action);

  // One block per subscriber on the main queue, in subscription order; nothing without any.
  void notify(const AuthStoreChange& change);

  // The end of a token exchange; call on the main queue. Without a token or an offset: logs
  // "Error loading access token: …" and notifies logInFailed. Otherwise saves the token, sets the
  // signer's clock offset, writes "TimeOffset" and "FirstLogin" = false, makes the new API
  // client, sends changeAccessToken to every action handler and loads the user (logIn()).
  void logInWithAppToken(std::optional<AccessToken> token, std::optional<std::int32_t> offset,
                         std::optional<vx::Error> error);

  // Load the user through the API client: loggedIn / refreshedUser on success (the reported
  // user is set), logInFailed otherwise. Nothing without an API client.
  void logIn();
  void refreshUser();

 private:
  explicit AuthStore(AuthStoreConfig config);
  void setAPIClient(std::shared_ptr<APIClient> client);
  void loadUser(bool refreshing);

  mutable std::mutex mutex_;
  std::vector<Handler> handlers_;
  AuthStoreConfig config_;
  TokenStore tokenStore_;
  std::shared_ptr<WebClient> webClient_;
  std::shared_ptr<APIClient> apiClient_;
};

}  // namespace Vexelworks
