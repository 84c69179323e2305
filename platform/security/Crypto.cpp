#include "platform/security/Crypto.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <array>
#include <climits>
#include <memory>

namespace vx {
namespace {

std::string openSslErrorText() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  std::array<char, 256> buffer{};
  ERR_error_string_n(code, buffer.data(), buffer.size());
  return buffer.data();
}

Error cryptoError(std::int64_t code, std::string description) {
  return Error(kCryptoErrorDomain, code, std::move(description));
}

Bytes digest(const EVP_MD* md, ByteView data, const char* name) {
  Bytes out(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) != 1 || length != out.size()) {
    fatalError(std::string(name) + " digest failed: " + openSslErrorText());
  }
  return out;
}

Bytes hmac(const EVP_MD* md, ByteView key, ByteView data, const char* name) {
  if (key.size() > static_cast<std::size_t>(INT_MAX)) fatalError("HMAC key too long");
  Bytes out(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int length = 0;
  // A null key pointer means "no key" to some OpenSSL versions even with length 0.
  static const std::uint8_t kEmpty = 0;
  const void* keyData = key.empty() ? &kEmpty : key.data();
  if (HMAC(md, keyData, static_cast<int>(key.size()), data.data(), data.size(), out.data(), &length) == nullptr ||
      length != out.size()) {
    fatalError(std::string(name) + " failed: " + openSslErrorText());
  }
  return out;
}

struct CipherContextDeleter {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

Result<Bytes> aes256Cbc(bool encrypt, ByteView key, ByteView iv, ByteView input) {
  if (key.size() != kAes256KeyLength) {
    return cryptoError(kCryptoErrorInvalidKeySize, "AES-256 needs a 32-byte key, got " + std::to_string(key.size()));
  }
  if (iv.size() != kAesBlockLength) {
    return cryptoError(kCryptoErrorInvalidIVSize, "AES-CBC needs a 16-byte IV, got " + std::to_string(iv.size()));
  }
  if (!encrypt && (input.empty() || input.size() % kAesBlockLength != 0)) {
    return cryptoError(kCryptoErrorDecryptFailed, "cipher text of " + std::to_string(input.size()) +
                                                      " bytes is not a non-empty whole number of AES blocks");
  }
  if (input.size() > static_cast<std::size_t>(INT_MAX) - kAesBlockLength) {
    return cryptoError(kCryptoErrorLibrary, "input too large for one AES operation");
  }
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> context(EVP_CIPHER_CTX_new());
  if (!context) return cryptoError(kCryptoErrorLibrary, "EVP_CIPHER_CTX_new: " + openSslErrorText());
  if (EVP_CipherInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data(), encrypt ? 1 : 0) != 1) {
    return cryptoError(kCryptoErrorLibrary, "EVP_CipherInit_ex: " + openSslErrorText());
  }
  // PKCS#7 padding is OpenSSL's default; set it anyway so the contract is visible here.
  EVP_CIPHER_CTX_set_padding(context.get(), 1);
  Bytes out(input.size() + kAesBlockLength);
  int written = 0;
  static const std::uint8_t kEmpty = 0;
  if (EVP_CipherUpdate(context.get(), out.data(), &written, input.empty() ? &kEmpty : input.data(),
                       static_cast<int>(input.size())) != 1) {
    return cryptoError(encrypt ? kCryptoErrorLibrary : kCryptoErrorDecryptFailed,
                       "EVP_CipherUpdate: " + openSslErrorText());
  }
  int finalWritten = 0;
  if (EVP_CipherFinal_ex(context.get(), out.data() + written, &finalWritten) != 1) {
    if (encrypt) return cryptoError(kCryptoErrorLibrary, "EVP_CipherFinal_ex: " + openSslErrorText());
    ERR_clear_error();
    return cryptoError(kCryptoErrorDecryptFailed,
                       "AES-CBC decryption failed: bad padding (wrong key or IV, or damaged data)");
  }
  // NOLINTNEXTLINE(bugprone-misplaced-widening-cast): the sum fits, input is at most INT_MAX - 16
  out.resize(static_cast<std::size_t>(written + finalWritten));
  return out;
}

}  // namespace

Bytes sha1(ByteView data) { return digest(EVP_sha1(), data, "SHA-1"); }
Bytes sha256(ByteView data) { return digest(EVP_sha256(), data, "SHA-256"); }
std::string sha1Hex(ByteView data) { return toHex(sha1(data)); }
std::string sha256Hex(ByteView data) { return toHex(sha256(data)); }
Bytes hmacSha1(ByteView key, ByteView data) { return hmac(EVP_sha1(), key, data, "HMAC-SHA1"); }
Bytes hmacSha256(ByteView key, ByteView data) { return hmac(EVP_sha256(), key, data, "HMAC-SHA256"); }

std::string toHex(ByteView data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(data.size() * 2);
  for (std::uint8_t byte : data) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0x0f]);
  }
  return out;
}

Result<Bytes> aes256CbcEncrypt(ByteView key, ByteView iv, ByteView plainText) {
  return aes256Cbc(true, key, iv, plainText);
}

Result<Bytes> aes256CbcDecrypt(ByteView key, ByteView iv, ByteView cipherText) {
  return aes256Cbc(false, key, iv, cipherText);
}

Result<Bytes> randomBytes(std::size_t count) {
  Bytes out(count);
  std::size_t done = 0;
  while (done < count) {
    const std::size_t chunk = std::min<std::size_t>(count - done, INT_MAX);
    if (RAND_bytes(out.data() + done, static_cast<int>(chunk)) != 1) {
      OPENSSL_cleanse(out.data(), out.size());
      return cryptoError(kCryptoErrorRandomUnavailable, "secure random generator failed: " + openSslErrorText());
    }
    done += chunk;
  }
  return out;
}

}  // namespace vx
