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

const MSFieldTable<MSAbstractLog>& MSAbstractLog::fieldTable() {
  constexpr auto kRequired = MSFieldFlags::Required;
  static constexpr MSField<MSAbstractLog> kFields[] = {
      MSFieldOf<&MSAbstractLog::type>("type", kRequired),
      MSFieldOf<&MSAbstractLog::timestamp>("timestamp", kRequired),
      MSFieldOf<&MSAbstractLog::sid>("sid"),
      MSFieldOf<&MSAbstractLog::distributionGroupId>("distributionGroupId"),
      MSFieldOf<&MSAbstractLog::userId>("userId"),
      MSFieldOf<&MSAbstractLog::device>("device", kRequired),
      // The owner: compared by identity, never written.
      MSFieldOf<&MSAbstractLog::tag>(nullptr, nullptr, MSFieldFlags::Unhashed),
  };
  static constexpr MSFieldTable<MSAbstractLog> kTable(kFields);
  return kTable;
}

MSAbstractLog::MSAbstractLog(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }

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

void MSAbstractLog::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSAbstractLog::serializeToDictionary() const { return fieldTable().toJson(*this); }

bool MSAbstractLog::isValid() const { return fieldTable().isValid(*this); }

bool MSAbstractLog::baseFieldsEqual(const MSAbstractLog& other) const { return fieldTable().equal(*this, other); }

bool MSAbstractLog::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }

std::size_t MSAbstractLog::hash() const { return fieldTable().hash(*this); }

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

const MSFieldTable<MSLogWithProperties, MSAbstractLog>& MSLogWithProperties::fieldTable() {
  static constexpr MSField<MSLogWithProperties> kFields[] = {
      MSFieldOf<&MSLogWithProperties::properties>("properties", MSFieldFlags::OmitEmpty),
  };
  static constexpr MSFieldTable<MSLogWithProperties, MSAbstractLog> kTable(kFields);
  return kTable;
}

MSLogWithProperties::MSLogWithProperties(vx::KeyedUnarchiver& coder) : MSAbstractLog(coder) {
  fieldTable().decodeOwn(*this, coder);
}

void MSLogWithProperties::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSLogWithProperties::serializeToDictionary() const { return fieldTable().toJson(*this); }

bool MSLogWithProperties::isEqual(const MSSerializableObject& other) const {
  return fieldTable().isEqual(*this, other);
}

// ---- MSStartServiceLog ----

const MSFieldTable<MSStartServiceLog, MSAbstractLog>& MSStartServiceLog::fieldTable() {
  static constexpr MSField<MSStartServiceLog> kFields[] = {
      MSFieldOf<&MSStartServiceLog::services>("services"),
  };
  static constexpr MSFieldTable<MSStartServiceLog, MSAbstractLog> kTable(kFields);
  return kTable;
}

MSStartServiceLog::MSStartServiceLog() { type = kType; }

MSStartServiceLog::MSStartServiceLog(vx::KeyedUnarchiver& coder) : MSAbstractLog(coder) {
  fieldTable().decodeOwn(*this, coder);
}

void MSStartServiceLog::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSStartServiceLog::serializeToDictionary() const { return fieldTable().toJson(*this); }

bool MSStartServiceLog::isEqual(const MSSerializableObject& other) const { return fieldTable().isEqual(*this, other); }

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
