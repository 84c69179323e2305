// Encrypts short strings and data with AES-256-CBC (PKCS#7 padding) under keys that are made at
// run time and kept in the platform keychain. The key in use rotates every 365 days between two
// key tags; every cipher text names its tag, so what was written under the previous key stays
// readable. Output layout: "<tag>/AES/CBC/PKCS7/32" ":" <16-byte IV> <cipher text>. Data of the
// older layout (no metadata: cipher text under the first tag's key with a zero IV) still
// decrypts.
//
// A random source that fails makes the operation fail: no zero, partial or guessable key or IV
// is ever stored or used. Safe from any thread.
#pragma once

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class MSEncrypter {
 public:
  static constexpr const char* kMSEncryptionKeyTag = "kMSEncryptionKeyTag";
  static constexpr const char* kMSEncryptionKeyTagAlternate = "kMSEncryptionKeyTagAlternate";
  static constexpr const char* kMSEncryptionKeyMetadataKey = "MSEncryptionKeyMetadata";
  static constexpr std::int64_t kMSEncryptionKeyLifetimeSeconds = 31536000;  // 365 days

  enum class Operation { Encrypt = 0, Decrypt = 1 };

  // Key metadata lives in the given user defaults (the SDK's shared ones by default).
  explicit MSEncrypter(std::shared_ptr<MSUserDefaults> defaults = MSUserDefaults::shared());

  // Base64 (no line breaks) of encryptData on the UTF-8 bytes; std::nullopt on failure (logged).
  std::optional<std::string> encryptString(const std::string& plainText);
  // The layout above; std::nullopt on failure (logged).
  std::optional<vx::Bytes> encryptData(const vx::Bytes& plainData);
  // The plain string; std::nullopt (warning) for text that is not Base64, or when decryption
  // fails or the result is not UTF-8.
  std::optional<std::string> decryptString(const std::string& cipherText);
  std::optional<vx::Bytes> decryptData(const vx::Bytes& cipherData);

  // The tag to encrypt with: the stored one while it has not expired, else the other tag (the
  // alternate one when none is stored), made current for 365 days. Under the encrypter lock.
  static std::string getCurrentKeyTag(MSUserDefaults& defaults);
  // Makes the tag current until now + 365 days.
  static void rotateToNewKeyTag(const std::string& keyTag, MSUserDefaults& defaults);

  // The 32-byte key of the tag: the in-memory copy, else the keychain's, else a new one that is
  // stored first. std::nullopt (logged) when the keychain cannot be read (other than "no item"),
  // the stored key is damaged, or a new key cannot be made or stored.
  std::optional<vx::Bytes> getKeyWithKeyTag(const std::string& keyTag);

  // One AES-256-CBC call; a missing IV means sixteen zero bytes. std::nullopt (error line) on
  // failure.
  static std::optional<vx::Bytes> performCryptoOperation(Operation operation, const vx::Bytes& input,
                                                         const std::optional<vx::Bytes>& initializationVector,
                                                         const vx::Bytes& key);
  // 32 random bytes stored (Base64) under the tag; std::nullopt (error line) when the random
  // source fails or the keychain does not take the key.
  static std::optional<vx::Bytes> generateAndSaveKeyWithTag(const std::string& keyTag);
  // 16 random bytes; std::nullopt (error line) when the random source fails.
  static std::optional<vx::Bytes> generateInitializationVector();
  // "<tag>/AES/CBC/PKCS7/32" as bytes.
  static vx::Bytes getMetadataStringWithKeyTag(const std::string& keyTag);

  std::optional<vx::Bytes> originalKeyData() const;
  std::optional<vx::Bytes> alternateKeyData() const;

  // Test hook: replaces the random source (nullptr restores the platform's). The function
  // answers `count` bytes or an error; any other length counts as a failure.
  using RandomSource = std::function<vx::Result<vx::Bytes>(std::size_t count)>;
  static void setRandomSourceForTesting(RandomSource source);

 private:
  std::optional<vx::Bytes> cachedKey(const std::string& keyTag) const;
  void cacheKey(const std::string& keyTag, const vx::Bytes& key);

  std::shared_ptr<MSUserDefaults> defaults_;
  mutable std::mutex keysMutex_;
  std::optional<vx::Bytes> originalKeyData_;
  std::optional<vx::Bytes> alternateKeyData_;
};
