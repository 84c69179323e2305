// Logs with target tokens sent end to end: a token-only start, the real common-schema ingestion
// and reachability, the local service's common-schema endpoint. A program of its own, so no
// pipeline of an earlier start in the same process shares its database.
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include "platform/foundation/Clock.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>

using namespace std::chrono_literals;

namespace {

constexpr const char* kTokenA = "aaaa1111bbbb2222-0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
constexpr const char* kTokenB = "cccc3333dddd4444-1f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

MSLogPtr tokenLog(const std::string& type, std::set<std::string> tokens) {
  auto log = std::make_shared<MSLogWithProperties>();
  log->type = type;
  log->timestamp = vx::wallNow();
  log->device = MSTestDevice();
  log->setTransmissionTargetTokens(std::move(tokens));
  return log;
}

class MSUniCollectorEndToEndTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (auto group = MSZerEvuzev::sharedInstance()->channelGroup()) group->logsDispatchQueue()->sync([] {});
    MSZerEvuzev::resetSharedInstance();
    MSAnalytics::resetSharedInstance();
    MSLogger::resetForTesting();
  }
};

// A token-only start: a log with two tenants' tokens reaches the common-schema endpoint as two
// numbered lines and never the ordinary endpoint.
TEST_F(MSUniCollectorEndToEndTest, LogsWithTokensReachTheLocalCommonSchemaEndpoint) {
  MSUtility::deleteItemForPathComponent("Logs.sqlite");
  vx::ScopedVirtualTime time;
  vx::devservice::DevService service;
  ASSERT_TRUE(service.start().ok());
  auto sdk = MSZerEvuzev::sharedInstance();
  sdk->setLogUrl(service.baseURL());
  auto analytics = MSAnalytics::sharedInstance();
  MSZerEvuzev::start(std::string("target=") + kTokenA, {analytics});
  ASSERT_TRUE(analytics->isStarted());
  analytics->channelUnit()->enqueueItem(tokenLog("someEvent", {kTokenA, kTokenB}), 1);
  analytics->channelUnit()->enqueueItem(tokenLog("laterEvent", {kTokenA}), 1);
  sdk->channelGroup()->logsDispatchQueue()->sync([] {});
  time.advance(3s);
  ASSERT_TRUE(service.waitForRequests(1));
  sdk->channelGroup()->logsDispatchQueue()->sync([] {});
  EXPECT_TRUE(service.requests("/logs").empty());
  const auto requests = service.requests("/UniCollector/1\\.0");
  ASSERT_EQ(requests.size(), 1u);
  const auto& request = requests[0];
  const auto apiKey = request.header("apikey").value_or("");
  EXPECT_NE(apiKey.find(kTokenA), std::string::npos);
  EXPECT_NE(apiKey.find(kTokenB), std::string::npos);
  EXPECT_TRUE(request.header("Upload-Time"));
  std::vector<nlohmann::json> lines;
  std::size_t start = 0;
  while (start < request.body.size()) {
    const auto end = request.body.find('\n', start);
    lines.push_back(nlohmann::json::parse(request.body.substr(start, end - start)));
    start = end + 1;
  }
  ASSERT_EQ(lines.size(), 3u) << request.body;
  std::map<std::string, std::vector<std::int64_t>> seqs;
  for (const auto& line : lines) {
    const auto sdk = line.value("/ext/sdk"_json_pointer, nlohmann::json::object());
    seqs[line.value("iKey", "")].push_back(sdk.value("seq", std::int64_t{0}));
    EXPECT_EQ(sdk.value("installId", ""), MSZerEvuzev::installId().uuidString()) << line.dump();
  }
  EXPECT_EQ(seqs["o:aaaa1111bbbb2222"], (std::vector<std::int64_t>{1, 2}));
  EXPECT_EQ(seqs["o:cccc3333dddd4444"], (std::vector<std::int64_t>{1})) << request.body;
}

}  // namespace
