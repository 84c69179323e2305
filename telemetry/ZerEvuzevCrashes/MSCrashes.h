// The crash service as the SDK start-up sees it: "Crashes" by name and group, started before
// every other service (priority 999), refused without an app secret, one channel unit "Crashes"
// (priority 2, sent after 1 second, one log per batch, 3 batches in flight). It records and
// reports no crash yet: crash recording and the log buffer come with the rest of the service.
#pragma once

#include "telemetry/ZerEvuzev/Core/MSServiceAbstract.h"

#include <memory>

class MSCrashes : public MSServiceAbstract {
 public:
  static constexpr const char* kMSServiceName = "Crashes";
  static constexpr const char* kMSGroupId = "Crashes";
  static constexpr const char* kMSLogTag = "ZerEvuzevCrashes";
  static constexpr int kMSInitializationPriority = 999;

  static std::shared_ptr<MSCrashes> sharedInstance();
  // The next sharedInstance() makes a new one (tests).
  static void resetSharedInstance();

  std::string groupId() const override { return kMSGroupId; }
  std::string serviceName() const override { return kMSServiceName; }
  std::string logTag() const override { return kMSLogTag; }
  std::string className() const override { return "MSCrashes"; }
  int initializationPriority() const override { return kMSInitializationPriority; }
  std::shared_ptr<MSChannelUnitConfiguration> channelUnitConfiguration() const override;
};
