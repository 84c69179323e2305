#include "platform/foundation/UserDefaults.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/BundleConstants.h"
#include "platform/foundation/DateFormat.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/FoundationInternal.h"
#include "platform/foundation/JSONLimits.h"
#include "platform/foundation/UTF8.h"
#include "platform/foundation/StandardPaths.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>

namespace vx {

namespace {

constexpr const char* kDomain = "vx.UserDefaults";
using Json = nlohmann::ordered_json;

bool isTagKey(const std::string& key) { return !key.empty() && key[0] == '$'; }

Json encodeTagged(const Value& value) {
  switch (value.type()) {
    case Value::Type::Double: {
      const double number = *value.doubleValue();
      if (std::isnan(number)) return Json{{"$double", "nan"}};
      if (std::isinf(number)) return Json{{"$double", number > 0 ? "inf" : "-inf"}};
      return number;
    }
    case Value::Type::Date:
      return Json{{"$date", DateFormat::iso8601Full(*value.dateValue())}};
    case Value::Type::Data:
      return Json{{"$data", base64Encode(*value.dataValue())}};
    case Value::Type::UUID:
      return Json{{"$uuid", value.uuidValue()->uuidString()}};
    case Value::Type::Array: {
      Json array = Json::array();
      for (const auto& element : *value.arrayValue()) array.push_back(encodeTagged(element));
      return array;
    }
    case Value::Type::Map: {
      Json object = Json::object();
      for (const auto& [key, element] : *value.mapValue()) object[key] = encodeTagged(element);
      const auto* map = value.mapValue();
      if (map->size() == 1 && isTagKey(map->begin()->first)) return Json{{"$map", object}};
      return object;
    }
    default:
      return value.toOrderedJson();
  }
}

std::optional<Value> decodeTagged(const Json& json, std::size_t depth = 0);

std::optional<Value> decodeMap(const Json& object, std::size_t depth) {
  ValueMap map;
  for (auto it = object.begin(); it != object.end(); ++it) {
    auto element = decodeTagged(it.value(), depth + 1);
    if (!element) return std::nullopt;
    map.set(it.key(), std::move(*element));
  }
  return Value(std::move(map));
}

std::optional<Value> decodeTagged(const Json& json, std::size_t depth) {
  // A file nested deeper than the system's limit is not a settings file (and would exhaust the
  // stack here).
  if (depth > kMaxJSONNesting) return std::nullopt;
  if (json.is_array()) {
    ValueArray array;
    for (const auto& element : json) {
      auto decoded = decodeTagged(element, depth + 1);
      if (!decoded) return std::nullopt;
      array.push_back(std::move(*decoded));
    }
    return Value(std::move(array));
  }
  if (!json.is_object()) return Value::fromJson(json);
  if (json.size() == 1 && isTagKey(json.begin().key())) {
    const auto& tag = json.begin().key();
    const auto& content = json.begin().value();
    if (tag == "$map") {
      if (!content.is_object()) return std::nullopt;
      return decodeMap(content, depth);
    }
    if (tag == "$date" || tag == "$data" || tag == "$uuid" || tag == "$double") {
      if (!content.is_string()) return std::nullopt;
      const auto& text = content.get_ref<const std::string&>();
      if (tag == "$date") {
        auto date = DateFormat::parseIso8601(text);
        return date ? std::optional<Value>(Value(*date)) : std::nullopt;
      }
      if (tag == "$data") {
        auto data = base64Decode(text);
        return data.ok() ? std::optional<Value>(Value(std::move(data).value())) : std::nullopt;
      }
      if (tag == "$uuid") {
        auto uuid = UUID::parse(text);
        return uuid ? std::optional<Value>(Value(*uuid)) : std::nullopt;
      }
      if (text == "nan") return Value(std::numeric_limits<double>::quiet_NaN());
      if (text == "inf") return Value(std::numeric_limits<double>::infinity());
      if (text == "-inf") return Value(-std::numeric_limits<double>::infinity());
      return std::nullopt;
    }
  }
  return decodeMap(json, depth);
}

bool isValidSuiteName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::string compactUtcNow() {
  auto text = DateFormat::iso8601(std::chrono::system_clock::now(), true);
  for (auto& c : text) {
    if (c == ':') c = '-';
  }
  return text;
}

}  // namespace

struct UserDefaults::Store {
  std::filesystem::path path;
  mutable std::mutex mutex;  // guards values, registered, generation
  ValueMap values;
  ValueMap registered;
  std::uint64_t generation = 0;  // bumped by every change
  // Writes run under their own lock, so readers never wait for the disk. A writer stores the
  // newest contents, which also carries the changes of writers queued behind it (group commit).
  std::mutex writeMutex;
  std::atomic<std::uint64_t> written{0};  // generation last on disk

  void load() {
    std::ifstream file(path, std::ios::binary);
    if (!file) return;  // nothing stored yet
    std::stringstream buffer;
    buffer << file.rdbuf();
    const auto text = buffer.str();
    file.close();
    auto json = Json::parse(text, nullptr, false);
    std::optional<Value> decoded;
    if (!json.is_discarded() && json.is_object()) decoded = decodeTagged(json);
    if (decoded && decoded->isMap()) {
      values = std::move(*decoded->mapValue());
      return;
    }
    // Keep the unreadable file for a person to look at; start empty.
    auto aside = path;
    aside += ".corrupt-" + compactUtcNow();
    std::error_code ec;
    std::filesystem::rename(path, aside, ec);
    std::fprintf(stderr, "UserDefaults: %s is not a valid settings file; moved it to %s%s\n", path.c_str(),
                 aside.c_str(), ec ? " (move failed)" : "");
  }

  bool isDirty() const { return written.load() != generation; }  // caller holds mutex

  // Puts at least generation `target` on disk.
  Result<void> flush(std::uint64_t target) {
    std::lock_guard writeLock(writeMutex);
    if (written.load() >= target) return Result<void>::success();
    std::string text;
    std::uint64_t snapshot = 0;
    {
      std::lock_guard lock(mutex);
      snapshot = generation;
      auto json = encodeTagged(Value(values));
      // Text that is not UTF-8 (a file name, say) is saved repaired, each bad sequence as
      // U+FFFD, instead of failing the save or ending the process.
      utf8::sanitizeJson(json);
      text = json.dump(2) + "\n";
    }
    if (auto made = detail::createPrivateFolders(path.parent_path(), kDomain); !made) return made;
    auto result = writeFileAtomically(path, text, 0600, WriteDurability::synced, kDomain);
    if (result) written = snapshot;
    return result;
  }

  void flushOrReport(std::uint64_t target) {
    auto result = flush(target);
    if (!result) {
      std::fprintf(stderr, "UserDefaults: could not save %s: %s\n", path.c_str(), result.error().description.c_str());
    }
  }

  std::optional<Value> lookup(std::string_view key) const {
    std::lock_guard lock(mutex);
    if (const auto* value = values.find(key)) return *value;
    if (const auto* value = registered.find(key)) return *value;
    return std::nullopt;
  }

  // Live stores by file, so instances of one suite share their contents. Never destroyed, so an
  // instance that outlives them at process exit still finds them.
  static std::mutex& registryMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
  }
  static std::map<std::filesystem::path, std::weak_ptr<Store>>& registry() {
    static auto* stores = new std::map<std::filesystem::path, std::weak_ptr<Store>>;
    return *stores;
  }
};

UserDefaults& UserDefaults::standard() {
  // Never destroyed: other singletons may still use it while the process exits.
  static UserDefaults* instance = [] {
    auto identifier = Bundle::main().bundleIdentifier();
    if (!isValidSuiteName(identifier)) identifier = VX_BUNDLE_IDENTIFIER;
    auto defaults = make(identifier);
    if (!defaults) fatalError("UserDefaults: no configuration folder is known (set HOME or XDG_CONFIG_HOME)");
    return defaults.release();
  }();
  return *instance;
}

std::unique_ptr<UserDefaults> UserDefaults::make(std::string_view suiteName) {
  if (!isValidSuiteName(suiteName)) return nullptr;
  auto folder = StandardPaths::configPath();
  if (folder.empty()) return nullptr;
  const auto path = folder / (std::string(suiteName) + ".json");
  std::lock_guard lock(Store::registryMutex());
  auto& slot = Store::registry()[path];
  auto store = slot.lock();
  if (!store) {
    store = std::make_shared<Store>();
    store->path = path;
    store->load();
    slot = store;
  }
  return std::unique_ptr<UserDefaults>(new UserDefaults(std::string(suiteName), std::move(store)));
}

UserDefaults::UserDefaults(std::string suiteName, std::shared_ptr<Store> store)
    : suiteName_(std::move(suiteName)), store_(std::move(store)) {}

UserDefaults::~UserDefaults() {
  std::lock_guard lock(Store::registryMutex());
  const auto path = store_->path;
  store_.reset();
  auto it = Store::registry().find(path);
  if (it != Store::registry().end() && it->second.expired()) Store::registry().erase(it);
}

const std::filesystem::path& UserDefaults::filePath() const { return store_->path; }

std::optional<Value> UserDefaults::objectForKey(std::string_view key) const { return store_->lookup(key); }

bool UserDefaults::boolForKey(std::string_view key, bool fallback) const {
  const auto value = store_->lookup(key);
  return value ? value->boolValue().value_or(fallback) : fallback;
}

std::int64_t UserDefaults::integerForKey(std::string_view key, std::int64_t fallback) const {
  const auto value = store_->lookup(key);
  return value ? value->integerValue().value_or(fallback) : fallback;
}

double UserDefaults::doubleForKey(std::string_view key, double fallback) const {
  const auto value = store_->lookup(key);
  return value ? value->doubleValue().value_or(fallback) : fallback;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
  const auto value = store_->lookup(key);
  if (!value || !value->isString()) return std::nullopt;
  return *value->stringValue();
}

std::optional<Date> UserDefaults::dateForKey(std::string_view key) const {
  const auto value = store_->lookup(key);
  return value ? value->dateValue() : std::nullopt;
}

std::optional<Bytes> UserDefaults::dataForKey(std::string_view key) const {
  const auto value = store_->lookup(key);
  if (!value || !value->isData()) return std::nullopt;
  return *value->dataValue();
}

std::optional<UUID> UserDefaults::uuidForKey(std::string_view key) const {
  const auto value = store_->lookup(key);
  return value ? value->uuidValue() : std::nullopt;
}

std::optional<ValueArray> UserDefaults::arrayForKey(std::string_view key) const {
  const auto value = store_->lookup(key);
  if (!value || !value->isArray()) return std::nullopt;
  return *value->arrayValue();
}

std::optional<ValueMap> UserDefaults::dictionaryForKey(std::string_view key) const {
  const auto value = store_->lookup(key);
  if (!value || !value->isMap()) return std::nullopt;
  return *value->mapValue();
}

void UserDefaults::setObject(const Value& value, std::string_view key) {
  if (value.isNull()) {
    removeObject(key);
    return;
  }
  std::uint64_t target = 0;
  {
    std::lock_guard lock(store_->mutex);
    const auto* existing = store_->values.find(key);
    if (existing != nullptr && *existing == value && !store_->isDirty()) return;
    store_->values.set(std::string(key), value);
    target = ++store_->generation;
  }
  store_->flushOrReport(target);
}

void UserDefaults::removeObject(std::string_view key) {
  std::uint64_t target = 0;
  {
    std::lock_guard lock(store_->mutex);
    if (!store_->values.erase(key) && !store_->isDirty()) return;
    target = ++store_->generation;
  }
  store_->flushOrReport(target);
}

void UserDefaults::removeAll() {
  std::uint64_t target = 0;
  {
    std::lock_guard lock(store_->mutex);
    store_->values.clear();
    target = ++store_->generation;
  }
  store_->flushOrReport(target);
}

void UserDefaults::registerDefaults(const ValueMap& defaults) {
  std::lock_guard lock(store_->mutex);
  for (const auto& [key, value] : defaults) store_->registered.set(key, value);
}

ValueMap UserDefaults::dictionaryRepresentation() const {
  std::lock_guard lock(store_->mutex);
  ValueMap merged = store_->registered;
  for (const auto& [key, value] : store_->values) merged.set(key, value);
  return merged;
}

Result<void> UserDefaults::synchronize() {
  std::uint64_t target = 0;
  {
    std::lock_guard lock(store_->mutex);
    if (!store_->isDirty()) return Result<void>::success();
    target = store_->generation;
  }
  return store_->flush(target);
}

}  // namespace vx
