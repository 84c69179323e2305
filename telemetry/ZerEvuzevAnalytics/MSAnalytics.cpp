#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/UTF8.h"
#include "platform/foundation/UUID.h"
#include "telemetry/ZerEvuzev/Context/MSSessionContext.h"
#include "telemetry/ZerEvuzev/Context/MSUserIdContext.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSStartSessionLog.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalyticsCategory.h"
#include "telemetry/ZerEvuzevAnalytics/TransmissionTarget/MSAnalyticsTransmissionTarget.h"

namespace {

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<MSAnalytics>& sharedSlot() {
  static std::shared_ptr<MSAnalytics> instance;
  return instance;
}

template <class T>
void registerClass() {
  vx::KeyedUnarchiver::registerClass<T>(T().className());
}

}  // namespace

// ---- Shared instance ----

std::shared_ptr<MSAnalytics> MSAnalytics::sharedInstance() {
  std::lock_guard lock(sharedMutex());
  if (!sharedSlot()) {
    auto instance = std::make_shared<MSAnalytics>();
    instance->sessionTracker_->setDelegate(instance);
    sharedSlot() = std::move(instance);
  }
  return sharedSlot();
}

void MSAnalytics::resetSharedInstance() {
  std::lock_guard lock(sharedMutex());
  sharedSlot().reset();
}

void MSAnalytics::registerArchivableClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    registerClass<MSEventProperties>();
    registerClass<MSLogWithNameAndProperties>();
    registerClass<MSPageLog>();
    registerClass<MSEventLog>();
    registerClass<MSStartSessionLog>();
  });
}

MSAnalytics::MSAnalytics() : sessionTracker_(std::make_shared<MSSessionTracker>()) { registerArchivableClasses(); }

std::shared_ptr<MSAnalytics> MSAnalytics::self() { return std::static_pointer_cast<MSAnalytics>(shared_from_this()); }

// ---- Class operations ----

void MSAnalytics::trackEvent(const std::string& name) { trackEvent(name, std::optional<vx::ValueMap>()); }

void MSAnalytics::trackEvent(const std::string& name, const std::optional<vx::ValueMap>& properties) {
  trackEvent(name, properties, kMSFlagsNormal);
}

void MSAnalytics::trackEvent(const std::string& name, const std::optional<vx::ValueMap>& properties,
                             std::uint64_t flags) {
  sharedInstance()->trackEventInstance(name, properties, flags);
}

void MSAnalytics::trackEvent(const std::string& name, const std::shared_ptr<MSEventProperties>& typedProperties) {
  trackEvent(name, typedProperties, kMSFlagsNormal);
}

void MSAnalytics::trackEvent(const std::string& name, const std::shared_ptr<MSEventProperties>& typedProperties,
                             std::uint64_t flags) {
  sharedInstance()->trackEventInstance(name, typedProperties, nullptr, flags);
}

void MSAnalytics::trackEvent(const std::string& name, const std::shared_ptr<MSEventProperties>& typedProperties,
                             const std::shared_ptr<MSAnalyticsTransmissionTarget>& target, std::uint64_t flags) {
  sharedInstance()->trackEventInstance(name, typedProperties, target, flags);
}

std::shared_ptr<MSAnalyticsTransmissionTarget> MSAnalytics::transmissionTargetForToken(const std::string& token) {
  return sharedInstance()->transmissionTargetForTokenInstance(token);
}

void MSAnalytics::pauseTransmissionTargetForToken(const std::string& token) {
  sharedInstance()->pauseTransmissionTargetForTokenInstance(token);
}

void MSAnalytics::resumeTransmissionTargetForToken(const std::string& token) {
  sharedInstance()->resumeTransmissionTargetForTokenInstance(token);
}

void MSAnalytics::trackPage(const std::string& name) { trackPage(name, std::nullopt); }

void MSAnalytics::trackPage(const std::string& name, const std::optional<vx::ValueMap>& properties) {
  sharedInstance()->trackPageInstance(name, properties);
}

void MSAnalytics::pause() { sharedInstance()->pauseInstance(); }

void MSAnalytics::resume() { sharedInstance()->resumeInstance(); }

void MSAnalytics::setAutoPageTrackingEnabled(bool isEnabled) {
  sharedInstance()->setAutoPageTrackingEnabledInstance(isEnabled);
}

bool MSAnalytics::isAutoPageTrackingEnabled() { return sharedInstance()->autoPageTrackingEnabled(); }

void MSAnalytics::setTransmissionInterval(std::uint64_t seconds) {
  sharedInstance()->setTransmissionIntervalInstance(seconds);
}

void MSAnalytics::setDelegate(std::shared_ptr<MSAnalyticsDelegate> delegate) {
  auto instance = sharedInstance();
  std::lock_guard lock(instance->mutex_);
  instance->delegate_ = std::move(delegate);
}

// ---- Service ----

std::shared_ptr<MSChannelUnitConfiguration> MSAnalytics::channelUnitConfiguration() const {
  std::lock_guard lock(mutex_);
  return channelUnitConfiguration_;
}

void MSAnalytics::startWithChannelGroup(const std::shared_ptr<MSChannelGroupProtocol>& channelGroup,
                                        const std::optional<std::string>& appSecret,
                                        const std::optional<std::string>& transmissionTargetToken,
                                        bool fromApplication) {
  std::lock_guard instance(instanceMutex());
  {
    std::lock_guard lock(mutex_);
    channelUnitConfiguration_ = std::make_shared<MSChannelUnitConfiguration>(kMSGroupId, flushInterval_);
  }
  // The base makes the "Analytics" unit and applies the enabled state; the critical unit does not
  // exist yet, so that first application leaves it alone.
  MSServiceAbstract::startWithChannelGroup(channelGroup, appSecret, transmissionTargetToken, fromApplication);
  if (transmissionTargetToken) {
    auto target = createTransmissionTargetForToken(*transmissionTargetToken);
    std::lock_guard lock(mutex_);
    defaultTransmissionTarget_ = std::move(target);
  }
  if (channelGroup) {
    auto critical = channelGroup->addChannelUnitWithConfiguration(
        std::make_shared<MSChannelUnitConfiguration>(MSFormat("%s_%s", kMSGroupId, kMSCriticalGroupIdSuffix)));
    std::lock_guard lock(mutex_);
    criticalChannelUnit_ = std::move(critical);
  }
  MSAnalyticsCategory::activateCategory();
  MSLogVerbose(kMSLogTag, "Started Analytics service.");
}

void MSAnalytics::updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
                                                   const std::optional<std::string>& transmissionTargetToken) {
  std::lock_guard instance(instanceMutex());
  MSServiceAbstract::updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
  if (transmissionTargetToken && !defaultTransmissionTarget()) {
    auto target = createTransmissionTargetForToken(*transmissionTargetToken);
    std::lock_guard lock(mutex_);
    defaultTransmissionTarget_ = std::move(target);
  }
}

void MSAnalytics::setEnabled(bool isEnabled) {
  std::lock_guard instance(instanceMutex());
  MSServiceAbstract::setEnabled(isEnabled);
  std::map<std::string, std::shared_ptr<MSAnalyticsTransmissionTarget>> targets;
  {
    std::lock_guard lock(mutex_);
    targets = transmissionTargets_;
  }
  for (const auto& [token, target] : targets) target->setEnabled(isEnabled);
}

void MSAnalytics::applyEnabledState(bool isEnabled) {
  std::lock_guard instance(instanceMutex());
  MSServiceAbstract::applyEnabledState(isEnabled);
  // Kept here so sending never asks the base (and its lock) for the unit.
  auto normal = channelUnit();
  std::shared_ptr<MSChannelUnitProtocol> critical;
  {
    std::lock_guard lock(mutex_);
    normalChannelUnit_ = normal;
    critical = criticalChannelUnit_;
  }
  if (critical) critical->setEnabled(isEnabled, true);
  auto group = channelGroup();
  if (isEnabled) {
    if (isStartedFromApplication()) {
      resumeInstance();
      sessionTracker_->start();
      if (group) {
        group->addDelegate(sessionTracker_);
        group->addDelegate(self());
      }
      if (autoPageTrackingEnabled()) {
        vx::DispatchQueue::main()->async([] {
          const auto missed = MSAnalyticsCategory::missedPageViewName();
          if (missed && !missed->empty()) MSAnalytics::trackPage(*missed);
        });
      }
    }
    MSLogInfo(kMSLogTag, "Analytics service has been enabled.");
  } else {
    if (isStartedFromApplication()) {
      if (group) {
        group->removeDelegate(sessionTracker_);
        group->removeDelegate(self());
      }
      sessionTracker_->stop();
      MSSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(false);
    }
    MSLogInfo(kMSLogTag, "Analytics service has been disabled.");
  }
}

// ---- Tracking ----

void MSAnalytics::trackEventInstance(const std::string& name, const std::optional<vx::ValueMap>& properties,
                                     std::uint64_t flags) {
  std::shared_ptr<MSEventProperties> typed;
  if (properties) typed = std::make_shared<MSEventProperties>(removeInvalidProperties(*properties));
  trackEventInstance(name, typed, nullptr, flags);
}

void MSAnalytics::trackEventInstance(const std::string& name, const std::shared_ptr<MSEventProperties>& typedProperties,
                                     const std::shared_ptr<MSAnalyticsTransmissionTarget>& givenTarget,
                                     std::uint64_t flags) {
  std::lock_guard instance(instanceMutex());
  if (!canBeUsed() || !isEnabled()) return;
  const auto target = givenTarget ? givenTarget : defaultTransmissionTarget();
  std::uint64_t persistence = flags & kMSFlagsPersistenceMask;
  if (persistence != kMSFlagsNormal && persistence != kMSFlagsCritical) {
    MSLogWarning(kMSLogTag, "Invalid flags (%u) received, using normal as a default.",
                 static_cast<unsigned>(persistence));
    persistence = kMSFlagsNormal;
  }
  auto log = std::make_shared<MSEventLog>();
  std::shared_ptr<MSEventProperties> properties = typedProperties;
  if (target) {
    if (!target->isEnabled()) {
      MSLogError(kMSLogTag, "This transmission target is disabled.");
      return;
    }
    log->addTransmissionTargetToken(target->transmissionTargetToken());
    log->tag = target;
    if (target == defaultTransmissionTarget()) log->userId = MSUserIdContext::sharedInstance()->userId();
  } else if (typedProperties) {
    properties = validateZerEvuzevEventProperties(*typedProperties);
  }
  log->name = name;
  log->eventId = vx::UUID::make().uuidString();
  log->typedProperties = properties && !properties->isEmpty() ? properties : nullptr;
  sendLog(log, persistence);
}

void MSAnalytics::trackPageInstance(const std::string& name, const std::optional<vx::ValueMap>& properties) {
  std::lock_guard instance(instanceMutex());
  if (!canBeUsed() || !isEnabled()) return;
  auto log = std::make_shared<MSPageLog>();
  log->name = name;
  if (properties && !properties->empty()) log->properties = removeInvalidProperties(*properties);
  sendLog(log, kMSFlagsNormal);
}

void MSAnalytics::sendLog(const MSLogPtr& log, std::uint64_t flags) {
  std::shared_ptr<MSChannelUnitProtocol> unit;
  {
    std::lock_guard lock(mutex_);
    unit = (flags & kMSFlagsCritical) != 0 ? criticalChannelUnit_ : normalChannelUnit_;
  }
  if (unit) unit->enqueueItem(log, flags);
}

MSStringDictionary MSAnalytics::removeInvalidProperties(const vx::ValueMap& properties) {
  MSStringDictionary valid;
  for (const auto& entry : properties) {
    // Named, not structured bindings: the log macro's lambda captures the key.
    const std::string& key = entry.first;
    const vx::Value& value = entry.second;
    // A key is text by construction here; text that is not UTF-8 cannot be sent, so it counts as
    // an invalid key.
    if (!vx::utf8::isValid(key)) {
      MSLogWarning(kMSLogTag, "Event property contains an invalid key, dropping the property.");
      continue;
    }
    if (const std::string* text = value.stringValue()) {
      valid[key] = *text;
    } else {
      MSLogWarning(kMSLogTag, "Event property contains an invalid value for key %s, dropping the property.",
                   key.c_str());
    }
  }
  return valid;
}

void MSAnalytics::pauseInstance() {
  std::lock_guard instance(instanceMutex());
  if (!canBeUsed()) return;
  std::shared_ptr<MSChannelUnitProtocol> normal = channelUnit(), critical = criticalChannelUnit();
  const MSIdentifyingObject identity = shared_from_this();
  if (normal) normal->pauseWithIdentifyingObject(identity);
  if (critical) critical->pauseWithIdentifyingObject(identity);
}

void MSAnalytics::resumeInstance() {
  std::lock_guard instance(instanceMutex());
  if (!canBeUsed()) return;
  std::shared_ptr<MSChannelUnitProtocol> normal = channelUnit(), critical = criticalChannelUnit();
  const MSIdentifyingObject identity = shared_from_this();
  if (normal) normal->resumeWithIdentifyingObject(identity);
  if (critical) critical->resumeWithIdentifyingObject(identity);
}

void MSAnalytics::setTransmissionIntervalInstance(std::uint64_t seconds) {
  if (isStarted()) {
    MSLogError(kMSLogTag, "The transmission interval should be set before the MSAnalytics service is started.");
    return;
  }
  if (seconds < kMSMinFlushInterval || seconds > kMSMaxFlushInterval) {
    MSLogError(kMSLogTag,
               "The transmission interval is not valid, it should be between %u second(s) and %u second(s) (%u day).",
               static_cast<unsigned>(kMSMinFlushInterval), static_cast<unsigned>(kMSMaxFlushInterval), 1u);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    flushInterval_ = seconds;
  }
  MSLogDebug(kMSLogTag, "Transmission interval set to %u second(s)", static_cast<unsigned>(seconds));
}

bool MSAnalytics::autoPageTrackingEnabled() const {
  std::lock_guard lock(mutex_);
  return autoPageTrackingEnabled_;
}

void MSAnalytics::setAutoPageTrackingEnabledInstance(bool isEnabled) {
  std::lock_guard lock(mutex_);
  autoPageTrackingEnabled_ = isEnabled;
}

std::uint64_t MSAnalytics::flushInterval() const {
  std::lock_guard lock(mutex_);
  return flushInterval_;
}

void MSAnalytics::setFlushInterval(std::uint64_t seconds) {
  std::lock_guard lock(mutex_);
  flushInterval_ = seconds;
}

std::shared_ptr<MSAnalyticsDelegate> MSAnalytics::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

std::shared_ptr<MSAnalyticsTransmissionTarget> MSAnalytics::transmissionTargetForTokenInstance(
    const std::string& token) {
  {
    std::lock_guard lock(mutex_);
    if (auto found = transmissionTargets_.find(token); found != transmissionTargets_.end()) {
      MSLogDebug(kMSLogTag, "Returning transmission target found with id %s.",
                 MSUtility::targetKeyFromTargetToken(token).value_or("").c_str());
      return found->second;
    }
  }
  auto target = createTransmissionTargetForToken(token);
  std::lock_guard lock(mutex_);
  // Two threads asking at once keep the first target made.
  return transmissionTargets_.emplace(token, std::move(target)).first->second;
}

std::shared_ptr<MSAnalyticsTransmissionTarget> MSAnalytics::createTransmissionTargetForToken(const std::string& token) {
  auto target = MSAnalyticsTransmissionTarget::make(token, nullptr, channelGroup());
  MSLogDebug(kMSLogTag, "Created transmission target with target key %s.",
             MSUtility::targetKeyFromTargetToken(token).value_or("").c_str());
  return target;
}

void MSAnalytics::pauseTransmissionTargetForTokenInstance(const std::string& token) {
  if (auto unit = uniCollectorChannelUnit()) unit->pauseSendingLogsWithToken(token);
  if (auto unit = uniCollectorCriticalChannelUnit()) unit->pauseSendingLogsWithToken(token);
}

void MSAnalytics::resumeTransmissionTargetForTokenInstance(const std::string& token) {
  if (auto unit = uniCollectorChannelUnit()) unit->resumeSendingLogsWithToken(token);
  if (auto unit = uniCollectorCriticalChannelUnit()) unit->resumeSendingLogsWithToken(token);
}

std::shared_ptr<MSAnalyticsTransmissionTarget> MSAnalytics::defaultTransmissionTarget() const {
  std::lock_guard lock(mutex_);
  return defaultTransmissionTarget_;
}

std::shared_ptr<MSChannelUnitProtocol> MSAnalytics::uniCollectorChannelUnit() {
  {
    std::lock_guard lock(mutex_);
    if (uniCollectorChannelUnit_) return uniCollectorChannelUnit_;
  }
  auto group = channelGroup();
  if (!group) return nullptr;
  auto unit = group->channelUnitForGroupId(MSFormat("%s%s", kMSGroupId, kMSUniCollectorGroupIdSuffix));
  std::lock_guard lock(mutex_);
  uniCollectorChannelUnit_ = unit;
  return unit;
}

std::shared_ptr<MSChannelUnitProtocol> MSAnalytics::uniCollectorCriticalChannelUnit() {
  {
    std::lock_guard lock(mutex_);
    if (uniCollectorCriticalChannelUnit_) return uniCollectorCriticalChannelUnit_;
  }
  auto group = channelGroup();
  if (!group) return nullptr;
  auto unit = group->channelUnitForGroupId(
      MSFormat("%s_%s%s", kMSGroupId, kMSCriticalGroupIdSuffix, kMSUniCollectorGroupIdSuffix));
  std::lock_guard lock(mutex_);
  uniCollectorCriticalChannelUnit_ = unit;
  return unit;
}

std::shared_ptr<MSChannelUnitProtocol> MSAnalytics::criticalChannelUnit() const {
  std::lock_guard lock(mutex_);
  return criticalChannelUnit_;
}

// ---- Delegates ----

void MSAnalytics::sessionTrackerProcessLog(MSSessionTracker&, const MSLogPtr& log) { sendLog(log, kMSFlagsNormal); }

void MSAnalytics::channelWillSendLog(MSChannelProtocol*, const MSLogPtr& log) {
  auto target = delegate();
  if (!target) return;
  if (auto event = std::dynamic_pointer_cast<MSEventLog>(log)) {
    target->analyticsWillSendEventLog(*this, event);
  } else if (auto page = std::dynamic_pointer_cast<MSPageLog>(log)) {
    target->analyticsWillSendPageLog(*this, page);
  }
}

void MSAnalytics::channelDidSucceedSendingLog(MSChannelProtocol*, const MSLogPtr& log) {
  auto target = delegate();
  if (!target) return;
  if (auto event = std::dynamic_pointer_cast<MSEventLog>(log)) {
    target->analyticsDidSucceedSendingEventLog(*this, event);
  } else if (auto page = std::dynamic_pointer_cast<MSPageLog>(log)) {
    target->analyticsDidSucceedSendingPageLog(*this, page);
  }
}

void MSAnalytics::channelDidFailSendingLog(MSChannelProtocol*, const MSLogPtr& log,
                                           const std::optional<vx::Error>& error) {
  auto target = delegate();
  if (!target) return;
  if (auto event = std::dynamic_pointer_cast<MSEventLog>(log)) {
    target->analyticsDidFailSendingEventLog(*this, event, error);
  } else if (auto page = std::dynamic_pointer_cast<MSPageLog>(log)) {
    target->analyticsDidFailSendingPageLog(*this, page, error);
  }
}

bool MSAnalytics::channelUnitShouldFilterLog(MSChannelUnitProtocol*, const MSLogPtr& log) {
  auto* named = dynamic_cast<MSLogWithNameAndProperties*>(log.get());
  if (named == nullptr) return false;
  if (dynamic_cast<MSEventLog*>(named) == nullptr && dynamic_cast<MSPageLog*>(named) == nullptr) return false;
  return !validateLog(*named);
}
