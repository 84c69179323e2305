// Runs under with-keyring.sh: a private D-Bus session with its own gnome-keyring-daemon.
#include "platform/security/Keychain.h"

#include "platform/security/KeychainContract.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vx::test {
namespace {

// Why this machine cannot run the Secret Service tests, or empty when it can.
std::string unavailableReason() {
  if (const char* reason = std::getenv("VX_KEYRING_UNAVAILABLE"); reason != nullptr && *reason) {
    return reason;
  }
  if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS"); bus == nullptr || *bus == 0) {
    return "no D-Bus session: run this program through tests/platform/security/with-keyring.sh";
  }
  return {};
}

std::shared_ptr<KeychainBackend> secretServiceBackend() {
  auto backend = makeSecretServiceKeychainBackend();
  if (!backend.ok()) {
    ADD_FAILURE() << "Secret Service did not answer: " << backend.error();
    return nullptr;
  }
  return backend.value();
}

INSTANTIATE_TEST_SUITE_P(SecretService, KeychainContract,
                         ::testing::Values(BackendSetup{secretServiceBackend, unavailableReason}));

class SecretServiceChoice : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = unavailableReason(); !reason.empty()) {
      GTEST_SKIP() << "skipped: " << reason;
    }
  }
};

TEST_F(SecretServiceChoice, AutomaticChoiceAndEnvironmentPickTheSecretService) {
  for (const char* choice : {"", "auto", "secret-service"}) {
    SCOPED_TRACE(choice);
    setenv("VX_KEYCHAIN_BACKEND", choice, 1);
    auto backend = makeKeychainBackendFromEnvironment();
    ASSERT_TRUE(backend.ok()) << backend.error();
    EXPECT_EQ(backend.value()->name(), "secret-service");
  }
  setenv("VX_KEYCHAIN_BACKEND", "file", 1);
  auto file = makeKeychainBackendFromEnvironment();
  ASSERT_TRUE(file.ok()) << file.error();
  EXPECT_EQ(file.value()->name(), "file");
  unsetenv("VX_KEYCHAIN_BACKEND");
}

TEST_F(SecretServiceChoice, ItemsWrittenAreKeptByTheDaemonNotByAFile) {
  auto backend = makeSecretServiceKeychainBackend();
  ASSERT_TRUE(backend.ok()) << backend.error();
  Keychain keychain(backend.value());
  ASSERT_TRUE(keychain.add("com.vexelworks.test.daemon", "access_token", "key:secret").ok());
  EXPECT_FALSE(std::filesystem::exists(defaultKeychainFilePath()));
  // A separate connection-level backend reads it back from the daemon.
  auto again = makeSecretServiceKeychainBackend();
  ASSERT_TRUE(again.ok()) << again.error();
  auto read = Keychain(again.value()).read({"com.vexelworks.test.daemon", "access_token"});
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read.value(), bytesOf("key:secret"));
  EXPECT_TRUE(keychain.remove({"com.vexelworks.test.daemon", std::nullopt}).ok());
}

}  // namespace
}  // namespace vx::test
