// The default telemetry ingestion against the local service: request format, compression
// threshold, retries in virtual time, fatal errors, and pause/resume on reachability.
#include "telemetry/ZerEvuzev/Ingestion/MSZerEvuzevIngestion.h"
#include "telemetry/ZerEvuzev/Ingestion/MSZEErrors.h"

#include "telemetry/ingestion/IngestionTestSupport.h"
#include "support/URLSessionTesting.h"
#include "platform/foundation/UUID.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <future>
#include <thread>

using namespace std::chrono_literals;
using vx::devservice::DevService;
using vx::devservice::Fault;

namespace {

constexpr const char* kAppSecret = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

class MSZerEvuzevIngestionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start().ok());
    ingestion = MSHttpIngestion::make<MSZerEvuzevIngestion>(service.baseURL(), installId);
    ingestion->setAppSecret(kAppSecret);
    delegate = std::make_shared<RecordingIngestionDelegate>();
    ingestion->addDelegate(delegate);
  }

  std::vector<vx::devservice::Request> logRequests() { return service.requests("/logs"); }

  // Waits until the retry timer is armed and returns its delay.
  std::optional<vx::Duration> armedRetryDelay() {
    if (!waitUntil([&] { return time.scheduler().pendingCount() > 0; })) return std::nullopt;
    return time.scheduler().nextDeadlineFromNow();
  }

  vx::ScopedVirtualTime time;
  FakeInternetReachability reachability;
  DevService service;
  std::string installId = vx::UUID::make().uuidString();
  // Outlives the ingestion, whose completions may still arrive while the fixture goes away.
  SendRecorder recorder;
  std::shared_ptr<MSZerEvuzevIngestion> ingestion;
  std::shared_ptr<RecordingIngestionDelegate> delegate;
};

TEST_F(MSZerEvuzevIngestionTest, PostsContainerWithInstallIdAndAppSecret) {
  EXPECT_EQ(ingestion->sendURL(), service.baseURL() + "/logs?api-version=1.0.0");
  ingestion->sendAsync(makeContainer("batch-1"), std::nullopt, recorder.handler());
  ASSERT_TRUE(recorder.waitFor(1));

  const auto result = recorder.results().at(0);
  EXPECT_EQ(result.callId, "batch-1");
  EXPECT_EQ(vx::statusCodeOf(result.response), 200);
  EXPECT_FALSE(result.error);
  ASSERT_TRUE(waitUntil([&] { return ingestion->pendingCalls().empty(); }));
  EXPECT_TRUE(ingestion->isEnabled());

  const auto requests = logRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].query, "api-version=1.0.0");
  EXPECT_EQ(requests[0].header("Install-ID"), installId);
  EXPECT_EQ(requests[0].header("App-Secret"), kAppSecret);
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  // No token: no Authorization header at all.
  EXPECT_FALSE(requests[0].header("Authorization"));
  const auto body = nlohmann::json::parse(requests[0].body);
  EXPECT_EQ(body["logs"][0]["type"], "testEvent");

  // What the service kept of it.
  auto session = vx::URLSession::make();
  const auto received = vx::testing::fetch(*session, vx::URLRequest(service.url("/logs/received")));
  ASSERT_EQ(received.status(), 200);
  const auto containers = nlohmann::json::parse(received.text());
  ASSERT_EQ(containers.size(), 1u);
  EXPECT_EQ(containers[0]["installId"], installId);
  EXPECT_EQ(containers[0]["gzip"], false);
  EXPECT_EQ(containers[0]["logs"].size(), 1u);
}

TEST_F(MSZerEvuzevIngestionTest, TokenBecomesBearerAuthorization) {
  ingestion->sendAsync(makeContainer("batch-token"), std::string("abc.def"), recorder.handler());
  ASSERT_TRUE(recorder.waitFor(1));
  ingestion->sendAsync(makeContainer("batch-empty-token"), std::string(), recorder.handler());
  ASSERT_TRUE(recorder.waitFor(2));
  const auto requests = logRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer abc.def");
  EXPECT_FALSE(requests[1].header("Authorization"));
}

TEST_F(MSZerEvuzevIngestionTest, GzipsFrom1400Bytes) {
  for (const std::size_t size : {1399u, 1400u}) {
    auto container = makeContainerOfSize(size, "batch-" + std::to_string(size));
    ASSERT_TRUE(container) << size;
    ingestion->sendAsync(container, std::nullopt, recorder.handler());
  }
  ASSERT_TRUE(recorder.waitFor(2));
  for (const auto& result : recorder.results()) EXPECT_EQ(vx::statusCodeOf(result.response), 200);
  auto requests = logRequests();
  ASSERT_EQ(requests.size(), 2u);
  std::sort(requests.begin(), requests.end(),
            [](const auto& a, const auto& b) { return a.body.size() < b.body.size(); });
  EXPECT_EQ(requests[0].body.size(), 1399u);
  EXPECT_FALSE(requests[0].bodyWasGzip);
  EXPECT_FALSE(requests[0].header("Content-Encoding"));
  EXPECT_EQ(requests[0].rawBodySize, 1399u);
  EXPECT_EQ(requests[1].body.size(), 1400u);
  EXPECT_TRUE(requests[1].bodyWasGzip);
  EXPECT_EQ(requests[1].header("Content-Encoding"), "gzip");
  EXPECT_LT(requests[1].rawBodySize, 1400u);
}

TEST_F(MSZerEvuzevIngestionTest, InvalidContainerNeverReachesTheNetwork) {
  auto empty = std::make_shared<MSLogContainer>("batch-empty", std::vector<MSLogPtr>{});
  auto invalidLog = makeTestLog(0);
  invalidLog->type.reset();
  auto invalid = std::make_shared<MSLogContainer>("batch-invalid", std::vector<MSLogPtr>{invalidLog});
  ingestion->sendAsync(empty, std::nullopt, recorder.handler());
  ingestion->sendAsync(invalid, std::nullopt, recorder.handler());
  ingestion->sendAsync(nullptr, std::nullopt, recorder.handler());
  ASSERT_EQ(recorder.count(), 3u);
  for (const auto& result : recorder.results()) {
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->domain, kMSZEErrorDomain);
    EXPECT_EQ(result.error->code, 1);
    EXPECT_EQ(result.error->description, "Invalid log container.");
    EXPECT_FALSE(result.response);
  }
  EXPECT_EQ(recorder.results()[0].callId, "batch-empty");
  EXPECT_TRUE(ingestion->pendingCalls().empty());
  EXPECT_TRUE(logRequests().empty());
}

TEST_F(MSZerEvuzevIngestionTest, WithoutAppSecretNothingIsSent) {
  auto other = MSHttpIngestion::make<MSZerEvuzevIngestion>(service.baseURL(), installId);
  EXPECT_FALSE(other->isReadyToSend());
  MSLogRecorder logs(MSLogLevel::Error);
  other->sendAsync(makeContainer("batch-no-secret"), std::nullopt, recorder.handler());
  EXPECT_EQ(logs.count("ZerEvuzev ingestion is used without app secret."), 1u);
  EXPECT_EQ(other->pendingCalls().size(), 1u);
  EXPECT_FALSE(other->pendingCalls().begin()->second->submitted);
  EXPECT_EQ(recorder.count(), 0u);
  EXPECT_TRUE(logRequests().empty());
  EXPECT_TRUE(ingestion->isReadyToSend());
}

// Three retries after 5-9 s, 150-299 s and 600-1199 s (whole seconds), then result 500: the
// ingestion disables itself without deleting anything and no fatal error is reported.
TEST_F(MSZerEvuzevIngestionTest, ServiceUnavailableIsRetriedThreeTimesThenDisables) {
  service.setFault("/logs", Fault::withStatus(503));
  ingestion->sendAsync(makeContainer("batch-503"), std::nullopt, recorder.handler());

  const std::pair<int, int> ranges[] = {{5, 10}, {150, 300}, {600, 1200}};
  for (std::size_t attempt = 0; attempt < 3; ++attempt) {
    ASSERT_TRUE(service.waitForRequests(attempt + 1)) << attempt;
    const auto delay = armedRetryDelay();
    ASSERT_TRUE(delay) << attempt;
    EXPECT_GE(*delay, std::chrono::seconds(ranges[attempt].first)) << attempt;
    EXPECT_LT(*delay, std::chrono::seconds(ranges[attempt].second)) << attempt;
    EXPECT_EQ(*delay % std::chrono::seconds(1), vx::Duration::zero()) << attempt;
    EXPECT_EQ(recorder.count(), 0u);
    EXPECT_EQ(ingestion->pendingCalls().at("batch-503")->retryCount, attempt + 1);
    time.advance(*delay);
  }
  ASSERT_TRUE(recorder.waitFor(1));
  ASSERT_TRUE(waitUntil([&] { return !ingestion->isEnabled(); }));
  EXPECT_EQ(logRequests().size(), 4u);
  const auto result = recorder.results().at(0);
  EXPECT_EQ(vx::statusCodeOf(result.response), 503);
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->code, kMSZEConnectionHttpErrorCode);
  EXPECT_EQ(result.error->userInfo[kMSZEConnectionHttpCodeKey], 503);
  EXPECT_FALSE(ingestion->isEnabled());
  EXPECT_TRUE(ingestion->isPaused());
  EXPECT_EQ(delegate->fatal.load(), 0);
  EXPECT_TRUE(ingestion->pendingCalls().empty());
  EXPECT_EQ(time.scheduler().pendingCount(), 0u);
}

// A 400 is fatal at once: error 101, the delegate is told, and the ingestion is disabled with
// deletion: a call waiting for its retry is dropped without reaching its handler.
TEST_F(MSZerEvuzevIngestionTest, BadRequestIsFatalWithDeletion) {
  Fault once = Fault::withStatus(503);
  once.times = 1;
  service.setFault("/logs", once);
  SendRecorder waiting;
  ingestion->sendAsync(makeContainer("batch-waiting"), std::nullopt, waiting.handler());
  ASSERT_TRUE(service.waitForRequests(1));
  ASSERT_TRUE(armedRetryDelay());

  service.setFault("/logs", Fault::withStatus(400));
  ingestion->sendAsync(makeContainer("batch-400"), std::nullopt, recorder.handler());
  ASSERT_TRUE(recorder.waitFor(1));
  const auto result = recorder.results().at(0);
  EXPECT_EQ(result.callId, "batch-400");
  EXPECT_EQ(vx::statusCodeOf(result.response), 400);
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->domain, kMSZEErrorDomain);
  EXPECT_EQ(result.error->code, 101);
  EXPECT_EQ(result.error->description, "An HTTP error occured.");
  EXPECT_EQ(result.error->userInfo["MSZEConnectionHttpCode"], 400);
  // The handler runs first, then the result disables the ingestion and tells the delegates.
  ASSERT_TRUE(waitUntil([&] { return delegate->fatal.load() == 1; }));
  EXPECT_FALSE(ingestion->isEnabled());
  EXPECT_TRUE(ingestion->pendingCalls().empty());

  // The dropped call's timer is gone with it: nothing more goes out.
  time.advance(std::chrono::hours(1));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(logRequests().size(), 2u);
  EXPECT_EQ(waiting.count(), 0u);

  // Disabled: a new send stays pending and unsent.
  ingestion->sendAsync(makeContainer("batch-after"), std::nullopt, recorder.handler());
  EXPECT_EQ(ingestion->pendingCalls().size(), 1u);
  EXPECT_EQ(logRequests().size(), 2u);
}

TEST_F(MSZerEvuzevIngestionTest, NetworkDownPausesAndUpResends) {
  auto fake = reachability.latest();
  ASSERT_TRUE(fake);
  EXPECT_TRUE(fake->isNotifying());
  fake->setStatus(vx::NetworkStatus::notReachable);
  EXPECT_TRUE(ingestion->isPaused());
  EXPECT_EQ(delegate->paused.load(), 1);

  ingestion->sendAsync(makeContainer("batch-offline"), std::nullopt, recorder.handler());
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(logRequests().empty());
  ASSERT_EQ(ingestion->pendingCalls().size(), 1u);
  EXPECT_FALSE(ingestion->pendingCalls().at("batch-offline")->submitted);

  fake->setStatus(vx::NetworkStatus::reachableViaWiFi);
  EXPECT_FALSE(ingestion->isPaused());
  EXPECT_EQ(delegate->resumed.load(), 1);
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(vx::statusCodeOf(recorder.results()[0].response), 200);
  EXPECT_EQ(logRequests().size(), 1u);
  EXPECT_TRUE(waitUntil([&] { return ingestion->pendingCalls().empty(); }));
}

// A connection that breaks without an answer counts as lost network: the call is kept, unsent,
// with its retry state reset and its handler not called, and goes out at the next resume.
TEST_F(MSZerEvuzevIngestionTest, LostConnectionKeepsTheCallForTheNextResume) {
  service.setFault("/logs", Fault::dropConnection());
  ingestion->sendAsync(makeContainer("batch-dropped"), std::nullopt, recorder.handler());
  ASSERT_TRUE(service.waitForRequests(1));
  ASSERT_TRUE(waitUntil([&] {
    const auto calls = ingestion->pendingCalls();
    return calls.size() == 1 && !calls.begin()->second->submitted;
  }));
  EXPECT_EQ(ingestion->pendingCalls().at("batch-dropped")->retryCount, 0u);
  EXPECT_EQ(time.scheduler().pendingCount(), 0u);
  EXPECT_EQ(recorder.count(), 0u);
  EXPECT_TRUE(ingestion->isEnabled());

  service.clearFaults();
  reachability.latest()->setStatus(vx::NetworkStatus::notReachable);
  reachability.latest()->setStatus(vx::NetworkStatus::reachableViaWiFi);
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(vx::statusCodeOf(recorder.results()[0].response), 200);
}

// Losing the network while a call waits for its retry resets the call's retry state; the call
// goes out again as soon as the network is back, not when the old timer would have fired.
TEST_F(MSZerEvuzevIngestionTest, PauseResetsRetryStateOfWaitingCalls) {
  Fault once = Fault::withStatus(503);
  once.times = 1;
  service.setFault("/logs", once);
  ingestion->sendAsync(makeContainer("batch-retry"), std::nullopt, recorder.handler());
  ASSERT_TRUE(service.waitForRequests(1));
  ASSERT_TRUE(armedRetryDelay());
  EXPECT_EQ(ingestion->pendingCalls().at("batch-retry")->retryCount, 1u);

  reachability.latest()->setStatus(vx::NetworkStatus::notReachable);
  EXPECT_EQ(ingestion->pendingCalls().at("batch-retry")->retryCount, 0u);
  EXPECT_EQ(time.scheduler().pendingCount(), 0u);

  reachability.latest()->setStatus(vx::NetworkStatus::reachableViaWiFi);
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(vx::statusCodeOf(recorder.results()[0].response), 200);
  EXPECT_EQ(logRequests().size(), 2u);
}

TEST_F(MSZerEvuzevIngestionTest, DisableWithDeletionDropsPendingCallsAndEnableResumes) {
  reachability.latest()->setStatus(vx::NetworkStatus::notReachable);
  ingestion->sendAsync(makeContainer("batch-dropped"), std::nullopt, recorder.handler());
  ASSERT_EQ(ingestion->pendingCalls().size(), 1u);
  ingestion->setEnabled(false, true);
  EXPECT_TRUE(ingestion->pendingCalls().empty());
  EXPECT_FALSE(reachability.latest()->isNotifying());

  reachability.latest()->setStatus(vx::NetworkStatus::reachableViaWiFi);
  ingestion->setEnabled(true, false);
  EXPECT_TRUE(ingestion->isEnabled());
  EXPECT_FALSE(ingestion->isPaused());
  ingestion->sendAsync(makeContainer("batch-new"), std::nullopt, recorder.handler());
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(recorder.results()[0].callId, "batch-new");
  EXPECT_EQ(logRequests().size(), 1u);
}

TEST_F(MSZerEvuzevIngestionTest, ResentBatchReusesItsPendingCall) {
  reachability.latest()->setStatus(vx::NetworkStatus::notReachable);
  SendRecorder second;
  ingestion->sendAsync(makeContainer("batch-same"), std::nullopt, recorder.handler());
  ingestion->sendAsync(makeContainer("batch-same"), std::nullopt, second.handler());
  EXPECT_EQ(ingestion->pendingCalls().size(), 1u);
  reachability.latest()->setStatus(vx::NetworkStatus::reachableViaWiFi);
  ASSERT_TRUE(recorder.waitFor(1));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(second.count(), 0u);
  EXPECT_EQ(logRequests().size(), 1u);
}

TEST_F(MSZerEvuzevIngestionTest, VerboseLogsMaskSecrets) {
  MSLogRecorder logs(MSLogLevel::Verbose);
  ingestion->sendAsync(makeContainer("batch-log"), std::string("secret-token-value"), recorder.handler());
  ASSERT_TRUE(recorder.waitFor(1));
  bool sawHeaders = false;
  for (const auto& line : logs.lines()) {
    EXPECT_EQ(line.message.find(kAppSecret), std::string::npos) << line.message;
    EXPECT_EQ(line.message.find("secret-token-value"), std::string::npos) << line.message;
    if (line.message.rfind("Headers: ", 0) == 0) {
      sawHeaders = true;
      EXPECT_NE(line.message.find("App-Secret = ****************************c3d2e1f0"), std::string::npos)
          << line.message;
      EXPECT_NE(line.message.find("Authorization = Bearer ***"), std::string::npos) << line.message;
      EXPECT_NE(line.message.find("Install-ID = " + installId), std::string::npos) << line.message;
    }
  }
  EXPECT_TRUE(sawHeaders);
  EXPECT_EQ(logs.count("HTTP response received with status code: 200"), 1u);
}

TEST_F(MSZerEvuzevIngestionTest, SetBaseURLKeepsPathAndQuery) {
  ingestion->setBaseURL("https://user:pw@example.test:8443");
  EXPECT_EQ(ingestion->sendURL(), "https://user:pw@example.test:8443/logs?api-version=1.0.0");
  ingestion->setBaseURL("not a url");
  EXPECT_EQ(ingestion->sendURL(), "https://user:pw@example.test:8443/logs?api-version=1.0.0");
  ingestion->setBaseURL(service.baseURL());
  ingestion->sendAsync(makeContainer("batch-moved"), std::nullopt, recorder.handler());
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(logRequests().size(), 1u);
}

// A notifier whose stop checks, from another thread, that the ingestion's lock is free: stopping
// waits for the notifier's thread, which may itself be waiting for that lock to resume the
// ingestion, so a stop made under the lock can hang the process for good.
class LockProbeReachability final : public vx::Reachability {
 public:
  explicit LockProbeReachability(Options options) : Reachability(std::move(options)) {}

  vx::ReachabilityFlags currentFlags() const override { return vx::kReachabilityReachable; }
  bool startNotifier() override {
    postChange(currentFlags());
    return true;
  }
  void stopNotifier() override {
    const auto target = ingestion.lock();
    if (!target) return;  // the ingestion's own destructor
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([weak = ingestion, done] {
      if (auto probed = weak.lock()) probed->isEnabled();  // takes the ingestion's lock
      done->set_value();
    }).detach();
    const bool lockWasFree = finished.wait_for(10s) == std::future_status::ready;
    std::lock_guard lock(mutex_);
    stops_.push_back(lockWasFree);
  }

  std::vector<bool> stops() {
    std::lock_guard lock(mutex_);
    return stops_;
  }

  std::weak_ptr<MSHttpIngestion> ingestion;

 private:
  std::mutex mutex_;
  std::vector<bool> stops_;
};

TEST(MSZerEvuzevIngestionLockTest, AFatalAnswerStopsTheNotifierWithoutHoldingTheIngestionsLock) {
  std::shared_ptr<LockProbeReachability> probe;
  vx::Reachability::setInternetConnectionFactoryForTesting([&probe](vx::Reachability::Options options) {
    probe = std::make_shared<LockProbeReachability>(std::move(options));
    return std::static_pointer_cast<vx::Reachability>(probe);
  });
  struct FactoryReset {
    ~FactoryReset() { vx::Reachability::setInternetConnectionFactoryForTesting(nullptr); }
  } factoryReset;

  DevService service;
  ASSERT_TRUE(service.start().ok());
  service.setFault("/logs", Fault::withStatus(400));
  auto ingestion = MSHttpIngestion::make<MSZerEvuzevIngestion>(service.baseURL(), vx::UUID::make().uuidString());
  ASSERT_TRUE(probe);
  probe->ingestion = ingestion;
  ingestion->setAppSecret(kAppSecret);
  auto delegate = std::make_shared<RecordingIngestionDelegate>();
  ingestion->addDelegate(delegate);
  SendRecorder recorder;

  ingestion->sendAsync(makeContainer("batch-400"), std::nullopt, recorder.handler());
  ASSERT_TRUE(waitUntil([&] { return delegate->fatal.load() == 1; }));
  EXPECT_FALSE(ingestion->isEnabled());
  ASSERT_TRUE(waitUntil([&] { return !probe->stops().empty(); }, 30s));
  EXPECT_EQ(probe->stops(), std::vector<bool>{true});

  // Enabling again starts it; disabling from outside stops it, once each.
  ingestion->setEnabled(true, false);
  ingestion->setEnabled(false, false);
  EXPECT_EQ(probe->stops(), (std::vector<bool>{true, true}));
}

TEST(MSZerEvuzevIngestionStaticTest, ETagFromResponse) {
  vx::HTTPURLResponse response;
  response.headers.set("ETAG", "\"v1\"");
  EXPECT_EQ(MSHttpIngestion::eTagFromResponse(response), "\"v1\"");
  EXPECT_FALSE(MSHttpIngestion::eTagFromResponse(vx::HTTPURLResponse{}));
  EXPECT_FALSE(MSHttpIngestion::eTagFromResponse(std::nullopt));
}

}  // namespace
