#include "telemetry/ZerEvuzevAnalytics/TransmissionTarget/MSAnalyticsTransmissionTarget.h"

#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"

namespace {

constexpr const char* kTag = "ZerEvuzevAnalytics";

std::mutex& providerMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<MSAnalyticsAuthenticationProvider>& providerSlot() {
  static std::shared_ptr<MSAnalyticsAuthenticationProvider> provider;
  return provider;
}

std::recursive_mutex& serviceLock() { return MSAnalytics::sharedInstance()->serviceLock(); }

}  // namespace

MSAnalyticsTransmissionTarget::MSAnalyticsTransmissionTarget(
    std::string token, std::shared_ptr<MSAnalyticsTransmissionTarget> parentTarget,
    const std::shared_ptr<MSChannelGroupProtocol>& channelGroup)
    : transmissionTargetToken_(std::move(token)),
      parentTarget_(parentTarget),
      isRoot_(parentTarget == nullptr),
      channelGroup_(channelGroup) {}

std::shared_ptr<MSAnalyticsTransmissionTarget> MSAnalyticsTransmissionTarget::make(
    const std::string& token, const std::shared_ptr<MSAnalyticsTransmissionTarget>& parentTarget,
    const std::shared_ptr<MSChannelGroupProtocol>& channelGroup) {
  std::shared_ptr<MSAnalyticsTransmissionTarget> target(
      new MSAnalyticsTransmissionTarget(token, parentTarget, channelGroup));
  target->propertyConfigurator_ = std::make_shared<MSPropertyConfigurator>(target);
  target->isEnabledKey_ = MSFormat("%s/%s", MSAnalytics::sharedInstance()->isEnabledKey().c_str(),
                                   MSUtility::targetKeyFromTargetToken(token).value_or("").c_str());
  // A target made under a disabled parent (or service) starts disabled, whatever was stored.
  if (!target->isImmediateParent()) MSUserDefaults::shared()->setObject(vx::Value(false), target->isEnabledKey_);
  if (channelGroup) {
    channelGroup->addDelegate(target->propertyConfigurator_);
    channelGroup->addDelegate(target);
  }
  return target;
}

std::shared_ptr<MSAnalyticsTransmissionTarget> MSAnalyticsTransmissionTarget::transmissionTargetForToken(
    const std::string& token) {
  {
    std::lock_guard lock(childrenMutex_);
    if (auto found = childTransmissionTargets_.find(token); found != childTransmissionTargets_.end()) {
      return found->second;
    }
  }
  auto child = make(token, shared_from_this(), channelGroup());
  std::lock_guard lock(childrenMutex_);
  // Two threads asking at once keep the first child made.
  return childTransmissionTargets_.emplace(token, std::move(child)).first->second;
}

std::map<std::string, std::shared_ptr<MSAnalyticsTransmissionTarget>>
MSAnalyticsTransmissionTarget::childTransmissionTargets() const {
  std::lock_guard lock(childrenMutex_);
  return childTransmissionTargets_;
}

bool MSAnalyticsTransmissionTarget::isImmediateParent() const {
  if (isRoot_) return MSServiceAbstract::isEnabled(MSAnalytics::sharedInstance());
  auto parent = parentTarget();
  return parent && parent->isEnabled();
}

bool MSAnalyticsTransmissionTarget::isEnabled() const {
  std::lock_guard lock(serviceLock());
  const auto stored = MSUserDefaults::shared()->objectForKey(isEnabledKey_);
  if (!stored) return true;
  if (auto flag = stored->boolValue()) return *flag;
  if (auto number = stored->integerValue()) return *number != 0;
  return true;
}

void MSAnalyticsTransmissionTarget::setEnabled(bool isEnabled) {
  std::lock_guard lock(serviceLock());
  if (isEnabled != this->isEnabled()) {
    if (isEnabled && !isImmediateParent()) {
      MSLogWarning(kTag, "Can't enable; parent transmission target and/or Analytics service is disabled.");
      return;
    }
    MSUserDefaults::shared()->setObject(vx::Value(isEnabled), isEnabledKey_);
    if (isEnabled) resume();
  }
  for (const auto& [token, child] : childTransmissionTargets()) child->setEnabled(isEnabled);
}

void MSAnalyticsTransmissionTarget::pause() {
  if (!isEnabled()) {
    MSLogError(kTag, "This transmission target is disabled.");
    return;
  }
  MSAnalytics::pauseTransmissionTargetForToken(transmissionTargetToken_);
}

void MSAnalyticsTransmissionTarget::resume() {
  if (!isEnabled()) {
    MSLogError(kTag, "This transmission target is disabled.");
    return;
  }
  MSAnalytics::resumeTransmissionTargetForToken(transmissionTargetToken_);
}

void MSAnalyticsTransmissionTarget::trackEvent(const std::string& name) {
  trackEvent(name, std::optional<std::map<std::string, std::string>>());
}

void MSAnalyticsTransmissionTarget::trackEvent(const std::string& name,
                                               const std::optional<std::map<std::string, std::string>>& properties) {
  trackEvent(name, properties, MSAnalytics::kMSFlagsNormal);
}

void MSAnalyticsTransmissionTarget::trackEvent(const std::string& name,
                                               const std::optional<std::map<std::string, std::string>>& properties,
                                               std::uint64_t flags) {
  std::shared_ptr<MSEventProperties> typed;
  if (properties) {
    typed = std::make_shared<MSEventProperties>();
    for (const auto& [key, value] : *properties) typed->setString(value, key);
  }
  trackEvent(name, typed, flags);
}

void MSAnalyticsTransmissionTarget::trackEvent(const std::string& name,
                                               const std::shared_ptr<MSEventProperties>& properties) {
  trackEvent(name, properties, MSAnalytics::kMSFlagsNormal);
}

void MSAnalyticsTransmissionTarget::trackEvent(const std::string& name,
                                               const std::shared_ptr<MSEventProperties>& properties,
                                               std::uint64_t flags) {
  // The nearest node's default of a key wins; given properties win over all.
  auto merged = std::make_shared<MSEventProperties>();
  for (auto node = shared_from_this(); node; node = node->parentTarget()) {
    node->propertyConfigurator_->mergeTypedPropertiesWith(*merged);
  }
  if (properties) {
    merged->mergeEventProperties(*properties);
  } else if (merged->isEmpty()) {
    merged = nullptr;
  }
  MSAnalytics::trackEvent(name, merged, shared_from_this(), flags);
}

void MSAnalyticsTransmissionTarget::addAuthenticationProvider(
    const std::shared_ptr<MSAnalyticsAuthenticationProvider>& provider) {
  std::lock_guard lock(providerMutex());
  if (!provider) {
    MSLogError(kTag, "Authentication provider may not be null.");
    return;
  }
  providerSlot() = provider;
  provider->acquireTokenAsync();
}

std::shared_ptr<MSAnalyticsAuthenticationProvider> MSAnalyticsTransmissionTarget::authenticationProvider() {
  std::lock_guard lock(providerMutex());
  return providerSlot();
}

void MSAnalyticsTransmissionTarget::setAuthenticationProvider(
    std::shared_ptr<MSAnalyticsAuthenticationProvider> provider) {
  std::lock_guard lock(providerMutex());
  providerSlot() = std::move(provider);
}

void MSAnalyticsTransmissionTarget::channelPrepareLog(MSChannelProtocol*, const MSLogPtr& log) {
  auto* csLog = dynamic_cast<MSCommonSchemaLog*>(log.get());
  if (csLog == nullptr || log->transmissionTargetTokens().count(transmissionTargetToken_) == 0 || !isEnabled()) {
    return;
  }
  auto provider = authenticationProvider();
  if (!provider) return;
  if (!csLog->ext) csLog->ext = std::make_shared<MSCSExtensions>();
  if (!csLog->ext->protocolExt) csLog->ext->protocolExt = std::make_shared<MSProtocolExtension>();
  if (provider->ticketKeyHash())
    csLog->ext->protocolExt->ticketKeys = std::vector<std::string>{*provider->ticketKeyHash()};
  provider->checkTokenExpiry();
}
