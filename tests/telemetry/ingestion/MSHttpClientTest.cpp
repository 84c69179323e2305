// The generic HTTP client against the local service: retry-after header and back-off in virtual
// time, compression, default content type, cancellation by disabling, pause on network loss,
// and handlers that call back into the client.
#include "telemetry/ZerEvuzev/Http/MSHttpClient.h"
#include "telemetry/ZerEvuzev/Ingestion/MSHttpUtil.h"
#include "telemetry/ZerEvuzev/Ingestion/MSZEErrors.h"

#include "telemetry/ingestion/IngestionTestSupport.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using vx::devservice::DevService;
using vx::devservice::Fault;

namespace {

struct ClientResult {
  std::optional<vx::Bytes> data;
  std::optional<vx::HTTPURLResponse> response;
  std::optional<vx::Error> error;
};

class ClientRecorder {
 public:
  MSHttpRequestCompletionHandler handler(std::function<void()> then = nullptr) {
    return [this, then](const std::optional<vx::Bytes>& data, const std::optional<vx::HTTPURLResponse>& response,
                        const std::optional<vx::Error>& error) {
      {
        std::lock_guard lock(mutex_);
        results_.push_back({data, response, error});
      }
      if (then) then();
      changed_.notify_all();
    };
  }
  bool waitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return results_.size() >= count; });
  }
  std::vector<ClientResult> results() {
    std::lock_guard lock(mutex_);
    return results_;
  }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return results_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ClientResult> results_;
};

class MSHttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // "/unavailable" answers 503 with the delay the test chose (none when empty).
    service.addRoute("POST", "/unavailable",
                     [this](const vx::devservice::Request&, vx::devservice::Response& response) {
                       std::lock_guard lock(mutex);
                       response.setJSON(R"({"error":"busy"})", 503);
                       if (!retryAfter.empty()) response.setHeader("x-ms-retry-after-ms", retryAfter);
                     });
    // "/deep" answers 200 with JSON nested 50,000 levels deep.
    service.addRoute("GET", "/deep", [](const vx::devservice::Request&, vx::devservice::Response& response) {
      response.setJSON(std::string(kDeepReplyLevels, '[') + std::string(kDeepReplyLevels, ']'));
    });
    ASSERT_TRUE(service.start().ok());
    client = MSHttpClient::make();
  }

  static constexpr std::size_t kDeepReplyLevels = 50'000;

  void setRetryAfter(std::string value) {
    std::lock_guard lock(mutex);
    retryAfter = std::move(value);
  }
  std::optional<vx::Duration> armedRetryDelay() {
    if (!waitUntil([&] { return time.scheduler().pendingCount() > 0; })) return std::nullopt;
    return time.scheduler().nextDeadlineFromNow();
  }
  static vx::Bytes bodyOf(std::size_t size) { return vx::Bytes(size, 'a'); }

  vx::ScopedVirtualTime time;
  FakeInternetReachability reachability;
  // Declared before the service, which calls into them until it stops.
  std::mutex mutex;
  std::string retryAfter;
  DevService service;
  ClientRecorder recorder;
  std::shared_ptr<MSHttpClient> client;
};

TEST_F(MSHttpClientTest, RetryAfterHeaderSetsTheDelay) {
  setRetryAfter("2500");
  client->sendAsync(service.url("/unavailable"), "POST", {}, bodyOf(10), recorder.handler());
  ASSERT_TRUE(service.waitForRequests(1));
  const auto delay = armedRetryDelay();
  ASSERT_TRUE(delay);
  EXPECT_EQ(*delay, 2500ms);
  time.advance(2499ms);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(service.requests("/unavailable").size(), 1u);
  time.advance(1ms);
  ASSERT_TRUE(service.waitForRequests(2));
}

TEST_F(MSHttpClientTest, BackOffThenTheFourthFailureEndsWithTheResponse) {
  for (const std::string header : {"", "soon", "-5"}) {
    SCOPED_TRACE(header);
    service.clearRequestLog();
    setRetryAfter(header);
    ClientRecorder calls;
    client->sendAsync(service.url("/unavailable"), "POST", {}, bodyOf(10), calls.handler());
    const std::pair<int, int> ranges[] = {{5000, 10000}, {150000, 300000}, {600000, 1200000}};
    for (std::size_t attempt = 0; attempt < 3; ++attempt) {
      ASSERT_TRUE(service.waitForRequests(attempt + 1)) << attempt;
      const auto delay = armedRetryDelay();
      ASSERT_TRUE(delay) << attempt;
      EXPECT_GE(*delay, std::chrono::milliseconds(ranges[attempt].first)) << attempt;
      EXPECT_LT(*delay, std::chrono::milliseconds(ranges[attempt].second)) << attempt;
      EXPECT_EQ(calls.count(), 0u);
      time.advance(*delay);
    }
    ASSERT_TRUE(calls.waitFor(1));
    const auto result = calls.results().at(0);
    EXPECT_EQ(vx::statusCodeOf(result.response), 503);
    EXPECT_FALSE(result.error);
    ASSERT_TRUE(result.data);
    EXPECT_NE(std::string(result.data->begin(), result.data->end()).find("busy"), std::string::npos);
    EXPECT_EQ(service.requests("/unavailable").size(), 4u);
    EXPECT_EQ(client->pendingCallCount(), 0u);
    EXPECT_TRUE(client->isEnabled());
  }
}

TEST_F(MSHttpClientTest, CompressesFrom1400BytesWhenEnabled) {
  auto plain = MSHttpClient::make(false);
  client->sendAsync(service.url("/echo/a"), "POST", {}, bodyOf(1399), recorder.handler());
  client->sendAsync(service.url("/echo/b"), "POST", {}, bodyOf(1400), recorder.handler());
  plain->sendAsync(service.url("/echo/c"), "POST", {}, bodyOf(5000), recorder.handler());
  ASSERT_TRUE(recorder.waitFor(3));
  struct Expect {
    const char* path;
    std::size_t size;
    bool gzip;
  };
  for (const Expect e :
       {Expect{"/echo/a", 1399, false}, Expect{"/echo/b", 1400, true}, Expect{"/echo/c", 5000, false}}) {
    const auto requests = service.requests(e.path);
    ASSERT_EQ(requests.size(), 1u) << e.path;
    EXPECT_EQ(requests[0].body.size(), e.size) << e.path;
    EXPECT_EQ(requests[0].bodyWasGzip, e.gzip) << e.path;
    EXPECT_EQ(requests[0].header("Content-Encoding").has_value(), e.gzip) << e.path;
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json") << e.path;
  }
  EXPECT_TRUE(client->compressionEnabled());
  EXPECT_FALSE(plain->compressionEnabled());
}

TEST_F(MSHttpClientTest, ContentTypeDefaultsOnlyForBodies) {
  client->sendAsync(service.url("/echo/nobody"), "GET", {}, std::nullopt, recorder.handler());
  client->sendAsync(service.url("/echo/typed"), "POST", {{"Content-Type", "text/plain"}}, bodyOf(3),
                    recorder.handler());
  ASSERT_TRUE(recorder.waitFor(2));
  EXPECT_FALSE(service.requests("/echo/nobody").at(0).header("Content-Type"));
  EXPECT_EQ(service.requests("/echo/typed").at(0).header("Content-Type"), "text/plain");
  for (const auto& result : recorder.results()) EXPECT_EQ(vx::statusCodeOf(result.response), 200);
}

TEST_F(MSHttpClientTest, DisabledClientRefusesCalls) {
  client->setEnabled(false);
  client->sendAsync(service.url("/echo"), "POST", {}, bodyOf(3), recorder.handler());
  ASSERT_EQ(recorder.count(), 1u);
  const auto result = recorder.results()[0];
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->domain, kMSZEErrorDomain);
  EXPECT_EQ(result.error->code, 3);
  EXPECT_EQ(result.error->description, "The service is disabled.");
  EXPECT_FALSE(result.data);
  EXPECT_FALSE(result.response);
  EXPECT_TRUE(service.requests("/echo").empty());

  client->setEnabled(true);
  client->sendAsync(service.url("/echo"), "POST", {}, bodyOf(3), recorder.handler());
  ASSERT_TRUE(recorder.waitFor(2));
  EXPECT_EQ(vx::statusCodeOf(recorder.results()[1].response), 200);
}

// Disabling cancels a call whose request is on the network: its handler runs once with error 2,
// and the request's own completion, arriving later, is ignored.
TEST_F(MSHttpClientTest, CancelledCallRunsItsHandlerOnceAndIgnoresTheLateCompletion) {
  service.setFault("/slow", Fault::withDelay(400ms));
  service.addRoute("POST", "/slow",
                   [](const vx::devservice::Request&, vx::devservice::Response& r) { r.setJSON("{}"); });
  MSLogRecorder logs(MSLogLevel::Debug);
  client->sendAsync(service.url("/slow"), "POST", {}, bodyOf(3), recorder.handler());
  ASSERT_TRUE(service.waitForRequests(1));
  client->setEnabled(false);
  ASSERT_EQ(recorder.count(), 1u);
  const auto result = recorder.results()[0];
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->code, 2);
  EXPECT_EQ(result.error->description, "The operation was canceled.");
  EXPECT_EQ(client->pendingCallCount(), 0u);
  ASSERT_TRUE(waitUntil([&] { return logs.count("HTTP call was canceled; do not process further.") == 1; }));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(recorder.count(), 1u);
}

// Handlers run outside the client's lock: one that sends again or disables the client from inside
// its handler finishes instead of deadlocking.
TEST_F(MSHttpClientTest, HandlersMayCallBackIntoTheClient) {
  ClientRecorder second;
  client->sendAsync(service.url("/echo/first"), "POST", {}, bodyOf(3), recorder.handler([&] {
    client->sendAsync(service.url("/echo/second"), "POST", {}, bodyOf(3),
                      second.handler([&] { client->setEnabled(false); }));
  }));
  ASSERT_TRUE(recorder.waitFor(1));
  ASSERT_TRUE(second.waitFor(1));
  EXPECT_EQ(vx::statusCodeOf(second.results()[0].response), 200);
  EXPECT_TRUE(waitUntil([&] { return !client->isEnabled(); }));

  // A handler called because of the disable sends again: the client answers at once.
  client->setEnabled(true);
  reachability.latest()->setStatus(vx::NetworkStatus::notReachable);
  ClientRecorder third;
  ClientRecorder fromHandler;
  client->sendAsync(service.url("/echo/third"), "POST", {}, bodyOf(3), third.handler([&] {
    client->sendAsync(service.url("/echo/fourth"), "POST", {}, bodyOf(3), fromHandler.handler());
  }));
  client->setEnabled(false);
  ASSERT_EQ(third.count(), 1u);
  ASSERT_EQ(fromHandler.count(), 1u);
  EXPECT_EQ(fromHandler.results()[0].error->code, 3);
}

TEST_F(MSHttpClientTest, PausesWhileNetworkIsDown) {
  auto fake = reachability.latest();
  ASSERT_TRUE(fake);
  fake->setStatus(vx::NetworkStatus::notReachable);
  EXPECT_TRUE(client->isPaused());
  client->sendAsync(service.url("/echo/offline"), "POST", {}, bodyOf(3), recorder.handler());
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(service.requests("/echo/offline").empty());
  EXPECT_EQ(client->pendingCallCount(), 1u);
  fake->setStatus(vx::NetworkStatus::reachableViaWiFi);
  EXPECT_FALSE(client->isPaused());
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(vx::statusCodeOf(recorder.results()[0].response), 200);
  EXPECT_EQ(service.requests("/echo/offline").size(), 1u);
}

// The verbose log prints replies: one nested far too deep is named with a warning instead of
// overflowing the stack, and the caller still gets the whole body.
TEST_F(MSHttpClientTest, DeepJsonReplyIsNamedInTheVerboseLog) {
  MSLogRecorder log(MSLogLevel::Verbose);
  client->sendAsync(service.url("/deep"), "GET", {}, std::nullopt, recorder.handler());
  ASSERT_TRUE(recorder.waitFor(1));
  const auto results = recorder.results();
  ASSERT_TRUE(results[0].response);
  EXPECT_EQ(results[0].response->statusCode, 200);
  ASSERT_TRUE(results[0].data);
  EXPECT_EQ(results[0].data->size(), 2 * kDeepReplyLevels);
  EXPECT_EQ(log.count(std::string("HTTP response received with status code: 200, payload:\n") + kMSHttpPayloadTooDeep),
            1u);
  EXPECT_EQ(log.count("Response body nests deeper than"), 1u);
}

TEST_F(MSHttpClientTest, HeadersAreMaskedInLogs) {
  vx::HTTPHeaderFields headers{{"Authorization", "Bearer abc.def"}, {"App-Secret", "abcdefghijkl"}, {"X-Other", "v"}};
  EXPECT_EQ(client->prettyPrintHeaders(headers), "Authorization = Bearer ***, App-Secret = ****efghijkl, X-Other = v");
}

TEST(MSHttpCallTest, DelaysInMilliseconds) {
  MSHttpCall call("http://127.0.0.1/", "GET", {}, std::nullopt, {10, 300}, true, nullptr);
  for (int i = 0; i < 100; ++i) {
    const auto delay = call.delayForRetryCount(0);
    EXPECT_GE(delay, 5000u);
    EXPECT_LT(delay, 10000u);
  }
  EXPECT_EQ(call.delayForRetryCount(2), 0u);
  EXPECT_FALSE(call.hasReachedMaxRetries());
}

}  // namespace
