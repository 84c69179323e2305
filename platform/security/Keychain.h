// Generic-password items addressed by service and account, kept by the desktop's Secret Service
// when one answers, or else by a private file store. Callers see one API and the platform
// keychain's own result codes, so "item not found" and "duplicate item" read the same whichever
// store holds the secret.
#pragma once

#include "platform/foundation/Error.h"
#include "platform/security/Crypto.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace vx {

// Every keychain failure is an Error of this domain whose `code` is one of the statuses below
// (the numbers the platform keychain uses, so logs and reports read "Status -25300" alike).
inline constexpr const char* kKeychainErrorDomain = "vx.keychain";
inline constexpr std::int32_t kKeychainSuccess = 0;
inline constexpr std::int32_t kKeychainErrorParam = -50;             // bad argument (empty service, bad UTF-8)
inline constexpr std::int32_t kKeychainErrorIO = -36;                // the file store could not be read or written
inline constexpr std::int32_t kKeychainErrorNotAvailable = -25291;   // no store answers (or it timed out)
inline constexpr std::int32_t kKeychainErrorDuplicateItem = -25299;  // add: the item exists already
inline constexpr std::int32_t kKeychainErrorItemNotFound = -25300;   // read/update/remove: no item matches
inline constexpr std::int32_t kKeychainErrorInteractionNotAllowed = -25308;  // the store is locked
inline constexpr std::int32_t kKeychainErrorDecode = -26275;                 // the file store is corrupt

// The status of a keychain result: kKeychainSuccess, or the failing Error's code.
std::int32_t keychainStatus(const Error& error);
template <class T>
std::int32_t keychainStatus(const Result<T>& result) {
  return result.ok() ? kKeychainSuccess : keychainStatus(result.error());
}

// The address of one or more items. Without an account, a query matches every item of the
// service (read returns one of them; update and remove act on all of them).
struct KeychainQuery {
  std::string service;
  std::optional<std::string> account;
};

// One store of items. Keychain checks the arguments before it calls these, so a backend (or a
// test fake) only stores. Each returns the statuses documented on Keychain.
class KeychainBackend {
 public:
  virtual ~KeychainBackend() = default;
  virtual std::string name() const = 0;  // "file", "secret-service", ...
  virtual Result<Bytes> read(const KeychainQuery& query) = 0;
  virtual Result<void> add(const std::string& service, const std::string& account, ByteView data) = 0;
  virtual Result<void> update(const KeychainQuery& query, ByteView data) = 0;
  virtual Result<void> remove(const KeychainQuery& query) = 0;
};

// Generic-password items. Safe to use from any thread; every call reads the store afresh (no
// cache), so two Keychain objects or two processes over one store see each other's writes.
class Keychain {
 public:
  explicit Keychain(std::shared_ptr<KeychainBackend> backend);

  // The process-wide keychain, its backend chosen on first use by
  // makeKeychainBackendFromEnvironment(). When that fails (unknown VX_KEYCHAIN_BACKEND value,
  // forced Secret Service unreachable), every call fails with that error instead of quietly
  // using another store.
  static Keychain& shared();
  // Replaces the backend of shared() (start-up configuration, tests).
  static void setSharedBackend(std::shared_ptr<KeychainBackend> backend);

  std::string backendName() const;

  // The data of the first item matching the query. Fails with kKeychainErrorItemNotFound when
  // none matches; kKeychainErrorParam for an empty service or text that is not UTF-8; else the
  // backend's failure (kKeychainErrorIO, kKeychainErrorDecode, kKeychainErrorNotAvailable,
  // kKeychainErrorInteractionNotAllowed).
  Result<Bytes> read(const KeychainQuery& query) const;

  // Adds a new item. Fails with kKeychainErrorDuplicateItem when an item with this service and
  // account exists (nothing is changed); otherwise as read.
  Result<void> add(const std::string& service, const std::string& account, ByteView data) const;

  // Replaces the data of every item matching the query. Fails with kKeychainErrorItemNotFound
  // when none matches (nothing is added); otherwise as read.
  Result<void> update(const KeychainQuery& query, ByteView data) const;

  // Deletes every item matching the query. Fails with kKeychainErrorItemNotFound when none
  // matches; otherwise as read.
  Result<void> remove(const KeychainQuery& query) const;

 private:
  std::shared_ptr<KeychainBackend> backend_;
};

enum class KeychainBackendKind { automatic, file, secretService };

// The file store: one JSON file of mode 0600 in a folder of mode 0700, replaced atomically
// (temporary file, fsync, rename) under an advisory lock, so concurrent writers lose nothing.
// A file that does not parse fails each call with kKeychainErrorDecode and is never overwritten.
std::shared_ptr<KeychainBackend> makeFileKeychainBackend(std::filesystem::path file);

// $XDG_DATA_HOME (or ~/.local/share)/<bundle identifier>/keychain.json.
std::filesystem::path defaultKeychainFilePath();

// The Secret Service over D-Bus (items of schema "com.vexelworks.GenericPassword" with the
// attributes "service" and "account"). Fails with kKeychainErrorNotAvailable when no session bus
// is set, or the service does not answer within `probeTimeout`. Each later call is bounded by
// `operationTimeout` (long enough for the user to answer an unlock prompt).
Result<std::shared_ptr<KeychainBackend>> makeSecretServiceKeychainBackend(
    std::chrono::milliseconds probeTimeout = std::chrono::milliseconds(2000),
    std::chrono::milliseconds operationTimeout = std::chrono::milliseconds(30000));

// automatic: the Secret Service when it answers within the probe time and has a default
// collection, else the file store at defaultKeychainFilePath(). file / secretService: that store
// only; secretService fails with kKeychainErrorNotAvailable when it does not answer.
Result<std::shared_ptr<KeychainBackend>> makeKeychainBackend(KeychainBackendKind kind);

// The kind named by the environment variable VX_KEYCHAIN_BACKEND ("file", "secret-service";
// unset, empty or "auto" means automatic), passed to makeKeychainBackend. Fails with
// kKeychainErrorParam for any other value.
Result<std::shared_ptr<KeychainBackend>> makeKeychainBackendFromEnvironment();

}  // namespace vx
