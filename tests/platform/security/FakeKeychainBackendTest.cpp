// The shared fake must behave like the real stores, or tests built on it prove nothing.
#include "support/FakeKeychainBackend.h"

#include "platform/security/KeychainContract.h"

#include <gtest/gtest.h>

namespace vx::test {
namespace {

// All instances share one store, as two objects over one real store would.
std::shared_ptr<FakeKeychainBackend> sharedFake() {
  static auto fake = std::make_shared<FakeKeychainBackend>();
  return fake;
}

INSTANTIATE_TEST_SUITE_P(Fake, KeychainContract, ::testing::Values(BackendSetup{[] { return sharedFake(); }}));

TEST(FakeKeychainBackend, InjectedFailuresReachTheCallerUntilCleared) {
  auto fake = std::make_shared<FakeKeychainBackend>();
  Keychain keychain(fake);
  ASSERT_TRUE(keychain.add("service", "account", "value").ok());
  fake->setFailure(FakeKeychainBackend::Operation::read, kKeychainErrorInteractionNotAllowed);
  EXPECT_EQ(keychainStatus(keychain.read({"service", "account"})), kKeychainErrorInteractionNotAllowed);
  fake->setFailure(FakeKeychainBackend::Operation::update, -34018);
  EXPECT_EQ(keychainStatus(keychain.update({"service", "account"}, "x")), -34018);
  fake->setFailure(FakeKeychainBackend::Operation::read, std::nullopt);
  EXPECT_EQ(keychain.read({"service", "account"}).value(), bytesOf("value"));
  EXPECT_EQ(fake->calls(FakeKeychainBackend::Operation::read), 2);
  EXPECT_EQ(fake->itemCount(), 1u);
}

}  // namespace
}  // namespace vx::test
