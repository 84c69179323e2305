// Hashes, message authentication, AES-256-CBC and secure random bytes over OpenSSL 3 (Base64
// comes with it from platform/foundation/Base64.h).
// Request signing, the telemetry encrypter and the error-reporting client share these, so every
// caller gets the same checked behaviour instead of calling OpenSSL directly.
#pragma once

#include "platform/foundation/Base64.h"
#include "platform/foundation/Error.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vx {

using Bytes = std::vector<std::uint8_t>;

// Error domain of the fallible functions below; codes are the kCrypto* values.
inline constexpr const char* kCryptoErrorDomain = "vx.crypto";
inline constexpr std::int64_t kCryptoErrorInvalidKeySize = 1;
inline constexpr std::int64_t kCryptoErrorInvalidIVSize = 2;
inline constexpr std::int64_t kCryptoErrorDecryptFailed = 3;  // bad padding, wrong key, bad length
inline constexpr std::int64_t kCryptoErrorLibrary = 4;        // OpenSSL itself failed
inline constexpr std::int64_t kCryptoErrorRandomUnavailable = 5;
inline constexpr std::int64_t kCryptoErrorInvalidBase64 = kBase64ErrorInvalid;

inline constexpr std::size_t kSha1Length = 20;
inline constexpr std::size_t kSha256Length = 32;
inline constexpr std::size_t kAes256KeyLength = 32;
inline constexpr std::size_t kAesBlockLength = 16;  // also the IV length

// Digests and HMACs. They cannot fail on valid input; should OpenSSL itself fail (no memory,
// broken provider), they stop the program through fatalError rather than return a wrong digest.
Bytes sha1(ByteView data);
Bytes sha256(ByteView data);
std::string sha1Hex(ByteView data);    // 40 lower-case hex digits
std::string sha256Hex(ByteView data);  // 64 lower-case hex digits
Bytes hmacSha1(ByteView key, ByteView data);
Bytes hmacSha256(ByteView key, ByteView data);

// Lower-case hex text of the bytes, two digits per byte.
std::string toHex(ByteView data);

// AES-256 in CBC mode with PKCS#7 padding. The key must be 32 bytes and the IV 16 bytes.
// Encrypt fails with kCryptoErrorInvalidKeySize / kCryptoErrorInvalidIVSize for wrong sizes, or
// kCryptoErrorLibrary when OpenSSL fails. Decrypt fails the same way, and with
// kCryptoErrorDecryptFailed when the cipher text is empty, not a whole number of blocks, or its
// padding does not check out (which is how a wrong key or IV shows in nearly every case; CBC
// has no authentication, so a wrong key can by chance yield valid padding and garbage).
Result<Bytes> aes256CbcEncrypt(ByteView key, ByteView iv, ByteView plainText);
Result<Bytes> aes256CbcDecrypt(ByteView key, ByteView iv, ByteView cipherText);

// `count` bytes from OpenSSL's cryptographically secure generator. Fails with
// kCryptoErrorRandomUnavailable when the generator cannot deliver (never returns zeros instead).
Result<Bytes> randomBytes(std::size_t count);

// Base64 (base64Encode, base64Decode, Base64DecodeMode) lives in platform/foundation/Base64.h.

}  // namespace vx
