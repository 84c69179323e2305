#include "telemetry/ZerEvuzev/Model/MSCustomProperties.h"

#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <cmath>

namespace {

bool matchesKeyPattern(std::string_view key) {
  if (key.empty()) return false;
  const auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!isLetter(key[0])) return false;
  for (char c : key.substr(1)) {
    if (!isLetter(c) && !(c >= '0' && c <= '9')) return false;
  }
  return true;
}

}  // namespace

// ---- MSCustomPropertiesLog ----

const MSFieldTable<MSCustomPropertiesLog, MSAbstractLog>& MSCustomPropertiesLog::fieldTable() {
  static constexpr MSField<MSCustomPropertiesLog> kFields[] = {
      // The type once more in the archive; a stored one replaces the type the base decoded.
      MSFieldOf<&MSAbstractLog::type, MSCustomPropertiesLog>(nullptr, "customProperties", MSFieldFlags::Uncompared),
      MSFieldOf<&MSCustomPropertiesLog::properties>("properties", MSFieldFlags::NonEmpty)
          .withJsonWriter([](const MSCustomPropertiesLog& log, MSJson& json, const char* key, MSFieldFlags) {
            if (log.properties) json[key] = serializeProperties(*log.properties);
          }),
  };
  static constexpr MSFieldTable<MSCustomPropertiesLog, MSAbstractLog> kTable(kFields);
  return kTable;
}

MSCustomPropertiesLog::MSCustomPropertiesLog() { type = kType; }

MSCustomPropertiesLog::MSCustomPropertiesLog(vx::KeyedUnarchiver& coder) : MSAbstractLog(coder) {
  fieldTable().decodeOwn(*this, coder);
}

void MSCustomPropertiesLog::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSCustomPropertiesLog::serializeProperty(const vx::Value& value) {
  MSJson json = MSJson::object();
  switch (value.type()) {
    case vx::Value::Type::Null:
      json["type"] = "clear";
      break;
    case vx::Value::Type::Bool:
      json["type"] = "boolean";
      json["value"] = *value.boolValue();
      break;
    case vx::Value::Type::Integer:
      json["type"] = "number";
      json["value"] = *value.integerValue();
      break;
    case vx::Value::Type::Double:
      json["type"] = "number";
      json["value"] = *value.doubleValue();
      break;
    case vx::Value::Type::Date:
      json["type"] = "dateTime";
      json["value"] = MSUtility::dateToISO8601(*value.dateValue());
      break;
    case vx::Value::Type::String:
      json["type"] = "string";
      json["value"] = *value.stringValue();
      break;
    default:
      return MSJson();
  }
  return json;
}

MSJson MSCustomPropertiesLog::serializeProperties(const vx::ValueMap& properties) {
  MSJson array = MSJson::array();
  for (const auto& [key, value] : properties) {
    MSJson property = serializeProperty(value);
    if (property.is_null()) continue;
    MSJson entry = MSJson::object();
    entry["name"] = key;
    for (auto it = property.begin(); it != property.end(); ++it) entry[it.key()] = it.value();
    array.push_back(std::move(entry));
  }
  return array;
}

MSJson MSCustomPropertiesLog::serializeToDictionary() const { return fieldTable().toJson(*this); }

bool MSCustomPropertiesLog::isValid() const { return fieldTable().isValid(*this); }

bool MSCustomPropertiesLog::isEqual(const MSSerializableObject& other) const {
  return fieldTable().isEqual(*this, other);
}

// ---- MSCustomProperties ----

MSCustomProperties& MSCustomProperties::setString(const std::string& value, const std::string& key) {
  return setObject(vx::Value(value), key);
}

MSCustomProperties& MSCustomProperties::setNumber(std::int64_t value, const std::string& key) {
  return setObject(vx::Value(value), key);
}

MSCustomProperties& MSCustomProperties::setNumber(double value, const std::string& key) {
  return setObject(vx::Value(value), key);
}

MSCustomProperties& MSCustomProperties::setBool(bool value, const std::string& key) {
  return setObject(vx::Value(value), key);
}

MSCustomProperties& MSCustomProperties::setDate(vx::Date value, const std::string& key) {
  return setObject(vx::Value(value), key);
}

MSCustomProperties& MSCustomProperties::setObject(const vx::Value& value, const std::string& key) {
  std::lock_guard lock(mutex_);
  if (isValidKey(key) && isValidValue(value)) properties_.set(key, value);
  return *this;
}

MSCustomProperties& MSCustomProperties::clearPropertyForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  if (isValidKey(key)) properties_.set(key, vx::Value());
  return *this;
}

vx::ValueMap MSCustomProperties::propertiesImmutableCopy() const {
  std::lock_guard lock(mutex_);
  return properties_;
}

bool MSCustomProperties::isValidKey(const std::string& key) const {
  if (!matchesKeyPattern(key)) {
    MSLogError(kMSLogTag, "Custom property \"%s\" must match \"%s\"", key.c_str(), kKeyPattern);
    return false;
  }
  if (key.size() > kMaxKeyLength) {
    MSLogError(kMSLogTag, "Custom property \"%s\" length cannot be longer than \"%d\" characters.", key.c_str(),
               static_cast<int>(kMaxKeyLength));
    return false;
  }
  if (properties_.contains(key)) {
    MSLogWarning(kMSLogTag, "Custom property \"%s\" is already set or cleared and will be overridden.", key.c_str());
    return true;
  }
  if (properties_.size() < kMaxPropertiesCount) return true;
  MSLogError(kMSLogTag, "Custom properties cannot contain more than \"%d\" items.",
             static_cast<int>(kMaxPropertiesCount));
  return false;
}

bool MSCustomProperties::isValidValue(const vx::Value& value) const {
  if (value.isNull()) {
    MSLogError(kMSLogTag, "Custom property value cannot be null, did you mean to call clear?");
    return false;
  }
  if (const std::string* text = value.stringValue()) {
    if (MSUtility::utf8Length(*text) > kMaxStringValueLength) {
      MSLogError(kMSLogTag, "Custom property value length cannot be longer than \"%d\" characters.",
                 static_cast<int>(kMaxStringValueLength));
      return false;
    }
    return true;
  }
  if (value.isDouble() && !std::isfinite(*value.doubleValue())) {
    MSLogError(kMSLogTag, "Custom property value cannot be NaN or infinite.");
    return false;
  }
  return true;
}
