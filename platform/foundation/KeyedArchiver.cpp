#include "platform/foundation/KeyedArchiver.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <mutex>
#include <unordered_map>

namespace vx {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::uint8_t kTagDate = 200;
constexpr std::uint8_t kTagUUID = 201;
constexpr std::uint8_t kTagClass = 202;
// Deepest nesting of CBOR arrays and maps either side accepts. An object takes two levels
// (its [class, fields] array and the field map).
constexpr std::size_t kMaxDepth = 512;

Error archiveError(std::int64_t code, std::string description) {
  return Error(kArchiveErrorDomain, code, std::move(description));
}

// Registry of class name -> factory.
std::mutex& registryMutex() {
  static std::mutex mutex;
  return mutex;
}
std::unordered_map<std::string, KeyedUnarchiver::Factory>& registry() {
  static std::unordered_map<std::string, KeyedUnarchiver::Factory> factories;
  return factories;
}

Json dateNode(Date date) {
  const auto count = std::chrono::duration_cast<std::chrono::nanoseconds>(date.time_since_epoch()).count();
  std::vector<std::uint8_t> bytes(8);
  const auto bits = static_cast<std::uint64_t>(count);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
  return Json::binary(std::move(bytes), kTagDate);
}

Json uuidNode(const UUID& uuid) {
  return Json::binary(std::vector<std::uint8_t>(uuid.bytes().begin(), uuid.bytes().end()), kTagUUID);
}

bool hasTag(const Json& node, std::uint8_t tag) {
  return node.is_binary() && node.get_binary().has_subtype() && node.get_binary().subtype() == tag;
}

std::optional<Date> dateFromNode(const Json& node) {
  if (!hasTag(node, kTagDate) || node.get_binary().size() != 8) return std::nullopt;
  std::uint64_t bits = 0;
  for (auto byte : node.get_binary()) bits = bits << 8 | byte;
  const std::chrono::nanoseconds count(static_cast<std::int64_t>(bits));
  return Date(std::chrono::duration_cast<Date::duration>(count));
}

std::optional<UUID> uuidFromNode(const Json& node) {
  if (!hasTag(node, kTagUUID) || node.get_binary().size() != 16) return std::nullopt;
  UUID::Bytes bytes{};
  std::copy(node.get_binary().begin(), node.get_binary().end(), bytes.begin());
  return UUID(bytes);
}

std::optional<std::int64_t> integerFromNode(const Json& node) {
  if (node.is_number_unsigned()) {
    const auto value = node.get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(value);
  }
  if (node.is_number_integer()) return node.get<std::int64_t>();
  return std::nullopt;
}

bool isObjectNode(const Json& node) { return node.is_array() && !node.empty() && hasTag(node[0], kTagClass); }

// Checks the CBOR before it is parsed: well formed, definite lengths that fit in the input,
// text keys, only our own tags, no deeper than kMaxDepth, one item filling the input. The
// parser that follows is recursive, so hostile nesting must never reach it.
Result<void> scanCbor(const std::uint8_t* data, std::size_t size) {
  struct Level {
    std::uint64_t remaining;
    bool isMap;
    std::uint64_t index;
  };
  std::vector<Level> stack{{1, false, 0}};  // the root item; real levels follow it
  std::size_t pos = 0;
  auto corrupt = [](const char* why) -> Result<void> {
    return archiveError(kArchiveErrorCorrupt, std::string("The archive is damaged: ") + why + ".");
  };
  auto readArgument = [&](std::uint8_t info, std::uint64_t& value) -> bool {
    if (info < 24) {
      value = info;
      return true;
    }
    std::size_t bytes = 0;
    switch (info) {
      case 24:
        bytes = 1;
        break;
      case 25:
        bytes = 2;
        break;
      case 26:
        bytes = 4;
        break;
      case 27:
        bytes = 8;
        break;
      default:
        return false;  // reserved or indefinite length
    }
    if (size - pos < bytes) return false;
    value = 0;
    for (std::size_t i = 0; i < bytes; ++i) value = value << 8 | data[pos++];
    return true;
  };
  while (true) {
    while (!stack.empty() && stack.back().remaining == 0) stack.pop_back();
    if (stack.empty()) break;
    if (pos >= size) return corrupt("it ends early");
    auto& level = stack.back();
    --level.remaining;
    const bool isKey = level.isMap && level.index % 2 == 0;
    ++level.index;

    std::uint8_t head = data[pos++];
    std::uint8_t major = head >> 5;
    std::uint64_t argument = 0;
    if (major == 6) {
      // Only our own one-byte tags, and only on a byte string.
      if (head != 0xD8 || !readArgument(24, argument)) return corrupt("unexpected tag");
      if (argument != kTagDate && argument != kTagUUID && argument != kTagClass) {
        return corrupt("unknown tag");
      }
      if (isKey || pos >= size) return corrupt("misplaced tag");
      head = data[pos++];
      major = head >> 5;
      if (major != 2) return corrupt("tag on something other than bytes");
    }
    if (isKey && major != 3) return corrupt("a map key is not text");
    const std::uint8_t info = head & 0x1F;
    if (major == 7) {
      std::size_t skip = 0;
      switch (info) {
        case 20:
        case 21:
        case 22:
          skip = 0;
          break;  // false, true, null
        case 25:
          skip = 2;
          break;
        case 26:
          skip = 4;
          break;
        case 27:
          skip = 8;
          break;
        default:
          return corrupt("unsupported simple value");
      }
      if (size - pos < skip) return corrupt("it ends early");
      pos += skip;
      continue;
    }
    if (!readArgument(info, argument)) return corrupt("bad length");
    const std::size_t left = size - pos;
    switch (major) {
      case 0:
        break;
      case 1:
        if (argument > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
          return corrupt("integer out of range");
        }
        break;
      case 2:
      case 3:
        if (argument > left) return corrupt("a string runs past the end");
        pos += argument;
        break;
      case 4:
        if (argument > left) return corrupt("an array runs past the end");
        if (stack.size() > kMaxDepth) return archiveError(kArchiveErrorTooDeep, "The archive nests too deeply.");
        stack.push_back({argument, false, 0});
        break;
      case 5:
        if (argument > left / 2) return corrupt("a map runs past the end");
        if (stack.size() > kMaxDepth) return archiveError(kArchiveErrorTooDeep, "The archive nests too deeply.");
        stack.push_back({argument * 2, true, 0});
        break;
      default:
        return corrupt("unknown item");
    }
  }
  if (pos != size) return corrupt("bytes follow the archive");
  return Result<void>::success();
}

Result<Json> parseArchive(const Bytes& data) {
  if (data.empty()) return archiveError(kArchiveErrorCorrupt, "The archive is empty.");
  if (data[0] != kArchiveFormatVersion) {
    return archiveError(kArchiveErrorVersion, "The archive has format version " + std::to_string(data[0]) +
                                                  "; this build reads version " +
                                                  std::to_string(kArchiveFormatVersion) + ".");
  }
  if (auto scanned = scanCbor(data.data() + 1, data.size() - 1); !scanned) return scanned.error();
  Json root;
  try {
    root = Json::from_cbor(data.begin() + 1, data.end(), true, false, Json::cbor_tag_handler_t::store);
  } catch (const std::exception& exception) {
    return archiveError(kArchiveErrorCorrupt, std::string("The archive is damaged: ") + exception.what());
  }
  if (root.is_discarded()) return archiveError(kArchiveErrorCorrupt, "The archive is damaged.");
  return root;
}

}  // namespace

// Archiver

struct KeyedArchiver::State {
  std::vector<Json*> fields;  // field map of the object being written
  std::size_t depth = 0;      // CBOR nesting of the place being written
  std::optional<Error> error;

  bool enter() {
    if (++depth > kMaxDepth) {
      if (!error) error = archiveError(kArchiveErrorTooDeep, "The object graph nests too deeply to archive.");
      return false;
    }
    return true;
  }
  void leave() { --depth; }

  Json encodeValue(const Value& value) {
    switch (value.type()) {
      case Value::Type::Date:
        return dateNode(*value.dateValue());
      case Value::Type::UUID:
        return uuidNode(*value.uuidValue());
      case Value::Type::Data:
        return Json::binary(*value.dataValue());
      case Value::Type::Double:
        return *value.doubleValue();  // keeps NaN and infinities
      case Value::Type::Array: {
        Json array = Json::array();
        if (enter()) {
          for (const auto& element : *value.arrayValue()) array.push_back(encodeValue(element));
        }
        leave();
        return array;
      }
      case Value::Type::Map: {
        Json object = Json::object();
        if (enter()) {
          for (const auto& [key, element] : *value.mapValue()) object[key] = encodeValue(element);
        }
        leave();
        return object;
      }
      default:
        return value.toOrderedJson();
    }
  }

  Json encodeObject(const Archivable* object) {
    if (object == nullptr) return nullptr;
    Json node = Json::array();
    Json fieldMap = Json::object();
    // Two levels: the [class, fields] array and the field map. Both enters always run, so the
    // two leaves below always balance them.
    const bool arrayFits = enter();
    const bool fieldsFit = enter();
    if (arrayFits && fieldsFit) {
      const auto name = object->className();
      node.push_back(Json::binary(std::vector<std::uint8_t>(name.begin(), name.end()), kTagClass));
      fields.push_back(&fieldMap);
      KeyedArchiver coder(*this);
      object->encodeWithCoder(coder);
      fields.pop_back();
      node.push_back(std::move(fieldMap));
    }
    leave();
    leave();
    return node;
  }

  void put(std::string_view key, Json value) {
    if (fields.empty()) fatalError("KeyedArchiver used outside encodeWithCoder");
    (*fields.back())[std::string(key)] = std::move(value);
  }

  Result<Bytes> finish(const Json& root) {
    if (error) return *error;
    Bytes bytes{kArchiveFormatVersion};
    Json::to_cbor(root, bytes);
    return bytes;
  }
};

KeyedArchiver::KeyedArchiver(State& state) : state_(state) {}
KeyedArchiver::~KeyedArchiver() = default;

Result<Bytes> KeyedArchiver::archivedData(const Archivable& root) {
  State state;
  const Json node = state.encodeObject(&root);
  return state.finish(node);
}

Result<Bytes> KeyedArchiver::archivedData(const ArchivableArray& roots) {
  State state;
  Json array = Json::array();
  state.enter();
  for (const auto& root : roots) {
    if (!root) return archiveError(kArchiveErrorInvalidRoot, "A root object is missing.");
    array.push_back(state.encodeObject(root.get()));
  }
  state.leave();
  return state.finish(array);
}

void KeyedArchiver::encodeString(std::string_view value, std::string_view key) { state_.put(key, std::string(value)); }
void KeyedArchiver::encodeInt64(std::int64_t value, std::string_view key) { state_.put(key, value); }
void KeyedArchiver::encodeDouble(double value, std::string_view key) { state_.put(key, value); }
void KeyedArchiver::encodeBool(bool value, std::string_view key) { state_.put(key, value); }
void KeyedArchiver::encodeDate(Date value, std::string_view key) { state_.put(key, dateNode(value)); }
void KeyedArchiver::encodeData(const Bytes& value, std::string_view key) { state_.put(key, Json::binary(value)); }
void KeyedArchiver::encodeUUID(const UUID& value, std::string_view key) { state_.put(key, uuidNode(value)); }
void KeyedArchiver::encodeNull(std::string_view key) { state_.put(key, nullptr); }
void KeyedArchiver::encodeValue(const Value& value, std::string_view key) {
  state_.put(key, state_.encodeValue(value));
}
void KeyedArchiver::encodeObject(const Archivable* object, std::string_view key) {
  state_.put(key, state_.encodeObject(object));
}

void KeyedArchiver::encodeObjects(const ArchivableArray& objects, std::string_view key) {
  Json array = Json::array();
  if (state_.enter()) {
    for (const auto& object : objects) array.push_back(state_.encodeObject(object.get()));
  }
  state_.leave();
  state_.put(key, std::move(array));
}

void KeyedArchiver::encodeObjectMap(const ArchivableMap& objects, std::string_view key) {
  Json map = Json::object();
  if (state_.enter()) {
    for (const auto& [name, object] : objects) map[name] = state_.encodeObject(object.get());
  }
  state_.leave();
  state_.put(key, std::move(map));
}

// Unarchiver

struct KeyedUnarchiver::State {
  std::vector<const Json*> fields;
  std::optional<Error> error;

  void fail(Error e) {
    if (!error) error = std::move(e);
  }

  void wrongType(std::string_view key, const char* expected) {
    fail(archiveError(kArchiveErrorWrongType,
                      "The value for key \"" + std::string(key) + "\" is not " + expected + "."));
  }

  ArchivablePtr decodeObject(const Json& node) {
    if (node.size() != 2 || !node[1].is_object()) {
      fail(archiveError(kArchiveErrorCorrupt, "The archive is damaged: malformed object."));
      return nullptr;
    }
    const auto& nameBytes = node[0].get_binary();
    const std::string name(nameBytes.begin(), nameBytes.end());
    Factory factory;
    {
      std::lock_guard lock(registryMutex());
      auto it = registry().find(name);
      if (it != registry().end()) factory = it->second;
    }
    if (!factory) {
      fail(archiveError(kArchiveErrorUnknownClass, "No class is registered as \"" + name + "\"."));
      return nullptr;
    }
    fields.push_back(&node[1]);
    KeyedUnarchiver coder(*this);
    auto object = factory(coder);
    fields.pop_back();
    if (!object)
      fail(archiveError(kArchiveErrorObjectFailed, "An object of class \"" + name + "\" could not be rebuilt."));
    return error ? nullptr : object;
  }

  // nullptr for null; records an error for anything but an object.
  ArchivablePtr decodeObjectOrNull(const Json& node, std::string_view key) {
    if (node.is_null()) return nullptr;
    if (!isObjectNode(node)) {
      wrongType(key, "an object");
      return nullptr;
    }
    return decodeObject(node);
  }

  std::optional<Value> decodeValue(const Json& node, std::string_view key) {
    switch (node.type()) {
      case Json::value_t::null:
        return Value();
      case Json::value_t::boolean:
        return Value(node.get<bool>());
      case Json::value_t::number_integer:
      case Json::value_t::number_unsigned: {
        auto integer = integerFromNode(node);
        if (!integer) break;
        return Value(*integer);
      }
      case Json::value_t::number_float:
        return Value(node.get<double>());
      case Json::value_t::string:
        return Value(node.get<std::string>());
      case Json::value_t::binary: {
        const auto& binary = node.get_binary();
        if (!binary.has_subtype()) return Value(Bytes(binary.begin(), binary.end()));
        if (auto date = dateFromNode(node)) return Value(*date);
        if (auto uuid = uuidFromNode(node)) return Value(*uuid);
        break;
      }
      case Json::value_t::array: {
        if (isObjectNode(node)) break;
        ValueArray array;
        array.reserve(node.size());
        for (const auto& element : node) {
          auto value = decodeValue(element, key);
          if (!value) return std::nullopt;
          array.push_back(std::move(*value));
        }
        return Value(std::move(array));
      }
      case Json::value_t::object: {
        ValueMap map;
        for (auto it = node.begin(); it != node.end(); ++it) {
          auto value = decodeValue(it.value(), key);
          if (!value) return std::nullopt;
          map.set(it.key(), std::move(*value));
        }
        return Value(std::move(map));
      }
      default:
        break;
    }
    wrongType(key, "a plain value");
    return std::nullopt;
  }

  const Json* field(std::string_view key) const {
    if (fields.empty()) fatalError("KeyedUnarchiver used outside a factory");
    const Json& map = *fields.back();
    auto it = map.find(std::string(key));
    return it == map.end() ? nullptr : &*it;
  }
};

KeyedUnarchiver::KeyedUnarchiver(State& state) : state_(state) {}
KeyedUnarchiver::~KeyedUnarchiver() = default;

void KeyedUnarchiver::registerClass(const std::string& className, Factory factory) {
  std::lock_guard lock(registryMutex());
  registry()[className] = std::move(factory);
}

Result<ArchivablePtr> KeyedUnarchiver::unarchiveObject(const Bytes& data) {
  auto root = parseArchive(data);
  if (!root) return root.error();
  if (!isObjectNode(*root)) {
    return archiveError(kArchiveErrorInvalidRoot, "The archive's root is not a single object.");
  }
  State state;
  auto object = state.decodeObject(*root);
  if (state.error) return *state.error;
  return object;
}

Result<ArchivableArray> KeyedUnarchiver::unarchiveObjects(const Bytes& data) {
  auto root = parseArchive(data);
  if (!root) return root.error();
  State state;
  ArchivableArray objects;
  if (isObjectNode(*root)) {
    objects.push_back(state.decodeObject(*root));
  } else if (root->is_array()) {
    for (const auto& element : *root) {
      if (!element.is_null() && !isObjectNode(element)) {
        return archiveError(kArchiveErrorInvalidRoot, "The archive's root array holds something other than objects.");
      }
      objects.push_back(element.is_null() ? nullptr : state.decodeObject(element));
      if (state.error) break;
    }
  } else {
    return archiveError(kArchiveErrorInvalidRoot, "The archive's root is neither an object nor an array.");
  }
  if (state.error) return *state.error;
  return objects;
}

Error KeyedUnarchiver::wrongRootClassError() {
  return archiveError(kArchiveErrorWrongType, "The archive's root object is of another class.");
}

void KeyedUnarchiver::failWithWrongType(std::string_view key, const std::string& foundClass) {
  state_.fail(archiveError(kArchiveErrorWrongType, "The object for key \"" + std::string(key) +
                                                       "\" is of the unexpected class \"" + foundClass + "\"."));
}

void KeyedUnarchiver::failWithError(Error error) { state_.fail(std::move(error)); }
const std::optional<Error>& KeyedUnarchiver::error() const { return state_.error; }

bool KeyedUnarchiver::containsValueForKey(std::string_view key) const { return state_.field(key) != nullptr; }

bool KeyedUnarchiver::isNullForKey(std::string_view key) const {
  const auto* node = state_.field(key);
  return node != nullptr && node->is_null();
}

std::optional<std::string> KeyedUnarchiver::decodeString(std::string_view key) {
  const auto* node = state_.field(key);
  if (node == nullptr || node->is_null()) return std::nullopt;
  if (!node->is_string()) {
    state_.wrongType(key, "text");
    return std::nullopt;
  }
  return node->get<std::string>();
}

std::optional<std::int64_t> KeyedUnarchiver::decodeInt64(std::string_view key) {
  const auto* node = state_.field(key);
  if (node == nullptr || node->is_null()) return std::nullopt;
  auto value = integerFromNode(*node);
  if (!value) state_.wrongType(key, "a 64-bit integer");
  return value;
}

std::optional<double> KeyedUnarchiver::decodeDouble(std::string_view key) {
  const auto* node = state_.field(key);
  if (node == nullptr || node->is_null()) return std::nullopt;
  if (node->is_number_float()) return node->get<double>();
  if (auto integer = integerFromNode(*node)) return static_cast<double>(*integer);
  state_.wrongType(key, "a number");
  return std::nullopt;
}

std::optional<bool> KeyedUnarchiver::decodeBool(std::string_view key) {
  const auto* node = state_.field(key);
  if (node == nullptr || node->is_null()) return std::nullopt;
  if (!node->is_boolean()) {
    state_.wrongType(key, "a boolean");
    return std::nullopt;
  }
  return node->get<bool>();
}

std::optional<Date> KeyedUnarchiver::decodeDate(std::string_view key) {
  const auto* node = state_.field(key);
  if (node == nullptr || node->is_null()) return std::nullopt;
  auto value = dateFromNode(*node);
  if (!value) state_.wrongType(key, "a date");
  return value;
}

std::optional<Bytes> KeyedUnarchiver::decodeData(std::string_view key) {
  const auto* node = state_.field(key);
  if (node == nullptr || node->is_null()) return std::nullopt;
  if (!node->is_binary() || node->get_binary().has_subtype()) {
    state_.wrongType(key, "data");
    return std::nullopt;
  }
  return Bytes(node->get_binary().begin(), node->get_binary().end());
}

std::optional<UUID> KeyedUnarchiver::decodeUUID(std::string_view key) {
  const auto* node = state_.field(key);
  if (node == nullptr || node->is_null()) return std::nullopt;
  auto value = uuidFromNode(*node);
  if (!value) state_.wrongType(key, "a UUID");
  return value;
}

std::optional<Value> KeyedUnarchiver::decodeValue(std::string_view key) {
  const auto* node = state_.field(key);
  if (node == nullptr) return std::nullopt;
  return state_.decodeValue(*node, key);
}

ArchivablePtr KeyedUnarchiver::decodeObject(std::string_view key) {
  const auto* node = state_.field(key);
  if (node == nullptr) return nullptr;
  return state_.decodeObjectOrNull(*node, key);
}

std::optional<ArchivableArray> KeyedUnarchiver::decodeObjects(std::string_view key) {
  const auto* node = state_.field(key);
  if (node == nullptr || node->is_null()) return std::nullopt;
  if (!node->is_array() || isObjectNode(*node)) {
    state_.wrongType(key, "an array of objects");
    return std::nullopt;
  }
  ArchivableArray objects;
  objects.reserve(node->size());
  for (const auto& element : *node) {
    objects.push_back(state_.decodeObjectOrNull(element, key));
    if (state_.error) return std::nullopt;
  }
  return objects;
}

std::optional<ArchivableMap> KeyedUnarchiver::decodeObjectMap(std::string_view key) {
  const auto* node = state_.field(key);
  if (node == nullptr || node->is_null()) return std::nullopt;
  if (!node->is_object()) {
    state_.wrongType(key, "a map of objects");
    return std::nullopt;
  }
  ArchivableMap objects;
  for (auto it = node->begin(); it != node->end(); ++it) {
    objects[it.key()] = state_.decodeObjectOrNull(it.value(), key);
    if (state_.error) return std::nullopt;
  }
  return objects;
}

}  // namespace vx
