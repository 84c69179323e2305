// What every telemetry model value can do: give its JSON object, archive itself by key (the
// archive keys are the JSON keys), test its validity and compare itself with another value.
#pragma once

#include "platform/foundation/KeyedArchiver.h"
#include "telemetry/ZerEvuzev/Util/MSJson.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class MSSerializableObject : public vx::Archivable {
 public:
  // The value's JSON object, holding only the keys whose values are set. A null MSJson means
  // "nothing" (some extensions have nothing to say when empty).
  virtual MSJson serializeToDictionary() const = 0;
  // Field-by-field equality as each class defines it; equal values have equal hash().
  virtual bool isEqual(const MSSerializableObject& other) const = 0;
  virtual std::size_t hash() const = 0;
};

// A model that can say whether it is complete enough to be sent.
class MSModel {
 public:
  virtual ~MSModel() = default;
  virtual bool isValid() const = 0;
};

// Marker: a log class that keeps the session id it was given instead of being stamped with the
// current one when it is enqueued.
class MSNoAutoAssignSessionIdLog {
 public:
  virtual ~MSNoAutoAssignSessionIdLog() = default;
};

inline bool operator==(const MSSerializableObject& a, const MSSerializableObject& b) { return a.isEqual(b); }

// Equality of two shared model pointers: both empty, or both set and equal.
template <class T>
bool MSEqualObjects(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
  if (!a || !b) return !a && !b;
  return a->isEqual(*b);
}

// Hash helpers: mixing the hashes of the fields that take part in equality.
inline void MSHashCombine(std::size_t& seed, std::size_t value) {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}
inline void MSHashAdd(std::size_t& seed, const vx::Date& date) {
  MSHashCombine(seed, std::hash<std::int64_t>{}(date.time_since_epoch().count()));
}
inline void MSHashAdd(std::size_t& seed, const std::optional<vx::Date>& date) {
  if (date)
    MSHashAdd(seed, *date);
  else
    MSHashCombine(seed, 0x5bd1e995);
}
template <class T>
void MSHashAdd(std::size_t& seed, const std::optional<T>& value) {
  MSHashCombine(seed, value ? std::hash<T>{}(*value) : 0x5bd1e995);
}
template <class T>
void MSHashAdd(std::size_t& seed, const T& value) {
  MSHashCombine(seed, std::hash<T>{}(value));
}

// Archive helpers: optional fields are written only when set.
inline void MSEncodeString(vx::KeyedArchiver& coder, const std::optional<std::string>& value, std::string_view key) {
  if (value) coder.encodeString(*value, key);
}
inline void MSEncodeDate(vx::KeyedArchiver& coder, const std::optional<vx::Date>& value, std::string_view key) {
  if (value) coder.encodeDate(*value, key);
}
inline void MSEncodeInt64(vx::KeyedArchiver& coder, const std::optional<std::int64_t>& value, std::string_view key) {
  if (value) coder.encodeInt64(*value, key);
}

// Functors for hashed containers of shared model pointers.
struct MSModelHash {
  std::size_t operator()(const std::shared_ptr<MSSerializableObject>& value) const { return value ? value->hash() : 0; }
};
struct MSModelEqual {
  bool operator()(const std::shared_ptr<MSSerializableObject>& a,
                  const std::shared_ptr<MSSerializableObject>& b) const {
    return MSEqualObjects(a, b);
  }
};
