#include "app/service/Auth/TokenStore.h"

#include "service/auth/SignInTestSupport.h"
#include "support/FakeKeychainBackend.h"

#include "platform/foundation/Bundle.h"

#include <gtest/gtest.h>

namespace Vexelworks {
namespace {

using vx::test::FakeKeychainBackend;
using Operation = FakeKeychainBackend::Operation;

class TokenStoreTest : public test::SignInFixture {
 protected:
  void SetUp() override {
    SignInFixture::SetUp();
    fake_ = std::make_shared<FakeKeychainBackend>();
    vx::Keychain::setSharedBackend(fake_);
  }
  void TearDown() override {
    vx::Bundle::main().resetInfoDictionary();
    SignInFixture::TearDown();
  }

  std::string storedText() {
    auto data = fake_->read({keychainServiceName(), std::string(kAccessTokenAccount)});
    return data.ok() ? std::string(data->begin(), data->end()) : std::string("<none>");
  }
  bool anyLineContains(const std::string& text) const { return logged(text); }

  std::shared_ptr<FakeKeychainBackend> fake_;
  TokenStore store_;
};

TEST_F(TokenStoreTest, WithNoItemThereIsNoTokenAndOnlyABreadcrumb) {
  EXPECT_EQ(store_.account(), "access_token");
  EXPECT_EQ(store_.getToken(), std::nullopt);
  EXPECT_TRUE(logged("INFO [INFO] AuthStore.getToken()["));
  EXPECT_TRUE(logged("] Loading access token"));
  EXPECT_TRUE(logged("INFO [INFO] AuthStore.getToken()") && logged("Error reading password: No password found"));
  EXPECT_TRUE(eventMessages().empty()) << "an expected miss sends no error event";
  EXPECT_EQ(breadcrumbMessages(),
            (std::vector<std::string>{"Loading access token", "Error reading password: No password found"}));
}

TEST_F(TokenStoreTest, SavingStoresOneItemThatReadsBackAndASecondSaveUpdatesIt) {
  store_.saveToken({"key-one", "secret-one"});
  EXPECT_EQ(storedText(), "key-one:secret-one") << "the stored format other builds read";
  EXPECT_EQ(store_.getToken(), (AccessToken{"key-one", "secret-one"}));
  store_.saveToken({"key-two", "secret-two"});
  EXPECT_EQ(fake_->itemCount(), 1u);
  EXPECT_EQ(fake_->calls(Operation::add), 1);
  EXPECT_EQ(fake_->calls(Operation::update), 1);
  EXPECT_EQ(TokenStore().getToken(), (AccessToken{"key-two", "secret-two"}));
  EXPECT_TRUE(logged("DEBUG [DEBUG] AuthStore.saveToken(_:)["));
  EXPECT_TRUE(eventMessages().empty());
}

TEST_F(TokenStoreTest, TheStoredTextSplitsAtItsOneColon) {
  struct Case {
    std::string text;
    std::optional<AccessToken> token;
  } cases[] = {
      {"key:secret", AccessToken{"key", "secret"}},
      {":", AccessToken{"", ""}},
      {"key:", AccessToken{"key", ""}},
      {"", std::nullopt},
      {"no-colon-SECRETTEXT", std::nullopt},
      {"a:b:SECRETTEXT", std::nullopt},
      {"::", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decodeToken(c.text), c.token) << c.text;
  }
  const auto messages = eventMessages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "Error decoding token"), 4);
  EXPECT_TRUE(logged("ERROR [ERROR] AuthStore.decodeToken(_:)["));
  EXPECT_FALSE(logged("SECRETTEXT")) << "the stored text never reaches the log";
  EXPECT_FALSE(logged("Token: '"));
}

TEST_F(TokenStoreTest, NeitherTheKeyNorTheSecretEverReachesTheLogOrAReport) {
  const AccessToken token{"KEYVALUE123", "SECRETVALUE456"};
  store_.saveToken(token);
  ASSERT_EQ(store_.getToken(), token);
  // An item that does not decode, holding a secret.
  ASSERT_TRUE(fake_
                  ->update({keychainServiceName(), std::string(kAccessTokenAccount)},
                           vx::ByteView("KEYVALUE123:SECRETVALUE456:x"))
                  .ok());
  EXPECT_EQ(store_.getToken(), std::nullopt);
  store_.deleteToken();
  for (const auto& line : lines()) {
    EXPECT_EQ(line.find("KEYVALUE123"), std::string::npos) << line;
    EXPECT_EQ(line.find("SECRETVALUE456"), std::string::npos) << line;
  }
  for (const auto& message : eventMessages()) {
    EXPECT_EQ(message.find("SECRETVALUE456"), std::string::npos) << message;
  }
}

TEST_F(TokenStoreTest, KeychainFailuresAreLoggedAndReportedAndNeverEscape) {
  struct Case {
    const char* what;
    std::function<void(FakeKeychainBackend&)> arrange;
    std::function<void(TokenStore&)> act;
    const char* message;
  } cases[] = {
      {"read fails",
       [](FakeKeychainBackend& f) { f.setFailure(Operation::read, vx::kKeychainErrorInteractionNotAllowed); },
       [](TokenStore& s) { EXPECT_EQ(s.getToken(), std::nullopt); }, "Error reading password: unhandled error -25308"},
      {"data is not UTF-8",
       [](FakeKeychainBackend& f) {
         const std::uint8_t bad[] = {0x6b, 0x3a, 0xff, 0xfe};
         ASSERT_TRUE(f.add(keychainServiceName(), kAccessTokenAccount, vx::ByteView(bad, 4)).ok());
       },
       [](TokenStore& s) { EXPECT_EQ(s.getToken(), std::nullopt); },
       "Error reading password: Unexpected password data"},
      {"add fails",
       [](FakeKeychainBackend& f) { f.setFailure(Operation::add, vx::kKeychainErrorInteractionNotAllowed); },
       [](TokenStore& s) {
         s.saveToken({"k", "s"});
       },
       "Error saving password: Status -25308"},
      {"read before save fails", [](FakeKeychainBackend& f) { f.setFailure(Operation::read, vx::kKeychainErrorIO); },
       [](TokenStore& s) {
         s.saveToken({"k", "s"});
       },
       "Error saving password: Status -36"},
      {"data before save is not UTF-8",
       [](FakeKeychainBackend& f) {
         const std::uint8_t bad[] = {0xc0, 0x80};
         ASSERT_TRUE(f.add(keychainServiceName(), kAccessTokenAccount, vx::ByteView(bad, 2)).ok());
       },
       [](TokenStore& s) {
         s.saveToken({"k", "s"});
       },
       "Error saving password"},
      {"delete fails", [](FakeKeychainBackend& f) { f.setFailure(Operation::remove, vx::kKeychainErrorNotAvailable); },
       [](TokenStore& s) { s.deleteToken(); }, "Error deleting password: Status -25291"},
  };
  for (const auto& c : cases) {
    fake_ = std::make_shared<FakeKeychainBackend>();
    vx::Keychain::setSharedBackend(fake_);
    {
      std::lock_guard lock(mutex_);
      events_.clear();
      lines_.clear();
    }
    c.arrange(*fake_);
    TokenStore store;
    c.act(store);
    ASSERT_EQ(eventMessages(), std::vector<std::string>{c.message}) << c.what;
    EXPECT_EQ(events().front().level, 1) << c.what;
    EXPECT_TRUE(logged(std::string("ERROR [ERROR] AuthStore.")) && logged(c.message)) << c.what;
  }
}

TEST_F(TokenStoreTest, AFailedSaveKeepsTheTokenThatWasThere) {
  store_.saveToken({"old-key", "old-secret"});
  fake_->setFailure(Operation::update, vx::kKeychainErrorInteractionNotAllowed);
  store_.saveToken({"new-key", "new-secret"});
  fake_->setFailure(Operation::update, std::nullopt);
  EXPECT_EQ(store_.getToken(), (AccessToken{"old-key", "old-secret"}));
  EXPECT_EQ(eventMessages(), std::vector<std::string>{"Error saving password: Status -25308"});
}

TEST_F(TokenStoreTest, ATokenHoldingAColonIsNotStoredBecauseItWouldNotReadBack) {
  store_.saveToken({"good", "pair"});
  store_.saveToken({"bad:key", "secret"});
  store_.saveToken({"key", "bad:secret"});
  EXPECT_EQ(store_.getToken(), (AccessToken{"good", "pair"}));
  EXPECT_EQ(eventMessages().size(), 2u);
}

TEST_F(TokenStoreTest, DeletingWithNothingStoredReportsNothingBeyondTheDebugLine) {
  store_.deleteToken();
  EXPECT_TRUE(logged("DEBUG [DEBUG] AuthStore.deleteToken()[") && logged("Deleting token"));
  EXPECT_EQ(lines().size(), 1u);
  EXPECT_TRUE(eventMessages().empty());
  store_.saveToken({"k", "s"});
  store_.deleteToken();
  EXPECT_EQ(fake_->itemCount(), 0u);
  EXPECT_EQ(store_.getToken(), std::nullopt);
}

TEST_F(TokenStoreTest, ReleaseAndOtherBuildsKeepSeparateTokens) {
  vx::Bundle::main().setInfoValue("CFBundleIdentifier", vx::Value(kReleaseBundleIdentifier));
  EXPECT_EQ(keychainServiceName(), kReleaseKeychainServiceName);
  store_.saveToken({"release-key", "release-secret"});
  vx::Bundle::main().setInfoValue("CFBundleIdentifier", vx::Value("com.vexelworks.Vexelworks.beta"));
  EXPECT_EQ(keychainServiceName(), kBetaKeychainServiceName);
  EXPECT_EQ(std::string(kBetaKeychainServiceName), std::string("beta.") + kReleaseKeychainServiceName);
  EXPECT_EQ(store_.getToken(), std::nullopt);
  store_.saveToken({"beta-key", "beta-secret"});
  EXPECT_EQ(store_.getToken(), (AccessToken{"beta-key", "beta-secret"}));
  vx::Bundle::main().setInfoValue("CFBundleIdentifier", vx::Value(kReleaseBundleIdentifier));
  EXPECT_EQ(store_.getToken(), (AccessToken{"release-key", "release-secret"}));
  EXPECT_EQ(fake_->itemCount(), 2u);
}

TEST_F(TokenStoreTest, WithoutASharedClientFailuresAreOnlyLogged) {
  PloverClient::setSharedClient(nullptr);
  fake_->setFailure(Operation::read, vx::kKeychainErrorIO);
  EXPECT_EQ(store_.getToken(), std::nullopt);
  EXPECT_TRUE(logged("Error reading password: unhandled error -36"));
  EXPECT_TRUE(eventMessages().empty());
}

TEST_F(TokenStoreTest, AnItemNamingAnAccessGroupIsRefusedRatherThanIgnored) {
  KeychainPasswordItem item("svc", "acct", "group");
  EXPECT_EQ(item.storeValue("x"), KeychainPasswordItem::KeychainError::unhandledError(vx::kKeychainErrorParam));
  EXPECT_EQ(fake_->itemCount(), 0u);
  KeychainPasswordItem plain("svc", "acct");
  EXPECT_EQ(plain.storeValue("x"), std::nullopt);
  EXPECT_EQ(std::get<std::string>(plain.readValue()), "x");
  EXPECT_EQ(plain.baseQuery().service, "svc");
  EXPECT_EQ(plain.baseQuery().account, "acct");
  KeychainPasswordItem serviceOnly("svc");
  EXPECT_EQ(serviceOnly.baseQuery().account, std::nullopt);
  EXPECT_EQ(std::get<std::string>(serviceOnly.readValue()), "x");
}

}  // namespace
}  // namespace Vexelworks
