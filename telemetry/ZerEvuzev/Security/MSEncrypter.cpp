#include "telemetry/ZerEvuzev/Security/MSEncrypter.h"

#include "platform/foundation/Clock.h"
#include "platform/security/Crypto.h"
#include "platform/security/Keychain.h"
#include "telemetry/ZerEvuzev/Security/MSKeychainUtil.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <algorithm>
#include <chrono>

namespace {

constexpr std::size_t kKeyLength = vx::kAes256KeyLength;
constexpr std::size_t kIVLength = vx::kAesBlockLength;
constexpr char kMetadataSeparator = ':';

// One lock for the whole process: the current-tag check with its rotation, and the creation of a
// missing key, must not interleave between encrypters.
std::mutex& encrypterLock() {
  static std::mutex mutex;
  return mutex;
}

std::mutex& randomSourceMutex() {
  static std::mutex mutex;
  return mutex;
}

MSEncrypter::RandomSource& randomSourceSlot() {
  static MSEncrypter::RandomSource source;
  return source;
}

// `count` random bytes, or the source's error. A source that answers a wrong length fails too.
vx::Result<vx::Bytes> randomBytes(std::size_t count) {
  MSEncrypter::RandomSource source;
  {
    std::lock_guard lock(randomSourceMutex());
    source = randomSourceSlot();
  }
  auto bytes = source ? source(count) : vx::randomBytes(count);
  if (bytes && bytes->size() != count) {
    return vx::Error(vx::kCryptoErrorDomain, vx::kCryptoErrorRandomUnavailable, "short random read");
  }
  return bytes;
}

bool isValidUtf8(const std::uint8_t* data, std::size_t size) {
  std::size_t i = 0;
  while (i < size) {
    const std::uint8_t c = data[i];
    std::size_t extra = 0;
    std::uint32_t codePoint = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      codePoint = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      codePoint = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      codePoint = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= size) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((data[i + k] & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (data[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((extra == 1 && codePoint < 0x80) || (extra == 2 && codePoint < 0x800) || (extra == 3 && codePoint < 0x10000) ||
        codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace

MSEncrypter::MSEncrypter(std::shared_ptr<MSUserDefaults> defaults) : defaults_(std::move(defaults)) {}

void MSEncrypter::setRandomSourceForTesting(RandomSource source) {
  std::lock_guard lock(randomSourceMutex());
  randomSourceSlot() = std::move(source);
}

std::optional<std::string> MSEncrypter::encryptString(const std::string& plainText) {
  auto encrypted = encryptData(vx::Bytes(plainText.begin(), plainText.end()));
  if (!encrypted) return std::nullopt;
  return vx::base64Encode(*encrypted);
}

std::optional<vx::Bytes> MSEncrypter::encryptData(const vx::Bytes& plainData) {
  const std::string keyTag = getCurrentKeyTag(*defaults_);
  const auto key = getKeyWithKeyTag(keyTag);
  if (!key) return std::nullopt;
  const auto iv = generateInitializationVector();
  if (!iv) return std::nullopt;
  auto cipher = performCryptoOperation(Operation::Encrypt, plainData, iv, *key);
  if (!cipher) return std::nullopt;
  vx::Bytes result = getMetadataStringWithKeyTag(keyTag);
  result.push_back(static_cast<std::uint8_t>(kMetadataSeparator));
  result.insert(result.end(), iv->begin(), iv->end());
  result.insert(result.end(), cipher->begin(), cipher->end());
  return result;
}

std::optional<std::string> MSEncrypter::decryptString(const std::string& cipherText) {
  auto data = vx::base64Decode(cipherText);
  if (!data) {
    MSLogWarning(kMSLogTag, "Conversion of encrypted string to NSData failed.");
    return std::nullopt;
  }
  auto plain = decryptData(*data);
  if (!plain) return std::nullopt;
  if (!isValidUtf8(plain->data(), plain->size())) {
    MSLogWarning(kMSLogTag, "Converting decrypted NSData to NSString failed.");
    return std::nullopt;
  }
  return std::string(plain->begin(), plain->end());
}

std::optional<vx::Bytes> MSEncrypter::decryptData(const vx::Bytes& cipherData) {
  const auto separator = std::find(cipherData.begin(), cipherData.end(), static_cast<std::uint8_t>(kMetadataSeparator));
  // The metadata must name one of our tags exactly as encryptData writes it. Older cipher text
  // has no metadata, and its random bytes may well hold a ":" after a few ASCII bytes; reading
  // those as metadata would make such data undecryptable.
  std::optional<std::string> keyTag;
  if (separator != cipherData.end()) {
    const std::size_t metadataLength = static_cast<std::size_t>(separator - cipherData.begin());
    if (isValidUtf8(cipherData.data(), metadataLength)) {
      const vx::Bytes metadata(cipherData.begin(), separator);
      for (const char* tag : {kMSEncryptionKeyTag, kMSEncryptionKeyTagAlternate}) {
        if (metadata == getMetadataStringWithKeyTag(tag)) keyTag = tag;
      }
    }
  }
  if (keyTag) {
    const std::size_t rest = static_cast<std::size_t>(cipherData.end() - separator) - 1;
    if (rest < kIVLength) {
      MSLogError(kMSLogTag, "Error performing encryption or decryption.");
      return std::nullopt;
    }
    const auto key = getKeyWithKeyTag(*keyTag);
    if (!key) return std::nullopt;
    const vx::Bytes iv(separator + 1, separator + 1 + kIVLength);
    const vx::Bytes cipher(separator + 1 + kIVLength, cipherData.end());
    return performCryptoOperation(Operation::Decrypt, cipher, iv, *key);
  }
  const auto key = getKeyWithKeyTag(kMSEncryptionKeyTag);
  if (!key) return std::nullopt;
  return performCryptoOperation(Operation::Decrypt, cipherData, std::nullopt, *key);
}

std::string MSEncrypter::getCurrentKeyTag(MSUserDefaults& defaults) {
  std::lock_guard lock(encrypterLock());
  const auto stored = defaults.objectForKey(kMSEncryptionKeyMetadataKey);
  const std::string* metadata = stored ? stored->stringValue() : nullptr;
  if (metadata == nullptr) {
    rotateToNewKeyTag(kMSEncryptionKeyTagAlternate, defaults);
    return kMSEncryptionKeyTagAlternate;
  }
  const std::size_t slash = metadata->find('/');
  const std::string tag = metadata->substr(0, slash);
  const auto expiry =
      slash == std::string::npos ? std::nullopt : MSUtility::dateFromISO8601(metadata->substr(slash + 1));
  const bool knownTag = tag == kMSEncryptionKeyTag || tag == kMSEncryptionKeyTagAlternate;
  if (!knownTag || !expiry) {
    // Damaged metadata: start over as on a fresh installation. Both keys stay in the keychain,
    // so nothing written before becomes unreadable.
    MSLogWarning(kMSLogTag, "Unexpected encryption key metadata; rotating to a new key tag.");
    rotateToNewKeyTag(kMSEncryptionKeyTagAlternate, defaults);
    return kMSEncryptionKeyTagAlternate;
  }
  if (vx::wallNow() > *expiry) {
    const std::string next = tag == kMSEncryptionKeyTag ? kMSEncryptionKeyTagAlternate : kMSEncryptionKeyTag;
    rotateToNewKeyTag(next, defaults);
    return next;
  }
  return tag;
}

void MSEncrypter::rotateToNewKeyTag(const std::string& keyTag, MSUserDefaults& defaults) {
  const vx::Date expiry = vx::wallNow() + std::chrono::seconds(kMSEncryptionKeyLifetimeSeconds);
  defaults.setObject(vx::Value(keyTag + "/" + MSUtility::dateToISO8601(expiry)), kMSEncryptionKeyMetadataKey);
}

std::optional<vx::Bytes> MSEncrypter::cachedKey(const std::string& keyTag) const {
  std::lock_guard lock(keysMutex_);
  return keyTag == kMSEncryptionKeyTag ? originalKeyData_ : alternateKeyData_;
}

void MSEncrypter::cacheKey(const std::string& keyTag, const vx::Bytes& key) {
  std::lock_guard lock(keysMutex_);
  (keyTag == kMSEncryptionKeyTag ? originalKeyData_ : alternateKeyData_) = key;
}

std::optional<vx::Bytes> MSEncrypter::originalKeyData() const { return cachedKey(kMSEncryptionKeyTag); }
std::optional<vx::Bytes> MSEncrypter::alternateKeyData() const { return cachedKey(kMSEncryptionKeyTagAlternate); }

namespace {

enum class StoredKey { found, missing, failed };

// The key stored under the tag. Only "no such item" counts as missing: a keychain that is
// locked or unreachable must never lead to a new key that would replace the stored one and make
// everything encrypted under it unreadable.
StoredKey readStoredKey(const std::string& keyTag, std::optional<vx::Bytes>& key) {
  std::int32_t status = 0;
  const auto text = MSKeychainUtil::stringForKey(keyTag, &status);
  if (status == vx::kKeychainErrorItemNotFound) return StoredKey::missing;
  if (!text) {
    MSLogError(kMSLogTag, "Failed to read the encryption key from the keychain. Status: %d", status);
    return StoredKey::failed;
  }
  auto decoded = vx::base64Decode(*text);
  if (!decoded || decoded->size() != kKeyLength) {
    MSLogError(kMSLogTag, "The encryption key stored in the keychain is damaged.");
    return StoredKey::failed;
  }
  key = std::move(decoded.value());
  return StoredKey::found;
}

}  // namespace

std::optional<vx::Bytes> MSEncrypter::getKeyWithKeyTag(const std::string& keyTag) {
  if (auto key = cachedKey(keyTag)) return key;
  std::optional<vx::Bytes> key;
  StoredKey stored = readStoredKey(keyTag, key);
  if (stored == StoredKey::missing) {
    std::lock_guard lock(encrypterLock());
    // Another thread or encrypter may have made it meanwhile.
    stored = readStoredKey(keyTag, key);
    if (stored == StoredKey::missing) key = generateAndSaveKeyWithTag(keyTag);
  }
  if (!key) return std::nullopt;
  cacheKey(keyTag, *key);
  return key;
}

std::optional<vx::Bytes> MSEncrypter::performCryptoOperation(Operation operation, const vx::Bytes& input,
                                                             const std::optional<vx::Bytes>& initializationVector,
                                                             const vx::Bytes& key) {
  const vx::Bytes zeroVector(kIVLength, 0);
  const vx::Bytes& iv = initializationVector ? *initializationVector : zeroVector;
  auto output =
      operation == Operation::Encrypt ? vx::aes256CbcEncrypt(key, iv, input) : vx::aes256CbcDecrypt(key, iv, input);
  if (!output) {
    MSLogError(kMSLogTag, "Error performing encryption or decryption.");
    return std::nullopt;
  }
  return std::move(output.value());
}

std::optional<vx::Bytes> MSEncrypter::generateAndSaveKeyWithTag(const std::string& keyTag) {
  auto key = randomBytes(kKeyLength);
  if (!key) {
    MSLogError(kMSLogTag, "Error generating encryption key. Error code: %d", static_cast<int>(key.error().code));
    return std::nullopt;
  }
  if (!MSKeychainUtil::storeString(vx::base64Encode(*key), keyTag)) {
    // A key that is not kept would make everything encrypted with it unreadable later.
    MSLogError(kMSLogTag, "Failed to save the new encryption key in the keychain.");
    return std::nullopt;
  }
  return std::move(key.value());
}

std::optional<vx::Bytes> MSEncrypter::generateInitializationVector() {
  auto iv = randomBytes(kIVLength);
  if (!iv) {
    MSLogError(kMSLogTag, "Error generating initialization vector. Error code: %d", static_cast<int>(iv.error().code));
    return std::nullopt;
  }
  return std::move(iv.value());
}

vx::Bytes MSEncrypter::getMetadataStringWithKeyTag(const std::string& keyTag) {
  const std::string metadata = keyTag + "/AES/CBC/PKCS7/32";
  return vx::Bytes(metadata.begin(), metadata.end());
}
