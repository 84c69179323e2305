#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSEventProperties.h"

#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr const char* kTag = "ZerEvuzevAnalytics";

bool missingValue() {
  MSLogError(kTag, "Value cannot be null. Property will not be added.");
  return false;
}

}  // namespace

MSEventProperties::MSEventProperties(const std::map<std::string, std::string>& strings) {
  for (const auto& [key, value] : strings) {
    auto property = std::make_shared<MSStringTypedProperty>();
    property->name = key;
    property->value = value;
    setLocked(key, std::move(property));
  }
}

MSEventProperties::MSEventProperties(vx::KeyedUnarchiver& coder) {
  auto map = coder.decodeObjectMap("properties");
  if (!map) return;
  for (auto& [key, object] : *map) {
    auto property = std::dynamic_pointer_cast<MSTypedProperty>(object);
    if (!property) {
      coder.failWithError(
          vx::Error(vx::kArchiveErrorDomain, vx::kArchiveErrorWrongType, "An event property is not a typed property."));
      return;
    }
    setLocked(key, std::move(property));
  }
}

bool MSEventProperties::validateKey(const std::optional<std::string>& key) {
  if (key) return true;
  MSLogError(kTag, "Key cannot be null. Property will not be added.");
  return false;
}

bool MSEventProperties::validateValue(const std::optional<std::string>& value) { return value ? true : missingValue(); }

bool MSEventProperties::validateValue(const std::optional<vx::Date>& value) { return value ? true : missingValue(); }

MSEventProperties& MSEventProperties::setString(const std::optional<std::string>& value,
                                                const std::optional<std::string>& key) {
  if (validateKey(key) && validateValue(value)) {
    auto property = std::make_shared<MSStringTypedProperty>();
    property->name = key;
    property->value = value;
    std::lock_guard lock(mutex_);
    setLocked(*key, std::move(property));
  }
  return *this;
}

MSEventProperties& MSEventProperties::setDate(const std::optional<vx::Date>& value,
                                              const std::optional<std::string>& key) {
  if (validateKey(key) && validateValue(value)) {
    auto property = std::make_shared<MSDateTimeTypedProperty>();
    property->name = key;
    property->value = value;
    std::lock_guard lock(mutex_);
    setLocked(*key, std::move(property));
  }
  return *this;
}

MSEventProperties& MSEventProperties::setDouble(double value, const std::optional<std::string>& key) {
  if (!validateKey(key)) return *this;
  if (!std::isfinite(value)) {
    MSLogError(kTag, "Double value for property '%s' must be finite (cannot be INFINITY or NAN).", key->c_str());
    return *this;
  }
  auto property = std::make_shared<MSDoubleTypedProperty>();
  property->name = key;
  property->value = value;
  std::lock_guard lock(mutex_);
  setLocked(*key, std::move(property));
  return *this;
}

MSEventProperties& MSEventProperties::setInt64(std::int64_t value, const std::optional<std::string>& key) {
  if (!validateKey(key)) return *this;
  auto property = std::make_shared<MSLongTypedProperty>();
  property->name = key;
  property->value = value;
  std::lock_guard lock(mutex_);
  setLocked(*key, std::move(property));
  return *this;
}

MSEventProperties& MSEventProperties::setBool(bool value, const std::optional<std::string>& key) {
  if (!validateKey(key)) return *this;
  auto property = std::make_shared<MSBooleanTypedProperty>();
  property->name = key;
  property->value = value;
  std::lock_guard lock(mutex_);
  setLocked(*key, std::move(property));
  return *this;
}

void MSEventProperties::setProperty(const std::string& key, std::shared_ptr<MSTypedProperty> property) {
  if (!property) return;
  std::lock_guard lock(mutex_);
  setLocked(key, std::move(property));
}

bool MSEventProperties::removePropertyForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto found = findLocked(key);
  if (found == properties_.end()) return false;
  properties_.erase(found);
  return true;
}

bool MSEventProperties::containsKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  return findLocked(key) != properties_.end();
}

std::shared_ptr<MSTypedProperty> MSEventProperties::propertyForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto found = findLocked(key);
  return found == properties_.end() ? nullptr : found->second;
}

std::vector<MSEventProperties::Entry> MSEventProperties::properties() const {
  std::lock_guard lock(mutex_);
  return properties_;
}

std::size_t MSEventProperties::count() const {
  std::lock_guard lock(mutex_);
  return properties_.size();
}

bool MSEventProperties::isEmpty() const {
  std::lock_guard lock(mutex_);
  return properties_.empty();
}

void MSEventProperties::mergeEventProperties(const MSEventProperties& other) {
  if (&other == this) return;
  const auto entries = other.properties();
  std::lock_guard lock(mutex_);
  for (const auto& [key, property] : entries) setLocked(key, property);
}

MSJson MSEventProperties::serializeToArray() const {
  MSJson array = MSJson::array();
  std::lock_guard lock(mutex_);
  for (const auto& entry : properties_) array.push_back(entry.second->serializeToDictionary());
  return array;
}

bool MSEventProperties::isEqual(const MSEventProperties& other) const {
  if (&other == this) return true;
  const auto theirs = other.properties();
  std::lock_guard lock(mutex_);
  if (theirs.size() != properties_.size()) return false;
  for (const auto& [key, property] : theirs) {
    auto mine = findLocked(key);
    if (mine == properties_.end() || !mine->second->isEqual(*property)) return false;
  }
  return true;
}

void MSEventProperties::encodeWithCoder(vx::KeyedArchiver& coder) const {
  vx::ArchivableMap map;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [key, property] : properties_) map[key] = property;
  }
  coder.encodeObjectMap(map, "properties");
}

void MSEventProperties::setLocked(const std::string& key, std::shared_ptr<MSTypedProperty> property) {
  auto found = findLocked(key);
  if (found != properties_.end()) {
    found->second = std::move(property);
  } else {
    properties_.emplace_back(key, std::move(property));
  }
}

std::vector<MSEventProperties::Entry>::iterator MSEventProperties::findLocked(const std::string& key) {
  return std::find_if(properties_.begin(), properties_.end(), [&](const Entry& entry) { return entry.first == key; });
}

std::vector<MSEventProperties::Entry>::const_iterator MSEventProperties::findLocked(const std::string& key) const {
  return std::find_if(properties_.begin(), properties_.end(), [&](const Entry& entry) { return entry.first == key; });
}
