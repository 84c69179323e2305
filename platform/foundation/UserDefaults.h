// UserDefaults: small per-user settings that survive restarts. Each suite is one JSON file,
// $XDG_CONFIG_HOME/<bundle id>/<suite>.json (~/.config when XDG_CONFIG_HOME is unset or not
// absolute), read when the first instance of the suite is made and replaced atomically (temporary
// file, fsync, rename) on every change, so a crash never leaves half a file behind.
//
// Instances of the same file in one process share their contents; a fresh instance made after
// every earlier one is gone reads what they wrote. All members are safe to call from any thread.
//
// The file keeps types the JSON kinds cannot: dates (full precision), data, UUIDs and non-finite
// doubles are written as one-key objects {"$date": ISO 8601 text}, {"$data": base64},
// {"$uuid": text}, {"$double": "nan"|"inf"|"-inf"}; a stored map that itself has a single key
// starting with '$' is wrapped as {"$map": {...}}.
//
// A file that cannot be read as such a JSON object is moved aside to
// "<suite>.json.corrupt-<UTC time>", reported on standard error, and the suite starts empty.
#pragma once

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vx {

class UserDefaults {
 public:
  // The suite named after the bundle identifier; made on first use, once per process. Stops the
  // program (fatalError) when no configuration folder is known at all.
  static UserDefaults& standard();

  // A named suite. nullptr when the name is not a plain file name (empty, holds '/' or NUL, "."
  // or "..") or when no configuration folder is known (no XDG_CONFIG_HOME and no home folder).
  static std::unique_ptr<UserDefaults> make(std::string_view suiteName);

  ~UserDefaults();
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  const std::string& suiteName() const { return suiteName_; }
  const std::filesystem::path& filePath() const;

  // Lookups look at the stored values first, then at the registration domain.
  // objectForKey: std::nullopt when neither holds the key.
  std::optional<Value> objectForKey(std::string_view key) const;
  // Typed getters: the fallback (or std::nullopt) when the key is absent or its value has
  // another type. Booleans and numbers are kept apart; doubleForKey also reads an integer.
  bool boolForKey(std::string_view key, bool fallback = false) const;
  std::int64_t integerForKey(std::string_view key, std::int64_t fallback = 0) const;
  double doubleForKey(std::string_view key, double fallback = 0.0) const;
  std::optional<std::string> stringForKey(std::string_view key) const;
  std::optional<Date> dateForKey(std::string_view key) const;
  std::optional<Bytes> dataForKey(std::string_view key) const;
  std::optional<UUID> uuidForKey(std::string_view key) const;
  std::optional<ValueArray> arrayForKey(std::string_view key) const;
  std::optional<ValueMap> dictionaryForKey(std::string_view key) const;

  // Setters store the value and persist the suite before they return. Storing a null Value
  // removes the key. A failed write is reported on standard error; the value stays in memory and
  // the next change or synchronize() writes again.
  void setObject(const Value& value, std::string_view key);
  void setBool(bool value, std::string_view key) { setObject(Value(value), key); }
  void setInteger(std::int64_t value, std::string_view key) { setObject(Value(value), key); }
  void setDouble(double value, std::string_view key) { setObject(Value(value), key); }
  void setString(std::string value, std::string_view key) { setObject(Value(std::move(value)), key); }
  void setDate(Date value, std::string_view key) { setObject(Value(value), key); }
  void setData(Bytes value, std::string_view key) { setObject(Value(std::move(value)), key); }
  void setArray(ValueArray value, std::string_view key) { setObject(Value(std::move(value)), key); }
  void setDictionary(ValueMap value, std::string_view key) { setObject(Value(std::move(value)), key); }
  void removeObject(std::string_view key);

  // Fallback values for keys that hold no stored value. Kept in memory only; later
  // registrations replace earlier ones key by key.
  void registerDefaults(const ValueMap& defaults);

  // Stored values merged over the registration domain.
  ValueMap dictionaryRepresentation() const;
  // Removes every stored value of the suite (the registration domain stays).
  void removeAll();

  // Writes the suite if an earlier write failed. Error (domain "vx.UserDefaults") when the
  // write fails again.
  Result<void> synchronize();

 private:
  struct Store;
  UserDefaults(std::string suiteName, std::shared_ptr<Store> store);

  std::string suiteName_;
  std::shared_ptr<Store> store_;
};

}  // namespace vx
