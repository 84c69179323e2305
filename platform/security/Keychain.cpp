#include "platform/security/Keychain.h"

#include "platform/foundation/BundleConstants.h"
#include "platform/foundation/StandardPaths.h"
#include "platform/security/KeychainInternal.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <mutex>
#include <unistd.h>

namespace vx {
namespace keychain_internal {

Error makeError(std::int32_t status, std::string description, nlohmann::json userInfo) {
  return Error(kKeychainErrorDomain, status, std::move(description), std::move(userInfo));
}

}  // namespace keychain_internal

namespace {

using keychain_internal::makeError;

// Service and account travel as D-Bus strings and JSON keys: both need valid UTF-8 without NUL.
bool isCleanUtf8(const std::string& text) {
  std::size_t i = 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  while (i < text.size()) {
    const unsigned char c = s[i];
    if (c == 0) return false;
    std::size_t length = 0;
    std::uint32_t codePoint = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xe0) == 0xc0) {
      length = 2;
      codePoint = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      length = 3;
      codePoint = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      length = 4;
      codePoint = c & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((s[i + k] & 0xc0) != 0x80) return false;
      codePoint = (codePoint << 6) | (s[i + k] & 0x3f);
    }
    const std::uint32_t minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (codePoint < minimum || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff)) {
      return false;
    }
    i += length;
  }
  return true;
}

std::optional<Error> checkQuery(const std::string& service, const std::optional<std::string>& account) {
  if (service.empty()) return makeError(kKeychainErrorParam, "keychain service is empty");
  if (!isCleanUtf8(service)) {
    return makeError(kKeychainErrorParam, "keychain service is not valid UTF-8 (or holds NUL)");
  }
  if (account && !isCleanUtf8(*account)) {
    return makeError(kKeychainErrorParam, "keychain account is not valid UTF-8 (or holds NUL)");
  }
  return std::nullopt;
}

// Stands in for a backend that could not be chosen, so the reason reaches every caller.
class UnavailableBackend final : public KeychainBackend {
 public:
  explicit UnavailableBackend(Error error) : error_(std::move(error)) {}
  std::string name() const override { return "unavailable"; }
  Result<Bytes> read(const KeychainQuery&) override { return error_; }
  Result<void> add(const std::string&, const std::string&, ByteView) override { return error_; }
  Result<void> update(const KeychainQuery&, ByteView) override { return error_; }
  Result<void> remove(const KeychainQuery&) override { return error_; }

 private:
  Error error_;
};

struct SharedState {
  std::mutex mutex;
  std::shared_ptr<KeychainBackend> backend;  // chosen on first use
};

SharedState& sharedState() {
  // Never destroyed: keychain calls may still run from other threads while the process exits.
  static auto* state = new SharedState();
  return *state;
}

}  // namespace

std::int32_t keychainStatus(const Error& error) { return static_cast<std::int32_t>(error.code); }

Keychain::Keychain(std::shared_ptr<KeychainBackend> backend) : backend_(std::move(backend)) {
  if (!backend_) fatalError("Keychain created without a backend");
}

Keychain& Keychain::shared() {
  // The shared keychain carries a forwarding backend so setSharedBackend can swap the real one.
  class SharedBackend final : public KeychainBackend {
   public:
    std::string name() const override { return current()->name(); }
    Result<Bytes> read(const KeychainQuery& q) override { return current()->read(q); }
    Result<void> add(const std::string& s, const std::string& a, ByteView d) override {
      return current()->add(s, a, d);
    }
    Result<void> update(const KeychainQuery& q, ByteView d) override { return current()->update(q, d); }
    Result<void> remove(const KeychainQuery& q) override { return current()->remove(q); }

   private:
    static std::shared_ptr<KeychainBackend> current() {
      SharedState& state = sharedState();
      std::lock_guard lock(state.mutex);
      if (!state.backend) {
        auto chosen = makeKeychainBackendFromEnvironment();
        state.backend = chosen.ok() ? chosen.value() : std::make_shared<UnavailableBackend>(chosen.error());
      }
      return state.backend;
    }
  };
  static auto* keychain = new Keychain(std::make_shared<SharedBackend>());
  return *keychain;
}

void Keychain::setSharedBackend(std::shared_ptr<KeychainBackend> backend) {
  if (!backend) fatalError("Keychain::setSharedBackend needs a backend");
  SharedState& state = sharedState();
  std::lock_guard lock(state.mutex);
  state.backend = std::move(backend);
}

std::string Keychain::backendName() const { return backend_->name(); }

Result<Bytes> Keychain::read(const KeychainQuery& query) const {
  if (auto error = checkQuery(query.service, query.account)) return *error;
  return backend_->read(query);
}

Result<void> Keychain::add(const std::string& service, const std::string& account, ByteView data) const {
  if (auto error = checkQuery(service, account)) return *error;
  return backend_->add(service, account, data);
}

Result<void> Keychain::update(const KeychainQuery& query, ByteView data) const {
  if (auto error = checkQuery(query.service, query.account)) return *error;
  return backend_->update(query, data);
}

Result<void> Keychain::remove(const KeychainQuery& query) const {
  if (auto error = checkQuery(query.service, query.account)) return *error;
  return backend_->remove(query);
}

std::filesystem::path defaultKeychainFilePath() {
  std::filesystem::path folder = StandardPaths::applicationSupportPath();
  if (folder.empty()) {
    // No home folder at all: a private folder of this user still beats failing every call.
    folder = std::filesystem::temp_directory_path() / ("vx-" + std::to_string(getuid())) / VX_BUNDLE_IDENTIFIER;
  }
  return folder / "keychain.json";
}

Result<std::shared_ptr<KeychainBackend>> makeSecretServiceKeychainBackend(std::chrono::milliseconds probeTimeout,
                                                                          std::chrono::milliseconds operationTimeout) {
  return keychain_internal::probeSecretService(probeTimeout, operationTimeout, false);
}

Result<std::shared_ptr<KeychainBackend>> makeKeychainBackend(KeychainBackendKind kind) {
  switch (kind) {
    case KeychainBackendKind::file:
      return makeFileKeychainBackend(defaultKeychainFilePath());
    case KeychainBackendKind::secretService:
      return makeSecretServiceKeychainBackend();
    case KeychainBackendKind::automatic:
      break;
  }
  auto secretService =
      keychain_internal::probeSecretService(std::chrono::milliseconds(2000), std::chrono::milliseconds(30000), true);
  if (secretService.ok()) return secretService;
  return makeFileKeychainBackend(defaultKeychainFilePath());
}

Result<std::shared_ptr<KeychainBackend>> makeKeychainBackendFromEnvironment() {
  const char* value = std::getenv("VX_KEYCHAIN_BACKEND");
  const std::string choice = value != nullptr ? value : "";
  if (choice.empty() || choice == "auto") return makeKeychainBackend(KeychainBackendKind::automatic);
  if (choice == "file") return makeKeychainBackend(KeychainBackendKind::file);
  if (choice == "secret-service") return makeKeychainBackend(KeychainBackendKind::secretService);
  return makeError(kKeychainErrorParam,
                   "VX_KEYCHAIN_BACKEND is \"" + choice + "\"; expected \"file\", \"secret-service\" or \"auto\"");
}

}  // namespace vx
