#include "telemetry/ZerEvuzev/Model/MSTypedProperty.h"

#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <cmath>
#include <limits>
#include <typeinfo>

MSTypedProperty::MSTypedProperty(vx::KeyedUnarchiver& coder)
    : type(coder.decodeString("type")), name(coder.decodeString("name")) {}

void MSTypedProperty::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSEncodeString(coder, type, "type");
  MSEncodeString(coder, name, "name");
}

MSJson MSTypedProperty::serializeToDictionary() const {
  MSJson json = MSJson::object();
  if (type) json["type"] = *type;
  if (name) json["name"] = *name;
  return json;
}

bool MSTypedProperty::isEqual(const MSSerializableObject& other) const {
  const auto* property = dynamic_cast<const MSTypedProperty*>(&other);
  // Only the same kind compares equal, so equal properties always hash equally.
  return property != nullptr && typeid(*this) == typeid(other) && type == property->type;
}

std::size_t MSTypedProperty::hash() const {
  std::size_t seed = 0;
  MSHashAdd(seed, type);
  return seed;
}

// ---- string ----

MSStringTypedProperty::MSStringTypedProperty(vx::KeyedUnarchiver& coder)
    : MSTypedProperty(coder), value(coder.decodeString("value")) {}

void MSStringTypedProperty::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSTypedProperty::encodeWithCoder(coder);
  MSEncodeString(coder, value, "value");
}

MSJson MSStringTypedProperty::serializeToDictionary() const {
  MSJson json = MSTypedProperty::serializeToDictionary();
  if (value) json["value"] = *value;
  return json;
}

bool MSStringTypedProperty::isEqual(const MSSerializableObject& other) const {
  const auto* property = dynamic_cast<const MSStringTypedProperty*>(&other);
  return property != nullptr && MSTypedProperty::isEqual(other) && value == property->value;
}

std::size_t MSStringTypedProperty::hash() const {
  std::size_t seed = MSTypedProperty::hash();
  MSHashAdd(seed, value);
  return seed;
}

// ---- long ----

MSLongTypedProperty::MSLongTypedProperty(vx::KeyedUnarchiver& coder)
    : MSTypedProperty(coder), value(coder.decodeInt64("value").value_or(0)) {}

void MSLongTypedProperty::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSTypedProperty::encodeWithCoder(coder);
  coder.encodeInt64(value, "value");
}

MSJson MSLongTypedProperty::serializeToDictionary() const {
  MSJson json = MSTypedProperty::serializeToDictionary();
  json["value"] = value;
  return json;
}

bool MSLongTypedProperty::isEqual(const MSSerializableObject& other) const {
  const auto* property = dynamic_cast<const MSLongTypedProperty*>(&other);
  return property != nullptr && MSTypedProperty::isEqual(other) && value == property->value;
}

std::size_t MSLongTypedProperty::hash() const {
  std::size_t seed = MSTypedProperty::hash();
  MSHashAdd(seed, value);
  return seed;
}

// ---- double ----

MSDoubleTypedProperty::MSDoubleTypedProperty(vx::KeyedUnarchiver& coder)
    : MSTypedProperty(coder), value(coder.decodeDouble("value").value_or(0)) {}

void MSDoubleTypedProperty::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSTypedProperty::encodeWithCoder(coder);
  coder.encodeDouble(value, "value");
}

MSJson MSDoubleTypedProperty::serializeToDictionary() const {
  MSJson json = MSTypedProperty::serializeToDictionary();
  json["value"] = value;
  return json;
}

bool MSDoubleTypedProperty::isEqual(const MSSerializableObject& other) const {
  const auto* property = dynamic_cast<const MSDoubleTypedProperty*>(&other);
  // A NaN equals a NaN: a log holding one is equal to itself.
  return property != nullptr && MSTypedProperty::isEqual(other) &&
         (value == property->value || (std::isnan(value) && std::isnan(property->value)));
}

std::size_t MSDoubleTypedProperty::hash() const {
  std::size_t seed = MSTypedProperty::hash();
  // 0.0 and -0.0 compare equal and must hash equally; so must every NaN.
  MSHashAdd(seed, value == 0 ? 0.0 : std::isnan(value) ? std::numeric_limits<double>::quiet_NaN() : value);
  return seed;
}

// ---- dateTime ----

MSDateTimeTypedProperty::MSDateTimeTypedProperty(vx::KeyedUnarchiver& coder)
    : MSTypedProperty(coder), value(coder.decodeDate("value")) {}

void MSDateTimeTypedProperty::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSTypedProperty::encodeWithCoder(coder);
  MSEncodeDate(coder, value, "value");
}

MSJson MSDateTimeTypedProperty::serializeToDictionary() const {
  MSJson json = MSTypedProperty::serializeToDictionary();
  if (value) json["value"] = MSUtility::dateToISO8601(*value);
  return json;
}

bool MSDateTimeTypedProperty::isEqual(const MSSerializableObject& other) const {
  const auto* property = dynamic_cast<const MSDateTimeTypedProperty*>(&other);
  return property != nullptr && MSTypedProperty::isEqual(other) && value == property->value;
}

std::size_t MSDateTimeTypedProperty::hash() const {
  std::size_t seed = MSTypedProperty::hash();
  MSHashAdd(seed, value);
  return seed;
}

// ---- boolean ----

MSBooleanTypedProperty::MSBooleanTypedProperty(vx::KeyedUnarchiver& coder)
    : MSTypedProperty(coder), value(coder.decodeBool("value").value_or(false)) {}

void MSBooleanTypedProperty::encodeWithCoder(vx::KeyedArchiver& coder) const {
  MSTypedProperty::encodeWithCoder(coder);
  coder.encodeBool(value, "value");
}

MSJson MSBooleanTypedProperty::serializeToDictionary() const {
  MSJson json = MSTypedProperty::serializeToDictionary();
  json["value"] = value;
  return json;
}

bool MSBooleanTypedProperty::isEqual(const MSSerializableObject& other) const {
  const auto* property = dynamic_cast<const MSBooleanTypedProperty*>(&other);
  return property != nullptr && MSTypedProperty::isEqual(other) && value == property->value;
}

std::size_t MSBooleanTypedProperty::hash() const {
  std::size_t seed = MSTypedProperty::hash();
  MSHashAdd(seed, value);
  return seed;
}
