#include "telemetry/ZerEvuzev/Core/MSServiceAbstract.h"

#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

std::string MSServiceAbstract::isEnabledKey() const { return MSFormat("kMS%sIsEnabledKey", groupId().c_str()); }

bool MSServiceAbstract::isEnabled() const {
  const auto stored = MSUserDefaults::shared()->objectForKey(isEnabledKey());
  if (!stored) return true;
  if (stored->isBool()) return stored->boolValue().value_or(true);
  if (auto number = stored->integerValue()) return *number != 0;
  return true;
}

void MSServiceAbstract::setEnabled(bool isEnabled) {
  if (isEnabled == this->isEnabled()) return;
  applyEnabledState(isEnabled);
  MSUserDefaults::shared()->setObject(vx::Value(isEnabled), isEnabledKey());
}

void MSServiceAbstract::applyEnabledState(bool isEnabled) {
  if (auto unit = channelUnit()) unit->setEnabled(isEnabled, true);
}

std::string MSServiceAbstract::shortClassName() const {
  const std::string name = className();
  return name.size() > 2 ? name.substr(2) : name;
}

bool MSServiceAbstract::canBeUsed() const {
  if (MSZerEvuzev::sharedInstance()->isSdkConfigured() && isStarted()) return true;
  MSLogError(logTag().c_str(),
             "%s service hasn't been started. You need to call [MSZerEvuzev start:YOUR_APP_SECRET "
             "withServices:LIST_OF_SERVICES] first.",
             shortClassName().c_str());
  return false;
}

bool MSServiceAbstract::isStarted() const {
  std::lock_guard lock(mutex_);
  return started_;
}

bool MSServiceAbstract::isStartedFromApplication() const {
  std::lock_guard lock(mutex_);
  return startedFromApplication_;
}

void MSServiceAbstract::startWithChannelGroup(const std::shared_ptr<MSChannelGroupProtocol>& channelGroup,
                                              const std::optional<std::string>& appSecret,
                                              const std::optional<std::string>& transmissionTargetToken,
                                              bool fromApplication) {
  std::shared_ptr<MSChannelUnitConfiguration> configuration;
  {
    std::lock_guard lock(mutex_);
    startedFromApplication_ = fromApplication;
    channelGroup_ = channelGroup;
    appSecret_ = appSecret;
    defaultTransmissionTargetToken_ = transmissionTargetToken;
    started_ = true;
    configuration = channelUnitConfiguration();
  }
  if (configuration && channelGroup) {
    auto unit = channelGroup->addChannelUnitWithConfiguration(configuration);
    std::lock_guard lock(mutex_);
    channelUnit_ = std::move(unit);
  }
  // A disabled service applies nothing at start.
  if (isEnabled()) applyEnabledState(true);
}

void MSServiceAbstract::updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
                                                         const std::optional<std::string>& transmissionTargetToken) {
  {
    std::lock_guard lock(mutex_);
    startedFromApplication_ = true;
    appSecret_ = appSecret;
    defaultTransmissionTargetToken_ = transmissionTargetToken;
  }
  if (isEnabled()) applyEnabledState(true);
}

std::shared_ptr<MSChannelGroupProtocol> MSServiceAbstract::channelGroup() const {
  std::lock_guard lock(mutex_);
  return channelGroup_;
}

std::shared_ptr<MSChannelUnitProtocol> MSServiceAbstract::channelUnit() const {
  std::lock_guard lock(mutex_);
  return channelUnit_;
}

std::optional<std::string> MSServiceAbstract::appSecret() const {
  std::lock_guard lock(mutex_);
  return appSecret_;
}

std::optional<std::string> MSServiceAbstract::defaultTransmissionTargetToken() const {
  std::lock_guard lock(mutex_);
  return defaultTransmissionTargetToken_;
}

void MSServiceAbstract::setEnabled(const std::shared_ptr<MSServiceAbstract>& sharedInstance, bool isEnabled) {
  if (!sharedInstance) return;
  // The SDK's state is read before the service's lock is taken: the start-up holds the SDK's lock
  // while it takes the services' locks, so the other order could deadlock.
  auto sdk = MSZerEvuzev::sharedInstance();
  // (An SDK not configured yet is refused below by canBeUsed, with its own message.)
  const bool sdkAllows = sdk->isSdkConfigured() && (MSZerEvuzev::isEnabled() || sdk->isEnabledStateUpdating());
  std::lock_guard lock(sharedInstance->mutex_);
  if (!sharedInstance->canBeUsed()) return;
  if (!sdkAllows) {
    MSLogError(sharedInstance->logTag().c_str(),
               "The SDK is disabled. Re-enable the whole SDK from ZerEvuzev first before enabling %s service.",
               sharedInstance->shortClassName().c_str());
    return;
  }
  sharedInstance->setEnabled(isEnabled);
}

bool MSServiceAbstract::isEnabled(const std::shared_ptr<MSServiceAbstract>& sharedInstance) {
  if (!sharedInstance) return false;
  std::lock_guard lock(sharedInstance->mutex_);
  return sharedInstance->canBeUsed() && sharedInstance->isEnabled();
}
