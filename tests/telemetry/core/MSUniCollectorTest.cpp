// Common-schema mirroring: twin units, per-tenant numbering under concurrent enqueueing,
// filtering and name rules, the ticket cache, the request the common-schema ingestion builds,
// and logs with target tokens that reach the local service's common-schema endpoint.
#include "telemetry/ZerEvuzev/Channel/MSUniCollectorChannelDelegate.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzev/Ingestion/MSHttpUtil.h"
#include "telemetry/ZerEvuzev/Ingestion/MSTicketCache.h"
#include "telemetry/ZerEvuzev/Ingestion/MSUniCollectorIngestion.h"
#include "telemetry/ZerEvuzev/Ingestion/MSZEErrors.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include "platform/foundation/Clock.h"
#include "platform/security/Gzip.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>
#include <thread>

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

std::shared_ptr<MSCommonSchemaLog> csLog(const std::string& name, const std::string& token) {
  auto log = tokenLog(name, {token})->toCommonSchemaLogForTargetToken(token, 0);
  log->name = name;
  return log;
}

class MSUniCollectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MSZerEvuzev::resetSharedInstance();
    MSAnalytics::resetSharedInstance();
    MSUserDefaults::shared()->removeObjectForKey("MSZerEvuzevIsEnabled");
    MSUserDefaults::shared()->removeObjectForKey("kMSAnalyticsIsEnabledKey");
    MSTicketCache::sharedInstance().clearCache();
  }
  void TearDown() override {
    if (auto group = MSZerEvuzev::sharedInstance()->channelGroup()) group->logsDispatchQueue()->sync([] {});
    MSZerEvuzev::resetSharedInstance();
    MSAnalytics::resetSharedInstance();
    MSTicketCache::sharedInstance().clearCache();
    MSLogger::resetForTesting();
  }
};

TEST_F(MSUniCollectorTest, EachOrdinaryUnitGetsOneTwinWithItsFlushInterval) {
  auto analytics = MSAnalytics::sharedInstance();
  analytics->setFlushInterval(7);
  MSZerEvuzev::start(std::string("target=") + kTokenA, {analytics});
  auto sdk = MSZerEvuzev::sharedInstance();
  auto delegate = sdk->uniCollectorChannelDelegate();
  ASSERT_TRUE(delegate);
  auto twin = delegate->uniCollectorChannelForGroupId("Analytics");
  ASSERT_TRUE(twin);
  EXPECT_EQ(twin->configuration().groupId(), "Analytics/one");
  EXPECT_EQ(twin->configuration().flushInterval(), 7u);
  EXPECT_TRUE(delegate->uniCollectorChannelForGroupId("ZerEvuzev")) << "the core unit has a twin too";
  EXPECT_FALSE(delegate->uniCollectorChannelForGroupId("Analytics/one"));
  EXPECT_FALSE(sdk->channelGroup()->channelUnitForGroupId("Analytics/one/one"));
  EXPECT_EQ(sdk->channelGroup()->channelUnitForGroupId("Analytics/one"), twin);
}

TEST_F(MSUniCollectorTest, TenantsAreNumberedFromOneAndAGroupWipeStartsANewEpoch) {
  const auto installId = vx::UUID::make();
  MSUniCollectorChannelDelegate delegate(installId, std::nullopt);
  EXPECT_EQ(delegate.baseUrl(), MSUniCollectorChannelDelegate::kMSUniCollectorDefaultBaseUrl);
  std::vector<std::shared_ptr<MSCommonSchemaLog>> logs;
  for (int i = 0; i < 3; ++i) logs.push_back(csLog("eventName", kTokenA));
  logs.push_back(csLog("eventName", kTokenB));
  for (const auto& log : logs) delegate.channelPrepareLog(nullptr, log);
  EXPECT_EQ(logs[0]->ext->sdkExt->seq, 1);
  EXPECT_EQ(logs[1]->ext->sdkExt->seq, 2);
  EXPECT_EQ(logs[2]->ext->sdkExt->seq, 3);
  EXPECT_EQ(logs[0]->ext->sdkExt->epoch, logs[2]->ext->sdkExt->epoch);
  EXPECT_EQ(logs[3]->ext->sdkExt->seq, 1);
  EXPECT_NE(logs[3]->ext->sdkExt->epoch, logs[0]->ext->sdkExt->epoch);
  EXPECT_EQ(logs[0]->ext->sdkExt->installId, installId);

  // A disabled unit is not the group: the numbers stay.
  auto group = MSChannelGroupDefault::make(vx::UUID::make(), "http://127.0.0.1:9");
  auto unit = group->addChannelUnitWithConfiguration(std::make_shared<MSChannelUnitConfiguration>("Unit"));
  delegate.channelDidSetEnabled(unit.get(), false, true);
  EXPECT_EQ(delegate.epochAndSeqForIKey(*logs[0]->iKey)->seq, 3u);
  delegate.channelDidSetEnabled(group.get(), false, false);
  EXPECT_TRUE(delegate.epochAndSeqForIKey(*logs[0]->iKey)) << "disabled without deletion";
  delegate.channelDidSetEnabled(group.get(), false, true);
  auto next = csLog("eventName", kTokenA);
  delegate.channelPrepareLog(nullptr, next);
  EXPECT_EQ(next->ext->sdkExt->seq, 1);
  EXPECT_NE(next->ext->sdkExt->epoch, logs[0]->ext->sdkExt->epoch);
  group->logsDispatchQueue()->sync([] {});
}

// Logs of one tenant enqueued from several threads at once: every number from 1 to N exactly once.
TEST_F(MSUniCollectorTest, ConcurrentNumberingGivesEachSequenceNumberOnce) {
  MSUniCollectorChannelDelegate delegate(vx::UUID::make(), std::nullopt);
  constexpr int kThreads = 4;
  constexpr int kPerThread = 250;
  std::vector<std::vector<std::shared_ptr<MSCommonSchemaLog>>> logs(kThreads);
  for (auto& batch : logs) {
    for (int i = 0; i < kPerThread; ++i) batch.push_back(csLog("eventName", kTokenA));
  }
  std::vector<std::thread> threads;
  for (auto& batch : logs) {
    threads.emplace_back([&delegate, &batch] {
      for (const auto& log : batch) delegate.channelPrepareLog(nullptr, log);
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::int64_t> seen;
  std::set<std::string> epochs;
  for (const auto& batch : logs) {
    for (const auto& log : batch) {
      seen.insert(log->ext->sdkExt->seq);
      epochs.insert(*log->ext->sdkExt->epoch);
    }
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kPerThread));
  EXPECT_EQ(*seen.begin(), 1);
  EXPECT_EQ(*seen.rbegin(), kThreads * kPerThread);
  EXPECT_EQ(epochs.size(), 1u);
}

TEST_F(MSUniCollectorTest, LogNamesFollowTheRule) {
  MSLogRecorder recorder(MSLogLevel::Error);
  const struct {
    std::optional<std::string> name;
    bool valid;
  } cases[] = {
      {std::nullopt, false},
      {"", false},
      {"a", false},
      {"abc", false},
      {"abc.", false},
      {"abcd", true},
      {"a.b.c_d", true},
      {"a..bc", false},
      {"_abc", false},
      {".abc", false},
      {"ab-cd", false},
      {std::string(100, 'a'), true},
      {std::string(101, 'a'), false},
      {std::string(200000, 'a'), false},
      {"caf\xc3\xa9x", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MSUniCollectorChannelDelegate::validateLogName(c.name), c.valid)
        << (c.name ? c.name->substr(0, 20) : "(none)");
  }
  EXPECT_EQ(recorder.count("Log validation failed. Name must not be nil or empty."), 2u);
  EXPECT_GE(recorder.count("Log validation failed. Name must match"), 1u);
}

TEST_F(MSUniCollectorTest, FilteringKeepsTokenLogsOutOfOrdinaryUnits) {
  MSUniCollectorChannelDelegate delegate(vx::UUID::make(), std::nullopt);
  auto group = MSChannelGroupDefault::make(vx::UUID::make(), "http://127.0.0.1:9");
  auto ordinary = group->addChannelUnitWithConfiguration(std::make_shared<MSChannelUnitConfiguration>("Unit"));
  auto twin = group->addChannelUnitWithConfiguration(std::make_shared<MSChannelUnitConfiguration>("Unit/one"));
  auto plain = tokenLog("plainLog", {});
  auto withToken = tokenLog("tokenLog", {kTokenA});
  EXPECT_FALSE(delegate.channelUnitShouldFilterLog(ordinary.get(), plain));
  EXPECT_TRUE(delegate.channelUnitShouldFilterLog(ordinary.get(), withToken));
  EXPECT_TRUE(delegate.channelUnitShouldFilterLog(ordinary.get(), csLog("goodName", kTokenA)));
  EXPECT_FALSE(delegate.channelUnitShouldFilterLog(twin.get(), csLog("goodName", kTokenA)));
  EXPECT_TRUE(delegate.channelUnitShouldFilterLog(twin.get(), csLog("ab", kTokenA)));
  EXPECT_TRUE(MSUniCollectorChannelDelegate::shouldSendLogToUniCollector(withToken));
  EXPECT_FALSE(MSUniCollectorChannelDelegate::shouldSendLogToUniCollector(plain));
  EXPECT_FALSE(MSUniCollectorChannelDelegate::shouldSendLogToUniCollector(csLog("goodName", kTokenA)));
  group->logsDispatchQueue()->sync([] {});
}

TEST_F(MSUniCollectorTest, TheTicketCacheIsSafeFromManyThreads) {
  auto& cache = MSTicketCache::sharedInstance();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&cache, t] {
      for (int i = 0; i < 500; ++i) {
        const std::string key = "key" + std::to_string(i % 10);
        cache.setTicket("p:" + std::to_string(t), key);
        (void)cache.ticketFor(key);
        if (i % 50 == 0) cache.setTicket(std::nullopt, key);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  cache.setTicket("d:ticket", "k");
  EXPECT_EQ(cache.ticketFor("k"), "d:ticket");
  cache.setTicket(std::nullopt, "k");
  EXPECT_FALSE(cache.ticketFor("k"));
  cache.setTicket("d:ticket", "k");
  cache.clearCache();
  EXPECT_FALSE(cache.ticketFor("k"));
}

class MSUniCollectorIngestionTest : public MSUniCollectorTest {
 protected:
  std::shared_ptr<MSUniCollectorIngestion> ingestion =
      MSHttpIngestion::make<MSUniCollectorIngestion>("http://127.0.0.1:9");
};

TEST_F(MSUniCollectorIngestionTest, RequestHeadersAndLines) {
  EXPECT_EQ(ingestion->sendURL(), "http://127.0.0.1:9/UniCollector/1.0");
  EXPECT_EQ(ingestion->maxNumberOfConnections(), 2u);
  auto first = csLog("eventOne", kTokenA);
  auto second = csLog("eventTwo", kTokenA);
  auto container = std::make_shared<MSLogContainer>("batch", std::vector<MSLogPtr>{first, second});
  vx::ScopedVirtualTime time;
  const auto request = ingestion->createRequest(container, std::nullopt, std::string("auth-token"));
  ASSERT_TRUE(request);
  EXPECT_EQ(request->httpMethod, "POST");
  EXPECT_EQ(request->headers.value("apikey"), kTokenA) << "one token, once";
  EXPECT_EQ(request->headers.value("Content-Type"), "application/x-json-stream; charset=utf-8");
  EXPECT_EQ(request->headers.value("Client-Version"), "ACS-iOS-ObjectiveC-no-" + MSUtility::sdkVersion() + "-no");
  EXPECT_EQ(request->headers.value("Upload-Time"),
            std::to_string(static_cast<long long>(MSUtility::nowInMilliseconds())));
  EXPECT_FALSE(request->headers.value("Tickets")) << "no ticket keys";
  EXPECT_FALSE(request->headers.value("Authorization"));
  const std::string body(request->body.begin(), request->body.end());
  EXPECT_EQ(body, *first->serializeLogWithPrettyPrinting(false) + "\n" +
                      *second->serializeLogWithPrettyPrinting(false) + "\n");

  auto other = csLog("eventTwo", kTokenB);
  const auto both = ingestion->createRequest(std::make_shared<MSLogContainer>("b", std::vector<MSLogPtr>{first, other}),
                                             std::nullopt, std::nullopt);
  const auto apiKey = *both->headers.value("apikey");
  EXPECT_TRUE(apiKey == std::string(kTokenA) + "," + kTokenB || apiKey == std::string(kTokenB) + "," + kTokenA);
}

TEST_F(MSUniCollectorIngestionTest, TicketsComeFromTheCacheAndAreMaskedInLogs) {
  auto log = csLog("eventOne", kTokenA);
  log->ext->protocolExt = std::make_shared<MSProtocolExtension>();
  log->ext->protocolExt->ticketKeys = std::vector<std::string>{"known", "unknown"};
  auto container = std::make_shared<MSLogContainer>("batch", std::vector<MSLogPtr>{log});
  EXPECT_FALSE(ingestion->createRequest(container, std::nullopt, std::nullopt)->headers.value("Tickets"))
      << "no key in the cache";
  MSTicketCache::sharedInstance().setTicket("p:secret-ticket", "known");
  const auto request = ingestion->createRequest(container, std::nullopt, std::nullopt);
  EXPECT_EQ(request->headers.value("Tickets"), R"({"known":"p:secret-ticket"})");
  EXPECT_EQ(ingestion->obfuscateHeaderValue(R"({"known":"p:secret-ticket","k2":"d:x"})", "Tickets"),
            R"({"known":"p:***","k2":"d:***"})");
  EXPECT_EQ(ingestion->obfuscateHeaderValue("abcdefghijkl,mnopqrstuvwx", "apikey"),
            MSHttpUtil::hideSecret("abcdefghijkl") + "," + MSHttpUtil::hideSecret("mnopqrstuvwx"));
  EXPECT_EQ(ingestion->obfuscateHeaderValue("plain", "Upload-Time"), "plain");
}

TEST_F(MSUniCollectorIngestionTest, BodiesFrom1400BytesAreGzipped) {
  auto log = csLog("eventOne", kTokenA);
  const std::size_t lineSize = log->serializeLogWithPrettyPrinting(false)->size() + 1;
  for (const std::size_t size : {std::size_t{1399}, std::size_t{1400}}) {
    auto sized = csLog("eventOne", kTokenA);
    sized->data = std::make_shared<MSCSData>();
    // "data":{"p":"xxx"} adds 17 bytes plus the value; fill up to the wanted size.
    const std::size_t base = lineSize + std::string(R"(,"data":{"p":""})").size();
    ASSERT_LT(base, size);
    sized->data->properties = MSJson{{"p", std::string(size - base, 'x')}};
    auto container = std::make_shared<MSLogContainer>("batch", std::vector<MSLogPtr>{sized});
    const auto request = ingestion->createRequest(container, std::nullopt, std::nullopt);
    ASSERT_TRUE(request);
    if (size == 1399) {
      ASSERT_EQ(request->body.size(), 1399u) << "the filler is sized wrong";
      EXPECT_FALSE(request->headers.value("Content-Encoding"));
    } else {
      EXPECT_EQ(request->headers.value("Content-Encoding"), "gzip");
      const auto plain = vx::gzipDecompress(request->body);
      ASSERT_TRUE(plain.ok());
      EXPECT_EQ(plain.value().size(), 1400u);
    }
  }
}

TEST_F(MSUniCollectorIngestionTest, InvalidContainersNeverReachTheNetwork) {
  for (const auto& container :
       {std::shared_ptr<MSLogContainer>(), std::make_shared<MSLogContainer>("empty", std::vector<MSLogPtr>{})}) {
    std::optional<vx::Error> error;
    ingestion->sendAsync(container, std::nullopt,
                         [&](const std::string&, const std::optional<vx::HTTPURLResponse>& response, const vx::Bytes&,
                             const std::optional<vx::Error>& e) {
                           EXPECT_FALSE(response);
                           error = e;
                         });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kMSZELogInvalidContainerErrorCode);
    EXPECT_EQ(error->description, "Invalid log container.");
  }
  EXPECT_TRUE(ingestion->pendingCalls().empty());
}

}  // namespace
