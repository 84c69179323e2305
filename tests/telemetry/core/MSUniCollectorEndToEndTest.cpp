// Logs with target tokens sent end to end: a token-only start, the real common-schema ingestion
// and reachability, the local service's common-schema endpoint, which must accept the batch. A
// program of its own, so no pipeline of an earlier start in the same process shares its database.
#include "telemetry/ZerEvuzev/Channel/MSChannelProtocol.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"
#include "support/URLSessionTesting.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <mutex>

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

// How the channel units took the service's answers: a log counts as sent only after a 200.
class SendOutcomes : public MSChannelDelegate {
 public:
  void channelDidSucceedSendingLog(MSChannelProtocol*, const MSLogPtr&) override {
    std::lock_guard lock(mutex_);
    ++succeeded_;
  }
  void channelDidFailSendingLog(MSChannelProtocol*, const MSLogPtr&, const std::optional<vx::Error>&) override {
    std::lock_guard lock(mutex_);
    ++failed_;
  }
  std::size_t succeeded() {
    std::lock_guard lock(mutex_);
    return succeeded_;
  }
  std::size_t failed() {
    std::lock_guard lock(mutex_);
    return failed_;
  }

 private:
  std::mutex mutex_;
  std::size_t succeeded_ = 0;
  std::size_t failed_ = 0;
};

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
  auto outcomes = std::make_shared<SendOutcomes>();
  sdk->channelGroup()->addDelegate(outcomes);
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

  // The service accepted the batch: the client took a 200 for each line, and the service kept
  // the batch (it keeps only what it answered 200) with the request's headers and lines.
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return outcomes->succeeded() + outcomes->failed() >= lines.size(); },
                                    std::chrono::seconds(30)));
  EXPECT_EQ(outcomes->failed(), 0u);
  EXPECT_EQ(outcomes->succeeded(), lines.size());
  auto session = vx::URLSession::make();
  const auto received = vx::testing::fetch(*session, vx::URLRequest(service.url("/UniCollector/received")));
  ASSERT_EQ(received.status(), 200);
  const auto batches = nlohmann::json::parse(received.text());
  ASSERT_EQ(batches.size(), 1u) << received.text();
  EXPECT_EQ(batches[0]["apikey"], apiKey);
  EXPECT_EQ(batches[0]["uploadTime"], request.header("Upload-Time").value_or(""));
  EXPECT_EQ(batches[0]["lines"], nlohmann::json(lines));
}

}  // namespace
