// One entry of the device history: the device snapshot and when it was recorded.
#pragma once

#include "telemetry/ZerEvuzev/Context/MSHistoryInfo.h"
#include "telemetry/ZerEvuzev/Model/MSDevice.h"

#include <memory>

class MSDeviceHistoryInfo : public MSHistoryInfo {
 public:
  MSDeviceHistoryInfo() = default;
  MSDeviceHistoryInfo(std::optional<vx::Date> timestamp_, std::shared_ptr<MSDevice> device_)
      : MSHistoryInfo(timestamp_), device(std::move(device_)) {}
  explicit MSDeviceHistoryInfo(vx::KeyedUnarchiver& coder);

  std::shared_ptr<MSDevice> device;  // "deviceKey"

  std::string className() const override { return "MSDeviceHistoryInfo"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
};
