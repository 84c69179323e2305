// One table per model class lists its fields once - JSON key, archive key, member and flags - and
// drives JSON writing, archiving, decoding, equality, hash and validity, so a field is never
// listed six times and the six lists can never disagree.
//
// Usage (MSDevice.cpp is the worked example):
//
//   // MyLog.h
//   class MyLog : public MSLogWithProperties {
//    public:
//     MyLog() = default;
//     explicit MyLog(vx::KeyedUnarchiver& coder);
//     std::optional<std::string> name;
//     std::shared_ptr<MSDevice> origin;
//     static const MSFieldTable<MyLog, MSLogWithProperties>& fieldTable();
//     void encodeWithCoder(vx::KeyedArchiver& coder) const override { fieldTable().encode(*this, coder); }
//     MSJson serializeToDictionary() const override { return fieldTable().toJson(*this); }
//     bool isEqual(const MSSerializableObject& other) const override {
//       return fieldTable().isEqual(*this, other);
//     }
//     bool isValid() const override { return fieldTable().isValid(*this); }
//     ...
//   };
//
//   // MyLog.cpp
//   const MSFieldTable<MyLog, MSLogWithProperties>& MyLog::fieldTable() {
//     static constexpr MSField<MyLog> kFields[] = {
//         MSFieldOf<&MyLog::name>("name", MSFieldFlags::Required),
//         MSFieldOf<&MyLog::origin>("origin"),
//     };
//     static constexpr MSFieldTable<MyLog, MSLogWithProperties> kTable(kFields);
//     return kTable;
//   }
//   MyLog::MyLog(vx::KeyedUnarchiver& coder) : MSLogWithProperties(coder) { fieldTable().decodeOwn(*this, coder); }
//
// Rules the generic functions follow:
// - The table's order is the JSON key order and the archive key order. The base class's fields
//   come first: every chained function (toJson, encode, isEqual, hash, isValid) runs the base
//   table, found as `Base::fieldTable()`, before the class's own. Decoding is not chained, since
//   the base's decoding constructor reads the base's fields; call decodeOwn in the constructor.
// - JSON: an optional member is written only when set; a plain number or bool always (unless
//   OmitZero); a nested model only when set and its JSON is not null; dates as ISO 8601 UTC text
//   with milliseconds; UUIDs as upper-case text. A null JSON key leaves the field out of JSON.
// - Archive: an optional member is archived only when set, a plain value always. A null archive
//   key leaves it out of the archive. Decoding assigns a member only when its key holds a value,
//   so default member values stay; a value of the wrong type fails the whole unarchiving.
// - Equality compares every field unless Uncompared; doubles compare NaN equal to NaN. Hash mixes
//   every compared field unless Unhashed, starting from the root table's seed.
// - Validity: a Required field must be set (NonEmpty: set and not empty); a nested model that is
//   set must itself be valid.
// The kind of a field follows from its member's type (see MSFieldTraits below); another library
// can add a kind by specialising MSFieldTraits for its type.
#pragma once

#include "telemetry/ZerEvuzev/Model/MSCoding.h"
#include "telemetry/ZerEvuzev/Model/MSSerializableObject.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

enum class MSFieldFlags : unsigned {
  None = 0,
  Required = 1U << 0,    // isValid needs it set
  NonEmpty = 1U << 1,    // isValid needs it set and not empty (a container)
  Unhashed = 1U << 2,    // compared, but not mixed into hash()
  Uncompared = 1U << 3,  // neither compared nor hashed (a second key for another field's value)
  OmitZero = 1U << 4,    // a plain number is written to JSON only when not zero
  OmitEmpty = 1U << 5,   // a container is written to JSON only when it has entries
};
constexpr MSFieldFlags operator|(MSFieldFlags a, MSFieldFlags b) {
  return static_cast<MSFieldFlags>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool MSHasFlag(MSFieldFlags flags, MSFieldFlags flag) {
  return (static_cast<unsigned>(flags) & static_cast<unsigned>(flag)) != 0;
}

// The JSON text of a date: ISO 8601 UTC with milliseconds.
std::string MSFieldDateText(vx::Date date);

// ---- Kinds ----

// Scalar codecs: how one value of a plain type goes to JSON and to and from the archive.
template <class T>
struct MSScalarCodec;

template <>
struct MSScalarCodec<std::string> {
  static MSJson json(const std::string& value) { return value; }
  static void encode(vx::KeyedArchiver& coder, const std::string& value, std::string_view key) {
    coder.encodeString(value, key);
  }
  static std::optional<std::string> decode(vx::KeyedUnarchiver& coder, std::string_view key) {
    return coder.decodeString(key);
  }
  static bool isZero(const std::string& value) { return value.empty(); }
};
template <>
struct MSScalarCodec<std::int64_t> {
  static MSJson json(std::int64_t value) { return value; }
  static void encode(vx::KeyedArchiver& coder, std::int64_t value, std::string_view key) {
    coder.encodeInt64(value, key);
  }
  static std::optional<std::int64_t> decode(vx::KeyedUnarchiver& coder, std::string_view key) {
    return coder.decodeInt64(key);
  }
  static bool isZero(std::int64_t value) { return value == 0; }
};
template <>
struct MSScalarCodec<double> {
  static MSJson json(double value) { return value; }
  static void encode(vx::KeyedArchiver& coder, double value, std::string_view key) { coder.encodeDouble(value, key); }
  static std::optional<double> decode(vx::KeyedUnarchiver& coder, std::string_view key) {
    return coder.decodeDouble(key);
  }
  static bool isZero(double value) { return value == 0; }
  // A NaN equals a NaN, so a value holding one is equal to itself.
  static bool equal(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }
  // 0.0 and -0.0 compare equal and must hash equally; so must every NaN.
  static void hash(std::size_t& seed, double value) {
    MSHashAdd(seed, value == 0 ? 0.0 : std::isnan(value) ? std::numeric_limits<double>::quiet_NaN() : value);
  }
};
template <>
struct MSScalarCodec<bool> {
  static MSJson json(bool value) { return value; }
  static void encode(vx::KeyedArchiver& coder, bool value, std::string_view key) { coder.encodeBool(value, key); }
  static std::optional<bool> decode(vx::KeyedUnarchiver& coder, std::string_view key) { return coder.decodeBool(key); }
  static bool isZero(bool value) { return !value; }
};
template <>
struct MSScalarCodec<vx::Date> {
  static MSJson json(vx::Date value) { return MSFieldDateText(value); }
  static void encode(vx::KeyedArchiver& coder, vx::Date value, std::string_view key) { coder.encodeDate(value, key); }
  static std::optional<vx::Date> decode(vx::KeyedUnarchiver& coder, std::string_view key) {
    return coder.decodeDate(key);
  }
  static bool isZero(vx::Date value) { return value.time_since_epoch().count() == 0; }
  static void hash(std::size_t& seed, vx::Date value) { MSHashAdd(seed, value); }
};
template <>
struct MSScalarCodec<vx::UUID> {
  static MSJson json(const vx::UUID& value) { return value.uuidString(); }
  static void encode(vx::KeyedArchiver& coder, const vx::UUID& value, std::string_view key) {
    coder.encodeUUID(value, key);
  }
  static std::optional<vx::UUID> decode(vx::KeyedUnarchiver& coder, std::string_view key) {
    return coder.decodeUUID(key);
  }
  static bool isZero(const vx::UUID&) { return false; }
};

namespace msfield_detail {
template <class Codec, class T>
concept HasEqual = requires(const T& a) {
  Codec::equal(a, a);
};
template <class Codec, class T>
concept HasHash = requires(std::size_t& seed, const T& a) {
  Codec::hash(seed, a);
};

template <class T>
bool scalarEqual(const T& a, const T& b) {
  if constexpr (HasEqual<MSScalarCodec<T>, T>)
    return MSScalarCodec<T>::equal(a, b);
  else
    return a == b;
}
template <class T>
void scalarHash(std::size_t& seed, const T& value) {
  if constexpr (HasHash<MSScalarCodec<T>, T>)
    MSScalarCodec<T>::hash(seed, value);
  else
    MSHashAdd(seed, value);
}
template <class T>
bool modelValid(const T& model) {
  if constexpr (std::is_base_of_v<MSModel, T>)
    return model.isValid();
  else
    return true;
}
}  // namespace msfield_detail

// What the table does with a member of type T. Each kind gives: json (add under key, or not),
// encode, decode (assign only when present), equal, hash, isSet (for Required / NonEmpty) and
// nestedValid (false only for a set nested model that is not valid).
template <class T>
struct MSFieldTraits {
  // A plain scalar (std::int64_t, double, bool): always set, always archived.
  static void json(const T& value, MSJson& json, const char* key, MSFieldFlags flags) {
    if (MSHasFlag(flags, MSFieldFlags::OmitZero) && MSScalarCodec<T>::isZero(value)) return;
    json[key] = MSScalarCodec<T>::json(value);
  }
  static void encode(const T& value, vx::KeyedArchiver& coder, std::string_view key) {
    MSScalarCodec<T>::encode(coder, value, key);
  }
  static void decode(T& value, vx::KeyedUnarchiver& coder, std::string_view key) {
    if (auto decoded = MSScalarCodec<T>::decode(coder, key)) value = std::move(*decoded);
  }
  static bool equal(const T& a, const T& b) { return msfield_detail::scalarEqual(a, b); }
  static void hash(std::size_t& seed, const T& value) { msfield_detail::scalarHash(seed, value); }
  static bool isSet(const T&, MSFieldFlags) { return true; }
  static bool nestedValid(const T&) { return true; }
};

// An optional scalar: written and archived only when set.
template <class T>
struct MSFieldTraits<std::optional<T>> {
  static void json(const std::optional<T>& value, MSJson& json, const char* key, MSFieldFlags flags) {
    if (!value) return;
    if (MSHasFlag(flags, MSFieldFlags::OmitZero) && MSScalarCodec<T>::isZero(*value)) return;
    json[key] = MSScalarCodec<T>::json(*value);
  }
  static void encode(const std::optional<T>& value, vx::KeyedArchiver& coder, std::string_view key) {
    if (value) MSScalarCodec<T>::encode(coder, *value, key);
  }
  static void decode(std::optional<T>& value, vx::KeyedUnarchiver& coder, std::string_view key) {
    if (auto decoded = MSScalarCodec<T>::decode(coder, key)) value = std::move(decoded);
  }
  static bool equal(const std::optional<T>& a, const std::optional<T>& b) {
    if (!a || !b) return !a && !b;
    return msfield_detail::scalarEqual(*a, *b);
  }
  static void hash(std::size_t& seed, const std::optional<T>& value) {
    if (value)
      msfield_detail::scalarHash(seed, *value);
    else
      MSHashCombine(seed, 0x5bd1e995);
  }
  static bool isSet(const std::optional<T>& value, MSFieldFlags flags) {
    if constexpr (std::is_same_v<T, std::string>) {
      if (MSHasFlag(flags, MSFieldFlags::NonEmpty)) return value && !value->empty();
    }
    return value.has_value();
  }
  static bool nestedValid(const std::optional<T>&) { return true; }
};

// A text-to-text dictionary: a JSON object; archived as a map of strings.
template <>
struct MSFieldTraits<std::optional<std::map<std::string, std::string>>> {
  using Type = std::optional<std::map<std::string, std::string>>;
  static void json(const Type& value, MSJson& json, const char* key, MSFieldFlags flags) {
    if (!value || (MSHasFlag(flags, MSFieldFlags::OmitEmpty) && value->empty())) return;
    MSJson object = MSJson::object();
    for (const auto& [name, text] : *value) object[name] = text;
    json[key] = std::move(object);
  }
  static void encode(const Type& value, vx::KeyedArchiver& coder, std::string_view key) {
    MSEncodeStringDictionary(coder, value, key);
  }
  static void decode(Type& value, vx::KeyedUnarchiver& coder, std::string_view key) {
    if (auto decoded = MSDecodeStringDictionary(coder, key)) value = std::move(decoded);
  }
  static bool equal(const Type& a, const Type& b) { return a == b; }
  static void hash(std::size_t& seed, const Type& value) {
    if (!value) return;
    for (const auto& [name, text] : *value) {
      MSHashAdd(seed, name);
      MSHashAdd(seed, text);
    }
  }
  static bool isSet(const Type& value, MSFieldFlags flags) {
    return value && !(MSHasFlag(flags, MSFieldFlags::NonEmpty) && value->empty());
  }
  static bool nestedValid(const Type&) { return true; }
};

// A list of strings: a JSON array; archived as an array of strings.
template <>
struct MSFieldTraits<std::optional<std::vector<std::string>>> {
  using Type = std::optional<std::vector<std::string>>;
  static void json(const Type& value, MSJson& json, const char* key, MSFieldFlags flags) {
    if (!value || (MSHasFlag(flags, MSFieldFlags::OmitEmpty) && value->empty())) return;
    json[key] = *value;
  }
  static void encode(const Type& value, vx::KeyedArchiver& coder, std::string_view key) {
    MSEncodeStringArray(coder, value, key);
  }
  static void decode(Type& value, vx::KeyedUnarchiver& coder, std::string_view key) {
    if (auto decoded = MSDecodeStringArray(coder, key)) value = std::move(decoded);
  }
  static bool equal(const Type& a, const Type& b) { return a == b; }
  static void hash(std::size_t& seed, const Type& value) {
    if (!value) return;
    for (const auto& text : *value) MSHashAdd(seed, text);
  }
  static bool isSet(const Type& value, MSFieldFlags flags) {
    return value && !(MSHasFlag(flags, MSFieldFlags::NonEmpty) && value->empty());
  }
  static bool nestedValid(const Type&) { return true; }
};

// A JSON object kept with its key order; compared and hashed without regard to key order.
template <>
struct MSFieldTraits<std::optional<MSJson>> {
  using Type = std::optional<MSJson>;
  static void json(const Type& value, MSJson& json, const char* key, MSFieldFlags) {
    if (value && !value->is_null()) json[key] = *value;
  }
  static void encode(const Type& value, vx::KeyedArchiver& coder, std::string_view key) {
    MSEncodeJson(coder, value, key);
  }
  static void decode(Type& value, vx::KeyedUnarchiver& coder, std::string_view key) {
    if (auto decoded = MSDecodeJson(coder, key, true)) value = std::move(decoded);
  }
  static bool equal(const Type& a, const Type& b) { return MSJsonEqualUnordered(a, b); }
  static void hash(std::size_t& seed, const Type& value) { MSHashCombine(seed, MSJsonHashUnordered(value)); }
  static bool isSet(const Type& value, MSFieldFlags flags) {
    return value && !(MSHasFlag(flags, MSFieldFlags::NonEmpty) && value->empty());
  }
  static bool nestedValid(const Type&) { return true; }
};

// A dictionary of typed values (strings, numbers, bools, dates, null...), archived with its types
// kept. Its default JSON is the plain JSON object; give the field a JSON writer for another shape.
template <>
struct MSFieldTraits<std::optional<vx::ValueMap>> {
  using Type = std::optional<vx::ValueMap>;
  static void json(const Type& value, MSJson& json, const char* key, MSFieldFlags flags) {
    if (!value || (MSHasFlag(flags, MSFieldFlags::OmitEmpty) && value->empty())) return;
    json[key] = vx::Value(*value).toOrderedJson();
  }
  static void encode(const Type& value, vx::KeyedArchiver& coder, std::string_view key) {
    if (value) coder.encodeValue(vx::Value(*value), key);
  }
  static void decode(Type& value, vx::KeyedUnarchiver& coder, std::string_view key) {
    auto decoded = coder.decodeValue(key);
    if (!decoded) return;
    if (const vx::ValueMap* map = decoded->mapValue()) {
      value = *map;
    } else {
      MSFailWrongType(coder, key, "a dictionary");
    }
  }
  static bool equal(const Type& a, const Type& b) { return a == b; }
  // Equal maps have equal sizes; the values themselves have no hash.
  static void hash(std::size_t& seed, const Type& value) { MSHashCombine(seed, value ? value->size() + 1 : 0); }
  static bool isSet(const Type& value, MSFieldFlags flags) {
    return value && !(MSHasFlag(flags, MSFieldFlags::NonEmpty) && value->empty());
  }
  static bool nestedValid(const Type&) { return true; }
};

// A nested model: its own JSON object and archive; compared with its isEqual, valid when set and
// valid (or unset and not Required).
template <class T>
struct MSFieldTraits<std::shared_ptr<T>> {
  static_assert(std::is_base_of_v<MSSerializableObject, T>, "a nested field must be a model class");
  using Type = std::shared_ptr<T>;
  static void json(const Type& value, MSJson& json, const char* key, MSFieldFlags) {
    if (!value) return;
    if (MSJson object = value->serializeToDictionary(); !object.is_null()) json[key] = std::move(object);
  }
  static void encode(const Type& value, vx::KeyedArchiver& coder, std::string_view key) {
    if (value) coder.encodeObject(value.get(), key);
  }
  static void decode(Type& value, vx::KeyedUnarchiver& coder, std::string_view key) {
    if (auto decoded = coder.decodeObjectOfClass<T>(key)) value = std::move(decoded);
  }
  static bool equal(const Type& a, const Type& b) { return MSEqualObjects(a, b); }
  static void hash(std::size_t& seed, const Type& value) { MSHashCombine(seed, value ? value->hash() : 0); }
  static bool isSet(const Type& value, MSFieldFlags) { return value != nullptr; }
  static bool nestedValid(const Type& value) { return !value || msfield_detail::modelValid(*value); }
};

// A list of nested models: a JSON array of their objects; archived as an array of objects. An
// element of another class fails the unarchiving; every element must be set and valid.
template <class T>
struct MSFieldTraits<std::optional<std::vector<std::shared_ptr<T>>>> {
  static_assert(std::is_base_of_v<MSSerializableObject, T>, "a list field must hold model classes");
  using Type = std::optional<std::vector<std::shared_ptr<T>>>;
  static void json(const Type& value, MSJson& json, const char* key, MSFieldFlags flags) {
    if (!value || (MSHasFlag(flags, MSFieldFlags::OmitEmpty) && value->empty())) return;
    MSJson array = MSJson::array();
    for (const auto& element : *value) {
      if (!element) continue;
      if (MSJson object = element->serializeToDictionary(); !object.is_null()) array.push_back(std::move(object));
    }
    json[key] = std::move(array);
  }
  static void encode(const Type& value, vx::KeyedArchiver& coder, std::string_view key) {
    if (!value) return;
    vx::ArchivableArray objects(value->begin(), value->end());
    coder.encodeObjects(objects, key);
  }
  static void decode(Type& value, vx::KeyedUnarchiver& coder, std::string_view key) {
    auto objects = coder.decodeObjects(key);
    if (!objects) return;
    std::vector<std::shared_ptr<T>> typed;
    typed.reserve(objects->size());
    for (auto& object : *objects) {
      auto element = std::dynamic_pointer_cast<T>(object);
      if (!element) {
        MSFailWrongType(coder, key, "an array of the expected class");
        return;
      }
      typed.push_back(std::move(element));
    }
    value = std::move(typed);
  }
  static bool equal(const Type& a, const Type& b) {
    if (!a || !b) return !a && !b;
    if (a->size() != b->size()) return false;
    for (std::size_t i = 0; i < a->size(); ++i) {
      if (!MSEqualObjects((*a)[i], (*b)[i])) return false;
    }
    return true;
  }
  static void hash(std::size_t& seed, const Type& value) {
    if (!value) return;
    for (const auto& element : *value) MSHashCombine(seed, element ? element->hash() : 0);
  }
  static bool isSet(const Type& value, MSFieldFlags flags) {
    return value && !(MSHasFlag(flags, MSFieldFlags::NonEmpty) && value->empty());
  }
  static bool nestedValid(const Type& value) {
    if (!value) return true;
    for (const auto& element : *value) {
      if (!element || !msfield_detail::modelValid(*element)) return false;
    }
    return true;
  }
};

// An opaque owner object, compared by identity; it has no JSON or archive form, so give it null
// keys.
template <>
struct MSFieldTraits<std::shared_ptr<void>> {
  using Type = std::shared_ptr<void>;
  static void json(const Type&, MSJson&, const char*, MSFieldFlags) {}
  static void encode(const Type&, vx::KeyedArchiver&, std::string_view) {}
  static void decode(Type&, vx::KeyedUnarchiver&, std::string_view) {}
  static bool equal(const Type& a, const Type& b) { return a == b; }
  static void hash(std::size_t& seed, const Type& value) { MSHashAdd(seed, value); }
  static bool isSet(const Type& value, MSFieldFlags) { return value != nullptr; }
  static bool nestedValid(const Type&) { return true; }
};

// ---- Fields ----

// One row of a class's table. Build rows with MSFieldOf; the function pointers are the kind's
// operations bound to the member.
template <class C>
struct MSField {
  const char* jsonKey;          // nullptr: not written to JSON
  std::string_view archiveKey;  // null data(): not archived (its length is counted once, here)
  MSFieldFlags flags;
  void (*json)(const C&, MSJson&, const char* key, MSFieldFlags flags);
  void (*encode)(const C&, vx::KeyedArchiver&, std::string_view key);
  void (*decode)(C&, vx::KeyedUnarchiver&, std::string_view key);
  bool (*equal)(const C&, const C&);
  void (*hash)(std::size_t&, const C&);
  bool (*isSet)(const C&, MSFieldFlags flags);
  bool (*nestedValid)(const C&);

  // The same field with its own JSON writer (for a shape the kind does not give); the writer
  // adds the field's entry to `json` or nothing.
  constexpr MSField withJsonWriter(void (*writer)(const C&, MSJson&, const char* key, MSFieldFlags)) const {
    MSField field = *this;
    field.json = writer;
    return field;
  }
};

namespace msfield_detail {
template <class M>
struct MemberPointer;
template <class T, class B>
struct MemberPointer<T B::*> {
  using Value = T;
  using Class = B;
};
template <auto Member>
using MemberValue = typename MemberPointer<decltype(Member)>::Value;
template <auto Member>
using MemberClass = typename MemberPointer<decltype(Member)>::Class;
}  // namespace msfield_detail

// The row of member `Member` of class C (the member's own class unless given, so a class can
// list a field of its base under a key of its own). JSON and archive keys may differ; either may
// be nullptr.
template <auto Member, class C = msfield_detail::MemberClass<Member>>
constexpr MSField<C> MSFieldOf(const char* jsonKey, const char* archiveKey, MSFieldFlags flags = MSFieldFlags::None) {
  using Traits = MSFieldTraits<msfield_detail::MemberValue<Member>>;
  return MSField<C>{
      jsonKey,
      archiveKey != nullptr ? std::string_view(archiveKey) : std::string_view(),
      flags,
      [](const C& object, MSJson& json, const char* key, MSFieldFlags f) {
        Traits::json(object.*Member, json, key, f);
      },
      [](const C& object, vx::KeyedArchiver& coder, std::string_view key) {
        Traits::encode(object.*Member, coder, key);
      },
      [](C& object, vx::KeyedUnarchiver& coder, std::string_view key) { Traits::decode(object.*Member, coder, key); },
      [](const C& a, const C& b) { return Traits::equal(a.*Member, b.*Member); },
      [](std::size_t& seed, const C& object) { Traits::hash(seed, object.*Member); },
      [](const C& object, MSFieldFlags f) { return Traits::isSet(object.*Member, f); },
      [](const C& object) { return Traits::nestedValid(object.*Member); },
  };
}
// The same key in JSON and in the archive.
template <auto Member, class C = msfield_detail::MemberClass<Member>>
constexpr MSField<C> MSFieldOf(const char* key, MSFieldFlags flags = MSFieldFlags::None) {
  return MSFieldOf<Member, C>(key, key, flags);
}

// ---- Tables ----

// The fields of class C, after those of Base (void for a root class). Base must give
// `static const MSFieldTable<Base, ...>& fieldTable()`.
template <class C, class Base = void>
class MSFieldTable {
 public:
  // `hashSeed` starts the hash of a root class (a subclass's is ignored: its base's counts).
  template <std::size_t N>
  constexpr explicit MSFieldTable(const MSField<C> (&fields)[N], std::size_t hashSeed = 0)
      : fields_(fields, N), hashSeed_(hashSeed) {}

  std::span<const MSField<C>> fields() const { return fields_; }

  // The JSON object of the base's fields, then the class's own.
  MSJson toJson(const C& object) const {
    MSJson json = MSJson::object();
    writeJson(object, json);
    return json;
  }
  void writeJson(const C& object, MSJson& json) const {
    if constexpr (hasBase) Base::fieldTable().writeJson(object, json);
    writeOwnJson(object, json);
  }
  // Only the class's own fields (for a class whose JSON leaves out its base's keys).
  void writeOwnJson(const C& object, MSJson& json) const {
    for (const auto& field : fields_) {
      if (field.jsonKey != nullptr) field.json(object, json, field.jsonKey, field.flags);
    }
  }

  // Archives the base's fields, then the class's own.
  void encode(const C& object, vx::KeyedArchiver& coder) const {
    if constexpr (hasBase) Base::fieldTable().encode(object, coder);
    for (const auto& field : fields_) {
      if (field.archiveKey.data() != nullptr) field.encode(object, coder, field.archiveKey);
    }
  }
  // Reads the class's own fields (the base's decoding constructor reads the base's).
  void decodeOwn(C& object, vx::KeyedUnarchiver& coder) const {
    for (const auto& field : fields_) {
      if (field.archiveKey.data() != nullptr) field.decode(object, coder, field.archiveKey);
    }
  }

  // The other is a C (or a subclass) with equal fields, the base's included.
  bool isEqual(const C& object, const MSSerializableObject& other) const {
    const auto* same = dynamic_cast<const C*>(&other);
    return same != nullptr && equal(object, *same);
  }
  bool equal(const C& a, const C& b) const {
    if constexpr (hasBase) {
      if (!Base::fieldTable().equal(a, b)) return false;
    }
    return ownEqual(a, b);
  }
  bool ownEqual(const C& a, const C& b) const {
    for (const auto& field : fields_) {
      if (!MSHasFlag(field.flags, MSFieldFlags::Uncompared) && !field.equal(a, b)) return false;
    }
    return true;
  }

  // The root table's seed mixed with every compared, hashed field, the base's first.
  std::size_t hash(const C& object) const {
    std::size_t seed = hashSeed();
    addHash(seed, object);
    return seed;
  }
  std::size_t hashSeed() const {
    if constexpr (hasBase)
      return Base::fieldTable().hashSeed();
    else
      return hashSeed_;
  }
  void addHash(std::size_t& seed, const C& object) const {
    if constexpr (hasBase) Base::fieldTable().addHash(seed, object);
    for (const auto& field : fields_) {
      if (!MSHasFlag(field.flags, MSFieldFlags::Uncompared) && !MSHasFlag(field.flags, MSFieldFlags::Unhashed)) {
        field.hash(seed, object);
      }
    }
  }

  // The base's rules, then the class's own.
  bool isValid(const C& object) const {
    if constexpr (hasBase) {
      if (!Base::fieldTable().isValid(object)) return false;
    }
    return ownValid(object);
  }
  bool ownValid(const C& object) const {
    for (const auto& field : fields_) {
      const bool required =
          MSHasFlag(field.flags, MSFieldFlags::Required) || MSHasFlag(field.flags, MSFieldFlags::NonEmpty);
      if (required && !field.isSet(object, field.flags)) return false;
      if (!field.nestedValid(object)) return false;
    }
    return true;
  }

 private:
  static constexpr bool hasBase = !std::is_void_v<Base>;
  std::span<const MSField<C>> fields_;
  std::size_t hashSeed_;
};
