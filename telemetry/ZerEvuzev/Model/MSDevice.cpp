#include "telemetry/ZerEvuzev/Model/MSDevice.h"

#include <typeinfo>

// ---- MSWrapperSdk ----

const MSFieldTable<MSWrapperSdk>& MSWrapperSdk::fieldTable() {
  static constexpr MSField<MSWrapperSdk> kFields[] = {
      MSFieldOf<&MSWrapperSdk::wrapperSdkVersion>("wrapperSdkVersion"),
      MSFieldOf<&MSWrapperSdk::wrapperSdkName>("wrapperSdkName"),
      MSFieldOf<&MSWrapperSdk::wrapperRuntimeVersion>("wrapperRuntimeVersion"),
      MSFieldOf<&MSWrapperSdk::liveUpdateReleaseLabel>("liveUpdateReleaseLabel"),
      MSFieldOf<&MSWrapperSdk::liveUpdateDeploymentKey>("liveUpdateDeploymentKey"),
      MSFieldOf<&MSWrapperSdk::liveUpdatePackageHash>("liveUpdatePackageHash"),
  };
  static constexpr MSFieldTable<MSWrapperSdk> kTable(kFields);
  return kTable;
}

MSWrapperSdk::MSWrapperSdk(std::optional<std::string> wrapperSdkVersion_, std::optional<std::string> wrapperSdkName_,
                           std::optional<std::string> wrapperRuntimeVersion_,
                           std::optional<std::string> liveUpdateReleaseLabel_,
                           std::optional<std::string> liveUpdateDeploymentKey_,
                           std::optional<std::string> liveUpdatePackageHash_)
    : wrapperSdkVersion(std::move(wrapperSdkVersion_)),
      wrapperSdkName(std::move(wrapperSdkName_)),
      wrapperRuntimeVersion(std::move(wrapperRuntimeVersion_)),
      liveUpdateReleaseLabel(std::move(liveUpdateReleaseLabel_)),
      liveUpdateDeploymentKey(std::move(liveUpdateDeploymentKey_)),
      liveUpdatePackageHash(std::move(liveUpdatePackageHash_)) {}

MSWrapperSdk::MSWrapperSdk(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }

void MSWrapperSdk::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSWrapperSdk::serializeToDictionary() const { return fieldTable().toJson(*this); }

bool MSWrapperSdk::wrapperFieldsEqual(const MSWrapperSdk& other) const { return fieldTable().equal(*this, other); }

bool MSWrapperSdk::isEqual(const MSSerializableObject& other) const {
  return typeid(*this) == typeid(other) && fieldTable().isEqual(*this, other);
}

std::size_t MSWrapperSdk::hash() const { return fieldTable().hash(*this); }

// ---- MSDevice ----

const MSFieldTable<MSDevice, MSWrapperSdk>& MSDevice::fieldTable() {
  constexpr auto kUnhashed = MSFieldFlags::Unhashed;
  constexpr auto kRequired = MSFieldFlags::Required;
  static constexpr MSField<MSDevice> kFields[] = {
      MSFieldOf<&MSDevice::sdkName>("sdkName", kRequired),
      MSFieldOf<&MSDevice::sdkVersion>("sdkVersion", kRequired),
      MSFieldOf<&MSDevice::model>("model"),
      MSFieldOf<&MSDevice::oemName>("oemName", kUnhashed),
      MSFieldOf<&MSDevice::osName>("osName", kRequired),
      MSFieldOf<&MSDevice::osVersion>("osVersion", kRequired),
      MSFieldOf<&MSDevice::osBuild>("osBuild", kUnhashed),
      MSFieldOf<&MSDevice::osApiLevel>("osApiLevel", kUnhashed),
      MSFieldOf<&MSDevice::locale>("locale", kRequired),
      MSFieldOf<&MSDevice::timeZoneOffset>("timeZoneOffset", kRequired),
      MSFieldOf<&MSDevice::screenSize>("screenSize", kUnhashed),
      MSFieldOf<&MSDevice::appVersion>("appVersion", kRequired),
      MSFieldOf<&MSDevice::carrierName>("carrierName", kUnhashed),
      MSFieldOf<&MSDevice::carrierCountry>("carrierCountry", kUnhashed),
      MSFieldOf<&MSDevice::appBuild>("appBuild", kRequired),
      MSFieldOf<&MSDevice::appNamespace>("appNamespace", kUnhashed),
  };
  static constexpr MSFieldTable<MSDevice, MSWrapperSdk> kTable(kFields);
  return kTable;
}

MSDevice::MSDevice(vx::KeyedUnarchiver& coder) : MSWrapperSdk(coder) { fieldTable().decodeOwn(*this, coder); }

void MSDevice::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSDevice::serializeToDictionary() const { return fieldTable().toJson(*this); }

bool MSDevice::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }

std::size_t MSDevice::hash() const { return fieldTable().hash(*this); }

bool MSDevice::isValid() const { return fieldTable().isValid(*this); }
