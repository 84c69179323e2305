// The signed-in state of the application: one OAuth access token pair kept as a single
// generic-password item of the platform keychain (service keychainServiceName(), account
// "access_token", data "<key>:<secret>" in UTF-8 with nothing around it), so builds of the
// application read what earlier ones wrote. Nothing else persists the token.
//
// KeychainPasswordItem is the small keychain wrapper; TokenStore saves, reads and deletes the
// token and reports every failure itself (log line, error event or breadcrumb): callers only see
// a token or none. The token's secret never reaches a log line or a report.
#pragma once

#include "app/service/VexelUser.h"

#include "platform/security/Keychain.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace Vexelworks {

// The account every component reads the token under.
inline constexpr const char* kAccessTokenAccount = "access_token";
// The release build's bundle identifier; any other identifier is a beta or development build.
inline constexpr const char* kReleaseBundleIdentifier = "com.vexelworks.Vexelworks";
// Keychain service names: release builds and all other builds never share a token.
inline constexpr const char* kReleaseKeychainServiceName = "tokens.vexelworks.com";
inline constexpr const char* kBetaKeychainServiceName = "beta.tokens.vexelworks.com";

// kReleaseKeychainServiceName when the main bundle's identifier is kReleaseBundleIdentifier,
// kBetaKeychainServiceName otherwise.
std::string keychainServiceName();

class KeychainPasswordItem {
 public:
  struct KeychainError {
    enum class Kind {
      noPassword,              // no item matches
      unexpectedPasswordData,  // an item matched but its data is not UTF-8 text
      unexpectedItemData,      // kept for completeness; nothing produces it
      unhandledError,          // any other keychain result, in `status`
    };
    Kind kind = Kind::noPassword;
    std::int32_t status = 0;  // the keychain result code for unhandledError

    static KeychainError noPassword() { return {Kind::noPassword, vx::kKeychainErrorItemNotFound}; }
    static KeychainError unexpectedPasswordData() { return {Kind::unexpectedPasswordData, 0}; }
    static KeychainError unhandledError(std::int32_t status) { return {Kind::unhandledError, status}; }
    bool operator==(const KeychainError&) const = default;
  };
  // The item's text, or why there is none.
  using ReadResult = std::variant<std::string, KeychainError>;

  KeychainPasswordItem(std::string service, std::optional<std::string> account = std::nullopt,
                       std::optional<std::string> accessGroup = std::nullopt);

  const std::string& service() const { return service_; }
  const std::optional<std::string>& account() const { return account_; }
  // This platform's keychain has no access groups: an item that names one fails every
  // operation with unhandledError(vx::kKeychainErrorParam) instead of silently reaching
  // another item.
  const std::optional<std::string>& accessGroup() const { return accessGroup_; }

  // The address of the item: service, and account when set. Made fresh for every operation.
  vx::KeychainQuery baseQuery() const;

  // The item's data as UTF-8 text.
  ReadResult readValue() const;
  // Writes the text as the item's data: updates the item when it exists, adds it when there is
  // none, and leaves everything unchanged on any other failure (returned).
  std::optional<KeychainError> storeValue(std::string_view value) const;
  // Removes the item; none when it was removed or there was nothing to remove.
  std::optional<KeychainError> deleteItem() const;

 private:
  const vx::Keychain& keychain() const;
  std::string service_;
  std::optional<std::string> account_;
  std::optional<std::string> accessGroup_;
};

class TokenStore {
 public:
  explicit TokenStore(std::string account = kAccessTokenAccount);

  const std::string& account() const { return account_; }

  // Stores the token, replacing any stored one. A failure is logged at ERROR and sent as an
  // error event, and whatever was stored before stays. A key or secret holding ":" (which would
  // not read back as the same pair) is not stored and reported the same way.
  void saveToken(const AccessToken& token) const;
  // Removes the stored token; having none is not a failure. Other failures are logged and sent.
  void deleteToken() const;
  // The stored token, or none: nothing stored (logged at INFO with a breadcrumb), or a failure
  // (logged at ERROR and sent as an error event). Reads the keychain on every call.
  std::optional<AccessToken> getToken() const;

 private:
  KeychainPasswordItem item() const;
  std::string account_;
};

// The stored text split at its one ":" into key and secret; none (logged at ERROR and sent as an
// error event, without the text) when the text does not hold exactly one ":".
std::optional<AccessToken> decodeToken(std::string_view text);

}  // namespace Vexelworks
