// Keyed archiving: objects write their fields by key into an archive and are rebuilt from it as
// the right subclass, found by the class name stored with them. Used to keep logs, histories and
// other records on disk between runs.
//
// Archive format: one format-version byte (kArchiveFormatVersion) followed by one CBOR item, the
// root: an object, or an array of objects. An object is a CBOR array [class tag, field map]
// whose first element is a byte string tagged 202 holding the class name (UTF-8) and whose second
// is a map of field name to value. Field values: text, integers (64-bit signed), doubles, true /
// false, null (the null marker), plain byte strings (data), a byte string tagged 200 holding the
// date as 8 bytes big-endian signed nanoseconds since 1970 (full precision), a byte string tagged
// 201 holding a UUID's 16 bytes, arrays and maps of these, and nested objects.
//
// Decoding never trusts the input: truncated or corrupt bytes, unknown classes, wrong types and
// nesting deeper than 512 levels of CBOR arrays and maps (an object takes two) give an Error,
// never a crash. Encoding refuses the same depth, so whatever is archived can be read back.
#pragma once

#include "platform/foundation/Error.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/Value.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx {

inline constexpr std::uint8_t kArchiveFormatVersion = 1;
// Error domain of archiving; codes below.
inline constexpr const char* kArchiveErrorDomain = "vx.KeyedArchive";
inline constexpr std::int64_t kArchiveErrorCorrupt = 1;       // not a readable archive
inline constexpr std::int64_t kArchiveErrorVersion = 2;       // unknown format version
inline constexpr std::int64_t kArchiveErrorUnknownClass = 3;  // no factory for a class name
inline constexpr std::int64_t kArchiveErrorWrongType = 4;     // a value of another type than asked
inline constexpr std::int64_t kArchiveErrorObjectFailed = 5;  // a factory gave no object
inline constexpr std::int64_t kArchiveErrorTooDeep = 6;       // nesting beyond the limit
inline constexpr std::int64_t kArchiveErrorInvalidRoot = 7;   // root of the wrong shape

class KeyedArchiver;
class KeyedUnarchiver;

// An object that can be archived. Subclasses also need a way to be built from an unarchiver
// (usually a constructor taking KeyedUnarchiver&), registered under their className().
class Archivable {
 public:
  virtual ~Archivable() = default;
  // The name stored in the archive and looked up in the registry when decoding.
  virtual std::string className() const = 0;
  // Writes the object's fields. Subclasses call their base class's version first.
  virtual void encodeWithCoder(KeyedArchiver& coder) const = 0;
};

using ArchivablePtr = std::shared_ptr<Archivable>;
using ArchivableArray = std::vector<ArchivablePtr>;
using ArchivableMap = std::map<std::string, ArchivablePtr>;

class KeyedArchiver {
 public:
  // The archive of one root object, or of an array of root objects. Error when an object nests
  // itself (directly or through others) deeper than the limit or a root is nullptr.
  static Result<Bytes> archivedData(const Archivable& root);
  static Result<Bytes> archivedData(const ArchivableArray& roots);
  // The same under the names the calling code knows them by.
  static Result<Bytes> archivedDataWithRootObject(const Archivable& root) { return archivedData(root); }
  static Result<Bytes> archivedDataWithRootObject(const ArchivableArray& roots) { return archivedData(roots); }

  // Field writers, used inside encodeWithCoder. Writing a key twice keeps the last value.
  void encodeString(std::string_view value, std::string_view key);
  void encodeInt64(std::int64_t value, std::string_view key);
  void encodeDouble(double value, std::string_view key);
  void encodeBool(bool value, std::string_view key);
  void encodeDate(Date value, std::string_view key);
  void encodeData(const Bytes& value, std::string_view key);
  void encodeUUID(const UUID& value, std::string_view key);
  void encodeNull(std::string_view key);
  // Any Value tree (arrays, maps, scalars) with its types kept.
  void encodeValue(const Value& value, std::string_view key);
  // A nested object; nullptr writes the null marker.
  void encodeObject(const Archivable* object, std::string_view key);
  void encodeObject(const ArchivablePtr& object, std::string_view key) { encodeObject(object.get(), key); }
  // Arrays and string maps of objects; nullptr elements are written as null markers.
  void encodeObjects(const ArchivableArray& objects, std::string_view key);
  void encodeObjectMap(const ArchivableMap& objects, std::string_view key);

  KeyedArchiver(const KeyedArchiver&) = delete;
  KeyedArchiver& operator=(const KeyedArchiver&) = delete;
  ~KeyedArchiver();

 private:
  struct State;
  explicit KeyedArchiver(State& state);
  State& state_;
};

class KeyedUnarchiver {
 public:
  // Builds an object of a registered class from its fields; nullptr (or an error recorded with
  // failWithError) when it cannot.
  using Factory = std::function<ArchivablePtr(KeyedUnarchiver&)>;

  // Registers a class name (process-wide, thread-safe); a later registration replaces an
  // earlier one.
  static void registerClass(const std::string& className, Factory factory);
  // Registers T under the name, built with T's constructor T(KeyedUnarchiver&).
  template <class T>
  static void registerClass(const std::string& className) {
    registerClass(className, [](KeyedUnarchiver& coder) -> ArchivablePtr { return std::make_shared<T>(coder); });
  }

  // The root object. Error when the bytes are not an archive, the root is an array, or any
  // object inside fails to decode.
  static Result<ArchivablePtr> unarchiveObject(const Bytes& data);
  // Same as unarchiveObject; an archive whose root is an array is read with unarchiveObjects.
  static Result<ArchivablePtr> unarchiveObjectWithData(const Bytes& data) { return unarchiveObject(data); }
  // The root object as T: Error (kArchiveErrorWrongType) when it is of another class.
  template <class T>
  static Result<std::shared_ptr<T>> unarchiveObjectOfClass(const Bytes& data) {
    auto object = unarchiveObject(data);
    if (!object) return object.error();
    auto typed = std::dynamic_pointer_cast<T>(object.value());
    if (!typed) return wrongRootClassError();
    return typed;
  }
  // A root array of objects (null markers in it come back as nullptr). A root object comes
  // back as an array of one.
  static Result<ArchivableArray> unarchiveObjects(const Bytes& data);

  // Field readers, used inside factories. A missing key or the null marker gives std::nullopt /
  // nullptr and is no error; a value of another type gives the same but records a
  // kArchiveErrorWrongType error, which makes the whole unarchiving fail. decodeDouble also
  // accepts an integer; bools never read as numbers.
  bool containsValueForKey(std::string_view key) const;
  bool isNullForKey(std::string_view key) const;
  std::optional<std::string> decodeString(std::string_view key);
  std::optional<std::int64_t> decodeInt64(std::string_view key);
  std::optional<double> decodeDouble(std::string_view key);
  std::optional<bool> decodeBool(std::string_view key);
  std::optional<Date> decodeDate(std::string_view key);
  std::optional<Bytes> decodeData(std::string_view key);
  std::optional<UUID> decodeUUID(std::string_view key);
  // A Value tree; nested objects inside it are a type error.
  std::optional<Value> decodeValue(std::string_view key);
  // A nested object (any registered class).
  ArchivablePtr decodeObject(std::string_view key);
  // A nested object that must be a T; another class records a kArchiveErrorWrongType error.
  template <class T>
  std::shared_ptr<T> decodeObjectOfClass(std::string_view key) {
    auto object = decodeObject(key);
    if (!object) return nullptr;
    auto typed = std::dynamic_pointer_cast<T>(object);
    if (!typed) failWithWrongType(key, object->className());
    return typed;
  }
  std::optional<ArchivableArray> decodeObjects(std::string_view key);
  std::optional<ArchivableMap> decodeObjectMap(std::string_view key);

  // Records an error; the first one recorded is what unarchiving returns.
  void failWithError(Error error);
  const std::optional<Error>& error() const;

  KeyedUnarchiver(const KeyedUnarchiver&) = delete;
  KeyedUnarchiver& operator=(const KeyedUnarchiver&) = delete;
  ~KeyedUnarchiver();

 private:
  struct State;
  explicit KeyedUnarchiver(State& state);
  static Error wrongRootClassError();
  void failWithWrongType(std::string_view key, const std::string& foundClass);
  State& state_;
};

}  // namespace vx
