#include "telemetry/ZerEvuzev/Context/MSSessionContext.h"

#include "platform/foundation/Clock.h"
#include "telemetry/ZerEvuzev/Context/MSHistoryStore.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

namespace {

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<MSSessionContext>& sharedSlot() {
  static std::shared_ptr<MSSessionContext> instance;
  return instance;
}

}  // namespace

std::shared_ptr<MSSessionContext> MSSessionContext::sharedInstance() {
  std::lock_guard lock(sharedMutex());
  if (!sharedSlot()) sharedSlot() = std::make_shared<MSSessionContext>();
  return sharedSlot();
}

void MSSessionContext::resetSharedInstance() {
  std::lock_guard lock(sharedMutex());
  sharedSlot().reset();
}

MSSessionContext::MSSessionContext(std::shared_ptr<MSUserDefaults> defaults) : defaults_(std::move(defaults)) {
  sessionHistory_ = MSLoadHistory<MSSessionHistoryInfo>(*defaults_, kHistoryKey);
  MSLogDebug(kMSLogTag, "%zu session(s) in the history.", sessionHistory_.size());
  currentSessionInfo_ = std::make_shared<MSSessionHistoryInfo>(vx::wallNow(), std::nullopt);
  sessionHistory_.push_back(currentSessionInfo_);
}

std::optional<std::string> MSSessionContext::sessionId() const {
  std::lock_guard lock(mutex_);
  return currentSessionInfo_->sessionId;
}

void MSSessionContext::setSessionId(const std::optional<std::string>& sessionId) {
  std::lock_guard lock(mutex_);
  // Only this launch's own entry is replaced; after a clear without keeping it the history may
  // end with an entry of an earlier launch, which must stay.
  if (!sessionHistory_.empty() && sessionHistory_.back() == currentSessionInfo_) sessionHistory_.pop_back();
  currentSessionInfo_->sessionId = sessionId;
  currentSessionInfo_->timestamp = vx::wallNow();
  sessionHistory_.push_back(currentSessionInfo_);
  saveHistoryLocked();
  MSLogVerbose(kMSLogTag, "Stored new session with id:%s and timestamp: %s.", sessionId ? sessionId->c_str() : "(null)",
               MSUtility::dateToISO8601(*currentSessionInfo_->timestamp).c_str());
}

std::optional<std::string> MSSessionContext::sessionIdAt(vx::Date date) const {
  std::lock_guard lock(mutex_);
  return MSValueAt(sessionHistory_, date, [](const MSSessionHistoryInfo& info) { return info.sessionId; });
}

void MSSessionContext::clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession) {
  std::lock_guard lock(mutex_);
  sessionHistory_.clear();
  if (keepCurrentSession) sessionHistory_.push_back(currentSessionInfo_);
  saveHistoryLocked();
  MSLogVerbose(kMSLogTag, "Cleared old sessions.");
}

MSSessionHistoryInfo MSSessionContext::currentSessionInfo() const {
  std::lock_guard lock(mutex_);
  return *currentSessionInfo_;
}

std::vector<MSSessionHistoryInfo> MSSessionContext::sessionHistory() const {
  std::lock_guard lock(mutex_);
  std::vector<MSSessionHistoryInfo> copy;
  copy.reserve(sessionHistory_.size());
  for (const auto& info : sessionHistory_) copy.push_back(*info);
  return copy;
}

void MSSessionContext::saveHistoryLocked() { MSSaveHistory(*defaults_, kHistoryKey, sessionHistory_); }
