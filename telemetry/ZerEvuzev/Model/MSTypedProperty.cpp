#include "telemetry/ZerEvuzev/Model/MSTypedProperty.h"

#include <typeinfo>

namespace {

// Only the same kind compares equal, so equal properties always hash equally.
bool sameKind(const MSTypedProperty& property, const MSSerializableObject& other) {
  return typeid(property) == typeid(other);
}

}  // namespace

const MSFieldTable<MSTypedProperty>& MSTypedProperty::fieldTable() {
  static constexpr MSField<MSTypedProperty> kFields[] = {
      MSFieldOf<&MSTypedProperty::type>("type"),
      MSFieldOf<&MSTypedProperty::name>("name", MSFieldFlags::Uncompared),
  };
  static constexpr MSFieldTable<MSTypedProperty> kTable(kFields);
  return kTable;
}

MSTypedProperty::MSTypedProperty(vx::KeyedUnarchiver& coder) { fieldTable().decodeOwn(*this, coder); }

void MSTypedProperty::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSTypedProperty::serializeToDictionary() const { return fieldTable().toJson(*this); }

bool MSTypedProperty::isEqual(const MSSerializableObject& other) const {
  return sameKind(*this, other) && fieldTable().isEqual(*this, other);
}

std::size_t MSTypedProperty::hash() const { return fieldTable().hash(*this); }

// ---- string ----

const MSFieldTable<MSStringTypedProperty, MSTypedProperty>& MSStringTypedProperty::fieldTable() {
  static constexpr MSField<MSStringTypedProperty> kFields[] = {MSFieldOf<&MSStringTypedProperty::value>("value")};
  static constexpr MSFieldTable<MSStringTypedProperty, MSTypedProperty> kTable(kFields);
  return kTable;
}

MSStringTypedProperty::MSStringTypedProperty(vx::KeyedUnarchiver& coder) : MSTypedProperty(coder) {
  fieldTable().decodeOwn(*this, coder);
}

void MSStringTypedProperty::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSStringTypedProperty::serializeToDictionary() const { return fieldTable().toJson(*this); }

bool MSStringTypedProperty::isEqual(const MSSerializableObject& other) const {
  return sameKind(*this, other) && fieldTable().isEqual(*this, other);
}

std::size_t MSStringTypedProperty::hash() const { return fieldTable().hash(*this); }

// ---- long ----

const MSFieldTable<MSLongTypedProperty, MSTypedProperty>& MSLongTypedProperty::fieldTable() {
  static constexpr MSField<MSLongTypedProperty> kFields[] = {MSFieldOf<&MSLongTypedProperty::value>("value")};
  static constexpr MSFieldTable<MSLongTypedProperty, MSTypedProperty> kTable(kFields);
  return kTable;
}

MSLongTypedProperty::MSLongTypedProperty(vx::KeyedUnarchiver& coder) : MSTypedProperty(coder) {
  fieldTable().decodeOwn(*this, coder);
}

void MSLongTypedProperty::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSLongTypedProperty::serializeToDictionary() const { return fieldTable().toJson(*this); }

bool MSLongTypedProperty::isEqual(const MSSerializableObject& other) const {
  return sameKind(*this, other) && fieldTable().isEqual(*this, other);
}

std::size_t MSLongTypedProperty::hash() const { return fieldTable().hash(*this); }

// ---- double ----

const MSFieldTable<MSDoubleTypedProperty, MSTypedProperty>& MSDoubleTypedProperty::fieldTable() {
  static constexpr MSField<MSDoubleTypedProperty> kFields[] = {MSFieldOf<&MSDoubleTypedProperty::value>("value")};
  static constexpr MSFieldTable<MSDoubleTypedProperty, MSTypedProperty> kTable(kFields);
  return kTable;
}

MSDoubleTypedProperty::MSDoubleTypedProperty(vx::KeyedUnarchiver& coder) : MSTypedProperty(coder) {
  fieldTable().decodeOwn(*this, coder);
}

void MSDoubleTypedProperty::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSDoubleTypedProperty::serializeToDictionary() const { return fieldTable().toJson(*this); }

bool MSDoubleTypedProperty::isEqual(const MSSerializableObject& other) const {
  return sameKind(*this, other) && fieldTable().isEqual(*this, other);
}

std::size_t MSDoubleTypedProperty::hash() const { return fieldTable().hash(*this); }

// ---- dateTime ----

const MSFieldTable<MSDateTimeTypedProperty, MSTypedProperty>& MSDateTimeTypedProperty::fieldTable() {
  static constexpr MSField<MSDateTimeTypedProperty> kFields[] = {MSFieldOf<&MSDateTimeTypedProperty::value>("value")};
  static constexpr MSFieldTable<MSDateTimeTypedProperty, MSTypedProperty> kTable(kFields);
  return kTable;
}

MSDateTimeTypedProperty::MSDateTimeTypedProperty(vx::KeyedUnarchiver& coder) : MSTypedProperty(coder) {
  fieldTable().decodeOwn(*this, coder);
}

void MSDateTimeTypedProperty::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSDateTimeTypedProperty::serializeToDictionary() const { return fieldTable().toJson(*this); }

bool MSDateTimeTypedProperty::isEqual(const MSSerializableObject& other) const {
  return sameKind(*this, other) && fieldTable().isEqual(*this, other);
}

std::size_t MSDateTimeTypedProperty::hash() const { return fieldTable().hash(*this); }

// ---- boolean ----

const MSFieldTable<MSBooleanTypedProperty, MSTypedProperty>& MSBooleanTypedProperty::fieldTable() {
  static constexpr MSField<MSBooleanTypedProperty> kFields[] = {MSFieldOf<&MSBooleanTypedProperty::value>("value")};
  static constexpr MSFieldTable<MSBooleanTypedProperty, MSTypedProperty> kTable(kFields);
  return kTable;
}

MSBooleanTypedProperty::MSBooleanTypedProperty(vx::KeyedUnarchiver& coder) : MSTypedProperty(coder) {
  fieldTable().decodeOwn(*this, coder);
}

void MSBooleanTypedProperty::encodeWithCoder(vx::KeyedArchiver& coder) const { fieldTable().encode(*this, coder); }

MSJson MSBooleanTypedProperty::serializeToDictionary() const { return fieldTable().toJson(*this); }

bool MSBooleanTypedProperty::isEqual(const MSSerializableObject& other) const {
  return sameKind(*this, other) && fieldTable().isEqual(*this, other);
}

std::size_t MSBooleanTypedProperty::hash() const { return fieldTable().hash(*this); }
