#include "telemetry/ZerEvuzevAnalytics/TransmissionTarget/MSPropertyConfigurator.h"

#include "platform/foundation/HostInfo.h"
#include "telemetry/ZerEvuzev/Context/MSUserIdContext.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"
#include "telemetry/ZerEvuzevAnalytics/TransmissionTarget/MSAnalyticsTransmissionTarget.h"

namespace {

std::recursive_mutex& serviceLock() { return MSAnalytics::sharedInstance()->serviceLock(); }

// The first value the walk from `target` up through its parents finds.
template <class Get>
std::optional<std::string> inherited(std::shared_ptr<MSAnalyticsTransmissionTarget> target, Get get) {
  for (; target; target = target->parentTarget()) {
    if (auto value = get(*target->propertyConfigurator())) return value;
  }
  return std::nullopt;
}

}  // namespace

MSPropertyConfigurator::MSPropertyConfigurator(const std::shared_ptr<MSAnalyticsTransmissionTarget>& target)
    : transmissionTarget_(target) {}

std::optional<std::string> MSPropertyConfigurator::appVersion() const {
  std::lock_guard lock(mutex_);
  return appVersion_;
}
std::optional<std::string> MSPropertyConfigurator::appName() const {
  std::lock_guard lock(mutex_);
  return appName_;
}
std::optional<std::string> MSPropertyConfigurator::appLocale() const {
  std::lock_guard lock(mutex_);
  return appLocale_;
}
std::optional<std::string> MSPropertyConfigurator::userId() const {
  std::lock_guard lock(mutex_);
  return userId_;
}
std::optional<std::string> MSPropertyConfigurator::deviceId() const {
  std::lock_guard lock(mutex_);
  return deviceId_;
}
void MSPropertyConfigurator::setAppVersion(std::optional<std::string> appVersion) {
  std::lock_guard lock(mutex_);
  appVersion_ = std::move(appVersion);
}
void MSPropertyConfigurator::setAppName(std::optional<std::string> appName) {
  std::lock_guard lock(mutex_);
  appName_ = std::move(appName);
}
void MSPropertyConfigurator::setAppLocale(std::optional<std::string> appLocale) {
  std::lock_guard lock(mutex_);
  appLocale_ = std::move(appLocale);
}

void MSPropertyConfigurator::setUserId(const std::optional<std::string>& userId) {
  if (!MSUserIdContext::isUserIdValidForUniCollector(userId)) return;
  auto prefixed = MSUserIdContext::prefixedUserIdFromUserId(userId);
  std::lock_guard lock(mutex_);
  userId_ = std::move(prefixed);
}

void MSPropertyConfigurator::setEventPropertyString(const std::optional<std::string>& value,
                                                    const std::optional<std::string>& key) {
  std::lock_guard lock(serviceLock());
  eventProperties_->setString(value, key);
}
void MSPropertyConfigurator::setEventPropertyDouble(double value, const std::optional<std::string>& key) {
  std::lock_guard lock(serviceLock());
  eventProperties_->setDouble(value, key);
}
void MSPropertyConfigurator::setEventPropertyInt64(std::int64_t value, const std::optional<std::string>& key) {
  std::lock_guard lock(serviceLock());
  eventProperties_->setInt64(value, key);
}
void MSPropertyConfigurator::setEventPropertyBool(bool value, const std::optional<std::string>& key) {
  std::lock_guard lock(serviceLock());
  eventProperties_->setBool(value, key);
}
void MSPropertyConfigurator::setEventPropertyDate(const std::optional<vx::Date>& value,
                                                  const std::optional<std::string>& key) {
  std::lock_guard lock(serviceLock());
  eventProperties_->setDate(value, key);
}

void MSPropertyConfigurator::removeEventPropertyForKey(const std::optional<std::string>& key) {
  std::lock_guard lock(serviceLock());
  if (!key) {
    MSLogError(MSAnalytics::kMSLogTag, "Event property key to remove cannot be nil.");
    return;
  }
  eventProperties_->removePropertyForKey(*key);
}

void MSPropertyConfigurator::mergeTypedPropertiesWith(MSEventProperties& properties) const {
  std::lock_guard lock(serviceLock());
  for (const auto& [key, property] : eventProperties_->properties()) {
    if (!properties.containsKey(key)) properties.setProperty(key, property);
  }
}

std::shared_ptr<MSEventProperties> MSPropertyConfigurator::eventProperties() const {
  std::lock_guard lock(serviceLock());
  auto copy = std::make_shared<MSEventProperties>();
  copy->mergeEventProperties(*eventProperties_);
  return copy;
}

void MSPropertyConfigurator::collectDeviceId() {
  auto identifier = getDeviceIdentifier();
  std::lock_guard lock(mutex_);
  deviceId_ = std::move(identifier);
}

std::optional<std::string> MSPropertyConfigurator::getDeviceIdentifier() {
  auto uuid = vx::HostInfo::platformUUID();
  if (!uuid) return std::nullopt;
  return MSFormat("%c:%s", 'u', uuid->c_str());
}

void MSPropertyConfigurator::channelPrepareLog(MSChannelProtocol*, const MSLogPtr& log) {
  auto target = transmissionTarget_.lock();
  auto* csLog = dynamic_cast<MSCommonSchemaLog*>(log.get());
  if (!target || csLog == nullptr || !target->isEnabled() || log->tag != target) return;
  if (!csLog->ext) csLog->ext = std::make_shared<MSCSExtensions>();
  auto& ext = *csLog->ext;
  if (!ext.appExt) ext.appExt = std::make_shared<MSAppExtension>();
  if (auto value = inherited(target, [](const MSPropertyConfigurator& c) { return c.appVersion(); }))
    ext.appExt->ver = value;
  if (auto value = inherited(target, [](const MSPropertyConfigurator& c) { return c.appName(); }))
    ext.appExt->name = value;
  if (auto value = inherited(target, [](const MSPropertyConfigurator& c) { return c.appLocale(); })) {
    ext.appExt->locale = value;
  }
  if (auto value = inherited(target, [](const MSPropertyConfigurator& c) { return c.userId(); })) {
    if (!ext.userExt) ext.userExt = std::make_shared<MSUserExtension>();
    ext.userExt->localId = value;
  }
  if (auto own = deviceId()) {
    if (!ext.deviceExt) ext.deviceExt = std::make_shared<MSDeviceExtension>();
    ext.deviceExt->localId = own;
  }
}
