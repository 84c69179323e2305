#include "telemetry/ZerEvuzevCrashes/MSCrashes.h"

#include <mutex>

namespace {

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<MSCrashes>& sharedSlot() {
  static std::shared_ptr<MSCrashes> instance;
  return instance;
}

}  // namespace

std::shared_ptr<MSCrashes> MSCrashes::sharedInstance() {
  std::lock_guard lock(sharedMutex());
  if (!sharedSlot()) sharedSlot() = std::make_shared<MSCrashes>();
  return sharedSlot();
}

void MSCrashes::resetSharedInstance() {
  std::lock_guard lock(sharedMutex());
  sharedSlot().reset();
}

std::shared_ptr<MSChannelUnitConfiguration> MSCrashes::channelUnitConfiguration() const {
  return std::make_shared<MSChannelUnitConfiguration>(kMSGroupId, 2, 1, 1, 3);
}
