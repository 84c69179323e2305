#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"

#include "platform/foundation/Bundle.h"
#include "telemetry/ZerEvuzev/Context/MSUserIdContext.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"
#include "telemetry/ZerEvuzev/Model/MSCoding.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <cstdlib>

namespace {

// The application's own localization: the first of "CFBundleLocalizations", else the
// development region, else English.
std::string bundleLocalization() {
  const vx::Bundle& bundle = vx::Bundle::main();
  const vx::Value localizations = bundle.objectForInfoDictionaryKey("CFBundleLocalizations");
  if (const auto* array = localizations.arrayValue(); array != nullptr && !array->empty()) {
    if (const auto* first = (*array)[0].stringValue(); first != nullptr && !first->empty()) return *first;
  }
  const vx::Value region = bundle.objectForInfoDictionaryKey("CFBundleDevelopmentRegion");
  if (const auto* text = region.stringValue(); text != nullptr && !text->empty()) return *text;
  return "en";
}

}  // namespace

// ---- MSAbstractLog ----

MSAbstractLog::MSAbstractLog(vx::KeyedUnarchiver& coder)
    : type(coder.decodeString("type")),
      timestamp(coder.decodeDate("timestamp")),
      sid(coder.decodeString("sid")),
      distributionGroupId(coder.decodeString("distributionGroupId")),
      userId(coder.decodeString("userId")),
      device(coder.decodeObjectOfClass<MSDevice>("device")) {}

std::set<std::string> MSAbstractLog::transmissionTargetTokens() const {
  std::lock_guard lock(tokensMutex_);
  return transmissionTargetTokens_;
}

void MSAbstractLog::addTransmissionTargetToken(const std::string& token) {
  std::lock_guard lock(tokensMutex_);
  transmissionTargetTokens_.insert(token);
}

void MSAbstractLog::setTransmissionTargetTokens(std::set<std::string> tokens) {
  std::lock_guard lock(tokensMutex_);
  transmissionTargetTokens_ = std::move(tokens);
}

void MSAbstractLog::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSEncodeString(coder, type, "type");
  MSEncodeDate(coder, timestamp, "timestamp");
  MSEncodeString(coder, sid, "sid");
  MSEncodeString(coder, distributionGroupId, "distributionGroupId");
  MSEncodeString(coder, userId, "userId");
  if (device) coder.encodeObject(device.get(), "device");
}

MSJson MSAbstractLog::serializeToDictionary() const {
  MSJson json = MSJson::object();
  if (type) json["type"] = *type;
  if (timestamp) json["timestamp"] = MSUtility::dateToISO8601(*timestamp);
  if (sid) json["sid"] = *sid;
  if (distributionGroupId) json["distributionGroupId"] = *distributionGroupId;
  if (userId) json["userId"] = *userId;
  if (device) json["device"] = device->serializeToDictionary();
  return json;
}

bool MSAbstractLog::isValid() const { return type && timestamp && device && device->isValid(); }

bool MSAbstractLog::baseFieldsEqual(const MSAbstractLog& other) const {
  return tag == other.tag && type == other.type && timestamp == other.timestamp && sid == other.sid &&
         distributionGroupId == other.distributionGroupId && userId == other.userId &&
         MSEqualObjects(device, other.device);
}

bool MSAbstractLog::isEqual(const MSSerializableObject& other) const {
  const auto* log = dynamic_cast<const MSAbstractLog*>(&other);
  return log != nullptr && baseFieldsEqual(*log);
}

std::size_t MSAbstractLog::hash() const {
  std::size_t seed = 0;
  MSHashAdd(seed, type);
  MSHashAdd(seed, timestamp);
  MSHashAdd(seed, sid);
  MSHashAdd(seed, distributionGroupId);
  MSHashAdd(seed, userId);
  MSHashCombine(seed, device ? device->hash() : 0);
  return seed;
}

std::optional<std::string> MSAbstractLog::serializeLogWithPrettyPrinting(bool prettyPrint) const {
  auto text = MSJsonWriter::write(serializeToDictionary(), prettyPrint);
  if (!text) return std::nullopt;
  return std::move(text.value());
}

std::optional<std::vector<std::shared_ptr<MSCommonSchemaLog>>> MSAbstractLog::toCommonSchemaLogsWithFlags(
    std::uint64_t flags) const {
  std::vector<std::shared_ptr<MSCommonSchemaLog>> logs;
  for (const auto& token : transmissionTargetTokens()) {
    if (auto log = toCommonSchemaLogForTargetToken(token, flags)) logs.push_back(std::move(log));
  }
  if (logs.empty()) return std::nullopt;
  return logs;
}

std::shared_ptr<MSCommonSchemaLog> MSAbstractLog::toCommonSchemaLogForTargetToken(const std::string& token,
                                                                                  std::uint64_t flags) const {
  auto csLog = std::make_shared<MSCommonSchemaLog>();
  csLog->setTransmissionTargetTokens({token});
  csLog->ver = MSCSModelConstants::kSchemaVersion;
  // The base conversion names the log after its type, so logs that add no name of their own
  // (page views, session starts) still make valid common-schema logs; subclasses replace it.
  csLog->name = type;
  csLog->timestamp = timestamp;
  csLog->iKey = MSUtility::iKeyFromTargetToken(token);
  csLog->flags = static_cast<std::int64_t>(flags);

  auto ext = std::make_shared<MSCSExtensions>();
  ext->protocolExt = std::make_shared<MSProtocolExtension>();
  ext->userExt = std::make_shared<MSUserExtension>();
  ext->osExt = std::make_shared<MSOSExtension>();
  ext->appExt = std::make_shared<MSAppExtension>();
  ext->netExt = std::make_shared<MSNetExtension>();
  ext->sdkExt = std::make_shared<MSSDKExtension>();
  ext->locExt = std::make_shared<MSLocExtension>();
  ext->deviceExt = std::make_shared<MSDeviceExtension>();

  if (device) {
    ext->protocolExt->devMake = device->oemName;
    ext->protocolExt->devModel = device->model;
  }
  ext->userExt->localId = MSUserIdContext::prefixedUserIdFromUserId(userId);
  if (device && device->locale) {
    std::string locale = *device->locale;
    for (char& c : locale) {
      if (c == '_') c = '-';
    }
    ext->userExt->locale = locale;
  }
  if (device) {
    ext->osExt->name = device->osName;
    ext->osExt->ver = combineOsVersion(device->osVersion, device->osBuild);
    if (device->appNamespace) ext->appExt->appId = "I:" + *device->appNamespace;
    ext->appExt->ver = device->appVersion;
    ext->netExt->provider = device->carrierName;
    ext->sdkExt->libVer = combineSDKLibVer(device->sdkName, device->sdkVersion);
    if (device->timeZoneOffset) ext->locExt->tz = convertTimeZoneOffsetToISO8601(*device->timeZoneOffset);
  }
  ext->appExt->locale = bundleLocalization();
  csLog->ext = ext;
  return csLog;
}

std::optional<std::string> MSAbstractLog::combineOsVersion(const std::optional<std::string>& version,
                                                           const std::optional<std::string>& build) {
  std::optional<std::string> text;
  if (version && !version->empty()) text = "Version " + *version;
  if (build && !build->empty()) {
    // A build without a version still names the build rather than a dangling "(null)".
    text = text ? *text + " (Build " + *build + ")" : "Build " + *build;
  }
  return text;
}

std::optional<std::string> MSAbstractLog::combineSDKLibVer(const std::optional<std::string>& name,
                                                           const std::optional<std::string>& version) {
  if (!name || name->empty() || !version || version->empty()) return std::nullopt;
  return *name + "-" + *version;
}

std::string MSAbstractLog::convertTimeZoneOffsetToISO8601(std::int64_t minutes) {
  const char sign = minutes < 0 ? '-' : '+';
  const std::int64_t magnitude = minutes < 0 ? -minutes : minutes;
  return MSFormat("%c%02lld:%02lld", sign, static_cast<long long>(magnitude / 60),
                  static_cast<long long>(magnitude % 60));
}

// ---- MSLogWithProperties ----

MSLogWithProperties::MSLogWithProperties(vx::KeyedUnarchiver& coder)
    : MSAbstractLog(coder), properties(MSDecodeStringDictionary(coder, "properties")) {}

void MSLogWithProperties::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSAbstractLog::encodeWithCoder(coder);
  MSEncodeStringDictionary(coder, properties, "properties");
}

MSJson MSLogWithProperties::serializeToDictionary() const {
  MSJson json = MSAbstractLog::serializeToDictionary();
  if (properties && !properties->empty()) {
    MSJson object = MSJson::object();
    for (const auto& [key, value] : *properties) object[key] = value;
    json["properties"] = std::move(object);
  }
  return json;
}

bool MSLogWithProperties::isEqual(const MSSerializableObject& other) const {
  const auto* log = dynamic_cast<const MSLogWithProperties*>(&other);
  if (log == nullptr || !baseFieldsEqual(*log)) return false;
  return properties == log->properties;
}

// ---- MSStartServiceLog ----

MSStartServiceLog::MSStartServiceLog() { type = kType; }

MSStartServiceLog::MSStartServiceLog(vx::KeyedUnarchiver& coder)
    : MSAbstractLog(coder), services(MSDecodeStringArray(coder, "services")) {}

void MSStartServiceLog::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSAbstractLog::encodeWithCoder(coder);
  MSEncodeStringArray(coder, services, "services");
}

MSJson MSStartServiceLog::serializeToDictionary() const {
  MSJson json = MSAbstractLog::serializeToDictionary();
  if (services) json["services"] = *services;
  return json;
}

bool MSStartServiceLog::isEqual(const MSSerializableObject& other) const {
  const auto* log = dynamic_cast<const MSStartServiceLog*>(&other);
  if (log == nullptr || !baseFieldsEqual(*log)) return false;
  return services == log->services;
}

// ---- MSLogContainer ----

MSLogContainer::MSLogContainer(std::optional<std::string> batchId_, std::vector<MSLogPtr> logs_)
    : batchId(std::move(batchId_)), logs(std::move(logs_)) {}

std::optional<std::string> MSLogContainer::serializeLogWithPrettyPrinting(bool prettyPrint) const {
  MSJson array = MSJson::array();
  for (const auto& log : logs) {
    if (!log) continue;
    MSJson dictionary = log->serializeToDictionary();
    if (!dictionary.is_null()) array.push_back(std::move(dictionary));
  }
  MSJson root = MSJson::object();
  root["logs"] = std::move(array);
  auto text = MSJsonWriter::write(root, prettyPrint);
  if (!text) {
    MSLogError(kMSLogTag, "Couldn't serialize log container to json: %s", text.error().description.c_str());
    return std::nullopt;
  }
  return std::move(text.value());
}

bool MSLogContainer::isValid() const {
  if (logs.empty()) return false;
  for (const auto& log : logs) {
    if (!log || !log->isValid()) return false;
  }
  return true;
}
