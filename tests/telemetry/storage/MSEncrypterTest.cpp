// The encrypter against a real keychain store (the file backend the tests run with) or, where a
// keychain failure must be forced, the fake backend.
#include "telemetry/ZerEvuzev/Security/MSEncrypter.h"
#include "telemetry/ZerEvuzev/Security/MSKeychainUtil.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/security/Crypto.h"
#include "platform/security/Keychain.h"
#include "support/FakeKeychainBackend.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {

using namespace std::chrono_literals;

std::string text(const vx::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

class MSEncrypterTest : public testing::Test {
 protected:
  void SetUp() override {
    // A keychain file of this test alone.
    const auto file = std::filesystem::path(std::getenv("XDG_DATA_HOME")) /
                      (std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + "-keychain.json");
    vx::Keychain::setSharedBackend(vx::makeFileKeychainBackend(file));
    defaults = MSTestDefaults();
  }
  void TearDown() override {
    MSEncrypter::setRandomSourceForTesting(nullptr);
    vx::Keychain::setSharedBackend(vx::makeFileKeychainBackend(vx::defaultKeychainFilePath()));
  }

  std::shared_ptr<MSUserDefaults> defaults;
};

TEST_F(MSEncrypterTest, FirstEncryptionMakesAlternateKeyAndMetadata) {
  vx::ScopedVirtualTime time;
  MSEncrypter encrypter(defaults);
  const auto encrypted = encrypter.encryptData(vx::Bytes{'a', 'b', 'c'});
  ASSERT_TRUE(encrypted);

  const std::string prefix = "kMSEncryptionKeyTagAlternate/AES/CBC/PKCS7/32:";
  ASSERT_GT(encrypted->size(), prefix.size() + 16);
  EXPECT_EQ(text(vx::Bytes(encrypted->begin(), encrypted->begin() + static_cast<long>(prefix.size()))), prefix);
  // Metadata, ":", 16-byte IV, one AES block for three bytes.
  EXPECT_EQ(encrypted->size(), prefix.size() + 16 + 16);

  const auto metadata = defaults->objectForKey("MSEncryptionKeyMetadata");
  ASSERT_TRUE(metadata && metadata->stringValue());
  EXPECT_EQ(*metadata->stringValue(),
            "kMSEncryptionKeyTagAlternate/" + MSUtility::dateToISO8601(time.scheduler().wallNow() + 31536000s));

  const auto stored = MSKeychainUtil::stringForKey("kMSEncryptionKeyTagAlternate");
  ASSERT_TRUE(stored);
  const auto key = vx::base64Decode(*stored);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->size(), 32u);
  EXPECT_EQ(encrypter.alternateKeyData(), *key);
  EXPECT_FALSE(MSKeychainUtil::stringForKey("kMSEncryptionKeyTag"));
}

TEST_F(MSEncrypterTest, StringsRoundTripAndEachEncryptionDiffers) {
  MSEncrypter encrypter(defaults);
  for (const std::string& plain : std::vector<std::string>{"", "token-1234", "ünïcödé ✓", std::string(1000, 'x')}) {
    const auto first = encrypter.encryptString(plain);
    const auto second = encrypter.encryptString(plain);
    ASSERT_TRUE(first && second) << plain;
    EXPECT_NE(*first, *second) << "a new IV for every call";
    EXPECT_EQ(first->find('\n'), std::string::npos);
    EXPECT_EQ(encrypter.decryptString(*first), plain);
    // A second encrypter (a later launch) reads it through the keychain.
    MSEncrypter later(defaults);
    EXPECT_EQ(later.decryptString(*second), plain);
  }
}

TEST_F(MSEncrypterTest, RotatesAfterExpiryAndStillDecryptsOldData) {
  vx::ScopedVirtualTime time;
  MSEncrypter encrypter(defaults);
  const auto before = encrypter.encryptString("before");
  ASSERT_TRUE(before);

  time.advance(366 * 24h);
  const auto after = encrypter.encryptData(vx::Bytes{'x'});
  ASSERT_TRUE(after);
  EXPECT_EQ(text(vx::Bytes(after->begin(), after->begin() + 20)), "kMSEncryptionKeyTag/");
  EXPECT_NE(encrypter.originalKeyData(), encrypter.alternateKeyData());
  EXPECT_EQ(encrypter.decryptString(*before), "before");
  EXPECT_EQ(encrypter.decryptData(*after), vx::Bytes{'x'});

  // Another year: back to the alternate tag and its old key, which was never deleted.
  time.advance(366 * 24h);
  EXPECT_EQ(MSEncrypter::getCurrentKeyTag(*defaults), "kMSEncryptionKeyTagAlternate");
  MSEncrypter later(defaults);
  EXPECT_EQ(later.decryptString(*before), "before");
}

TEST_F(MSEncrypterTest, DecryptsTheOlderLayoutWithFirstKeyAndZeroVector) {
  MSEncrypter encrypter(defaults);
  const auto key = encrypter.getKeyWithKeyTag("kMSEncryptionKeyTag");
  ASSERT_TRUE(key);
  // Old data has no metadata; plain texts chosen so the cipher text holds a ":" somewhere too.
  int withColon = 0;
  for (int i = 0; i < 400; ++i) {
    const std::string plain = "old token " + std::to_string(i);
    const auto cipher = vx::aes256CbcEncrypt(*key, vx::Bytes(16, 0), plain);
    ASSERT_TRUE(cipher);
    if (std::find(cipher->begin(), cipher->end(), ':') != cipher->end()) ++withColon;
    EXPECT_EQ(encrypter.decryptString(vx::base64Encode(*cipher)), plain) << i;
  }
  EXPECT_GT(withColon, 0);
}

TEST_F(MSEncrypterTest, RejectsBadInput) {
  MSLogRecorder recorder(MSLogLevel::Verbose);
  MSEncrypter encrypter(defaults);
  EXPECT_FALSE(encrypter.decryptString("not base64 !!"));
  EXPECT_EQ(recorder.count("Conversion of encrypted string to NSData failed."), 1u);
  // Metadata with fewer than 16 bytes after the ":".
  const std::string shortData = "kMSEncryptionKeyTag/AES/CBC/PKCS7/32:12345";
  EXPECT_FALSE(encrypter.decryptData(vx::Bytes(shortData.begin(), shortData.end())));
  // Garbage of a whole block under the right metadata fails padding (or yields no UTF-8).
  auto good = encrypter.encryptData(vx::Bytes{'o', 'k'});
  ASSERT_TRUE(good);
  good->back() ^= 0x5a;
  EXPECT_NE(encrypter.decryptData(*good), (vx::Bytes{'o', 'k'}));
}

TEST_F(MSEncrypterTest, FailingRandomSourceFailsWithoutStoringAKey) {
  MSLogRecorder recorder(MSLogLevel::Verbose);
  auto fake = std::make_shared<vx::test::FakeKeychainBackend>();
  vx::Keychain::setSharedBackend(fake);
  struct Case {
    const char* name;
    MSEncrypter::RandomSource source;
  };
  const Case cases[] = {
      {"error",
       [](std::size_t) -> vx::Result<vx::Bytes> {
         return vx::Error(vx::kCryptoErrorDomain, vx::kCryptoErrorRandomUnavailable, "no entropy");
       }},
      {"short read", [](std::size_t count) -> vx::Result<vx::Bytes> { return vx::Bytes(count / 2, 7); }},
  };
  for (const auto& c : cases) {
    MSEncrypter::setRandomSourceForTesting(c.source);
    MSEncrypter encrypter(defaults);
    EXPECT_FALSE(encrypter.encryptString("secret")) << c.name;
    EXPECT_EQ(fake->itemCount(), 0u) << c.name;
    EXPECT_FALSE(encrypter.alternateKeyData()) << c.name;
  }
  EXPECT_GE(recorder.count("Error generating encryption key. Error code:"), 2u);

  // A key that exists, but no IV can be made: still nothing encrypted with a zero vector.
  MSEncrypter::setRandomSourceForTesting(nullptr);
  MSEncrypter encrypter(defaults);
  ASSERT_TRUE(encrypter.encryptString("works"));
  MSEncrypter::setRandomSourceForTesting(
      [](std::size_t) -> vx::Result<vx::Bytes> { return vx::Error(vx::kCryptoErrorDomain, 5, "no entropy"); });
  EXPECT_FALSE(encrypter.encryptString("secret"));
  EXPECT_EQ(recorder.count("Error generating initialization vector. Error code:"), 1u);
}

TEST_F(MSEncrypterTest, UnreadableKeychainNeverReplacesTheStoredKey) {
  auto fake = std::make_shared<vx::test::FakeKeychainBackend>();
  vx::Keychain::setSharedBackend(fake);
  std::optional<std::string> cipher;
  {
    MSEncrypter encrypter(defaults);
    cipher = encrypter.encryptString("kept");
    ASSERT_TRUE(cipher);
  }
  const auto storedKey = MSKeychainUtil::stringForKey("kMSEncryptionKeyTagAlternate");
  ASSERT_TRUE(storedKey);

  // A locked keychain at the next launch: no new key is made over the stored one.
  fake->setFailure(vx::test::FakeKeychainBackend::Operation::read, vx::kKeychainErrorInteractionNotAllowed);
  {
    MSEncrypter encrypter(defaults);
    EXPECT_FALSE(encrypter.decryptString(*cipher));
    EXPECT_FALSE(encrypter.encryptString("new"));
  }
  EXPECT_EQ(fake->calls(vx::test::FakeKeychainBackend::Operation::add), 1);

  fake->setFailure(vx::test::FakeKeychainBackend::Operation::read, std::nullopt);
  EXPECT_EQ(MSKeychainUtil::stringForKey("kMSEncryptionKeyTagAlternate"), storedKey);
  MSEncrypter encrypter(defaults);
  EXPECT_EQ(encrypter.decryptString(*cipher), "kept");
}

TEST_F(MSEncrypterTest, KeychainThatRefusesTheNewKeyFailsTheEncryption) {
  auto fake = std::make_shared<vx::test::FakeKeychainBackend>();
  vx::Keychain::setSharedBackend(fake);
  fake->setFailure(vx::test::FakeKeychainBackend::Operation::add, vx::kKeychainErrorNotAvailable);
  MSEncrypter encrypter(defaults);
  EXPECT_FALSE(encrypter.encryptString("secret"));
  EXPECT_FALSE(encrypter.alternateKeyData());
}

TEST(MSKeychainUtilTest, StoresReplacesReadsAndDeletes) {
  auto fake = std::make_shared<vx::test::FakeKeychainBackend>();
  vx::Keychain::setSharedBackend(fake);
  EXPECT_TRUE(MSKeychainUtil::storeString("one", "key"));
  EXPECT_TRUE(MSKeychainUtil::storeString("two", "key"));
  EXPECT_EQ(MSKeychainUtil::stringForKey("key"), "two");
  EXPECT_EQ(fake->itemCount(), 1u);
  EXPECT_TRUE(MSKeychainUtil::storeString("other", "key", "another.service"));
  EXPECT_EQ(MSKeychainUtil::deleteStringForKey("key"), "two");
  EXPECT_FALSE(MSKeychainUtil::deleteStringForKey("key"));
  std::int32_t status = 0;
  EXPECT_FALSE(MSKeychainUtil::stringForKey("key", &status));
  EXPECT_EQ(status, vx::kKeychainErrorItemNotFound);
  EXPECT_TRUE(MSKeychainUtil::storeString("three", "k3"));
  EXPECT_TRUE(MSKeychainUtil::clear());
  EXPECT_FALSE(MSKeychainUtil::stringForKey("k3"));
  EXPECT_EQ(MSKeychainUtil::stringForKey("key", "another.service"), "other");
  EXPECT_EQ(MSKeychainUtil::serviceName(), vx::Bundle::main().bundleIdentifier() + ".ZerEvuzev");
  vx::Keychain::setSharedBackend(vx::makeFileKeychainBackend(vx::defaultKeychainFilePath()));
}

}  // namespace
