#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCSExtensions.h"

#include "telemetry/ZerEvuzev/Model/MSCoding.h"

namespace {

void put(MSJson& json, const char* key, const std::optional<std::string>& value) {
  if (value) json[key] = *value;
}

// Nothing when no key was set.
MSJson orNothing(MSJson json) { return json.empty() ? MSJson() : json; }

template <class T>
const T* sameClass(const MSSerializableObject& other) {
  return dynamic_cast<const T*>(&other);
}


}  // namespace

// ---- MSMetadataExtension ----

MSMetadataExtension::MSMetadataExtension(vx::KeyedUnarchiver& coder)
    : metadata(MSDecodeJson(coder, "metadata", true)) {}

void MSMetadataExtension::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSEncodeJson(coder, metadata, "metadata");
}

MSJson MSMetadataExtension::serializeToDictionary() const {
  if (!metadata || !metadata->is_object()) return MSJson();
  MSJson json = MSJson::object();
  for (auto it = metadata->begin(); it != metadata->end(); ++it) json[it.key()] = it.value();
  return orNothing(std::move(json));
}

bool MSMetadataExtension::isEqual(const MSSerializableObject& other) const {
  const auto* ext = sameClass<MSMetadataExtension>(other);
  return ext != nullptr && MSJsonEqualUnordered(metadata, ext->metadata);
}

std::size_t MSMetadataExtension::hash() const { return MSJsonHashUnordered(metadata); }

// ---- MSProtocolExtension ----

MSProtocolExtension::MSProtocolExtension(vx::KeyedUnarchiver& coder)
    : ticketKeys(MSDecodeStringArray(coder, "ticketKeys")),
      devMake(coder.decodeString("devMake")),
      devModel(coder.decodeString("devModel")) {}

void MSProtocolExtension::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSEncodeStringArray(coder, ticketKeys, "ticketKeys");
  MSEncodeString(coder, devMake, "devMake");
  MSEncodeString(coder, devModel, "devModel");
}

MSJson MSProtocolExtension::serializeToDictionary() const {
  MSJson json = MSJson::object();
  if (ticketKeys) json["ticketKeys"] = *ticketKeys;
  put(json, "devMake", devMake);
  put(json, "devModel", devModel);
  return orNothing(std::move(json));
}

bool MSProtocolExtension::isEqual(const MSSerializableObject& other) const {
  const auto* ext = sameClass<MSProtocolExtension>(other);
  return ext != nullptr && ticketKeys == ext->ticketKeys && devMake == ext->devMake &&
         devModel == ext->devModel;
}

std::size_t MSProtocolExtension::hash() const {
  std::size_t seed = 1;
  if (ticketKeys) {
    for (const auto& key : *ticketKeys) MSHashAdd(seed, key);
  }
  MSHashAdd(seed, devMake);
  MSHashAdd(seed, devModel);
  return seed;
}

// ---- MSUserExtension ----

MSUserExtension::MSUserExtension(vx::KeyedUnarchiver& coder)
    : localId(coder.decodeString("localId")), locale(coder.decodeString("locale")) {}

void MSUserExtension::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSEncodeString(coder, localId, "localId");
  MSEncodeString(coder, locale, "locale");
}

MSJson MSUserExtension::serializeToDictionary() const {
  MSJson json = MSJson::object();
  put(json, "localId", localId);
  put(json, "locale", locale);
  return orNothing(std::move(json));
}

bool MSUserExtension::isEqual(const MSSerializableObject& other) const {
  const auto* ext = sameClass<MSUserExtension>(other);
  return ext != nullptr && localId == ext->localId && locale == ext->locale;
}

std::size_t MSUserExtension::hash() const {
  std::size_t seed = 2;
  MSHashAdd(seed, localId);
  MSHashAdd(seed, locale);
  return seed;
}

// ---- MSDeviceExtension ----

MSDeviceExtension::MSDeviceExtension(vx::KeyedUnarchiver& coder) : localId(coder.decodeString("localId")) {}

void MSDeviceExtension::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSEncodeString(coder, localId, "localId");
}

MSJson MSDeviceExtension::serializeToDictionary() const {
  MSJson json = MSJson::object();
  put(json, "localId", localId);
  return orNothing(std::move(json));
}

bool MSDeviceExtension::isEqual(const MSSerializableObject& other) const {
  const auto* ext = sameClass<MSDeviceExtension>(other);
  return ext != nullptr && localId == ext->localId;
}

std::size_t MSDeviceExtension::hash() const {
  std::size_t seed = 3;
  MSHashAdd(seed, localId);
  return seed;
}

// ---- MSOSExtension ----

MSOSExtension::MSOSExtension(vx::KeyedUnarchiver& coder)
    : name(coder.decodeString("name")), ver(coder.decodeString("ver")) {}

void MSOSExtension::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSEncodeString(coder, name, "name");
  MSEncodeString(coder, ver, "ver");
}

MSJson MSOSExtension::serializeToDictionary() const {
  MSJson json = MSJson::object();
  put(json, "name", name);
  put(json, "ver", ver);
  return orNothing(std::move(json));
}

bool MSOSExtension::isEqual(const MSSerializableObject& other) const {
  const auto* ext = sameClass<MSOSExtension>(other);
  return ext != nullptr && name == ext->name && ver == ext->ver;
}

std::size_t MSOSExtension::hash() const {
  std::size_t seed = 4;
  MSHashAdd(seed, name);
  MSHashAdd(seed, ver);
  return seed;
}

// ---- MSAppExtension ----

MSAppExtension::MSAppExtension(vx::KeyedUnarchiver& coder)
    : appId(coder.decodeString("id")),
      ver(coder.decodeString("ver")),
      name(coder.decodeString("name")),
      locale(coder.decodeString("locale")),
      userId(coder.decodeString("userId")) {}

void MSAppExtension::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSEncodeString(coder, appId, "id");
  MSEncodeString(coder, ver, "ver");
  MSEncodeString(coder, name, "name");
  MSEncodeString(coder, locale, "locale");
  MSEncodeString(coder, userId, "userId");
}

MSJson MSAppExtension::serializeToDictionary() const {
  MSJson json = MSJson::object();
  put(json, "id", appId);
  put(json, "ver", ver);
  put(json, "name", name);
  put(json, "locale", locale);
  put(json, "userId", userId);
  return orNothing(std::move(json));
}

bool MSAppExtension::isEqual(const MSSerializableObject& other) const {
  const auto* ext = sameClass<MSAppExtension>(other);
  return ext != nullptr && appId == ext->appId && ver == ext->ver && name == ext->name &&
         locale == ext->locale && userId == ext->userId;
}

std::size_t MSAppExtension::hash() const {
  std::size_t seed = 5;
  MSHashAdd(seed, appId);
  MSHashAdd(seed, ver);
  MSHashAdd(seed, name);
  MSHashAdd(seed, locale);
  MSHashAdd(seed, userId);
  return seed;
}

// ---- MSNetExtension ----

MSNetExtension::MSNetExtension(vx::KeyedUnarchiver& coder) : provider(coder.decodeString("provider")) {}

void MSNetExtension::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSEncodeString(coder, provider, "provider");
}

MSJson MSNetExtension::serializeToDictionary() const {
  MSJson json = MSJson::object();
  put(json, "provider", provider);
  return orNothing(std::move(json));
}

bool MSNetExtension::isEqual(const MSSerializableObject& other) const {
  const auto* ext = sameClass<MSNetExtension>(other);
  return ext != nullptr && provider == ext->provider;
}

std::size_t MSNetExtension::hash() const {
  std::size_t seed = 6;
  MSHashAdd(seed, provider);
  return seed;
}

// ---- MSSDKExtension ----

MSSDKExtension::MSSDKExtension(vx::KeyedUnarchiver& coder)
    : libVer(coder.decodeString("libVer")),
      epoch(coder.decodeString("epoch")),
      seq(coder.decodeInt64("seq").value_or(0)),
      installId(coder.decodeUUID("installId")) {}

void MSSDKExtension::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSEncodeString(coder, libVer, "libVer");
  MSEncodeString(coder, epoch, "epoch");
  coder.encodeInt64(seq, "seq");
  if (installId) coder.encodeUUID(*installId, "installId");
}

MSJson MSSDKExtension::serializeToDictionary() const {
  MSJson json = MSJson::object();
  put(json, "libVer", libVer);
  put(json, "epoch", epoch);
  if (seq != 0) json["seq"] = seq;
  if (installId) json["installId"] = installId->uuidString();
  return orNothing(std::move(json));
}

bool MSSDKExtension::isEqual(const MSSerializableObject& other) const {
  const auto* ext = sameClass<MSSDKExtension>(other);
  return ext != nullptr && libVer == ext->libVer && epoch == ext->epoch && seq == ext->seq &&
         installId == ext->installId;
}

std::size_t MSSDKExtension::hash() const {
  std::size_t seed = 7;
  MSHashAdd(seed, libVer);
  MSHashAdd(seed, epoch);
  MSHashAdd(seed, seq);
  MSHashAdd(seed, installId);
  return seed;
}

// ---- MSLocExtension ----

MSLocExtension::MSLocExtension(vx::KeyedUnarchiver& coder) : tz(coder.decodeString("tz")) {}

void MSLocExtension::encodeWithCoder(vx::KeyedArchiver& coder) const { MSEncodeString(coder, tz, "tz"); }

MSJson MSLocExtension::serializeToDictionary() const {
  MSJson json = MSJson::object();
  put(json, "tz", tz);
  return orNothing(std::move(json));
}

bool MSLocExtension::isEqual(const MSSerializableObject& other) const {
  const auto* ext = sameClass<MSLocExtension>(other);
  return ext != nullptr && tz == ext->tz;
}

std::size_t MSLocExtension::hash() const {
  std::size_t seed = 8;
  MSHashAdd(seed, tz);
  return seed;
}

// ---- MSCSExtensions ----

MSCSExtensions::MSCSExtensions(vx::KeyedUnarchiver& coder)
    : metadataExt(coder.decodeObjectOfClass<MSMetadataExtension>("metadata")),
      protocolExt(coder.decodeObjectOfClass<MSProtocolExtension>("protocol")),
      userExt(coder.decodeObjectOfClass<MSUserExtension>("user")),
      deviceExt(coder.decodeObjectOfClass<MSDeviceExtension>("device")),
      osExt(coder.decodeObjectOfClass<MSOSExtension>("os")),
      appExt(coder.decodeObjectOfClass<MSAppExtension>("app")),
      netExt(coder.decodeObjectOfClass<MSNetExtension>("net")),
      sdkExt(coder.decodeObjectOfClass<MSSDKExtension>("sdk")),
      locExt(coder.decodeObjectOfClass<MSLocExtension>("loc")) {}

void MSCSExtensions::encodeWithCoder(vx::KeyedArchiver& coder) const {
  if (metadataExt) coder.encodeObject(metadataExt.get(), "metadata");
  if (protocolExt) coder.encodeObject(protocolExt.get(), "protocol");
  if (userExt) coder.encodeObject(userExt.get(), "user");
  if (deviceExt) coder.encodeObject(deviceExt.get(), "device");
  if (osExt) coder.encodeObject(osExt.get(), "os");
  if (appExt) coder.encodeObject(appExt.get(), "app");
  if (netExt) coder.encodeObject(netExt.get(), "net");
  if (sdkExt) coder.encodeObject(sdkExt.get(), "sdk");
  if (locExt) coder.encodeObject(locExt.get(), "loc");
}

MSJson MSCSExtensions::serializeToDictionary() const {
  MSJson json = MSJson::object();
  const auto add = [&json](const char* key, const MSSerializableObject* ext) {
    if (ext == nullptr) return;
    MSJson value = ext->serializeToDictionary();
    if (!value.is_null()) json[key] = std::move(value);
  };
  add("metadata", metadataExt.get());
  add("protocol", protocolExt.get());
  add("user", userExt.get());
  add("device", deviceExt.get());
  add("os", osExt.get());
  add("app", appExt.get());
  add("net", netExt.get());
  add("sdk", sdkExt.get());
  add("loc", locExt.get());
  return json;
}

bool MSCSExtensions::isValid() const {
  for (const MSModel* ext : std::initializer_list<const MSModel*>{
           metadataExt.get(), protocolExt.get(), userExt.get(), deviceExt.get(), osExt.get(),
           appExt.get(), netExt.get(), sdkExt.get(), locExt.get()}) {
    if (ext != nullptr && !ext->isValid()) return false;
  }
  return true;
}

bool MSCSExtensions::isEqual(const MSSerializableObject& other) const {
  const auto* ext = sameClass<MSCSExtensions>(other);
  return ext != nullptr && MSEqualObjects(metadataExt, ext->metadataExt) &&
         MSEqualObjects(protocolExt, ext->protocolExt) && MSEqualObjects(userExt, ext->userExt) &&
         MSEqualObjects(deviceExt, ext->deviceExt) && MSEqualObjects(osExt, ext->osExt) &&
         MSEqualObjects(appExt, ext->appExt) && MSEqualObjects(netExt, ext->netExt) &&
         MSEqualObjects(sdkExt, ext->sdkExt) && MSEqualObjects(locExt, ext->locExt);
}

std::size_t MSCSExtensions::hash() const {
  std::size_t seed = 9;
  for (const MSSerializableObject* ext : std::initializer_list<const MSSerializableObject*>{
           metadataExt.get(), protocolExt.get(), userExt.get(), deviceExt.get(), osExt.get(),
           appExt.get(), netExt.get(), sdkExt.get(), locExt.get()}) {
    MSHashCombine(seed, ext != nullptr ? ext->hash() : 0);
  }
  return seed;
}
