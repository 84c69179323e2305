// The snapshot of the device and application every telemetry log carries, and the description
// of a cross-platform wrapper SDK that may embed this one. Built by MSDeviceTracker.
#pragma once

#include "telemetry/ZerEvuzev/Model/MSFieldTable.h"
#include "telemetry/ZerEvuzev/Model/MSSerializableObject.h"

#include <cstdint>
#include <optional>
#include <string>

class MSWrapperSdk : public MSSerializableObject, public MSModel {
 public:
  MSWrapperSdk() = default;
  MSWrapperSdk(std::optional<std::string> wrapperSdkVersion, std::optional<std::string> wrapperSdkName,
               std::optional<std::string> wrapperRuntimeVersion, std::optional<std::string> liveUpdateReleaseLabel,
               std::optional<std::string> liveUpdateDeploymentKey, std::optional<std::string> liveUpdatePackageHash);
  explicit MSWrapperSdk(vx::KeyedUnarchiver& coder);

  std::optional<std::string> wrapperSdkVersion;
  std::optional<std::string> wrapperSdkName;
  std::optional<std::string> wrapperRuntimeVersion;
  std::optional<std::string> liveUpdateReleaseLabel;
  std::optional<std::string> liveUpdateDeploymentKey;
  std::optional<std::string> liveUpdatePackageHash;

  // The six wrapper fields, each under its own name in JSON and in the archive.
  static const MSFieldTable<MSWrapperSdk>& fieldTable();

  std::string className() const override { return "MSWrapperSdk"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  // A wrapper description never equals a device (which hashes its own fields too).
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
  // Always true.
  bool isValid() const override { return true; }

 protected:
  bool wrapperFieldsEqual(const MSWrapperSdk& other) const;
};

class MSDevice : public MSWrapperSdk {
 public:
  MSDevice() = default;
  explicit MSDevice(vx::KeyedUnarchiver& coder);

  std::optional<std::string> sdkName;
  std::optional<std::string> sdkVersion;
  std::optional<std::string> model;
  std::optional<std::string> oemName;
  std::optional<std::string> osName;
  std::optional<std::string> osVersion;
  std::optional<std::string> osBuild;
  std::optional<std::int64_t> osApiLevel;  // never set on this platform
  std::optional<std::string> locale;
  std::optional<std::int64_t> timeZoneOffset;  // minutes east of GMT
  std::optional<std::string> screenSize;       // "<height>x<width>" in pixels
  std::optional<std::string> appVersion;
  std::optional<std::string> carrierName;  // always empty on this platform
  std::optional<std::string> carrierCountry;
  std::optional<std::string> appBuild;
  std::optional<std::string> appNamespace;

  // The wrapper's fields, then the device's, in the order above.
  static const MSFieldTable<MSDevice, MSWrapperSdk>& fieldTable();

  std::string className() const override { return "MSDevice"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  // The wrapper's keys, then the device's, each only when set.
  MSJson serializeToDictionary() const override;
  // Every field; the hash leaves out oemName, osBuild, osApiLevel, screenSize, the carrier
  // fields and appNamespace.
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
  // sdkName, sdkVersion, osName, osVersion, locale, timeZoneOffset, appVersion and appBuild set.
  bool isValid() const override;
};
