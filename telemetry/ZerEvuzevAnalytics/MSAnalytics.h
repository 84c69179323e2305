// The analytics service as the SDK start-up sees it: "Analytics" by name and group, started after
// the crash service (the base priority), no app secret needed, one channel unit "Analytics" whose
// flush interval is the service's transmission interval. It tracks nothing yet: events, pages,
// sessions and transmission targets come with the rest of the service.
#pragma once

#include "telemetry/ZerEvuzev/Core/MSServiceAbstract.h"

#include <cstdint>
#include <memory>
#include <mutex>

class MSAnalytics : public MSServiceAbstract {
 public:
  static constexpr const char* kMSServiceName = "Analytics";
  static constexpr const char* kMSGroupId = "Analytics";
  static constexpr const char* kMSLogTag = "ZerEvuzevAnalytics";

  static std::shared_ptr<MSAnalytics> sharedInstance();
  // The next sharedInstance() makes a new one (tests).
  static void resetSharedInstance();

  std::string groupId() const override { return kMSGroupId; }
  std::string serviceName() const override { return kMSServiceName; }
  std::string logTag() const override { return kMSLogTag; }
  std::string className() const override { return "MSAnalytics"; }
  bool isAppSecretRequired() const override { return false; }
  std::shared_ptr<MSChannelUnitConfiguration> channelUnitConfiguration() const override;

  // Makes the unit's configuration from the transmission interval, then the base start.
  void startWithChannelGroup(const std::shared_ptr<MSChannelGroupProtocol>& channelGroup,
                             const std::optional<std::string>& appSecret,
                             const std::optional<std::string>& transmissionTargetToken, bool fromApplication) override;

  // Seconds; 3 unless changed before start.
  std::uint64_t flushInterval() const;
  void setFlushInterval(std::uint64_t seconds);

 private:
  mutable std::mutex mutex_;
  std::uint64_t flushInterval_ = MSChannelUnitConfiguration::kMSDefaultFlushInterval;
  std::shared_ptr<MSChannelUnitConfiguration> channelUnitConfiguration_;
};
