#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"

namespace {

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<MSAnalytics>& sharedSlot() {
  static std::shared_ptr<MSAnalytics> instance;
  return instance;
}

}  // namespace

std::shared_ptr<MSAnalytics> MSAnalytics::sharedInstance() {
  std::lock_guard lock(sharedMutex());
  if (!sharedSlot()) sharedSlot() = std::make_shared<MSAnalytics>();
  return sharedSlot();
}

void MSAnalytics::resetSharedInstance() {
  std::lock_guard lock(sharedMutex());
  sharedSlot().reset();
}

std::shared_ptr<MSChannelUnitConfiguration> MSAnalytics::channelUnitConfiguration() const {
  std::lock_guard lock(mutex_);
  return channelUnitConfiguration_;
}

void MSAnalytics::startWithChannelGroup(const std::shared_ptr<MSChannelGroupProtocol>& channelGroup,
                                        const std::optional<std::string>& appSecret,
                                        const std::optional<std::string>& transmissionTargetToken,
                                        bool fromApplication) {
  {
    std::lock_guard lock(mutex_);
    channelUnitConfiguration_ = std::make_shared<MSChannelUnitConfiguration>(kMSGroupId, flushInterval_);
  }
  MSServiceAbstract::startWithChannelGroup(channelGroup, appSecret, transmissionTargetToken, fromApplication);
}

std::uint64_t MSAnalytics::flushInterval() const {
  std::lock_guard lock(mutex_);
  return flushInterval_;
}

void MSAnalytics::setFlushInterval(std::uint64_t seconds) {
  std::lock_guard lock(mutex_);
  flushInterval_ = seconds;
}
