#include "telemetry/ZerEvuzev/Context/MSUserIdContext.h"

#include "platform/foundation/Clock.h"
#include "telemetry/ZerEvuzev/Context/MSHistoryStore.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCSModelConstants.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <algorithm>

namespace {

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<MSUserIdContext>& sharedSlot() {
  static std::shared_ptr<MSUserIdContext> instance;
  return instance;
}

}  // namespace

std::shared_ptr<MSUserIdContext> MSUserIdContext::sharedInstance() {
  std::lock_guard lock(sharedMutex());
  if (!sharedSlot()) sharedSlot() = std::make_shared<MSUserIdContext>();
  return sharedSlot();
}

void MSUserIdContext::resetSharedInstance() {
  std::lock_guard lock(sharedMutex());
  sharedSlot().reset();
}

bool MSUserIdContext::isUserIdValidForZerEvuzev(const std::optional<std::string>& userId) {
  if (!userId) return true;
  if (MSUtility::utf8Length(*userId) > kMaxUserIdLength) {
    MSLogError(kMSLogTag, "userId is limited to %d characters.", static_cast<int>(kMaxUserIdLength));
    return false;
  }
  return true;
}

bool MSUserIdContext::isUserIdValidForUniCollector(const std::optional<std::string>& userId) {
  if (!userId) return true;
  if (userId->empty()) {
    MSLogError(kMSLogTag, "userId must not be empty.");
    return false;
  }
  const std::size_t colon = userId->find(':');
  if (colon == std::string::npos) return true;
  const std::string prefix = userId->substr(0, colon);
  if (prefix != MSCSModelConstants::kUserIdPrefix) {
    MSLogError(kMSLogTag, "userId prefix must be '%s', '%s' is not supported.", MSCSModelConstants::kUserIdPrefix,
               prefix.c_str());
    return false;
  }
  if (colon == userId->size() - 1) {
    MSLogError(kMSLogTag, "userId must not be empty.");
    return false;
  }
  return true;
}

std::optional<std::string> MSUserIdContext::prefixedUserIdFromUserId(const std::optional<std::string>& userId) {
  if (!userId || userId->find(':') != std::string::npos) return userId;
  return std::string(MSCSModelConstants::kUserIdPrefix) + ":" + *userId;
}

MSUserIdContext::MSUserIdContext(std::shared_ptr<MSUserDefaults> defaults) : defaults_(std::move(defaults)) {
  userIdHistory_ = MSLoadHistory<MSUserIdHistoryInfo>(*defaults_, kHistoryKey);
  MSLogDebug(kMSLogTag, "%zu userId(s) in the history.", userIdHistory_.size());
  currentUserIdInfo_ = std::make_shared<MSUserIdHistoryInfo>(vx::wallNow(), std::nullopt);
  userIdHistory_.push_back(currentUserIdInfo_);
  std::lock_guard lock(mutex_);
  saveHistoryLocked();
}

std::optional<std::string> MSUserIdContext::userId() const {
  std::lock_guard lock(mutex_);
  return currentUserIdInfo_->userId;
}

void MSUserIdContext::setUserId(const std::optional<std::string>& userId) {
  std::vector<std::shared_ptr<MSUserIdContextDelegate>> delegates;
  {
    std::lock_guard lock(mutex_);
    if (userId == currentUserIdInfo_->userId) return;
    currentUserIdInfo_->timestamp = vx::wallNow();
    currentUserIdInfo_->userId = userId;
    if (!userIdHistory_.empty() && userIdHistory_.back() == currentUserIdInfo_) userIdHistory_.pop_back();
    userIdHistory_.push_back(currentUserIdInfo_);
    saveHistoryLocked();
    MSLogVerbose(kMSLogTag, "Stored new userId:%s and timestamp: %s.", userId ? userId->c_str() : "(null)",
                 MSUtility::dateToISO8601(*currentUserIdInfo_->timestamp).c_str());
    for (const auto& weak : delegates_) {
      if (auto delegate = weak.lock()) delegates.push_back(std::move(delegate));
    }
  }
  for (const auto& delegate : delegates) delegate->userIdContextDidUpdateUserId(*this, userId);
}

std::optional<std::string> MSUserIdContext::userIdAt(vx::Date date) const {
  std::lock_guard lock(mutex_);
  return MSValueAt(userIdHistory_, date, [](const MSUserIdHistoryInfo& info) { return info.userId; });
}

void MSUserIdContext::clearUserIdHistory() {
  std::lock_guard lock(mutex_);
  userIdHistory_.clear();
  userIdHistory_.push_back(currentUserIdInfo_);
  saveHistoryLocked();
  MSLogVerbose(kMSLogTag, "Cleared old userIds while keeping current userId.");
}

void MSUserIdContext::addDelegate(const std::shared_ptr<MSUserIdContextDelegate>& delegate) {
  if (!delegate) return;
  std::lock_guard lock(mutex_);
  std::erase_if(delegates_, [](const auto& weak) { return weak.expired(); });
  for (const auto& weak : delegates_) {
    if (weak.lock() == delegate) return;
  }
  delegates_.push_back(delegate);
}

void MSUserIdContext::removeDelegate(const std::shared_ptr<MSUserIdContextDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  std::erase_if(delegates_, [&](const auto& weak) {
    auto held = weak.lock();
    return !held || held == delegate;
  });
}

MSUserIdHistoryInfo MSUserIdContext::currentUserIdInfo() const {
  std::lock_guard lock(mutex_);
  return *currentUserIdInfo_;
}

std::vector<MSUserIdHistoryInfo> MSUserIdContext::userIdHistory() const {
  std::lock_guard lock(mutex_);
  std::vector<MSUserIdHistoryInfo> copy;
  copy.reserve(userIdHistory_.size());
  for (const auto& info : userIdHistory_) copy.push_back(*info);
  return copy;
}

void MSUserIdContext::saveHistoryLocked() { MSSaveHistory(*defaults_, kHistoryKey, userIdHistory_); }
