// The authentication provider on a virtual clock: the 600 s refresh boundary, one outstanding
// request at a time, tickets and their prefixes in the ticket cache, refused answers, and an
// answer to an earlier request that is ignored.
#include "telemetry/ZerEvuzevAnalytics/TransmissionTarget/MSAnalyticsAuthenticationProvider.h"

#include "platform/foundation/Clock.h"
#include "telemetry/ZerEvuzev/Ingestion/MSTicketCache.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// The application's side: keeps every completion it is handed, answers when the test says.
class TokenSource : public MSAnalyticsAuthenticationProviderDelegate {
 public:
  void authenticationProviderAcquireToken(MSAnalyticsAuthenticationProvider&,
                                          const MSAcquireTokenCompletionBlock& completionHandler) override {
    completions.push_back(completionHandler);
  }
  std::vector<MSAcquireTokenCompletionBlock> completions;
};

class MSAnalyticsAuthenticationProviderTest : public ::testing::Test {
 protected:
  void SetUp() override { MSTicketCache::sharedInstance().clearCache(); }
  void TearDown() override { MSTicketCache::sharedInstance().clearCache(); }

  std::shared_ptr<MSAnalyticsAuthenticationProvider> make(MSAnalyticsAuthenticationType type) {
    return std::make_shared<MSAnalyticsAuthenticationProvider>(type, std::string("user-ticket-key"), source);
  }
  std::optional<std::string> ticket() {
    return MSTicketCache::sharedInstance().ticketFor(MSUtility::sha256("user-ticket-key"));
  }

  vx::ScopedVirtualTime time{vx::WallTime(std::chrono::seconds(1'700'000'000))};
  std::shared_ptr<TokenSource> source = std::make_shared<TokenSource>();
};

TEST_F(MSAnalyticsAuthenticationProviderTest, TicketsCarryThePrefixOfTheirTypeUnderTheKeyHash) {
  for (const auto type : {MSAnalyticsAuthenticationType::Compact, MSAnalyticsAuthenticationType::Delegated}) {
    MSTicketCache::sharedInstance().clearCache();
    source->completions.clear();
    auto provider = make(type);
    EXPECT_EQ(provider->ticketKeyHash(), MSUtility::sha256("user-ticket-key"));
    EXPECT_EQ(provider->ticketKeyHash()->size(), 64u);
    provider->acquireTokenAsync();
    ASSERT_EQ(source->completions.size(), 1u);
    source->completions[0](std::string("token-1"), vx::wallNow() + 1h);
    EXPECT_EQ(ticket(), std::string(type == MSAnalyticsAuthenticationType::Delegated ? "d" : "p") + ":token-1");
    EXPECT_EQ(provider->expiryDate(), vx::wallNow() + 1h);
    EXPECT_FALSE(provider->isRequestOutstanding());
  }
}

// Expiry in whole seconds from now: 601 is kept, 600 and less are renewed.
TEST_F(MSAnalyticsAuthenticationProviderTest, TheRefreshBoundaryIs600Seconds) {
  struct Case {
    std::chrono::seconds expiresIn;
    bool renewed;
  };
  for (const Case c : {Case{601s, false}, Case{600s, true}, Case{0s, true}, Case{-30s, true}, Case{3600s, false}}) {
    SCOPED_TRACE(c.expiresIn.count());
    source->completions.clear();
    auto provider = make(MSAnalyticsAuthenticationType::Delegated);
    provider->checkTokenExpiry();
    EXPECT_TRUE(source->completions.empty()) << "no token yet: nothing to renew";
    provider->acquireTokenAsync();
    source->completions.back()(std::string("t"), vx::wallNow() + c.expiresIn);
    provider->checkTokenExpiry();
    EXPECT_EQ(source->completions.size(), c.renewed ? 2u : 1u);
  }
  // The same token, 1 s later on the clock, crosses the boundary.
  source->completions.clear();
  auto provider = make(MSAnalyticsAuthenticationType::Delegated);
  provider->acquireTokenAsync();
  source->completions.back()(std::string("t"), vx::wallNow() + 601s);
  provider->checkTokenExpiry();
  EXPECT_EQ(source->completions.size(), 1u);
  time.advance(1s);
  provider->checkTokenExpiry();
  EXPECT_EQ(source->completions.size(), 2u);
}

TEST_F(MSAnalyticsAuthenticationProviderTest, OneRequestIsOutstandingAtATime) {
  auto provider = make(MSAnalyticsAuthenticationType::Delegated);
  provider->acquireTokenAsync();
  source->completions.back()(std::string("t"), vx::wallNow() + 10s);
  provider->checkTokenExpiry();
  provider->checkTokenExpiry();
  provider->acquireTokenAsync();
  EXPECT_EQ(source->completions.size(), 2u) << "the delegate was asked once for the renewal";
  EXPECT_TRUE(provider->isRequestOutstanding());
  EXPECT_EQ(ticket(), "d:t") << "the old ticket stays until the new one comes";
}

TEST_F(MSAnalyticsAuthenticationProviderTest, MissingTokensOrDatesAreRefusedAndKeepTheLastTicket) {
  MSLogRecorder recorder(MSLogLevel::Error);
  auto provider = make(MSAnalyticsAuthenticationType::Compact);
  provider->acquireTokenAsync();
  source->completions.back()(std::string("good"), vx::wallNow() + 100s);
  provider->acquireTokenAsync();
  source->completions.back()(std::nullopt, vx::wallNow() + 900s);
  EXPECT_EQ(recorder.count("Token must not be null"), 1u);
  provider->acquireTokenAsync();
  source->completions.back()(std::string("no-date"), std::nullopt);
  EXPECT_EQ(recorder.count("Date must not be null"), 1u);
  EXPECT_EQ(ticket(), "p:good");
  EXPECT_EQ(provider->expiryDate(), vx::wallNow() + 100s);
  EXPECT_FALSE(provider->isRequestOutstanding()) << "a refused answer still ends the request";

  auto orphan = std::make_shared<MSAnalyticsAuthenticationProvider>(MSAnalyticsAuthenticationType::Compact,
                                                                    std::string("k"), nullptr);
  orphan->acquireTokenAsync();
  EXPECT_EQ(recorder.count("No completionhandler to acquire token has been set."), 1u);
}

// An answer to an earlier request (a late or repeated call of its completion) is ignored, also
// while a newer request is outstanding.
TEST_F(MSAnalyticsAuthenticationProviderTest, AnAnswerToAStaleRequestIsIgnored) {
  auto provider = make(MSAnalyticsAuthenticationType::Delegated);
  provider->acquireTokenAsync();
  const auto first = source->completions.back();
  first(std::string("one"), vx::wallNow() + 60s);
  provider->checkTokenExpiry();  // within 600 s: a second request
  ASSERT_EQ(source->completions.size(), 2u);
  first(std::string("stale"), vx::wallNow() + 7200s);
  EXPECT_EQ(ticket(), "d:one");
  EXPECT_EQ(provider->expiryDate(), vx::wallNow() + 60s);
  EXPECT_TRUE(provider->isRequestOutstanding()) << "the newer request still waits";
  source->completions.back()(std::string("two"), vx::wallNow() + 3600s);
  EXPECT_EQ(ticket(), "d:two");
  EXPECT_FALSE(provider->isRequestOutstanding());
}

}  // namespace
