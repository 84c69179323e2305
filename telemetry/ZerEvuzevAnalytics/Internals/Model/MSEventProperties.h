// The typed properties of one event: key to string, number, boolean or date property. Setters
// refuse a missing key, a missing value and a double that is not finite with an error line and
// change nothing. Entries keep the order they were first set in, which is the order every walk
// (validation, serialising, the common-schema conversion) sees them in.
//
// Every member takes the container's lock; operations on two containers copy the other one under
// its own lock first, so two threads merging or comparing in opposite directions cannot deadlock.
#pragma once

#include "platform/foundation/KeyedArchiver.h"
#include "telemetry/ZerEvuzev/Model/MSTypedProperty.h"
#include "telemetry/ZerEvuzev/Util/MSJson.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class MSEventProperties : public vx::Archivable {
 public:
  using Entry = std::pair<std::string, std::shared_ptr<MSTypedProperty>>;

  MSEventProperties() = default;
  // One string property per entry, named by its key; no check of keys or values.
  explicit MSEventProperties(const std::map<std::string, std::string>& strings);
  // Reads the "properties" map back; a member of another class fails the whole unarchiving.
  explicit MSEventProperties(vx::KeyedUnarchiver& coder);
  MSEventProperties(const MSEventProperties&) = delete;
  MSEventProperties& operator=(const MSEventProperties&) = delete;

  // Each stores a property of its kind under the key, replacing one with that key, and returns
  // the container. A refused call (error line) changes nothing.
  MSEventProperties& setString(const std::optional<std::string>& value, const std::optional<std::string>& key);
  MSEventProperties& setDate(const std::optional<vx::Date>& value, const std::optional<std::string>& key);
  MSEventProperties& setDouble(double value, const std::optional<std::string>& key);
  MSEventProperties& setInt64(std::int64_t value, const std::optional<std::string>& key);
  MSEventProperties& setBool(bool value, const std::optional<std::string>& key);

  // Stores the property under the key as it is (validation builds its result with it).
  void setProperty(const std::string& key, std::shared_ptr<MSTypedProperty> property);
  // Whether the key was present.
  bool removePropertyForKey(const std::string& key);
  bool containsKey(const std::string& key) const;
  std::shared_ptr<MSTypedProperty> propertyForKey(const std::string& key) const;

  // A copy of the entries, in order.
  std::vector<Entry> properties() const;
  std::size_t count() const;
  bool isEmpty() const;
  // Copies every entry of `other` in; on equal keys the other's entry wins.
  void mergeEventProperties(const MSEventProperties& other);
  // The properties' JSON objects, in order.
  MSJson serializeToArray() const;
  // Same keys with equal properties (order does not matter).
  bool isEqual(const MSEventProperties& other) const;

  static bool validateKey(const std::optional<std::string>& key);
  static bool validateValue(const std::optional<std::string>& value);
  static bool validateValue(const std::optional<vx::Date>& value);

  std::string className() const override { return "MSEventProperties"; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override;

 private:
  // Run under the lock.
  void setLocked(const std::string& key, std::shared_ptr<MSTypedProperty> property);
  std::vector<Entry>::iterator findLocked(const std::string& key);
  std::vector<Entry>::const_iterator findLocked(const std::string& key) const;

  mutable std::mutex mutex_;
  std::vector<Entry> properties_;
};
