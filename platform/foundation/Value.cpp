#include "platform/foundation/Value.h"

#include "platform/foundation/DateFormat.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/FoundationInternal.h"
#include "platform/foundation/JSONLimits.h"
#include "platform/foundation/UTF8.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <ostream>

namespace vx {

namespace {

const Value& nullValue() {
  static const Value value;
  return value;
}

template <class Json>
Json toJsonOf(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null:
      return nullptr;
    case Value::Type::Bool:
      return *value.boolValue();
    case Value::Type::Integer:
      return *value.integerValue();
    case Value::Type::Double: {
      const double number = *value.doubleValue();
      if (!std::isfinite(number)) return nullptr;
      return number;
    }
    case Value::Type::String:
      return *value.stringValue();
    case Value::Type::Date:
      return DateFormat::iso8601(*value.dateValue(), true);
    case Value::Type::Data:
      return base64Encode(*value.dataValue());
    case Value::Type::UUID:
      return value.uuidValue()->uuidString();
    case Value::Type::Array: {
      Json array = Json::array();
      for (const auto& element : *value.arrayValue()) array.push_back(toJsonOf<Json>(element));
      return array;
    }
    case Value::Type::Map: {
      Json object = Json::object();
      for (const auto& [key, element] : *value.mapValue()) object[key] = toJsonOf<Json>(element);
      return object;
    }
  }
  return nullptr;
}

template <class Json>
Value fromJsonOf(const Json& json, std::size_t depth = 0) {
  switch (json.type()) {
    case nlohmann::json::value_t::null:
    case nlohmann::json::value_t::discarded:
      return Value();
    case nlohmann::json::value_t::boolean:
      return Value(json.template get<bool>());
    case nlohmann::json::value_t::number_integer:
      return Value(json.template get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned:
      return Value(json.template get<std::uint64_t>());
    case nlohmann::json::value_t::number_float:
      return Value(json.template get<double>());
    case nlohmann::json::value_t::string:
      return Value(json.template get<std::string>());
    case nlohmann::json::value_t::binary:
      return Value(Bytes(json.get_binary().begin(), json.get_binary().end()));
    case nlohmann::json::value_t::array: {
      // An array or object deeper than the system's limit (JSONLimits.h) reads as null, so
      // hostile input cannot exhaust the stack here.
      if (depth >= kMaxJSONNesting) return Value();
      ValueArray array;
      array.reserve(json.size());
      for (const auto& element : json) array.push_back(fromJsonOf(element, depth + 1));
      return Value(std::move(array));
    }
    case nlohmann::json::value_t::object: {
      if (depth >= kMaxJSONNesting) return Value();
      ValueMap map;
      for (auto it = json.begin(); it != json.end(); ++it) {
        map.set(it.key(), fromJsonOf(it.value(), depth + 1));
      }
      return Value(std::move(map));
    }
  }
  return Value();
}

}  // namespace

// ValueMap

ValueMap::ValueMap(std::initializer_list<Entry> entries) {
  for (const auto& entry : entries) set(entry.first, entry.second);
}

void ValueMap::set(std::string key, Value value) {
  if (auto* existing = find(key)) {
    *existing = std::move(value);
    return;
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

const Value* ValueMap::find(std::string_view key) const {
  for (const auto& entry : entries_) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}

Value* ValueMap::find(std::string_view key) {
  for (auto& entry : entries_) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}

bool ValueMap::erase(std::string_view key) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->first == key) {
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

Value& ValueMap::operator[](std::string_view key) {
  if (auto* existing = find(key)) return *existing;
  entries_.emplace_back(std::string(key), Value());
  return entries_.back().second;
}

std::vector<std::string> ValueMap::keys() const {
  std::vector<std::string> keys;
  keys.reserve(entries_.size());
  for (const auto& entry : entries_) keys.push_back(entry.first);
  return keys;
}

bool ValueMap::operator==(const ValueMap& other) const {
  if (size() != other.size()) return false;
  for (const auto& [key, value] : entries_) {
    const auto* theirs = other.find(key);
    if (theirs == nullptr || !(*theirs == value)) return false;
  }
  return true;
}

// Value

const char* Value::typeName(Type type) {
  switch (type) {
    case Type::Null:
      return "null";
    case Type::Bool:
      return "bool";
    case Type::Integer:
      return "integer";
    case Type::Double:
      return "double";
    case Type::String:
      return "string";
    case Type::Date:
      return "date";
    case Type::Data:
      return "data";
    case Type::UUID:
      return "uuid";
    case Type::Array:
      return "array";
    case Type::Map:
      return "map";
  }
  return "unknown";
}

std::optional<bool> Value::boolValue() const {
  if (const auto* value = std::get_if<bool>(&storage_)) return *value;
  return std::nullopt;
}

std::optional<std::int64_t> Value::integerValue() const {
  if (const auto* value = std::get_if<std::int64_t>(&storage_)) return *value;
  return std::nullopt;
}

std::optional<double> Value::doubleValue() const {
  if (const auto* value = std::get_if<double>(&storage_)) return *value;
  if (const auto* value = std::get_if<std::int64_t>(&storage_)) return static_cast<double>(*value);
  return std::nullopt;
}

std::optional<Date> Value::dateValue() const {
  if (const auto* value = std::get_if<Date>(&storage_)) return *value;
  return std::nullopt;
}

std::optional<vx::UUID> Value::uuidValue() const {
  if (const auto* value = std::get_if<vx::UUID>(&storage_)) return *value;
  return std::nullopt;
}

const Value& Value::operator[](std::string_view key) const {
  if (const auto* map = mapValue()) {
    if (const auto* value = map->find(key)) return *value;
  }
  return nullValue();
}

const Value& Value::operator[](std::size_t index) const {
  if (const auto* array = arrayValue()) {
    if (index < array->size()) return (*array)[index];
  }
  return nullValue();
}

nlohmann::json Value::toJson() const { return toJsonOf<nlohmann::json>(*this); }
nlohmann::ordered_json Value::toOrderedJson() const { return toJsonOf<nlohmann::ordered_json>(*this); }
Value Value::fromJson(const nlohmann::json& json) { return fromJsonOf(json); }
Value Value::fromJson(const nlohmann::ordered_json& json) { return fromJsonOf(json); }

std::string Value::description() const {
  // Non-finite doubles would read as null in JSON; show them as themselves.
  if (const auto* number = std::get_if<double>(&storage_); number && !std::isfinite(*number)) {
    return std::isnan(*number) ? "nan" : (*number > 0 ? "inf" : "-inf");
  }
  // A description is for logs: text that is not UTF-8 shows repaired instead of throwing.
  auto json = toOrderedJson();
  utf8::sanitizeJson(json);
  return json.dump();
}

std::ostream& operator<<(std::ostream& os, const Value& value) {
  return os << Value::typeName(value.type()) << ' ' << value.description();
}

}  // namespace vx
