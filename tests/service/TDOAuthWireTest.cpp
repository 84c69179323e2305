// Signed requests as the local service receives them: the service checks signatures, timestamps
// and nonces the way a real one does, so these tests catch what a fake would let through.
#include "app/service/APIClient.h"
#include "app/service/IconsOperations.h"
#include "app/service/TDOAuth.h"
#include "tools/devservice/DevService.h"
#include "tools/devservice/IconAPI.h"
#include "support/URLSessionTesting.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <future>

namespace Vexelworks {
namespace {

using namespace std::chrono_literals;
using vx::devservice::DevService;

std::shared_ptr<APIClient> clientFor(const std::string& baseURL) {
  return APIClient::make(*vx::URL::parse(baseURL), AccessToken{std::string(vx::devservice::kDemoTokenKey),
                                                               std::string(vx::devservice::kDemoTokenSecret)});
}

std::optional<std::vector<IconPtr>> runPage(const std::shared_ptr<BaseIconsOperation>& operation) {
  std::promise<std::optional<std::vector<IconPtr>>> promise;
  auto future = promise.get_future();
  operation->setQueryCompletionBlock([&promise](std::optional<std::vector<IconPtr>> icons, std::int64_t,
                                                std::optional<vx::Error>) { promise.set_value(std::move(icons)); });
  vx::OperationQueue queue("test.signing");
  queue.addOperation(operation);
  EXPECT_EQ(future.wait_for(10s), std::future_status::ready);
  queue.waitUntilAllOperationsAreFinished();
  return future.get();
}

std::string errorOf(const vx::testing::FetchResult& result) {
  const auto json = nlohmann::json::parse(result.text(), nullptr, false);
  return json.is_object() ? json.value("error", "") : "";
}

class TDOAuthWireTest : public testing::Test {
 protected:
  void SetUp() override {
    TDOAuth::setUtcTimeOffset(0);
    ASSERT_TRUE(service_.start().ok());
  }
  void TearDown() override { TDOAuth::setUtcTimeOffset(0); }

  DevService service_;
  std::shared_ptr<vx::URLSession> session_ = vx::URLSession::make();
};

TEST_F(TDOAuthWireTest, AReplayedRequestIsRefusedAndAStaleOneTooWhateverItsSignature) {
  auto api = clientFor(service_.baseURL());
  const auto request = api->signedRequest("GET", "/macos/icons", TDOAuthParameters{{"page", 1}});
  auto first = vx::testing::fetch(*session_, request);
  EXPECT_EQ(first.status(), 200) << first.text();
  auto replay = vx::testing::fetch(*session_, request);
  EXPECT_EQ(replay.status(), 401);
  EXPECT_EQ(errorOf(replay), "nonce already used");

  struct Case {
    std::int32_t offset;
    int status;
    const char* error;
  } cases[] = {
      {-3600, 401, "timestamp out of range"}, {400, 401, "timestamp out of range"}, {-120, 200, ""}, {120, 200, ""}};
  for (const auto& c : cases) {
    TDOAuth::setUtcTimeOffset(c.offset);
    auto result = vx::testing::fetch(*session_, api->signedRequest("GET", "/macos/icons", std::nullopt));
    EXPECT_EQ(result.status(), c.status) << c.offset << " " << result.text();
    EXPECT_EQ(errorOf(result), c.error) << c.offset;
  }
}

TEST_F(TDOAuthWireTest, APostWithoutParametersCarriesNoContentTypeAndIsAccepted) {
  for (const auto& parameters :
       {std::optional<TDOAuthParameters>(), std::optional<TDOAuthParameters>(TDOAuthParameters::object())}) {
    service_.clearRequestLog();
    auto request = TDOAuth::URLRequestForPath(
        "/icon/30001/download/mac", parameters, "127.0.0.1:" + std::to_string(service_.port()),
        std::string(vx::devservice::kConsumerKey), std::string(vx::devservice::kConsumerSecret),
        std::string(vx::devservice::kDemoTokenKey), std::string(vx::devservice::kDemoTokenSecret), "http", "POST",
        TDOAuthContentTypeUrlEncodedForm, std::nullopt, TDOAuthSignatureMethodHmacSha1);
    ASSERT_TRUE(request);
    auto result = vx::testing::fetch(*session_, *request);
    EXPECT_EQ(result.status(), 200) << result.text();
    const auto log = service_.requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].method, "POST");
    EXPECT_FALSE(log[0].header("Content-Type").has_value()) << *log[0].header("Content-Type");
    EXPECT_TRUE(log[0].body.empty());
  }
}

TEST_F(TDOAuthWireTest, ABaseURLWithTheDefaultPortIsSignedAsTheHostHeaderIsSent) {
  // Only a service on port 80 shows it: the client names ":80", the wire does not.
  DevService::Options options;
  options.port = 80;
  DevService onDefaultPort(options);
  const auto started = onDefaultPort.start();
  if (!started.ok()) GTEST_SKIP() << "port 80 is not available here: " << started.error();
  auto api = clientFor("http://127.0.0.1:80");
  const auto icons = runPage(std::make_shared<FreeIconsOperation>(api, 1));
  ASSERT_TRUE(icons.has_value()) << "refused: the signature named a port the wire did not";
  EXPECT_FALSE(icons->empty());
  const auto log = onDefaultPort.requestLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].header("Host"), "127.0.0.1");
}

TEST_F(TDOAuthWireTest, AMultiWordSearchMatchesWordsInAnyOrder) {
  auto api = clientFor(service_.baseURL());
  struct Case {
    const char* query;
    std::vector<std::string> slugs;
  } cases[] = {
      {"cup coffee", {"coffee-cup"}},
      {"left arrow", {"arrow-left"}},
      {"  Coffee   CUP ", {"coffee-cup"}},
      {"weather rain", {"rain-cloud", "umbrella"}},
      {"coffee moon", {}},
  };
  for (const auto& c : cases) {
    const auto icons = runPage(std::make_shared<SearchOperation>(api, 1, c.query));
    ASSERT_TRUE(icons.has_value()) << c.query;
    std::vector<std::string> slugs;
    for (const auto& icon : *icons) slugs.push_back(icon->termSlug);
    std::sort(slugs.begin(), slugs.end());
    EXPECT_EQ(slugs, c.slugs) << c.query;
  }
}

}  // namespace
}  // namespace Vexelworks
