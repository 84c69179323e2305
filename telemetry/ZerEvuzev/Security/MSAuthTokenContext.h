// The user's auth tokens over time. The history (at most 5 entries, oldest first, the last one
// current; an entry without a token stands for a signed-out span) is persisted encrypted under
// the user-defaults key "MSZerEvuzevAuthTokenHistory". Delegates (the channel units) hear of a
// new token or account and are asked to refresh a token that expires soon. Every member takes
// the context's lock; delegates are called after it is released, on the caller's thread.
#pragma once

#include "telemetry/ZerEvuzev/Context/MSHistoryInfo.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Security/MSAuthTokenValidityInfo.h"
#include "telemetry/ZerEvuzev/Security/MSEncrypter.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class MSAuthTokenContext;

// Every callback is optional: the defaults do nothing.
class MSAuthTokenContextDelegate {
 public:
  virtual ~MSAuthTokenContextDelegate() = default;
  virtual void authTokenContextDidUpdateAuthToken(MSAuthTokenContext& /*context*/,
                                                  const std::optional<std::string>& /*authToken*/) {}
  // The account id is cut to its first 36 characters.
  virtual void authTokenContextDidUpdateAccountId(MSAuthTokenContext& /*context*/,
                                                  const std::optional<std::string>& /*accountId*/) {}
  virtual void authTokenContextRefreshAuthTokenForAccountId(MSAuthTokenContext& /*context*/,
                                                            const std::optional<std::string>& /*accountId*/) {}
};

using MSAuthTokenInfoPtr = std::shared_ptr<MSAuthTokenInfo>;

class MSAuthTokenContext {
 public:
  static constexpr const char* kMSAuthTokenHistoryKey = "MSZerEvuzevAuthTokenHistory";
  static constexpr std::size_t kMSMaxAuthTokenArraySize = 5;
  static constexpr std::size_t kMSMaxAccountIdLengthInDelegate = 36;

  // Made on first use over the shared user defaults.
  static std::shared_ptr<MSAuthTokenContext> sharedInstance();
  // Drops the shared instance; the next sharedInstance() makes a new one.
  static void resetSharedInstance();

  explicit MSAuthTokenContext(std::shared_ptr<MSUserDefaults> defaults = MSUserDefaults::shared());

  // Appends the token (with its account and expiry) to the history unless it is the current one
  // already; without a token, account and expiry are ignored (signed out).
  void setAuthToken(const std::optional<std::string>& authToken, const std::optional<std::string>& accountId,
                    const std::optional<vx::Date>& expiresOn);

  // Held weakly: a delegate that is gone is skipped.
  void addDelegate(const std::shared_ptr<MSAuthTokenContextDelegate>& delegate);
  void removeDelegate(const std::shared_ptr<MSAuthTokenContextDelegate>& delegate);

  // The current (last) entry's token and account id.
  std::optional<std::string> authToken();
  std::optional<std::string> accountId();

  // One span per history entry, oldest first (its end: the next entry's start, else its
  // expiry); one empty span for an empty history.
  std::vector<MSAuthTokenValidityInfo> authTokenValidityArray();

  // Removes the oldest entry when it holds this token and is not the only one.
  void removeAuthToken(const std::optional<std::string>& authToken);

  // The history, loaded (and decrypted) on first use; empty when nothing readable is stored.
  std::vector<MSAuthTokenInfoPtr> authTokenHistory();
  // Keeps and persists a non-empty history that archives and encrypts; otherwise changes
  // nothing (warning).
  void setAuthTokenHistory(const std::vector<MSAuthTokenInfoPtr>& history);

  // Asks the delegates to refresh the current token when the span is the current token's and it
  // expires soon.
  void checkIfTokenNeedsToBeRefreshed(const MSAuthTokenValidityInfo& tokenValidityInfo);

  // Start-up: clears the token unless preventResetAuthTokenAfterStart() came first.
  void finishInitialize();
  void preventResetAuthTokenAfterStart();
  bool resetAuthTokenRequired();

 private:
  std::vector<MSAuthTokenInfoPtr>& historyLocked();
  void setAuthTokenHistoryLocked(const std::vector<MSAuthTokenInfoPtr>& history);
  std::vector<std::shared_ptr<MSAuthTokenContextDelegate>> delegatesSnapshotLocked();

  std::shared_ptr<MSUserDefaults> defaults_;
  MSEncrypter encrypter_;
  std::mutex mutex_;
  bool resetAuthTokenRequired_ = true;
  std::optional<std::vector<MSAuthTokenInfoPtr>> history_;
  std::vector<std::weak_ptr<MSAuthTokenContextDelegate>> delegates_;
};
