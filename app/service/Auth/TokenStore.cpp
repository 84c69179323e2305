#include "app/service/Auth/TokenStore.h"

#include "app/service/Auth/ErrorReporting.h"
#include "app/service/Logger.h"

#include "platform/foundation/Bundle.h"

#include <vector>

namespace Vexelworks {

namespace {

// The token store's lines carry the sign-in store's file name: one place in the log for
// everything about signing in.
void authLog(std::string_view level, const std::string& message, std::string_view function, int line) {
  log(message, level, function, "AuthStore", line);
}

bool isValidUTF8(const vx::Bytes& bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::uint8_t c = bytes[i];
    std::size_t length = 0;
    std::uint32_t codePoint = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2;
      codePoint = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      codePoint = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      codePoint = c & 0x07;
    } else {
      return false;
    }
    if (i + length > bytes.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (bytes[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

std::string keychainServiceName() {
  return vx::Bundle::main().bundleIdentifier() == kReleaseBundleIdentifier ? kReleaseKeychainServiceName
                                                                           : kBetaKeychainServiceName;
}

// --- KeychainPasswordItem ---

KeychainPasswordItem::KeychainPasswordItem(std::string service, std::optional<std::string> account,
                                           std::optional<std::string> accessGroup)
    : service_(std::move(service)), account_(std::move(account)), accessGroup_(std::move(accessGroup)) {}

const vx::Keychain& KeychainPasswordItem::keychain() const { return vx::Keychain::shared(); }

vx::KeychainQuery KeychainPasswordItem::baseQuery() const {
  vx::KeychainQuery query;
  query.service = service_;
  query.account = account_;
  return query;
}

KeychainPasswordItem::ReadResult KeychainPasswordItem::readValue() const {
  if (accessGroup_) return KeychainError::unhandledError(vx::kKeychainErrorParam);
  auto data = keychain().read(baseQuery());
  if (!data.ok()) {
    const auto status = vx::keychainStatus(data.error());
    if (status == vx::kKeychainErrorItemNotFound) return KeychainError::noPassword();
    return KeychainError::unhandledError(status);
  }
  if (!isValidUTF8(*data)) return KeychainError::unexpectedPasswordData();
  return std::string(data->begin(), data->end());
}

std::optional<KeychainPasswordItem::KeychainError> KeychainPasswordItem::storeValue(std::string_view value) const {
  if (accessGroup_) return KeychainError::unhandledError(vx::kKeychainErrorParam);
  const vx::ByteView data(value);
  const auto existing = readValue();
  if (std::holds_alternative<std::string>(existing)) {
    auto updated = keychain().update(baseQuery(), data);
    if (!updated.ok()) return KeychainError::unhandledError(vx::keychainStatus(updated.error()));
    return std::nullopt;
  }
  const auto& error = std::get<KeychainError>(existing);
  if (error.kind != KeychainError::Kind::noPassword) return error;
  auto added = keychain().add(service_, account_.value_or(""), data);
  if (!added.ok()) return KeychainError::unhandledError(vx::keychainStatus(added.error()));
  return std::nullopt;
}

std::optional<KeychainPasswordItem::KeychainError> KeychainPasswordItem::deleteItem() const {
  if (accessGroup_) return KeychainError::unhandledError(vx::kKeychainErrorParam);
  auto removed = keychain().remove(baseQuery());
  if (removed.ok()) return std::nullopt;
  const auto status = vx::keychainStatus(removed.error());
  if (status == vx::kKeychainErrorItemNotFound) return std::nullopt;
  return KeychainError::unhandledError(status);
}

// --- TokenStore ---

TokenStore::TokenStore(std::string account) : account_(std::move(account)) {}

KeychainPasswordItem TokenStore::item() const { return KeychainPasswordItem(keychainServiceName(), account_); }

void TokenStore::saveToken(const AccessToken& token) const {
  authLog("DEBUG", "Saving access token", "saveToken(_:)", __LINE__);
  if (token.key.find(':') != std::string::npos || token.secret.find(':') != std::string::npos) {
    // "key:secret" with another ":" would never read back: keep the token that is there.
    const std::string message = "Error saving password: the token holds \":\"";
    authLog("ERROR", message, "saveToken(_:)", __LINE__);
    reportErrorEvent(message);
    return;
  }
  const auto error = item().storeValue(token.key + ":" + token.secret);
  if (!error) return;
  const std::string message = error->kind == KeychainPasswordItem::KeychainError::Kind::unhandledError
                                  ? "Error saving password: Status " + std::to_string(error->status)
                                  : std::string("Error saving password");
  authLog("ERROR", message, "saveToken(_:)", __LINE__);
  reportErrorEvent(message);
}

void TokenStore::deleteToken() const {
  authLog("DEBUG", "Deleting token", "deleteToken()", __LINE__);
  const auto error = item().deleteItem();
  if (!error) return;
  const std::string message = "Error deleting password: Status " + std::to_string(error->status);
  authLog("ERROR", message, "deleteToken()", __LINE__);
  reportErrorEvent(message);
}

std::optional<AccessToken> TokenStore::getToken() const {
  authLog("INFO", "Loading access token", "getToken()", __LINE__);
  addInfoBreadcrumb("Loading access token");
  const auto value = item().readValue();
  if (const auto* text = std::get_if<std::string>(&value)) return decodeToken(*text);

  using Kind = KeychainPasswordItem::KeychainError::Kind;
  const auto& error = std::get<KeychainPasswordItem::KeychainError>(value);
  switch (error.kind) {
    case Kind::noPassword: {
      const std::string message = "Error reading password: No password found";
      authLog("INFO", message, "getToken()", __LINE__);
      addInfoBreadcrumb(message);
      return std::nullopt;
    }
    case Kind::unexpectedPasswordData: {
      const std::string message = "Error reading password: Unexpected password data";
      authLog("ERROR", message, "getToken()", __LINE__);
      reportErrorEvent(message);
      return std::nullopt;
    }
    case Kind::unexpectedItemData: {
      const std::string message = "Error reading password: Unexpected item data";
      authLog("ERROR", message, "getToken()", __LINE__);
      reportErrorEvent(message);
      return std::nullopt;
    }
    case Kind::unhandledError: {
      const std::string message = "Error reading password: unhandled error " + std::to_string(error.status);
      authLog("ERROR", message, "getToken()", __LINE__);
      reportErrorEvent(message);
      return std::nullopt;
    }
  }
  const std::string message = "Error reading password: unknown error";
  authLog("ERROR", message, "getToken()", __LINE__);
  reportErrorEvent(message);
  return std::nullopt;
}

std::optional<AccessToken> decodeToken(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (;;) {
    const auto colon = text.find(':', start);
    pieces.push_back(text.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  if (pieces.size() == 2) return AccessToken{std::string(pieces[0]), std::string(pieces[1])};
  authLog("ERROR", "Error decoding token", "decodeToken(_:)", __LINE__);
  reportErrorEvent("Error decoding token");
  // The shape only: the text is the token and its secret.
  authLog("DEBUG",
          "Token text has " + std::to_string(pieces.size()) + " parts and " + std::to_string(text.size()) + " bytes",
          "decodeToken(_:)", __LINE__);
  return std::nullopt;
}

}  // namespace Vexelworks
