#include "telemetry/ZerEvuzevAnalytics/Internals/Session/MSSessionTracker.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/UUID.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSStartSessionLog.h"

#include <chrono>

namespace {

constexpr const char* kTag = "ZerEvuzevAnalytics";

double secondsBetween(vx::Date later, vx::Date earlier) {
  return std::chrono::duration<double>(later - earlier).count();
}

}  // namespace

MSSessionTracker::MSSessionTracker()
    : context_(MSSessionContext::sharedInstance()), applicationStateProvider_(&MSUtility::applicationState) {
  MSUserDefaults::shared()->removeObjectForKey(kMSPastSessionsKey);
}

MSSessionTracker::~MSSessionTracker() = default;

void MSSessionTracker::setDelegate(const std::shared_ptr<MSSessionTrackerDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = delegate;
}

double MSSessionTracker::sessionTimeout() const {
  std::lock_guard lock(mutex_);
  return sessionTimeout_;
}

void MSSessionTracker::setSessionTimeout(double seconds) {
  std::lock_guard lock(mutex_);
  sessionTimeout_ = seconds;
}

void MSSessionTracker::setApplicationStateProvider(std::function<MSApplicationState()> provider) {
  std::lock_guard lock(mutex_);
  applicationStateProvider_ =
      provider ? std::move(provider) : std::function<MSApplicationState()>(&MSUtility::applicationState);
}

void MSSessionTracker::start() {
  std::lock_guard lock(mutex_);
  if (started_) return;
  started_ = true;
  const MSApplicationState state = applicationStateProvider_();
  if (state == MSApplicationState::Active || state == MSApplicationState::Inactive) renewSessionId();
  MSAppDelegateForwarder::sharedInstance()->addDelegate(shared_from_this());
}

void MSSessionTracker::stop() {
  std::lock_guard lock(mutex_);
  if (!started_) return;
  MSAppDelegateForwarder::sharedInstance()->removeDelegate(shared_from_this());
  started_ = false;
  context_->setSessionId(std::nullopt);
}

bool MSSessionTracker::isStarted() const {
  std::lock_guard lock(mutex_);
  return started_;
}

void MSSessionTracker::renewSessionId() {
  std::lock_guard lock(mutex_);
  if (!started_) return;
  if (context_->sessionId() && !hasSessionTimedOutLocked()) return;
  const std::string sessionId = vx::UUID::make().uuidString();
  context_->setSessionId(sessionId);
  MSLogInfo(kTag, "New session ID: %s", sessionId.c_str());
  auto log = std::make_shared<MSStartSessionLog>();
  log->sid = sessionId;
  if (auto delegate = delegate_.lock()) delegate->sessionTrackerProcessLog(*this, log);
}

bool MSSessionTracker::hasSessionTimedOut() {
  std::lock_guard lock(mutex_);
  return hasSessionTimedOutLocked();
}

bool MSSessionTracker::hasSessionTimedOutLocked() {
  const vx::Date now = vx::wallNow();
  std::optional<vx::Date> lastLog, foreground, background;
  {
    std::lock_guard times(timesMutex_);
    lastLog = lastCreatedLogTime_;
    foreground = lastEnteredForegroundTime_;
    background = lastEnteredBackgroundTime_;
  }
  const bool noLogSinceTimeout = !lastLog || secondsBetween(now, *lastLog) >= sessionTimeout_;
  // An application extension (an executable inside ".appex/") has no activity of its own.
  if (applicationStateProvider_() == MSApplicationState::Extension) return noLogSinceTimeout;
  const bool isInactiveForLong =
      background && foreground && *background > *foreground && secondsBetween(now, *background) >= sessionTimeout_;
  // A missing foreground time counts as no time spent away.
  const bool wasInactiveForLong =
      background && (foreground ? secondsBetween(*foreground, *background) : 0.0) >= sessionTimeout_;
  return noLogSinceTimeout && (isInactiveForLong || wasInactiveForLong);
}

void MSSessionTracker::applicationDidEnterBackground() {
  std::lock_guard times(timesMutex_);
  lastEnteredBackgroundTime_ = vx::wallNow();
}

void MSSessionTracker::applicationWillEnterForeground() {
  {
    std::lock_guard times(timesMutex_);
    lastEnteredForegroundTime_ = vx::wallNow();
  }
  renewSessionId();
}

std::optional<vx::Date> MSSessionTracker::lastCreatedLogTime() const {
  std::lock_guard times(timesMutex_);
  return lastCreatedLogTime_;
}

std::optional<vx::Date> MSSessionTracker::lastEnteredForegroundTime() const {
  std::lock_guard times(timesMutex_);
  return lastEnteredForegroundTime_;
}

std::optional<vx::Date> MSSessionTracker::lastEnteredBackgroundTime() const {
  std::lock_guard times(timesMutex_);
  return lastEnteredBackgroundTime_;
}

void MSSessionTracker::channelPrepareLog(MSChannelProtocol*, const MSLogPtr& log) {
  if (!log) return;
  if (dynamic_cast<MSStartSessionLog*>(log.get()) != nullptr ||
      dynamic_cast<MSStartServiceLog*>(log.get()) != nullptr) {
    return;
  }
  if (dynamic_cast<MSNoAutoAssignSessionIdLog*>(log.get()) == nullptr) log->sid = context_->sessionId();
  std::lock_guard times(timesMutex_);
  lastCreatedLogTime_ = vx::wallNow();
}
