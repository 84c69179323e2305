// The application's own key/value settings for the installation: MSCustomProperties collects and
// validates them, MSCustomPropertiesLog carries one batch of them to the ingestion service.
#pragma once

#include "platform/foundation/Value.h"
#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"

#include <mutex>
#include <optional>
#include <string>

class MSCustomPropertiesLog : public MSAbstractLog {
 public:
  static constexpr const char* kType = "customProperties";
  MSCustomPropertiesLog();
  explicit MSCustomPropertiesLog(vx::KeyedUnarchiver& coder);

  // Key to value: string, integer, double, bool, date, or null (the marker that clears a key).
  std::optional<vx::ValueMap> properties;

  static const MSFieldTable<MSCustomPropertiesLog, MSAbstractLog>& fieldTable();

  std::string className() const override { return "MSCustomPropertiesLog"; }
  // The base keys, the type again under "customProperties", then "properties".
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;
  // The base keys, then "properties": one {"name", "type", "value"} object per property that
  // serialises (in the map's order).
  MSJson serializeToDictionary() const override;
  // Base validity and at least one property.
  bool isValid() const override;
  bool isEqual(const MSSerializableObject& other) const override;

  // {"type": "clear"} for null, "boolean"/"number"/"dateTime"/"string" with "value" otherwise;
  // nothing (null) for values of other kinds.
  static MSJson serializeProperty(const vx::Value& value);
  // The "properties" array: one {"name", ...serializeProperty} object per property that
  // serialises, in the map's order.
  static MSJson serializeProperties(const vx::ValueMap& properties);
};

class MSCustomProperties {
 public:
  static constexpr std::size_t kMaxPropertiesCount = 60;
  static constexpr std::size_t kMaxKeyLength = 128;
  static constexpr std::size_t kMaxStringValueLength = 128;
  static constexpr const char* kKeyPattern = "^[a-zA-Z][a-zA-Z0-9]*$";

  MSCustomProperties() = default;

  // Each stores the value when key and value are valid (a rejected pair is dropped after the
  // validator's log line) and returns *this so calls can be chained.
  MSCustomProperties& setString(const std::string& value, const std::string& key);
  MSCustomProperties& setNumber(std::int64_t value, const std::string& key);
  MSCustomProperties& setNumber(double value, const std::string& key);
  MSCustomProperties& setBool(bool value, const std::string& key);
  MSCustomProperties& setDate(vx::Date value, const std::string& key);
  MSCustomProperties& setObject(const vx::Value& value, const std::string& key);
  // Stores the clear marker (null) under a valid key.
  MSCustomProperties& clearPropertyForKey(const std::string& key);

  vx::ValueMap propertiesImmutableCopy() const;

 private:
  // Run under the lock.
  bool isValidKey(const std::string& key) const;
  bool isValidValue(const vx::Value& value) const;

  mutable std::mutex mutex_;
  vx::ValueMap properties_;
};
