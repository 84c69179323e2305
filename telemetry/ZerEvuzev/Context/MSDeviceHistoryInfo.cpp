#include "telemetry/ZerEvuzev/Context/MSDeviceHistoryInfo.h"

MSDeviceHistoryInfo::MSDeviceHistoryInfo(vx::KeyedUnarchiver& coder)
    : MSHistoryInfo(coder), device(coder.decodeObjectOfClass<MSDevice>("deviceKey")) {}

void MSDeviceHistoryInfo::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSHistoryInfo::encodeWithCoder(coder);
  if (device) coder.encodeObject(device.get(), "deviceKey");
}
