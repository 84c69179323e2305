#include "app/service/Auth/WebClient.h"

#include "app/service/Helpers.h"
#include "service/auth/SignInTestSupport.h"

#include <gtest/gtest.h>

namespace Vexelworks {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(WebClientReply, TheOffsetIsTheTimestampsLeadRoundedHalfAwayFromZeroWithin32Bits) {
  const vx::WallTime now{std::chrono::seconds(1'800'000'000)};
  struct Case {
    const char* timestamp;
    std::optional<std::int32_t> offset;
  } cases[] = {
      {"1800000000", 0},
      {"1800000000.49", 0},
      {"1800000000.5", 1},
      {"1799999999.5", -1},
      {"1799999998.5", -2},
      {"1800000100", 100},
      {"3947483647.4", 2147483647},
      {"3947483648", std::nullopt},
      {"-347483648", -2147483648},
      {"-347483649", std::nullopt},
      {"1e300", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto reply = std::string(R"({"access_token":{"token":"k","secret":"s"},"timestamp":)") + c.timestamp + "}";
    const auto result = WebClient::parseExchangeReply(bytes(reply), now);
    EXPECT_EQ(result.offset, c.offset) << c.timestamp;
    EXPECT_EQ(result.token.has_value(), c.offset.has_value()) << c.timestamp;
    if (result.token) {
      EXPECT_EQ(*result.token, (AccessToken{"k", "s"}));
    }
  }
  EXPECT_FALSE(WebClient::parseExchangeReply({}, now).token.has_value());
  EXPECT_FALSE(WebClient::parseExchangeReply(bytes("[1,2]"), now).token.has_value());
  EXPECT_FALSE(
      WebClient::parseExchangeReply(bytes(R"({"access_token":"k:s","timestamp":1800000000})"), now).token.has_value());
}

class WebClientTest : public test::SignInFixture {};

TEST_F(WebClientTest, TheExchangeBodyIsFormEncodedSoNoTokenTextAddsAField) {
  WebClient web(base_);
  struct Case {
    std::string token;
  } cases[] = {{"plain"}, {"a&client_id=evil"}, {"x=y&build_number=1"}, {"sp ace+plus%25"}, {"caf\xC3\xA9"}};
  for (const auto& c : cases) {
    service_.clearRequestLog();
    std::atomic<bool> done{false};
    web.exchangeToken(c.token, [&](auto token, auto offset, auto) {
      EXPECT_FALSE(token.has_value()) << "the site knows no such one-time token";
      EXPECT_FALSE(offset.has_value());
      done = true;
    });
    ASSERT_TRUE(vx::RunLoop::runUntil([&] { return done.load(); }));
    const auto log = service_.requests("/for-mac/oauth/");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].header("Content-Type"), "application/x-www-form-urlencoded");
    auto fields = vx::URL::parseFormURLEncoded(log[0].body);
    ASSERT_TRUE(fields.has_value());
    ASSERT_EQ(fields->size(), 3u) << log[0].body;
    EXPECT_EQ((*fields)[0].name, "token");
    EXPECT_EQ((*fields)[0].value, c.token);
    EXPECT_EQ((*fields)[1].value, clientId());
    EXPECT_EQ((*fields)[2].value, std::to_string(buildNumber()));
  }
}

TEST_F(WebClientTest, RequestsGoToTheSitesPathsWhateverPathTheBaseURLHas) {
  WebClient web(*vx::URL::parse(service_.url("/some/where/else/")));
  const auto request = web.exchangeRequest("t");
  EXPECT_EQ(request.url, service_.url("/for-mac/oauth/"));
  EXPECT_EQ(request.httpMethod, "POST");
  std::atomic<bool> done{false};
  web.fetchMinimumBuild([&](std::int64_t build, auto) {
    EXPECT_EQ(build, 1) << "the site's default";
    done = true;
  });
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return done.load(); }));
  EXPECT_EQ(service_.requests("/for-mac/version/").size(), 1u);
}

}  // namespace
}  // namespace Vexelworks
