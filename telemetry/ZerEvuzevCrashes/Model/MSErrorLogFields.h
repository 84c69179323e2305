// One table per error-log class: each row names a key and a member, and the member's type picks
// how it is written to JSON, archived, compared, hashed and checked for presence. The class's
// serialisation, archiving, equality, hash and validity all walk the same rows, so a field added
// to the table can never be forgotten by one of them.
//
// Rows are listed in JSON key order. The keyed archive is a map, so its order does not matter;
// equality and hash give the same answer in any order.
#pragma once

#include "platform/foundation/Base64.h"
#include "platform/foundation/KeyedArchiver.h"
#include "telemetry/ZerEvuzev/Model/MSCoding.h"
#include "telemetry/ZerEvuzev/Model/MSSerializableObject.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

// How one member type behaves. Specialised below for every type the error-log classes use.
template <class T>
struct MSErrorFieldKind;

template <>
struct MSErrorFieldKind<std::optional<std::string>> {
  using T = std::optional<std::string>;
  static bool present(const T& v) { return v.has_value(); }
  static void toJson(const T& v, MSJson& json, const char* key) {
    if (v) json[key] = *v;
  }
  static void encode(const T& v, vx::KeyedArchiver& coder, const char* key) { MSEncodeString(coder, v, key); }
  static void decode(T& v, vx::KeyedUnarchiver& coder, const char* key) { v = coder.decodeString(key); }
  static bool equal(const T& a, const T& b) { return a == b; }
  static void hash(const T& v, std::size_t& seed) { MSHashAdd(seed, v); }
};

template <>
struct MSErrorFieldKind<std::optional<std::int64_t>> {
  using T = std::optional<std::int64_t>;
  static bool present(const T& v) { return v.has_value(); }
  static void toJson(const T& v, MSJson& json, const char* key) {
    if (v) json[key] = *v;
  }
  static void encode(const T& v, vx::KeyedArchiver& coder, const char* key) { MSEncodeInt64(coder, v, key); }
  static void decode(T& v, vx::KeyedUnarchiver& coder, const char* key) { v = coder.decodeInt64(key); }
  static bool equal(const T& a, const T& b) { return a == b; }
  static void hash(const T& v, std::size_t& seed) { MSHashAdd(seed, v); }
};

// Unsigned 64-bit numbers (CPU types) are archived by their bit pattern, so values above the
// signed range come back unchanged.
template <>
struct MSErrorFieldKind<std::optional<std::uint64_t>> {
  using T = std::optional<std::uint64_t>;
  static bool present(const T& v) { return v.has_value(); }
  static void toJson(const T& v, MSJson& json, const char* key) {
    if (v) json[key] = *v;
  }
  static void encode(const T& v, vx::KeyedArchiver& coder, const char* key) {
    if (v) coder.encodeInt64(static_cast<std::int64_t>(*v), key);
  }
  static void decode(T& v, vx::KeyedUnarchiver& coder, const char* key) {
    const auto raw = coder.decodeInt64(key);
    v = raw ? T(static_cast<std::uint64_t>(*raw)) : std::nullopt;
  }
  static bool equal(const T& a, const T& b) { return a == b; }
  static void hash(const T& v, std::size_t& seed) { MSHashAdd(seed, v); }
};

// A plain flag: always written, absent in an archive reads as false.
template <>
struct MSErrorFieldKind<bool> {
  static bool present(const bool&) { return true; }
  static void toJson(const bool& v, MSJson& json, const char* key) { json[key] = v; }
  static void encode(const bool& v, vx::KeyedArchiver& coder, const char* key) { coder.encodeBool(v, key); }
  static void decode(bool& v, vx::KeyedUnarchiver& coder, const char* key) { v = coder.decodeBool(key).value_or(false); }
  static bool equal(const bool& a, const bool& b) { return a == b; }
  static void hash(const bool& v, std::size_t& seed) { MSHashAdd(seed, v); }
};

template <>
struct MSErrorFieldKind<std::optional<vx::Date>> {
  using T = std::optional<vx::Date>;
  static bool present(const T& v) { return v.has_value(); }
  static void toJson(const T& v, MSJson& json, const char* key) {
    if (v) json[key] = MSUtility::dateToISO8601(*v);
  }
  static void encode(const T& v, vx::KeyedArchiver& coder, const char* key) { MSEncodeDate(coder, v, key); }
  static void decode(T& v, vx::KeyedUnarchiver& coder, const char* key) { v = coder.decodeDate(key); }
  static bool equal(const T& a, const T& b) { return a == b; }
  static void hash(const T& v, std::size_t& seed) { MSHashAdd(seed, v); }
};

// Bytes: Base64 text in JSON, raw bytes in the archive.
template <>
struct MSErrorFieldKind<std::optional<vx::Bytes>> {
  using T = std::optional<vx::Bytes>;
  static bool present(const T& v) { return v.has_value(); }
  static void toJson(const T& v, MSJson& json, const char* key) {
    if (v) json[key] = vx::base64Encode(vx::ByteView(*v));
  }
  static void encode(const T& v, vx::KeyedArchiver& coder, const char* key) {
    if (v) coder.encodeData(*v, key);
  }
  static void decode(T& v, vx::KeyedUnarchiver& coder, const char* key) { v = coder.decodeData(key); }
  static bool equal(const T& a, const T& b) { return a == b; }
  static void hash(const T& v, std::size_t& seed) {
    MSHashCombine(seed, v ? std::hash<std::string_view>{}(std::string_view(
                                reinterpret_cast<const char*>(v->data()), v->size()))
                          : 0x5bd1e995);
  }
};

template <>
struct MSErrorFieldKind<std::optional<std::map<std::string, std::string>>> {
  using T = std::optional<std::map<std::string, std::string>>;
  static bool present(const T& v) { return v.has_value(); }
  static void toJson(const T& v, MSJson& json, const char* key) {
    if (!v) return;
    MSJson object = MSJson::object();
    for (const auto& [name, value] : *v) object[name] = value;
    json[key] = std::move(object);
  }
  static void encode(const T& v, vx::KeyedArchiver& coder, const char* key) { MSEncodeStringDictionary(coder, v, key); }
  static void decode(T& v, vx::KeyedUnarchiver& coder, const char* key) { v = MSDecodeStringDictionary(coder, key); }
  static bool equal(const T& a, const T& b) { return a == b; }
  static void hash(const T& v, std::size_t& seed) {
    MSHashCombine(seed, v ? v->size() : 0x5bd1e995);
    if (v) {
      for (const auto& [name, value] : *v) {
        MSHashAdd(seed, name);
        MSHashAdd(seed, value);
      }
    }
  }
};

// A nested model object, written as its own JSON object and archived as a nested object.
template <class O>
struct MSErrorFieldKind<std::shared_ptr<O>> {
  static_assert(std::is_base_of_v<MSSerializableObject, O>);
  using T = std::shared_ptr<O>;
  static bool present(const T& v) { return v != nullptr; }
  static void toJson(const T& v, MSJson& json, const char* key) {
    if (v) json[key] = v->serializeToDictionary();
  }
  static void encode(const T& v, vx::KeyedArchiver& coder, const char* key) {
    if (v) coder.encodeObject(v.get(), key);
  }
  static void decode(T& v, vx::KeyedUnarchiver& coder, const char* key) { v = coder.decodeObjectOfClass<O>(key); }
  static bool equal(const T& a, const T& b) { return MSEqualObjects(a, b); }
  static void hash(const T& v, std::size_t& seed) { MSHashCombine(seed, v ? v->hash() : 0x5bd1e995); }
};

// A list of nested model objects: a JSON array of objects (an empty list gives []), an archived
// array whose every element must be of the list's class.
template <class O>
struct MSErrorFieldKind<std::optional<std::vector<std::shared_ptr<O>>>> {
  static_assert(std::is_base_of_v<MSSerializableObject, O>);
  using T = std::optional<std::vector<std::shared_ptr<O>>>;
  static bool present(const T& v) { return v.has_value(); }
  static void toJson(const T& v, MSJson& json, const char* key) {
    if (!v) return;
    MSJson array = MSJson::array();
    for (const auto& element : *v) {
      if (element) array.push_back(element->serializeToDictionary());
    }
    json[key] = std::move(array);
  }
  static void encode(const T& v, vx::KeyedArchiver& coder, const char* key) {
    if (!v) return;
    vx::ArchivableArray array(v->begin(), v->end());
    coder.encodeObjects(array, key);
  }
  static void decode(T& v, vx::KeyedUnarchiver& coder, const char* key) {
    v.reset();
    auto array = coder.decodeObjects(key);
    if (!array) return;
    std::vector<std::shared_ptr<O>> typed;
    typed.reserve(array->size());
    for (const auto& element : *array) {
      auto cast = std::dynamic_pointer_cast<O>(element);
      if (!cast) {
        MSFailWrongType(coder, key, "a list of model objects");
        return;
      }
      typed.push_back(std::move(cast));
    }
    v = std::move(typed);
  }
  static bool equal(const T& a, const T& b) {
    if (!a || !b) return !a && !b;
    if (a->size() != b->size()) return false;
    for (std::size_t i = 0; i < a->size(); ++i) {
      if (!MSEqualObjects((*a)[i], (*b)[i])) return false;
    }
    return true;
  }
  static void hash(const T& v, std::size_t& seed) {
    MSHashCombine(seed, v ? v->size() : 0x5bd1e995);
    if (v) {
      for (const auto& element : *v) MSHashCombine(seed, element ? element->hash() : 0);
    }
  }
};

// What validity asks of a field.
enum class MSErrorFieldRule {
  kOptional,
  kRequired,
  // Present and holding at least one element (lists).
  kNonEmpty,
};

// One row of a class's table.
template <class C>
struct MSErrorFieldRow {
  const char* key;
  MSErrorFieldRule rule;
  bool (*present)(const C&);
  bool (*nonEmpty)(const C&);
  void (*toJson)(const C&, MSJson&, const char*);
  void (*encode)(const C&, vx::KeyedArchiver&, const char*);
  void (*decode)(C&, vx::KeyedUnarchiver&, const char*);
  bool (*equal)(const C&, const C&);
  void (*hash)(const C&, std::size_t&);
};

template <class M>
struct MSErrorMemberTraits;
template <class C, class T>
struct MSErrorMemberTraits<T C::*> {
  using Class = C;
  using Type = T;
};

// The row of member `Member` under `key`, for the table of class C (the member may belong to a
// base of C).
template <class C, auto Member>
MSErrorFieldRow<C> MSErrorField(const char* key, MSErrorFieldRule rule = MSErrorFieldRule::kOptional) {
  using T = typename MSErrorMemberTraits<decltype(Member)>::Type;
  using Kind = MSErrorFieldKind<T>;
  MSErrorFieldRow<C> row;
  row.key = key;
  row.rule = rule;
  row.present = [](const C& c) { return Kind::present(c.*Member); };
  row.nonEmpty = [](const C& c) {
    if constexpr (requires(const T& t) { t->empty(); }) {
      return Kind::present(c.*Member) && !(c.*Member)->empty();
    } else {
      return Kind::present(c.*Member);
    }
  };
  row.toJson = [](const C& c, MSJson& json, const char* k) { Kind::toJson(c.*Member, json, k); };
  row.encode = [](const C& c, vx::KeyedArchiver& coder, const char* k) { Kind::encode(c.*Member, coder, k); };
  row.decode = [](C& c, vx::KeyedUnarchiver& coder, const char* k) { Kind::decode(c.*Member, coder, k); };
  row.equal = [](const C& a, const C& b) { return Kind::equal(a.*Member, b.*Member); };
  row.hash = [](const C& c, std::size_t& seed) { Kind::hash(c.*Member, seed); };
  return row;
}

// The operations a class builds from its table.
template <class C>
struct MSErrorFieldTable {
  std::vector<MSErrorFieldRow<C>> rows;

  void addToJson(const C& object, MSJson& json) const {
    for (const auto& row : rows) row.toJson(object, json, row.key);
  }
  void encode(const C& object, vx::KeyedArchiver& coder) const {
    for (const auto& row : rows) row.encode(object, coder, row.key);
  }
  void decode(C& object, vx::KeyedUnarchiver& coder) const {
    for (const auto& row : rows) row.decode(object, coder, row.key);
  }
  bool equal(const C& a, const C& b) const {
    for (const auto& row : rows) {
      if (!row.equal(a, b)) return false;
    }
    return true;
  }
  void hash(const C& object, std::size_t& seed) const {
    for (const auto& row : rows) row.hash(object, seed);
  }
  bool valid(const C& object) const {
    for (const auto& row : rows) {
      if (row.rule == MSErrorFieldRule::kRequired && !row.present(object)) return false;
      if (row.rule == MSErrorFieldRule::kNonEmpty && !row.nonEmpty(object)) return false;
    }
    return true;
  }
};
