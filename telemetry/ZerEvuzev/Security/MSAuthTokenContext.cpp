#include "telemetry/ZerEvuzev/Security/MSAuthTokenContext.h"

#include "platform/foundation/Clock.h"
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <algorithm>

namespace {

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<MSAuthTokenContext>& sharedSlot() {
  static std::shared_ptr<MSAuthTokenContext> instance;
  return instance;
}

}  // namespace

std::shared_ptr<MSAuthTokenContext> MSAuthTokenContext::sharedInstance() {
  std::lock_guard lock(sharedMutex());
  if (!sharedSlot()) sharedSlot() = std::make_shared<MSAuthTokenContext>();
  return sharedSlot();
}

void MSAuthTokenContext::resetSharedInstance() {
  std::lock_guard lock(sharedMutex());
  sharedSlot().reset();
}

MSAuthTokenContext::MSAuthTokenContext(std::shared_ptr<MSUserDefaults> defaults)
    : defaults_(std::move(defaults)), encrypter_(defaults_) {}

void MSAuthTokenContext::setAuthToken(const std::optional<std::string>& authToken,
                                      const std::optional<std::string>& accountId,
                                      const std::optional<vx::Date>& expiresOn) {
  const std::optional<std::string> newAccountId = authToken ? accountId : std::nullopt;
  const std::optional<vx::Date> newExpiresOn = authToken ? expiresOn : std::nullopt;
  std::vector<std::shared_ptr<MSAuthTokenContextDelegate>> delegates;
  bool isNewAccount = false;
  {
    std::lock_guard lock(mutex_);
    std::vector<MSAuthTokenInfoPtr> history = historyLocked();
    const MSAuthTokenInfoPtr last = history.empty() ? nullptr : history.back();
    if (last && last->authToken() == authToken) return;
    isNewAccount = !last || last->accountId() != newAccountId;

    const vx::Date now = vx::wallNow();
    vx::Date start = now;
    if (last && last->expiresOn() && now > *last->expiresOn()) {
      if (authToken && isNewAccount) {
        // The old token lapsed before this account signed in: that gap was signed out.
        history.push_back(std::make_shared<MSAuthTokenInfo>(std::nullopt, std::nullopt, *last->expiresOn(), now));
      } else {
        start = *last->expiresOn();
      }
    }
    if (authToken || !history.empty()) {
      history.push_back(std::make_shared<MSAuthTokenInfo>(authToken, newAccountId, start, newExpiresOn));
    }
    if (history.size() > kMSMaxAuthTokenArraySize) {
      history.erase(history.begin(), history.end() - static_cast<std::ptrdiff_t>(kMSMaxAuthTokenArraySize));
      MSLogDebug(kMSLogTag, "Size of the token history is exceeded. The oldest token has been removed.");
    }
    delegates = delegatesSnapshotLocked();
    setAuthTokenHistoryLocked(history);
  }
  for (const auto& delegate : delegates) {
    delegate->authTokenContextDidUpdateAuthToken(*this, authToken);
    if (isNewAccount) {
      std::optional<std::string> shown = newAccountId;
      if (shown) shown = MSUtility::utf8Prefix(*shown, kMSMaxAccountIdLengthInDelegate);
      delegate->authTokenContextDidUpdateAccountId(*this, shown);
    }
  }
}

void MSAuthTokenContext::addDelegate(const std::shared_ptr<MSAuthTokenContextDelegate>& delegate) {
  if (!delegate) return;
  std::lock_guard lock(mutex_);
  for (const auto& existing : delegates_) {
    if (existing.lock() == delegate) return;
  }
  delegates_.push_back(delegate);
}

void MSAuthTokenContext::removeDelegate(const std::shared_ptr<MSAuthTokenContextDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  std::erase_if(delegates_, [&](const auto& existing) {
    auto strong = existing.lock();
    return !strong || strong == delegate;
  });
}

// Read under the lock: the history is replaced by setters on other threads.
std::optional<std::string> MSAuthTokenContext::authToken() {
  std::lock_guard lock(mutex_);
  const auto& history = historyLocked();
  return history.empty() ? std::nullopt : history.back()->authToken();
}

std::optional<std::string> MSAuthTokenContext::accountId() {
  std::lock_guard lock(mutex_);
  const auto& history = historyLocked();
  return history.empty() ? std::nullopt : history.back()->accountId();
}

std::vector<MSAuthTokenValidityInfo> MSAuthTokenContext::authTokenValidityArray() {
  std::lock_guard lock(mutex_);
  const auto& history = historyLocked();
  std::vector<MSAuthTokenValidityInfo> result;
  if (history.empty()) {
    result.emplace_back(std::nullopt, std::nullopt, std::nullopt);
    return result;
  }
  for (std::size_t i = 0; i < history.size(); ++i) {
    const auto& entry = history[i];
    std::optional<vx::Date> end = entry->expiresOn();
    if (i + 1 < history.size() && history[i + 1]->startTime()) end = history[i + 1]->startTime();
    result.emplace_back(entry->authToken(), entry->startTime(), end);
  }
  return result;
}

void MSAuthTokenContext::removeAuthToken(const std::optional<std::string>& authToken) {
  std::lock_guard lock(mutex_);
  std::vector<MSAuthTokenInfoPtr> history = historyLocked();
  if (history.size() <= 1) {
    MSLogDebug(kMSLogTag, "Couldn't remove token from history; token history is empty or contains only current one.");
    return;
  }
  if (history.front()->authToken() != authToken) {
    MSLogDebug(kMSLogTag, "Couldn't remove token from history; the token isn't oldest or is already removed.");
    return;
  }
  history.erase(history.begin());
  setAuthTokenHistoryLocked(history);
  MSLogDebug(kMSLogTag, "The token has been removed from the history.");
}

std::vector<MSAuthTokenInfoPtr> MSAuthTokenContext::authTokenHistory() {
  std::lock_guard lock(mutex_);
  return historyLocked();
}

void MSAuthTokenContext::setAuthTokenHistory(const std::vector<MSAuthTokenInfoPtr>& history) {
  std::lock_guard lock(mutex_);
  setAuthTokenHistoryLocked(history);
}

std::vector<MSAuthTokenInfoPtr>& MSAuthTokenContext::historyLocked() {
  if (history_) return *history_;
  std::vector<MSAuthTokenInfoPtr> loaded;
  bool ok = false;
  const auto stored = defaults_->objectForKey(kMSAuthTokenHistoryKey);
  if (stored && stored->dataValue()) {
    if (auto plain = encrypter_.decryptData(*stored->dataValue())) {
      auto history = MSUnarchiveObjects<MSAuthTokenInfo>(*plain);
      if (history) {
        loaded = std::move(history.value());
        ok = true;
      }
    }
  }
  if (ok) {
    MSLogDebug(kMSLogTag, "Retrieved history state.");
  } else {
    MSLogWarning(kMSLogTag, "Failed to retrieve history state or none was found.");
  }
  history_ = std::move(loaded);
  return *history_;
}

void MSAuthTokenContext::setAuthTokenHistoryLocked(const std::vector<MSAuthTokenInfoPtr>& history) {
  std::optional<vx::Bytes> encrypted;
  if (!history.empty()) {
    auto archived = MSArchivedData(vx::ArchivableArray(history.begin(), history.end()));
    if (archived) encrypted = encrypter_.encryptData(*archived);
  }
  if (!encrypted) {
    MSLogWarning(kMSLogTag, "Failed to save new history state.");
    return;
  }
  history_ = history;
  defaults_->setObject(vx::Value(std::move(*encrypted)), kMSAuthTokenHistoryKey);
  MSLogDebug(kMSLogTag, "Saved new history state.");
}

std::vector<std::shared_ptr<MSAuthTokenContextDelegate>> MSAuthTokenContext::delegatesSnapshotLocked() {
  std::vector<std::shared_ptr<MSAuthTokenContextDelegate>> snapshot;
  for (const auto& weak : delegates_) {
    if (auto delegate = weak.lock()) snapshot.push_back(std::move(delegate));
  }
  return snapshot;
}

void MSAuthTokenContext::checkIfTokenNeedsToBeRefreshed(const MSAuthTokenValidityInfo& tokenValidityInfo) {
  std::vector<std::shared_ptr<MSAuthTokenContextDelegate>> delegates;
  std::optional<std::string> currentAccountId;
  {
    std::lock_guard lock(mutex_);
    const auto& history = historyLocked();
    if (history.empty()) return;
    const auto& current = history.back();
    if (!tokenValidityInfo.authToken() || tokenValidityInfo.authToken() != current->authToken()) return;
    if (!tokenValidityInfo.expiresSoon()) return;
    currentAccountId = current->accountId();
    delegates = delegatesSnapshotLocked();
  }
  for (const auto& delegate : delegates) {
    MSLogInfo(kMSLogTag, "The token needs to be refreshed.");
    delegate->authTokenContextRefreshAuthTokenForAccountId(*this, currentAccountId);
  }
}

void MSAuthTokenContext::finishInitialize() {
  {
    std::lock_guard lock(mutex_);
    if (!resetAuthTokenRequired_) return;
    resetAuthTokenRequired_ = false;
  }
  setAuthToken(std::nullopt, std::nullopt, std::nullopt);
}

void MSAuthTokenContext::preventResetAuthTokenAfterStart() {
  std::lock_guard lock(mutex_);
  resetAuthTokenRequired_ = false;
}

bool MSAuthTokenContext::resetAuthTokenRequired() {
  std::lock_guard lock(mutex_);
  return resetAuthTokenRequired_;
}
