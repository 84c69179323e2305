// What every keychain backend must do, run against each real backend by its own test program:
// the file store always, the Secret Service inside a private keyring session.
#pragma once

#include "platform/security/Keychain.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vx::test {

using BackendFactory = std::function<std::shared_ptr<KeychainBackend>()>;

// How a test program provides its backend: `unavailable` gives the reason the backend cannot
// run on this machine (the tests then skip and print it), or empty text.
struct BackendSetup {
  BackendFactory make;
  std::function<std::string()> unavailable = [] { return std::string(); };
};

class KeychainContract : public ::testing::TestWithParam<BackendSetup> {
 protected:
  void SetUp() override {
    if (const std::string reason = GetParam().unavailable(); !reason.empty()) {
      GTEST_SKIP() << "skipped: " << reason;
    }
    backend_ = GetParam().make();
    ASSERT_NE(backend_, nullptr);
    keychain_ = std::make_unique<Keychain>(backend_);
    // A service of its own per test, so tests never see each other's items.
    const auto random = randomBytes(6);
    ASSERT_TRUE(random.ok());
    service_ = "com.vexelworks.test." + toHex(random.value());
  }

  Keychain& keychain() { return *keychain_; }
  const std::string& service() const { return service_; }
  KeychainQuery query(const std::string& account) const { return {service_, account}; }

  std::shared_ptr<KeychainBackend> backend_;
  std::unique_ptr<Keychain> keychain_;
  std::string service_;
};

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST_P(KeychainContract, AddThenReadReturnsTheData) {
  ASSERT_TRUE(keychain().add(service(), "access_token", "key:secret").ok());
  auto read = keychain().read(query("access_token"));
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read.value(), bytesOf("key:secret"));

  // Addressed by service alone, the one item is found too.
  auto byService = keychain().read({service(), std::nullopt});
  ASSERT_TRUE(byService.ok()) << byService.error();
  EXPECT_EQ(byService.value(), bytesOf("key:secret"));
}

TEST_P(KeychainContract, MissingItemIsNotFound) {
  auto read = keychain().read(query("nobody"));
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().domain, kKeychainErrorDomain);
  EXPECT_EQ(keychainStatus(read), kKeychainErrorItemNotFound);

  ASSERT_TRUE(keychain().add(service(), "someone", "x").ok());
  EXPECT_EQ(keychainStatus(keychain().read(query("nobody"))), kKeychainErrorItemNotFound);
  EXPECT_EQ(keychainStatus(keychain().read({service() + ".other", "someone"})), kKeychainErrorItemNotFound);
}

TEST_P(KeychainContract, SecondAddIsDuplicateAndKeepsTheFirst) {
  ASSERT_TRUE(keychain().add(service(), "account", "first").ok());
  auto again = keychain().add(service(), "account", "second");
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(keychainStatus(again), kKeychainErrorDuplicateItem);
  EXPECT_EQ(keychain().read(query("account")).value(), bytesOf("first"));
  // Another account of the same service is a different item.
  EXPECT_TRUE(keychain().add(service(), "account2", "other").ok());
}

TEST_P(KeychainContract, UpdateReplacesDataAndNeverAdds) {
  auto missing = keychain().update(query("account"), "value");
  EXPECT_EQ(keychainStatus(missing), kKeychainErrorItemNotFound);
  EXPECT_EQ(keychainStatus(keychain().read(query("account"))), kKeychainErrorItemNotFound);

  ASSERT_TRUE(keychain().add(service(), "account", "old").ok());
  ASSERT_TRUE(keychain().update(query("account"), "new").ok());
  EXPECT_EQ(keychain().read(query("account")).value(), bytesOf("new"));
}

TEST_P(KeychainContract, RemoveDeletesAndThenReportsNotFound) {
  ASSERT_TRUE(keychain().add(service(), "account", "value").ok());
  ASSERT_TRUE(keychain().remove(query("account")).ok());
  EXPECT_EQ(keychainStatus(keychain().read(query("account"))), kKeychainErrorItemNotFound);
  EXPECT_EQ(keychainStatus(keychain().remove(query("account"))), kKeychainErrorItemNotFound);
  // After removal the same address can be added again.
  EXPECT_TRUE(keychain().add(service(), "account", "again").ok());
}

TEST_P(KeychainContract, ServiceOnlyQueriesActOnEveryAccountOfTheService) {
  const std::string other = service() + ".other";
  ASSERT_TRUE(keychain().add(service(), "a", "1").ok());
  ASSERT_TRUE(keychain().add(service(), "b", "2").ok());
  ASSERT_TRUE(keychain().add(other, "a", "3").ok());

  ASSERT_TRUE(keychain().update({service(), std::nullopt}, "same").ok());
  EXPECT_EQ(keychain().read(query("a")).value(), bytesOf("same"));
  EXPECT_EQ(keychain().read(query("b")).value(), bytesOf("same"));

  ASSERT_TRUE(keychain().remove({service(), std::nullopt}).ok());
  EXPECT_EQ(keychainStatus(keychain().read(query("a"))), kKeychainErrorItemNotFound);
  EXPECT_EQ(keychainStatus(keychain().read(query("b"))), kKeychainErrorItemNotFound);
  EXPECT_EQ(keychain().read({other, "a"}).value(), bytesOf("3"));
  ASSERT_TRUE(keychain().remove({other, "a"}).ok());
}

TEST_P(KeychainContract, KeepsBinaryAndEmptyDataExactly) {
  const Bytes binary = {0x00, 0xff, 0x10, 0x00, 0x80, 0x3a, 0x0a, 0x00};
  ASSERT_TRUE(keychain().add(service(), "binary", binary).ok());
  ASSERT_TRUE(keychain().add(service(), "empty", "").ok());
  EXPECT_EQ(keychain().read(query("binary")).value(), binary);
  auto empty = keychain().read(query("empty"));
  ASSERT_TRUE(empty.ok()) << empty.error();
  EXPECT_TRUE(empty.value().empty());
  // An empty account is an account like any other.
  ASSERT_TRUE(keychain().add(service(), "", "no account").ok());
  EXPECT_EQ(keychain().read(query("")).value(), bytesOf("no account"));
}

TEST_P(KeychainContract, RejectsBadArgumentsBeforeTouchingTheStore) {
  struct Case {
    const char* name;
    std::string service;
    std::string account;
  };
  const std::vector<Case> cases = {
      {"empty service", "", "account"},          {"service not UTF-8", "bad\xff", "account"},
      {"account not UTF-8", service(), "\xc3("}, {"account with NUL", service(), std::string("a\0b", 3)},
      {"overlong UTF-8", service(), "\xc0\xaf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(keychainStatus(keychain().add(c.service, c.account, "x")), kKeychainErrorParam);
    EXPECT_EQ(keychainStatus(keychain().read({c.service, c.account})), kKeychainErrorParam);
    EXPECT_EQ(keychainStatus(keychain().update({c.service, c.account}, "x")), kKeychainErrorParam);
    EXPECT_EQ(keychainStatus(keychain().remove({c.service, c.account})), kKeychainErrorParam);
  }
  // Non-ASCII text that is valid UTF-8 is fine.
  EXPECT_TRUE(keychain().add(service(), "Zoë ✓", "ok").ok());
  EXPECT_EQ(keychain().read(query("Zoë ✓")).value(), bytesOf("ok"));
}

TEST_P(KeychainContract, SecondInstanceSeesWritesWithoutCache) {
  Keychain other(GetParam().make());
  ASSERT_TRUE(keychain().add(service(), "account", "one").ok());
  EXPECT_EQ(other.read(query("account")).value(), bytesOf("one"));
  ASSERT_TRUE(other.update(query("account"), "two").ok());
  EXPECT_EQ(keychain().read(query("account")).value(), bytesOf("two"));
  ASSERT_TRUE(other.remove(query("account")).ok());
  EXPECT_EQ(keychainStatus(keychain().read(query("account"))), kKeychainErrorItemNotFound);
}

TEST_P(KeychainContract, ConcurrentWritersLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kItemsPerThread = 10;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread uses its own backend object, as separate components of the app would.
      Keychain mine(GetParam().make());
      for (int i = 0; i < kItemsPerThread; ++i) {
        const std::string account = std::to_string(t) + "-" + std::to_string(i);
        if (!mine.add(service(), account, account).ok()) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kItemsPerThread; ++i) {
      const std::string account = std::to_string(t) + "-" + std::to_string(i);
      auto read = keychain().read(query(account));
      ASSERT_TRUE(read.ok()) << account << ": " << read.error();
      EXPECT_EQ(read.value(), bytesOf(account));
    }
  }
}

}  // namespace vx::test
