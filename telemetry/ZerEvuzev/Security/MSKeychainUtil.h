// Generic-password items of the telemetry SDK in the platform keychain: the encrypter's keys
// live here. Every item belongs to the SDK's service ("<bundle identifier>.ZerEvuzev") unless a
// service is named, and holds a UTF-8 string. All operations are safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class MSKeychainUtil {
 public:
  MSKeychainUtil() = delete;

  // "<bundle identifier>.ZerEvuzev", computed once per process.
  static const std::string& serviceName();

  // Stores the string under the key, replacing an item that is there already. True on success.
  static bool storeString(const std::string& value, const std::string& key, const std::string& serviceName);
  static bool storeString(const std::string& value, const std::string& key);

  // Deletes the item and returns the string it held; std::nullopt when there was no item or it
  // could not be deleted.
  static std::optional<std::string> deleteStringForKey(const std::string& key, const std::string& serviceName);
  static std::optional<std::string> deleteStringForKey(const std::string& key);

  // The stored string; std::nullopt when there is none, it is not UTF-8 or the keychain failed.
  // `status`, when given, receives the keychain status (0, -25300 when no item exists, or the
  // store's failure), so callers can tell "no item" from "keychain unavailable".
  static std::optional<std::string> stringForKey(const std::string& key, const std::string& serviceName,
                                                 std::int32_t* status = nullptr);
  static std::optional<std::string> stringForKey(const std::string& key, std::int32_t* status = nullptr);

  // Deletes every item of the SDK's service. True on success, also when there was none.
  static bool clear();
};
