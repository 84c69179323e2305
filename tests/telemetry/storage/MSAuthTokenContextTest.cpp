// The auth token history with its delegates, validity ranges and encrypted persistence.
#include "telemetry/ZerEvuzev/Security/MSAuthTokenContext.h"

#include "platform/foundation/Clock.h"
#include "platform/security/Keychain.h"
#include "support/FakeKeychainBackend.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace std::chrono_literals;

class RecordingDelegate : public MSAuthTokenContextDelegate {
 public:
  std::vector<std::optional<std::string>> tokens;
  std::vector<std::optional<std::string>> accounts;
  std::vector<std::optional<std::string>> refreshes;

  void authTokenContextDidUpdateAuthToken(MSAuthTokenContext&, const std::optional<std::string>& token) override {
    tokens.push_back(token);
  }
  void authTokenContextDidUpdateAccountId(MSAuthTokenContext&, const std::optional<std::string>& account) override {
    accounts.push_back(account);
  }
  void authTokenContextRefreshAuthTokenForAccountId(MSAuthTokenContext&,
                                                    const std::optional<std::string>& account) override {
    refreshes.push_back(account);
  }
};

class MSAuthTokenContextTest : public testing::Test {
 protected:
  void SetUp() override {
    vx::Keychain::setSharedBackend(std::make_shared<vx::test::FakeKeychainBackend>());
    defaults = MSTestDefaults();
    context = std::make_shared<MSAuthTokenContext>(defaults);
    delegate = std::make_shared<RecordingDelegate>();
    context->addDelegate(delegate);
  }

  std::vector<std::optional<std::string>> historyTokens() {
    std::vector<std::optional<std::string>> tokens;
    for (const auto& entry : context->authTokenHistory()) tokens.push_back(entry->authToken());
    return tokens;
  }

  vx::ScopedVirtualTime time;
  std::shared_ptr<MSUserDefaults> defaults;
  std::shared_ptr<MSAuthTokenContext> context;
  std::shared_ptr<RecordingDelegate> delegate;
};

TEST_F(MSAuthTokenContextTest, SameTokenTwiceChangesNothing) {
  context->setAuthToken("t1", "a1", std::nullopt);
  context->setAuthToken("t1", "a1", std::nullopt);
  EXPECT_EQ(context->authTokenHistory().size(), 1u);
  EXPECT_EQ(delegate->tokens.size(), 1u);
  EXPECT_EQ(delegate->accounts, (std::vector<std::optional<std::string>>{"a1"}));
  EXPECT_EQ(context->authToken(), "t1");
  EXPECT_EQ(context->accountId(), "a1");
}

TEST_F(MSAuthTokenContextTest, ClearingTokenOnEmptyAndNonEmptyHistory) {
  MSLogRecorder recorder(MSLogLevel::Verbose);
  context->setAuthToken(std::nullopt, "ignored", time.scheduler().wallNow());
  EXPECT_TRUE(context->authTokenHistory().empty());
  EXPECT_EQ(recorder.count("Failed to save new history state."), 1u);
  EXPECT_EQ(delegate->tokens, (std::vector<std::optional<std::string>>{std::nullopt}));
  EXPECT_EQ(delegate->accounts, (std::vector<std::optional<std::string>>{std::nullopt}));

  context->setAuthToken("t1", "a1", std::nullopt);
  context->finishInitialize();
  EXPECT_EQ(historyTokens(), (std::vector<std::optional<std::string>>{"t1", std::nullopt}));
  EXPECT_FALSE(context->accountId());
  EXPECT_FALSE(context->resetAuthTokenRequired());
}

TEST_F(MSAuthTokenContextTest, SixthTokenDropsOldestAndLongAccountIsCut) {
  for (int i = 1; i <= 6; ++i) context->setAuthToken("t" + std::to_string(i), "a", std::nullopt);
  EXPECT_EQ(historyTokens(), (std::vector<std::optional<std::string>>{"t2", "t3", "t4", "t5", "t6"}));

  const std::string longAccount(40, 'x');
  context->setAuthToken("t7", longAccount, std::nullopt);
  EXPECT_EQ(delegate->accounts.back(), std::string(36, 'x'));
  EXPECT_EQ(context->accountId(), longAccount);
}

TEST_F(MSAuthTokenContextTest, ExpiredTokenThenNewOrSameAccount) {
  const vx::Date start = time.scheduler().wallNow();
  context->setAuthToken("t1", "a1", start + 1h);
  time.advance(2h);
  context->setAuthToken("t2", "a2", std::nullopt);
  auto history = context->authTokenHistory();
  ASSERT_EQ(history.size(), 3u);
  EXPECT_FALSE(history[1]->authToken());
  EXPECT_EQ(history[1]->startTime(), start + 1h);
  EXPECT_EQ(history[1]->expiresOn(), start + 2h);
  EXPECT_EQ(history[2]->startTime(), start + 2h);

  // Same account after expiry: the new token's span starts where the old one ended.
  context->setAuthToken("t3", "a2", start + 3h);
  time.advance(2h);
  context->setAuthToken("t4", "a2", std::nullopt);
  history = context->authTokenHistory();
  ASSERT_EQ(history.size(), 5u);
  EXPECT_EQ(history.back()->authToken(), "t4");
  EXPECT_EQ(history.back()->startTime(), start + 3h);

  const auto ranges = context->authTokenValidityArray();
  ASSERT_EQ(ranges.size(), 5u);
  EXPECT_EQ(ranges[0].authToken(), "t1");
  EXPECT_EQ(ranges[0].endTime(), start + 1h);  // the signed-out span starts there
  EXPECT_EQ(ranges[3].endTime(), start + 3h);  // t3 ends where t4 starts
  EXPECT_FALSE(ranges[4].endTime());
}

TEST_F(MSAuthTokenContextTest, ValidityArrayOfEmptyHistory) {
  const auto ranges = context->authTokenValidityArray();
  ASSERT_EQ(ranges.size(), 1u);
  EXPECT_EQ(ranges[0], MSAuthTokenValidityInfo(std::nullopt, std::nullopt, std::nullopt));
}

TEST_F(MSAuthTokenContextTest, RemovesOnlyTheOldestToken) {
  context->setAuthToken("t1", "a", std::nullopt);
  context->removeAuthToken("t1");  // the only one: kept
  context->setAuthToken("t2", "a", std::nullopt);
  context->removeAuthToken("t2");  // not the oldest
  EXPECT_EQ(historyTokens(), (std::vector<std::optional<std::string>>{"t1", "t2"}));
  context->removeAuthToken("t1");
  EXPECT_EQ(historyTokens(), (std::vector<std::optional<std::string>>{"t2"}));
}

TEST_F(MSAuthTokenContextTest, HistoryIsStoredEncryptedAndReadBack) {
  context->setAuthToken("secret-token", "account", std::nullopt);
  const auto stored = defaults->objectForKey(MSAuthTokenContext::kMSAuthTokenHistoryKey);
  ASSERT_TRUE(stored && stored->dataValue());
  const std::string raw(stored->dataValue()->begin(), stored->dataValue()->end());
  EXPECT_EQ(raw.find("secret-token"), std::string::npos);
  EXPECT_EQ(raw.rfind("kMSEncryptionKeyTagAlternate/AES/CBC/PKCS7/32:", 0), 0u);

  MSAuthTokenContext later(defaults);
  EXPECT_EQ(later.authToken(), "secret-token");
  EXPECT_EQ(later.accountId(), "account");

  defaults->setObject(vx::Value(vx::Bytes{1, 2, 3}), MSAuthTokenContext::kMSAuthTokenHistoryKey);
  MSAuthTokenContext damaged(defaults);
  EXPECT_TRUE(damaged.authTokenHistory().empty());
}

TEST_F(MSAuthTokenContextTest, AsksToRefreshOnlyTheCurrentTokenExpiringSoon) {
  const vx::Date now = time.scheduler().wallNow();
  context->setAuthToken("t1", "a1", now + 5min);
  context->checkIfTokenNeedsToBeRefreshed(MSAuthTokenValidityInfo("other", now, now + 5min));
  context->checkIfTokenNeedsToBeRefreshed(MSAuthTokenValidityInfo("t1", now, now + 20min));
  context->checkIfTokenNeedsToBeRefreshed(MSAuthTokenValidityInfo(std::nullopt, now, now + 5min));
  EXPECT_TRUE(delegate->refreshes.empty());
  context->checkIfTokenNeedsToBeRefreshed(MSAuthTokenValidityInfo("t1", now, now + 5min));
  EXPECT_EQ(delegate->refreshes, (std::vector<std::optional<std::string>>{"a1"}));
}

TEST_F(MSAuthTokenContextTest, PreventResetKeepsTheToken) {
  context->setAuthToken("t1", "a1", std::nullopt);
  context->preventResetAuthTokenAfterStart();
  context->finishInitialize();
  EXPECT_EQ(context->authToken(), "t1");
}

// Readers take the lock: concurrent setters never hand them a torn or missing history.
TEST_F(MSAuthTokenContextTest, ReadersRunBesideSetters) {
  context->removeDelegate(delegate);
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!done) {
      const auto ranges = context->authTokenValidityArray();
      EXPECT_FALSE(ranges.empty());
      EXPECT_LE(ranges.size(), 5u);
      const auto token = context->authToken();
      if (token) {
        EXPECT_EQ(token->rfind("t", 0), 0u);
      }
      ++reads;
    }
  });
  for (int i = 0; i < 200; ++i) context->setAuthToken("t" + std::to_string(i), "a", std::nullopt);
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(context->authToken(), "t199");
}

TEST(MSAuthTokenValidityInfoTest, ExpiresSoonWithinTenMinutes) {
  vx::ScopedVirtualTime time;
  const vx::Date now = time.scheduler().wallNow();
  EXPECT_FALSE(MSAuthTokenValidityInfo("t", now, std::nullopt).expiresSoon());
  EXPECT_TRUE(MSAuthTokenValidityInfo("t", now, now + 599s).expiresSoon());
  EXPECT_FALSE(MSAuthTokenValidityInfo("t", now, now + 601s).expiresSoon());
  EXPECT_TRUE(MSAuthTokenValidityInfo("t", now, now - 1s).expiresSoon());
}

TEST(MSAuthTokenContextSharedTest, SharedInstanceIsMadeOnceUntilReset) {
  auto first = MSAuthTokenContext::sharedInstance();
  EXPECT_EQ(first, MSAuthTokenContext::sharedInstance());
  MSAuthTokenContext::resetSharedInstance();
  EXPECT_NE(first, MSAuthTokenContext::sharedInstance());
}

}  // namespace
