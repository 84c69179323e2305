#include "platform/security/Crypto.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace vx {
namespace {

Bytes fromHex(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

Bytes repeated(std::uint8_t byte, std::size_t count) { return Bytes(count, byte); }

Bytes counting(std::uint8_t from, std::uint8_t to) {
  Bytes out;
  for (int b = from; b <= to; ++b) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

// FIPS 180 example messages.
TEST(Crypto, ShaDigestsMatchPublishedVectors) {
  const std::string millionA(1000000, 'a');
  struct Case {
    std::string message;
    const char* sha1;
    const char* sha256;
  };
  const std::vector<Case> cases = {
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {millionA, "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message.substr(0, 20));
    EXPECT_EQ(sha1Hex(c.message), c.sha1);
    EXPECT_EQ(sha256Hex(c.message), c.sha256);
    EXPECT_EQ(sha1(c.message), fromHex(c.sha1));
    EXPECT_EQ(sha256(c.message), fromHex(c.sha256));
    // Text and bytes of the same content hash alike.
    EXPECT_EQ(sha256(Bytes(c.message.begin(), c.message.end())), fromHex(c.sha256));
  }
}

// RFC 2202 (HMAC-SHA1) and RFC 4231 (HMAC-SHA256) test cases.
TEST(Crypto, HmacMatchesRfcVectors) {
  struct Case {
    const char* name;
    Bytes key;
    Bytes data;
    const char* expected;
  };
  auto text = [](std::string_view s) { return Bytes(s.begin(), s.end()); };
  const std::vector<Case> sha1Cases = {
      {"2202-1", repeated(0x0b, 20), text("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"2202-2", text("Jefe"), text("what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {"2202-3", repeated(0xaa, 20), repeated(0xdd, 50), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {"2202-4", counting(0x01, 0x19), repeated(0xcd, 50), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {"2202-5", repeated(0x0c, 20), text("Test With Truncation"), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
      {"2202-6", repeated(0xaa, 80), text("Test Using Larger Than Block-Size Key - Hash Key First"),
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {"2202-7", repeated(0xaa, 80), text("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
  for (const Case& c : sha1Cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(toHex(hmacSha1(c.key, c.data)), c.expected);
  }
  const std::vector<Case> sha256Cases = {
      {"4231-1", repeated(0x0b, 20), text("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"4231-2", text("Jefe"), text("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {"4231-3", repeated(0xaa, 20), repeated(0xdd, 50),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {"4231-4", counting(0x01, 0x19), repeated(0xcd, 50),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {"4231-6", repeated(0xaa, 131), text("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {"4231-7", repeated(0xaa, 131),
       text("This is a test using a larger than block-size key and a larger than block-size "
            "data. The key needs to be hashed before being used by the HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const Case& c : sha256Cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(toHex(hmacSha256(c.key, c.data)), c.expected);
  }
  // Empty buffers (no storage at all) digest like empty text.
  EXPECT_EQ(sha1(Bytes{}), sha1(""));
  EXPECT_EQ(sha256(Bytes{}), sha256(""));
  EXPECT_EQ(hmacSha256(Bytes{}, Bytes{}), hmacSha256("", ""));
  // An empty key is a valid HMAC key (request signing uses "consumer&" with an empty token).
  EXPECT_EQ(toHex(hmacSha1("", "")), "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d");
}

// NIST SP 800-38A, F.2.5 (CBC-AES256.Encrypt) and F.2.6 (Decrypt).
TEST(Crypto, AesCbcMatchesNistVectorsAndAddsPkcs7Padding) {
  const Bytes key = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  const Bytes iv = fromHex("000102030405060708090a0b0c0d0e0f");
  const Bytes plain = fromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const Bytes nist = fromHex(
      "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
      "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");
  auto encrypted = aes256CbcEncrypt(key, iv, plain);
  ASSERT_TRUE(encrypted.ok()) << encrypted.error();
  // A whole number of blocks gains one full block of padding after the published cipher text.
  ASSERT_EQ(encrypted.value().size(), plain.size() + kAesBlockLength);
  EXPECT_EQ(Bytes(encrypted.value().begin(), encrypted.value().begin() + 64), nist);
  auto decrypted = aes256CbcDecrypt(key, iv, encrypted.value());
  ASSERT_TRUE(decrypted.ok()) << decrypted.error();
  EXPECT_EQ(decrypted.value(), plain);

  // The published cipher text alone carries no padding, so decrypting it must not pass.
  auto unpadded = aes256CbcDecrypt(key, iv, nist);
  ASSERT_FALSE(unpadded.ok());
  EXPECT_EQ(unpadded.error().code, kCryptoErrorDecryptFailed);
}

TEST(Crypto, AesCbcRoundTripsEveryLengthAroundTheBlockSize) {
  const Bytes key = randomBytes(32).value();
  const Bytes iv = randomBytes(16).value();
  for (std::size_t length = 0; length <= 48; ++length) {
    SCOPED_TRACE(length);
    const Bytes plain(length, static_cast<std::uint8_t>(length));
    auto encrypted = aes256CbcEncrypt(key, iv, plain);
    ASSERT_TRUE(encrypted.ok());
    EXPECT_EQ(encrypted.value().size(), (length / 16 + 1) * 16);
    auto decrypted = aes256CbcDecrypt(key, iv, encrypted.value());
    ASSERT_TRUE(decrypted.ok()) << decrypted.error();
    EXPECT_EQ(decrypted.value(), plain);
  }
}

TEST(Crypto, AesCbcRejectsBadKeysIvsAndCipherTexts) {
  const Bytes key(32, 0x11);
  const Bytes iv(16, 0x22);
  const Bytes cipher = aes256CbcEncrypt(key, iv, "a secret of some length").value();

  struct Case {
    const char* name;
    Bytes key;
    Bytes iv;
    Bytes cipher;
    std::int64_t code;
  };
  Bytes damaged = cipher;
  damaged.back() ^= 0x01;  // changes the padding byte of the last block
  const std::vector<Case> cases = {
      {"key too short", Bytes(16, 0x11), iv, cipher, kCryptoErrorInvalidKeySize},
      {"key too long", Bytes(33, 0x11), iv, cipher, kCryptoErrorInvalidKeySize},
      {"iv too short", key, Bytes(8, 0x22), cipher, kCryptoErrorInvalidIVSize},
      {"no iv", key, Bytes{}, cipher, kCryptoErrorInvalidIVSize},
      {"empty cipher text", key, iv, Bytes{}, kCryptoErrorDecryptFailed},
      {"partial block", key, iv, Bytes(cipher.begin(), cipher.end() - 1), kCryptoErrorDecryptFailed},
      {"wrong key", Bytes(32, 0x12), iv, cipher, kCryptoErrorDecryptFailed},
      {"damaged last block", key, iv, damaged, kCryptoErrorDecryptFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = aes256CbcDecrypt(c.key, c.iv, c.cipher);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().domain, kCryptoErrorDomain);
    EXPECT_EQ(result.error().code, c.code);
  }
  EXPECT_EQ(aes256CbcEncrypt(Bytes(31, 0), iv, "x").error().code, kCryptoErrorInvalidKeySize);
  EXPECT_EQ(aes256CbcEncrypt(key, Bytes(17, 0), "x").error().code, kCryptoErrorInvalidIVSize);
}

TEST(Crypto, RandomBytesAreFreshAndNeverAZeroKey) {
  std::set<Bytes> seen;
  for (int i = 0; i < 50; ++i) {
    auto bytes = randomBytes(32);
    ASSERT_TRUE(bytes.ok()) << bytes.error();
    ASSERT_EQ(bytes.value().size(), 32u);
    EXPECT_NE(bytes.value(), Bytes(32, 0));
    seen.insert(bytes.value());
  }
  EXPECT_EQ(seen.size(), 50u);
  EXPECT_TRUE(randomBytes(0).value().empty());
  EXPECT_EQ(randomBytes(100000).value().size(), 100000u);
}

// RFC 4648 section 10.
TEST(Crypto, Base64MatchesRfcVectorsBothWays) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : cases) {
    SCOPED_TRACE(plain);
    EXPECT_EQ(base64Encode(plain), encoded);
    for (auto mode : {Base64DecodeMode::strict, Base64DecodeMode::ignoreUnknownCharacters}) {
      auto decoded = base64Decode(encoded, mode);
      ASSERT_TRUE(decoded.ok()) << decoded.error();
      EXPECT_EQ(decoded.value(), Bytes(plain.begin(), plain.end()));
    }
  }
  // Every byte value and length survives a round trip, and "+/" appear where they belong.
  Bytes all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<std::uint8_t>(b));
  for (std::size_t length = 0; length <= all.size(); length += 7) {
    const Bytes part(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(base64Decode(base64Encode(part)).value(), part) << length;
  }
  EXPECT_EQ(base64Encode(Bytes{0xfb, 0xff, 0xbf}), "+/+/");
  EXPECT_EQ(base64Encode(Bytes(100, 0x41)).find('\n'), std::string::npos);
}

TEST(Crypto, Base64DecodeModesDifferOnlyInWhatTheyTolerate) {
  struct Case {
    const char* text;
    std::optional<std::string> strict;   // nullopt: rejected
    std::optional<std::string> lenient;  // nullopt: rejected
  };
  const std::vector<Case> cases = {
      {"Zm9v\nYmFy", std::nullopt, "foobar"}, {"Zm9v YmFy\r\n", std::nullopt, "foobar"},
      {"*Zm9v*", std::nullopt, "foo"},        {"Zm8", std::nullopt, "fo"},           // padding left out
      {"Zm9vYg", std::nullopt, "foob"},       {"Zm9vYg=\n=", std::nullopt, "foob"},  // a line break inside the padding
      {"Z", std::nullopt, std::nullopt},  // one dangling character carries no byte
      {"Zm9vY", std::nullopt, std::nullopt},  {"Zg=a", std::nullopt, std::nullopt},   // data after padding
      {"Zg===", std::nullopt, std::nullopt},  {"Zm9v=", std::nullopt, std::nullopt},  // padding after a complete group
      {"Zm8==", std::nullopt, std::nullopt},                                          // too much padding
      {"=", std::nullopt, std::nullopt},      {"-_-_", std::nullopt, ""},  // URL-safe alphabet is not this alphabet
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto strict = base64Decode(c.text, Base64DecodeMode::strict);
    auto lenient = base64Decode(c.text, Base64DecodeMode::ignoreUnknownCharacters);
    ASSERT_EQ(strict.ok(), c.strict.has_value());
    ASSERT_EQ(lenient.ok(), c.lenient.has_value());
    if (c.strict) {
      EXPECT_EQ(strict.value(), Bytes(c.strict->begin(), c.strict->end()));
    }
    if (c.lenient) {
      EXPECT_EQ(lenient.value(), Bytes(c.lenient->begin(), c.lenient->end()));
    }
    if (!strict.ok()) {
      EXPECT_EQ(strict.error().code, kCryptoErrorInvalidBase64);
    }
  }
}

}  // namespace
}  // namespace vx
