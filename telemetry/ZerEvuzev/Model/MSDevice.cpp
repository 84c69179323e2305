#include "telemetry/ZerEvuzev/Model/MSDevice.h"

#include <typeinfo>

namespace {

void put(MSJson& json, const char* key, const std::optional<std::string>& value) {
  if (value) json[key] = *value;
}
void put(MSJson& json, const char* key, const std::optional<std::int64_t>& value) {
  if (value) json[key] = *value;
}

}  // namespace

MSWrapperSdk::MSWrapperSdk(std::optional<std::string> wrapperSdkVersion_,
                           std::optional<std::string> wrapperSdkName_,
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

MSWrapperSdk::MSWrapperSdk(vx::KeyedUnarchiver& coder)
    : wrapperSdkVersion(coder.decodeString("wrapperSdkVersion")),
      wrapperSdkName(coder.decodeString("wrapperSdkName")),
      wrapperRuntimeVersion(coder.decodeString("wrapperRuntimeVersion")),
      liveUpdateReleaseLabel(coder.decodeString("liveUpdateReleaseLabel")),
      liveUpdateDeploymentKey(coder.decodeString("liveUpdateDeploymentKey")),
      liveUpdatePackageHash(coder.decodeString("liveUpdatePackageHash")) {}

void MSWrapperSdk::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSEncodeString(coder, wrapperSdkVersion, "wrapperSdkVersion");
  MSEncodeString(coder, wrapperSdkName, "wrapperSdkName");
  MSEncodeString(coder, wrapperRuntimeVersion, "wrapperRuntimeVersion");
  MSEncodeString(coder, liveUpdateReleaseLabel, "liveUpdateReleaseLabel");
  MSEncodeString(coder, liveUpdateDeploymentKey, "liveUpdateDeploymentKey");
  MSEncodeString(coder, liveUpdatePackageHash, "liveUpdatePackageHash");
}

MSJson MSWrapperSdk::serializeToDictionary() const {
  MSJson json = MSJson::object();
  put(json, "wrapperSdkVersion", wrapperSdkVersion);
  put(json, "wrapperSdkName", wrapperSdkName);
  put(json, "wrapperRuntimeVersion", wrapperRuntimeVersion);
  put(json, "liveUpdateReleaseLabel", liveUpdateReleaseLabel);
  put(json, "liveUpdateDeploymentKey", liveUpdateDeploymentKey);
  put(json, "liveUpdatePackageHash", liveUpdatePackageHash);
  return json;
}

bool MSWrapperSdk::wrapperFieldsEqual(const MSWrapperSdk& other) const {
  return wrapperSdkVersion == other.wrapperSdkVersion && wrapperSdkName == other.wrapperSdkName &&
         wrapperRuntimeVersion == other.wrapperRuntimeVersion &&
         liveUpdateReleaseLabel == other.liveUpdateReleaseLabel &&
         liveUpdateDeploymentKey == other.liveUpdateDeploymentKey &&
         liveUpdatePackageHash == other.liveUpdatePackageHash;
}

bool MSWrapperSdk::isEqual(const MSSerializableObject& other) const {
  const auto* wrapper = dynamic_cast<const MSWrapperSdk*>(&other);
  // A wrapper description never equals a device (which hashes its own fields too).
  return wrapper != nullptr && typeid(*this) == typeid(other) && wrapperFieldsEqual(*wrapper);
}

std::size_t MSWrapperSdk::hash() const {
  std::size_t seed = 0;
  MSHashAdd(seed, wrapperSdkVersion);
  MSHashAdd(seed, wrapperSdkName);
  MSHashAdd(seed, wrapperRuntimeVersion);
  MSHashAdd(seed, liveUpdateReleaseLabel);
  MSHashAdd(seed, liveUpdateDeploymentKey);
  MSHashAdd(seed, liveUpdatePackageHash);
  return seed;
}

MSDevice::MSDevice(vx::KeyedUnarchiver& coder)
    : MSWrapperSdk(coder),
      sdkName(coder.decodeString("sdkName")),
      sdkVersion(coder.decodeString("sdkVersion")),
      model(coder.decodeString("model")),
      oemName(coder.decodeString("oemName")),
      osName(coder.decodeString("osName")),
      osVersion(coder.decodeString("osVersion")),
      osBuild(coder.decodeString("osBuild")),
      osApiLevel(coder.decodeInt64("osApiLevel")),
      locale(coder.decodeString("locale")),
      timeZoneOffset(coder.decodeInt64("timeZoneOffset")),
      screenSize(coder.decodeString("screenSize")),
      appVersion(coder.decodeString("appVersion")),
      carrierName(coder.decodeString("carrierName")),
      carrierCountry(coder.decodeString("carrierCountry")),
      appBuild(coder.decodeString("appBuild")),
      appNamespace(coder.decodeString("appNamespace")) {}

void MSDevice::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSWrapperSdk::encodeWithCoder(coder);
  MSEncodeString(coder, sdkName, "sdkName");
  MSEncodeString(coder, sdkVersion, "sdkVersion");
  MSEncodeString(coder, model, "model");
  MSEncodeString(coder, oemName, "oemName");
  MSEncodeString(coder, osName, "osName");
  MSEncodeString(coder, osVersion, "osVersion");
  MSEncodeString(coder, osBuild, "osBuild");
  MSEncodeInt64(coder, osApiLevel, "osApiLevel");
  MSEncodeString(coder, locale, "locale");
  MSEncodeInt64(coder, timeZoneOffset, "timeZoneOffset");
  MSEncodeString(coder, screenSize, "screenSize");
  MSEncodeString(coder, appVersion, "appVersion");
  MSEncodeString(coder, carrierName, "carrierName");
  MSEncodeString(coder, carrierCountry, "carrierCountry");
  MSEncodeString(coder, appBuild, "appBuild");
  MSEncodeString(coder, appNamespace, "appNamespace");
}

MSJson MSDevice::serializeToDictionary() const {
  MSJson json = MSWrapperSdk::serializeToDictionary();
  put(json, "sdkName", sdkName);
  put(json, "sdkVersion", sdkVersion);
  put(json, "model", model);
  put(json, "oemName", oemName);
  put(json, "osName", osName);
  put(json, "osVersion", osVersion);
  put(json, "osBuild", osBuild);
  put(json, "osApiLevel", osApiLevel);
  put(json, "locale", locale);
  put(json, "timeZoneOffset", timeZoneOffset);
  put(json, "screenSize", screenSize);
  put(json, "appVersion", appVersion);
  put(json, "carrierName", carrierName);
  put(json, "carrierCountry", carrierCountry);
  put(json, "appBuild", appBuild);
  put(json, "appNamespace", appNamespace);
  return json;
}

bool MSDevice::isEqual(const MSSerializableObject& other) const {
  const auto* device = dynamic_cast<const MSDevice*>(&other);
  if (device == nullptr || !wrapperFieldsEqual(*device)) return false;
  return sdkName == device->sdkName && sdkVersion == device->sdkVersion && model == device->model &&
         oemName == device->oemName && osName == device->osName && osVersion == device->osVersion &&
         osBuild == device->osBuild && osApiLevel == device->osApiLevel && locale == device->locale &&
         timeZoneOffset == device->timeZoneOffset && screenSize == device->screenSize &&
         appVersion == device->appVersion && carrierName == device->carrierName &&
         carrierCountry == device->carrierCountry && appBuild == device->appBuild &&
         appNamespace == device->appNamespace;
}

std::size_t MSDevice::hash() const {
  std::size_t seed = MSWrapperSdk::hash();
  MSHashAdd(seed, sdkName);
  MSHashAdd(seed, sdkVersion);
  MSHashAdd(seed, model);
  MSHashAdd(seed, osName);
  MSHashAdd(seed, osVersion);
  MSHashAdd(seed, locale);
  MSHashAdd(seed, timeZoneOffset);
  MSHashAdd(seed, appVersion);
  MSHashAdd(seed, appBuild);
  return seed;
}

bool MSDevice::isValid() const {
  return MSWrapperSdk::isValid() && sdkName && sdkVersion && osName && osVersion && locale &&
         timeZoneOffset && appVersion && appBuild;
}
