// The validation of event and page logs and of typed event properties.
#include "platform/foundation/UTF8.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"

namespace {

// Lengths are counted in characters, so bytes that are not UTF-8 are repaired first.
std::string repaired(const std::string& text) { return vx::utf8::isValid(text) ? text : vx::utf8::sanitized(text); }

}  // namespace

bool MSAnalytics::validateLog(MSLogWithNameAndProperties& log) {
  const std::string type = log.type.value_or("");
  auto name = validateEventName(log.name, type);
  if (!name) return false;
  log.name = *name;
  log.properties = validateProperties(log.properties.value_or(MSStringDictionary()), *name, type);
  return true;
}

std::optional<std::string> MSAnalytics::validateEventName(const std::optional<std::string>& name,
                                                          const std::string& logType) {
  if (!name || name->empty()) {
    MSLogError(kMSLogTag, "%s name cannot be null or empty", logType.c_str());
    return std::nullopt;
  }
  const std::string text = repaired(*name);
  if (MSUtility::utf8Length(text) > kMSMaxEventNameLength) {
    MSLogWarning(kMSLogTag, "%s '%s' : name length cannot be longer than %d characters. Name will be truncated.",
                 logType.c_str(), text.c_str(), static_cast<int>(kMSMaxEventNameLength));
    return MSUtility::utf8Prefix(text, kMSMaxEventNameLength);
  }
  return text;
}

MSStringDictionary MSAnalytics::validateProperties(const MSStringDictionary& properties, const std::string& logName,
                                                   const std::string& logType) {
  vx::ValueMap values;
  for (const auto& [key, value] : properties) values.set(key, vx::Value(value));
  return MSUtility::validateProperties(values, logName, logType);
}

std::shared_ptr<MSEventProperties> MSAnalytics::validateZerEvuzevEventProperties(const MSEventProperties& properties) {
  auto valid = std::make_shared<MSEventProperties>();
  for (const auto& [key, property] : properties.properties()) {
    if (valid->count() >= kMSMaxPropertiesPerLog) {
      MSLogWarning(kMSLogTag, "Typed properties cannot contain more than %d items. Skipping other properties.",
                   static_cast<int>(kMSMaxPropertiesPerLog));
      break;
    }
    if (!property) continue;
    auto checked = validateZerEvuzevTypedProperty(*property);
    if (!checked) continue;
    const std::string name = checked->name.value_or("");
    valid->setProperty(name, std::move(checked));
  }
  return valid;
}

std::shared_ptr<MSTypedProperty> MSAnalytics::validateZerEvuzevTypedProperty(const MSTypedProperty& property) {
  std::shared_ptr<MSTypedProperty> copy;
  if (const auto* text = dynamic_cast<const MSStringTypedProperty*>(&property)) {
    auto made = std::make_shared<MSStringTypedProperty>();
    if (text->value) made->value = validateZerEvuzevStringTypedPropertyValue(*text->value);
    copy = made;
  } else if (const auto* flag = dynamic_cast<const MSBooleanTypedProperty*>(&property)) {
    auto made = std::make_shared<MSBooleanTypedProperty>();
    made->value = flag->value;
    copy = made;
  } else if (const auto* number = dynamic_cast<const MSLongTypedProperty*>(&property)) {
    auto made = std::make_shared<MSLongTypedProperty>();
    made->value = number->value;
    copy = made;
  } else if (const auto* real = dynamic_cast<const MSDoubleTypedProperty*>(&property)) {
    auto made = std::make_shared<MSDoubleTypedProperty>();
    made->value = real->value;
    copy = made;
  } else if (const auto* date = dynamic_cast<const MSDateTimeTypedProperty*>(&property)) {
    auto made = std::make_shared<MSDateTimeTypedProperty>();
    made->value = date->value;
    copy = made;
  } else {
    return nullptr;
  }
  copy->name = validateZerEvuzevPropertyName(property.name.value_or(""));
  return copy;
}

std::string MSAnalytics::validateZerEvuzevPropertyName(const std::string& key) {
  const std::string text = repaired(key);
  if (MSUtility::utf8Length(text) > kMSMaxPropertyKeyLength) {
    MSLogWarning(kMSLogTag,
                 "Typed property '%s': key length cannot exceed %d characters. Property value will be truncated.",
                 text.c_str(), static_cast<int>(kMSMaxPropertyKeyLength));
    return MSUtility::utf8Prefix(text, kMSMaxPropertyKeyLength);
  }
  return text;
}

std::string MSAnalytics::validateZerEvuzevStringTypedPropertyValue(const std::string& value) {
  const std::string text = repaired(value);
  if (MSUtility::utf8Length(text) > kMSMaxPropertyValueLength) {
    MSLogWarning(kMSLogTag,
                 "Typed property value length cannot exceed %d characters. Property value will be truncated.",
                 static_cast<int>(kMSMaxPropertyValueLength));
    return MSUtility::utf8Prefix(text, kMSMaxPropertyValueLength);
  }
  return text;
}
