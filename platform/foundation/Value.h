// Value: a dynamic value for JSON-like data where nlohmann::json does not fit: it keeps booleans
// apart from numbers and integers apart from doubles, and holds dates (full precision), bytes and
// UUIDs as themselves. User defaults, keyed archives and the info dictionary are made of Values.
//
// Maps (ValueMap) keep their keys in first-insertion order; setting an existing key keeps its
// place. Two maps are equal when they hold equal pairs, whatever their order.
#pragma once

#include "platform/foundation/UUID.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace vx {

using Bytes = std::vector<std::uint8_t>;
using Date = std::chrono::system_clock::time_point;

class Value;
using ValueArray = std::vector<Value>;

// String-keyed map in first-insertion order. Lookups are linear, which is fast for the small
// maps settings and archives hold.
class ValueMap {
 public:
  using Entry = std::pair<std::string, Value>;
  using const_iterator = std::vector<Entry>::const_iterator;
  using iterator = std::vector<Entry>::iterator;

  ValueMap() = default;
  ValueMap(std::initializer_list<Entry> entries);

  // Stores the value; a new key goes last, an existing key keeps its position.
  void set(std::string key, Value value);
  // nullptr when the key is absent.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // Returns whether the key was present.
  bool erase(std::string_view key);
  // The value for the key, inserting null at the end when absent.
  Value& operator[](std::string_view key);

  // Defined after Value: some compilers instantiate these at once and need Value complete.
  std::size_t size() const;
  bool empty() const;
  void clear();
  const_iterator begin() const;
  const_iterator end() const;
  iterator begin();
  iterator end();
  std::vector<std::string> keys() const;

  bool operator==(const ValueMap& other) const;

 private:
  std::vector<Entry> entries_;
};

class Value {
 public:
  enum class Type { Null, Bool, Integer, Double, String, Date, Data, UUID, Array, Map };

  Value() = default;
  Value(std::nullptr_t) {}                // NOLINT
  Value(bool value) : storage_(value) {}  // NOLINT
  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>) Value(T value)
      : storage_(static_cast<std::int64_t>(value)) {  // NOLINT
    // An unsigned value beyond the 64-bit signed range is kept as a double rather than wrapped.
    if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(std::int64_t)) {
      if (value > static_cast<T>(INT64_MAX)) storage_ = static_cast<double>(value);
    }
  }
  Value(double value) : storage_(value) {}                         // NOLINT
  Value(float value) : storage_(static_cast<double>(value)) {}     // NOLINT
  Value(const char* value) : storage_(std::string(value)) {}       // NOLINT
  Value(std::string value) : storage_(std::move(value)) {}         // NOLINT
  Value(std::string_view value) : storage_(std::string(value)) {}  // NOLINT
  Value(Date value) : storage_(value) {}                           // NOLINT
  Value(Bytes value) : storage_(std::move(value)) {}               // NOLINT
  Value(vx::UUID value) : storage_(value) {}                       // NOLINT
  Value(ValueArray value) : storage_(std::move(value)) {}          // NOLINT
  Value(ValueMap value) : storage_(std::move(value)) {}            // NOLINT

  Type type() const { return static_cast<Type>(storage_.index()); }
  // "null", "bool", "integer", "double", "string", "date", "data", "uuid", "array", "map".
  static const char* typeName(Type type);

  bool isNull() const { return type() == Type::Null; }
  bool isBool() const { return type() == Type::Bool; }
  bool isInteger() const { return type() == Type::Integer; }
  bool isDouble() const { return type() == Type::Double; }
  bool isNumber() const { return isInteger() || isDouble(); }
  bool isString() const { return type() == Type::String; }
  bool isDate() const { return type() == Type::Date; }
  bool isData() const { return type() == Type::Data; }
  bool isUUID() const { return type() == Type::UUID; }
  bool isArray() const { return type() == Type::Array; }
  bool isMap() const { return type() == Type::Map; }

  // Typed access: std::nullopt / nullptr when the value holds another type. Booleans never read
  // as numbers; doubleValue() also reads an integer (converted), integerValue() never reads a
  // double.
  std::optional<bool> boolValue() const;
  std::optional<std::int64_t> integerValue() const;
  std::optional<double> doubleValue() const;
  std::optional<Date> dateValue() const;
  std::optional<vx::UUID> uuidValue() const;
  const std::string* stringValue() const { return std::get_if<std::string>(&storage_); }
  const Bytes* dataValue() const { return std::get_if<Bytes>(&storage_); }
  const ValueArray* arrayValue() const { return std::get_if<ValueArray>(&storage_); }
  const ValueMap* mapValue() const { return std::get_if<ValueMap>(&storage_); }
  ValueArray* arrayValue() { return std::get_if<ValueArray>(&storage_); }
  ValueMap* mapValue() { return std::get_if<ValueMap>(&storage_); }

  // Map lookup: the value for the key, or a shared null Value when this is not a map or the key
  // is absent.
  const Value& operator[](std::string_view key) const;
  // Array element, or a shared null Value when this is not an array or the index is out of range.
  const Value& operator[](std::size_t index) const;

  // Equal kinds and equal contents; a NaN equals a NaN, so that a value (and what holds it) is
  // always equal to itself.
  bool operator==(const Value& other) const {
    const auto* mine = std::get_if<double>(&storage_);
    const auto* theirs = std::get_if<double>(&other.storage_);
    if (mine != nullptr && theirs != nullptr) {
      return *mine == *theirs || (*mine != *mine && *theirs != *theirs);
    }
    return storage_ == other.storage_;
  }

  // To JSON. Null, bool, integer, double, string, array and map map to their JSON kinds (maps
  // keep their order with toOrderedJson()); a date becomes ISO 8601 UTC text with milliseconds
  // ("2024-03-05T07:08:09.123Z"), data becomes standard base64 text with padding, a UUID its
  // upper-case hyphenated text. A non-finite double becomes null. These conversions lose the
  // type: fromJson() reads them back as strings.
  nlohmann::json toJson() const;
  nlohmann::ordered_json toOrderedJson() const;
  // From JSON: null, boolean, integer (an unsigned integer beyond the signed 64-bit range
  // becomes a double), float, string, array and object map across; a JSON binary value becomes
  // data. Strings are never guessed to be dates.
  static Value fromJson(const nlohmann::json& json);
  static Value fromJson(const nlohmann::ordered_json& json);

  // Short text for logs and test failures (JSON-like, dates as ISO 8601).
  std::string description() const;

 private:
  std::variant<std::monostate, bool, std::int64_t, double, std::string, Date, Bytes, vx::UUID, ValueArray, ValueMap>
      storage_;
};

std::ostream& operator<<(std::ostream& os, const Value& value);

inline std::size_t ValueMap::size() const { return entries_.size(); }
inline bool ValueMap::empty() const { return entries_.empty(); }
inline void ValueMap::clear() { entries_.clear(); }
inline ValueMap::const_iterator ValueMap::begin() const { return entries_.begin(); }
inline ValueMap::const_iterator ValueMap::end() const { return entries_.end(); }
inline ValueMap::iterator ValueMap::begin() { return entries_.begin(); }
inline ValueMap::iterator ValueMap::end() { return entries_.end(); }

}  // namespace vx
