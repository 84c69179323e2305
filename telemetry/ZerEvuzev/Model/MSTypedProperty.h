// Name/value pairs that keep the type of their value, so an event can carry numbers, booleans
// and dates and not only strings. JSON: {"type", "name", "value"}; archive keys the same.
// Equality compares the type and the value, not the name.
#pragma once

#include "telemetry/ZerEvuzev/Model/MSFieldTable.h"
#include "telemetry/ZerEvuzev/Model/MSSerializableObject.h"

#include <cstdint>
#include <optional>
#include <string>

class MSTypedProperty : public MSSerializableObject {
 public:
  MSTypedProperty() = default;
  explicit MSTypedProperty(vx::KeyedUnarchiver& coder);

  std::optional<std::string> type;
  std::optional<std::string> name;

  // "type", then "name" (written, but neither compared nor hashed).
  static const MSFieldTable<MSTypedProperty>& fieldTable();

  std::string className() const override { return "MSTypedProperty"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

class MSStringTypedProperty : public MSTypedProperty {
 public:
  static constexpr const char* kType = "string";
  MSStringTypedProperty() { type = kType; }
  explicit MSStringTypedProperty(vx::KeyedUnarchiver& coder);
  std::optional<std::string> value;

  static const MSFieldTable<MSStringTypedProperty, MSTypedProperty>& fieldTable();

  std::string className() const override { return "MSStringTypedProperty"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

class MSLongTypedProperty : public MSTypedProperty {
 public:
  static constexpr const char* kType = "long";
  MSLongTypedProperty() { type = kType; }
  explicit MSLongTypedProperty(vx::KeyedUnarchiver& coder);
  std::int64_t value = 0;

  static const MSFieldTable<MSLongTypedProperty, MSTypedProperty>& fieldTable();

  std::string className() const override { return "MSLongTypedProperty"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

class MSDoubleTypedProperty : public MSTypedProperty {
 public:
  static constexpr const char* kType = "double";
  MSDoubleTypedProperty() { type = kType; }
  explicit MSDoubleTypedProperty(vx::KeyedUnarchiver& coder);
  double value = 0;

  static const MSFieldTable<MSDoubleTypedProperty, MSTypedProperty>& fieldTable();

  std::string className() const override { return "MSDoubleTypedProperty"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

class MSDateTimeTypedProperty : public MSTypedProperty {
 public:
  static constexpr const char* kType = "dateTime";
  MSDateTimeTypedProperty() { type = kType; }
  explicit MSDateTimeTypedProperty(vx::KeyedUnarchiver& coder);
  std::optional<vx::Date> value;  // ISO 8601 text in JSON

  static const MSFieldTable<MSDateTimeTypedProperty, MSTypedProperty>& fieldTable();

  std::string className() const override { return "MSDateTimeTypedProperty"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};

class MSBooleanTypedProperty : public MSTypedProperty {
 public:
  static constexpr const char* kType = "boolean";
  MSBooleanTypedProperty() { type = kType; }
  explicit MSBooleanTypedProperty(vx::KeyedUnarchiver& coder);
  bool value = false;

  static const MSFieldTable<MSBooleanTypedProperty, MSTypedProperty>& fieldTable();

  std::string className() const override { return "MSBooleanTypedProperty"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  MSJson serializeToDictionary() const override;
  bool isEqual(const MSSerializableObject& other) const override;
  std::size_t hash() const override;
};
