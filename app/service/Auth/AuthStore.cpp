#include "app/service/Auth/AuthStore.h"

#include "app/service/Auth/ErrorReporting.h"
#include "app/service/Helpers.h"
#include "app/service/Logger.h"
#include "app/service/Settings.h"
#include "app/service/TDOAuth.h"

#include "platform/foundation/DispatchQueue.h"

#include <cmath>
#include <limits>

namespace Vexelworks {

namespace {

void authLog(std::string_view level, const std::string& message, std::string_view function, int line) {
  log(message, level, function, "AuthStore", line);
}

std::string describe(const std::optional<vx::Error>& error) { return error ? error->toString() : std::string("nil"); }

// The offset saved by the last sign-in, when it is a whole number of seconds within 32 bits.
std::optional<std::int32_t> savedTimeOffset() {
  const double saved = settingDouble(SettingKeys::timeOffset, SettingFallbacks::timeOffset);
  if (!std::isfinite(saved) || saved != std::trunc(saved) || saved < std::numeric_limits<std::int32_t>::min() ||
      saved > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(saved);
}

}  // namespace

AuthStore::AuthStore(AuthStoreConfig config)
    : config_(std::move(config)),
      tokenStore_(kAccessTokenAccount),
      webClient_(std::make_shared<WebClient>(config_.wwwURL)) {}

std::shared_ptr<AuthStore> AuthStore::make(AuthStoreConfig config) {
  std::shared_ptr<AuthStore> store(new AuthStore(std::move(config)));
  if (auto token = store->tokenStore_.getToken()) {
    store->setAPIClient(APIClient::make(store->config_.apiURL, *token));
    // Signatures made before the first reply corrects the clock use the last known offset
    // instead of none.
    if (auto offset = savedTimeOffset()) TDOAuth::setUtcTimeOffset(*offset);
  }
  return store;
}

void AuthStore::addHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  handlers_.push_back(std::move(handler));
}

std::size_t AuthStore::handlerCount() const {
  std::lock_guard lock(mutex_);
  return handlers_.size();
}

std::shared_ptr<APIClient> AuthStore::apiClient() const {
  std::lock_guard lock(mutex_);
  return apiClient_;
}

void AuthStore::setAPIClient(std::shared_ptr<APIClient> client) {
  std::lock_guard lock(mutex_);
  apiClient_ = std::move(client);
}

void AuthStore::notify(const AuthStoreChange& change) {
  std::vector<Handler> handlers;
  {
    std::lock_guard lock(mutex_);
    handlers = handlers_;
  }
  for (auto& handler : handlers) {
    runOnMain([handler = std::move(handler), change] { handler(change); });
  }
}

void AuthStore::dispatch(const Action& action) {
  if (const auto* logInAction = std::get_if<Actions::LogIn>(&action)) {
    auto self = shared_from_this();
    webClient_->exchangeToken(
        logInAction->token,
        [self](std::optional<AccessToken> token, std::optional<std::int32_t> offset, std::optional<vx::Error> error) {
          // Everything the exchange changes happens on the main queue, never on the session's
          // thread.
          runOnMain([self, token = std::move(token), offset, error = std::move(error)]() mutable {
            self->logInWithAppToken(std::move(token), offset, std::move(error));
          });
        });
  } else if (std::holds_alternative<Actions::LogOut>(action)) {
    tokenStore_.deleteToken();
    setReportedUser(std::nullopt);
    notify(AuthStoreChanges::LoggedOut{});
  } else if (std::holds_alternative<Actions::RefreshUser>(action)) {
    refreshUser();
  }
}

void AuthStore::logInWithAppToken(std::optional<AccessToken> token, std::optional<std::int32_t> offset,
                                  std::optional<vx::Error> error) {
  if (!token || !offset) {
    authLog("DEBUG", "Error loading access token: " + describe(error), "logInWithAppToken(_:)", __LINE__);
    notify(AuthStoreChanges::LogInFailed{std::move(error)});
    return;
  }
  tokenStore_.saveToken(*token);
  TDOAuth::setUtcTimeOffset(*offset);
  setSettingDouble(SettingKeys::timeOffset, static_cast<double>(*offset));
  setSettingBool(SettingKeys::firstLogin, false);
  // The token's key identifies the user's session: it stays out of the log like the secret.
  authLog("DEBUG", "Logged in with a new token, offset: " + std::to_string(*offset) + ".0", "logInWithAppToken(_:)",
          __LINE__);
  setAPIClient(APIClient::make(config_.apiURL, *token));
  Vexelworks::dispatch(Actions::ChangeAccessToken{*token});
  logIn();
}

void AuthStore::logIn() { loadUser(false); }

void AuthStore::refreshUser() { loadUser(true); }

void AuthStore::loadUser(bool refreshing) {
  auto api = apiClient();
  if (!api) return;
  auto self = shared_from_this();
  const char* function = refreshing ? "refreshUser()" : "logIn()";
  api->loadUser([self, refreshing, function](std::optional<VexelUser> user, std::optional<vx::Error> error) {
    if (!user) {
      authLog("DEBUG", "Error loading user: " + describe(error), function, __LINE__);
      self->notify(AuthStoreChanges::LogInFailed{std::move(error)});
      return;
    }
    authLog("DEBUG", (refreshing ? "Refreshed user: " : "Logged in as: ") + user->username, function, __LINE__);
    setReportedUser(*user);
    if (refreshing) {
      self->notify(AuthStoreChanges::RefreshedUser{*user});
    } else {
      self->notify(AuthStoreChanges::LoggedIn{*user});
    }
  });
}

}  // namespace Vexelworks
