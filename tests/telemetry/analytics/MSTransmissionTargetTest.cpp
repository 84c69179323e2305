// Transmission targets and their property configurators, started by the telemetry SDK over a
// real SQLite store: the tree of switches (persisted, shared by target key, forced off under a
// disabled parent), inherited default properties and common-schema extensions, the device id,
// the configurator under concurrent setters, pause and resume, and tickets from the
// authentication provider reaching the "Tickets" header at the local service's common-schema
// endpoint, which accepts the batch.
#include "telemetry/ZerEvuzevAnalytics/TransmissionTarget/MSAnalyticsTransmissionTarget.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/HostInfo.h"
#include "telemetry/ZerEvuzev/Context/MSSessionContext.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Context/MSUserIdContext.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzev/Ingestion/MSTicketCache.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"
#include "telemetry/ZerEvuzev/Storage/MSLogDBStorage.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalyticsCategory.h"
#include "telemetry/analytics/MSAnalyticsTestSupport.h"
#include "support/TemporaryFolder.h"
#include "support/URLSessionTesting.h"
#include "telemetry/support/MSTelemetryTestSupport.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr const char* kRootToken = "aaaa1111bbbb2222-root";
constexpr const char* kChildToken = "cccc3333dddd4444-child";

// The event logs and common-schema logs the group prepares, and the common-schema logs whose
// sending ended (a log counts as sent only after the service answered 200).
class PreparedLogs : public MSChannelDelegate {
 public:
  void channelPrepareLog(MSChannelProtocol*, const MSLogPtr& log) override {
    std::lock_guard lock(mutex);
    if (auto event = std::dynamic_pointer_cast<MSEventLog>(log)) events.push_back(event);
    if (auto cs = std::dynamic_pointer_cast<MSCommonSchemaLog>(log)) csLogs.push_back(cs);
  }
  void channelDidSucceedSendingLog(MSChannelProtocol*, const MSLogPtr& log) override {
    std::lock_guard lock(mutex);
    if (std::dynamic_pointer_cast<MSCommonSchemaLog>(log)) ++csSent;
  }
  void channelDidFailSendingLog(MSChannelProtocol*, const MSLogPtr& log, const std::optional<vx::Error>&) override {
    std::lock_guard lock(mutex);
    if (std::dynamic_pointer_cast<MSCommonSchemaLog>(log)) ++csFailed;
  }
  std::pair<std::size_t, std::size_t> csOutcomes() {
    std::lock_guard lock(mutex);
    return {csSent, csFailed};
  }
  std::shared_ptr<MSEventLog> lastEvent() {
    std::lock_guard lock(mutex);
    return events.empty() ? nullptr : events.back();
  }
  std::shared_ptr<MSCommonSchemaLog> lastCsLog() {
    std::lock_guard lock(mutex);
    return csLogs.empty() ? nullptr : csLogs.back();
  }
  std::mutex mutex;
  std::vector<std::shared_ptr<MSEventLog>> events;
  std::vector<std::shared_ptr<MSCommonSchemaLog>> csLogs;
  std::size_t csSent = 0;
  std::size_t csFailed = 0;
};

class AnsweringTokenSource : public MSAnalyticsAuthenticationProviderDelegate {
 public:
  void authenticationProviderAcquireToken(MSAnalyticsAuthenticationProvider&,
                                          const MSAcquireTokenCompletionBlock& completionHandler) override {
    ++requests;
    completionHandler(std::string("user-token"), vx::wallNow() + 1h);
  }
  int requests = 0;
};

std::map<std::string, std::int64_t> longProperties(const std::shared_ptr<MSEventLog>& event) {
  std::map<std::string, std::int64_t> values;
  if (!event || !event->typedProperties) return values;
  for (const auto& [key, property] : event->typedProperties->properties()) {
    if (auto number = std::dynamic_pointer_cast<MSLongTypedProperty>(property)) values[key] = number->value;
  }
  return values;
}

class MSTransmissionTargetTest : public MSAnalyticsServiceTest {
 protected:
  void resetMore() override {
    MSAnalyticsTransmissionTarget::setAuthenticationProvider(nullptr);
    MSTicketCache::sharedInstance().clearCache();
    MSUserIdContext::sharedInstance()->setUserId(std::nullopt);
    MSRemoveDefaults({"MSZerEvuzevIsEnabled", "kMSAnalyticsIsEnabledKey", "kMSAnalyticsIsEnabledKey/aaaa1111bbbb2222",
                      "kMSAnalyticsIsEnabledKey/cccc3333dddd4444", "kMSAnalyticsIsEnabledKey/eeee",
                      "kMSAnalyticsIsEnabledKey/ffff"});
    MSLogger::resetForTesting();
  }
  void start(const std::string& secret = kMSTestAppSecret, const std::string& logUrl = "http://127.0.0.1:9") {
    MSStartAnalytics(secret, logUrl, prepared);
  }
  void drain() { MSDrainLogs(); }
  std::size_t rows(const std::string& groupId) { return MSStoredLogCount(groupId); }

  std::shared_ptr<PreparedLogs> prepared = std::make_shared<PreparedLogs>();
};

TEST_F(MSTransmissionTargetTest, SwitchesFormATreeSharedByTargetKey) {
  vx::ScopedVirtualTime time;
  start();
  auto root = MSAnalytics::transmissionTargetForToken(kRootToken);
  EXPECT_EQ(MSAnalytics::transmissionTargetForToken(kRootToken), root) << "one target per token";
  EXPECT_EQ(root->isEnabledKey(), "kMSAnalyticsIsEnabledKey/aaaa1111bbbb2222");
  auto child = root->transmissionTargetForToken(kChildToken);
  EXPECT_EQ(root->transmissionTargetForToken(kChildToken), child);
  EXPECT_EQ(child->parentTarget(), root);
  EXPECT_TRUE(root->isEnabled());
  EXPECT_TRUE(child->isEnabled());

  // Tokens that differ only after the first "-" share one switch.
  auto sameKey = MSAnalytics::transmissionTargetForToken("aaaa1111bbbb2222-other");
  EXPECT_NE(sameKey, root);
  root->setEnabled(false);
  EXPECT_FALSE(sameKey->isEnabled());
  EXPECT_FALSE(child->isEnabled()) << "pushed to the children";

  MSLogRecorder recorder(MSLogLevel::Warning);
  child->setEnabled(true);
  EXPECT_EQ(recorder.count("Can't enable; parent transmission target and/or Analytics service is disabled."), 1u);
  EXPECT_FALSE(child->isEnabled());

  // A child made under a disabled parent starts disabled, whatever was stored for its key.
  MSUserDefaults::shared()->setObject(vx::Value(true), "kMSAnalyticsIsEnabledKey/eeee");
  auto late = root->transmissionTargetForToken("eeee-late");
  EXPECT_FALSE(late->isEnabled());

  root->setEnabled(true);
  EXPECT_TRUE(root->isEnabled());
  EXPECT_TRUE(child->isEnabled());
  EXPECT_TRUE(late->isEnabled());

  // The service's switch reaches the roots it handed out, and through them the subtree.
  MSServiceAbstract::setEnabled(MSAnalytics::sharedInstance(), false);
  EXPECT_FALSE(root->isEnabled());
  EXPECT_FALSE(child->isEnabled());
  MSServiceAbstract::setEnabled(MSAnalytics::sharedInstance(), true);
  EXPECT_TRUE(child->isEnabled());
  EXPECT_EQ(MSUserDefaults::shared()->objectForKey("kMSAnalyticsIsEnabledKey/cccc3333dddd4444")->boolValue(), true)
      << "switches are persisted";
}

TEST_F(MSTransmissionTargetTest, AnEventForADisabledTargetIsRefusedAndNotStored) {
  vx::ScopedVirtualTime time;
  start();
  auto root = MSAnalytics::transmissionTargetForToken(kRootToken);
  root->trackEvent("kept");
  EXPECT_EQ(rows("Analytics/one"), 1u) << "a target's event goes to the common-schema unit";
  EXPECT_EQ(rows("Analytics"), 1u) << "only the start-session log";
  root->setEnabled(false);
  MSLogRecorder recorder(MSLogLevel::Error);
  root->trackEvent("refused");
  EXPECT_EQ(recorder.count("This transmission target is disabled."), 1u);
  root->pause();
  EXPECT_EQ(recorder.count("This transmission target is disabled."), 2u);
  EXPECT_EQ(rows("Analytics/one"), 1u);
}

// Root defaults A = 1 and B = 1, child default A = 2.
TEST_F(MSTransmissionTargetTest, DefaultPropertiesAreInheritedNearestFirst) {
  vx::ScopedVirtualTime time;
  start();
  auto root = MSAnalytics::transmissionTargetForToken(kRootToken);
  auto child = root->transmissionTargetForToken(kChildToken);
  root->propertyConfigurator()->setEventPropertyInt64(1, std::string("A"));
  root->propertyConfigurator()->setEventPropertyInt64(1, std::string("B"));
  child->propertyConfigurator()->setEventPropertyInt64(2, std::string("A"));

  auto given = std::make_shared<MSEventProperties>();
  given->setInt64(3, std::string("B"));
  child->trackEvent("withB", given);
  EXPECT_EQ(longProperties(prepared->lastEvent()), (std::map<std::string, std::int64_t>{{"A", 2}, {"B", 3}}));
  child->trackEvent("withNone");
  EXPECT_EQ(longProperties(prepared->lastEvent()), (std::map<std::string, std::int64_t>{{"A", 2}, {"B", 1}}));
  auto bare = MSAnalytics::transmissionTargetForToken("ffff-bare");
  bare->trackEvent("bare");
  EXPECT_FALSE(prepared->lastEvent()->typedProperties) << "no properties anywhere: none at all";

  MSLogRecorder recorder(MSLogLevel::Verbose);
  root->propertyConfigurator()->removeEventPropertyForKey(std::string("absent"));
  EXPECT_TRUE(recorder.lines().empty());
  root->propertyConfigurator()->removeEventPropertyForKey(std::nullopt);
  EXPECT_EQ(recorder.count("Event property key to remove cannot be nil."), 1u);
  root->propertyConfigurator()->removeEventPropertyForKey(std::string("B"));
  child->trackEvent("afterRemoval");
  EXPECT_EQ(longProperties(prepared->lastEvent()), (std::map<std::string, std::int64_t>{{"A", 2}}));
}

TEST_F(MSTransmissionTargetTest, TheConfiguratorFillsExtensionsFromTheNearestAncestor) {
  vx::ScopedVirtualTime time;
  start();
  auto root = MSAnalytics::transmissionTargetForToken(kRootToken);
  auto child = root->transmissionTargetForToken(kChildToken);
  root->propertyConfigurator()->setAppVersion("1.0");
  root->propertyConfigurator()->setAppName("Vexelworks");
  root->propertyConfigurator()->setUserId("alice");
  EXPECT_EQ(root->propertyConfigurator()->userId(), "c:alice");

  child->trackEvent("fromChild");
  drain();
  auto cs = prepared->lastCsLog();
  ASSERT_TRUE(cs && cs->ext && cs->ext->appExt);
  EXPECT_EQ(cs->name, "fromChild");
  EXPECT_EQ(cs->ext->appExt->ver, "1.0") << "inherited from the root";
  EXPECT_EQ(cs->ext->appExt->name, "Vexelworks");
  EXPECT_EQ(cs->ext->userExt->localId, "c:alice");
  EXPECT_FALSE(cs->ext->deviceExt && cs->ext->deviceExt->localId) << "no device id before it is collected";

  child->propertyConfigurator()->setAppVersion("2.0");
  child->trackEvent("fromChildAgain");
  EXPECT_EQ(prepared->lastCsLog()->ext->appExt->ver, "2.0");
  root->trackEvent("fromRoot");
  EXPECT_EQ(prepared->lastCsLog()->ext->appExt->ver, "1.0") << "the child's value is for its own events";

  MSLogRecorder recorder(MSLogLevel::Error);
  for (const char* refused : {"c:", "x:bob", ""}) root->propertyConfigurator()->setUserId(std::string(refused));
  EXPECT_EQ(root->propertyConfigurator()->userId(), "c:alice") << "refused ids leave the previous one";
  EXPECT_EQ(recorder.lines().size(), 3u);

  child->propertyConfigurator()->collectDeviceId();
  child->trackEvent("withDevice");
  const auto uuid = vx::HostInfo::platformUUID();
  auto withDevice = prepared->lastCsLog();
  if (uuid) {
    EXPECT_EQ(withDevice->ext->deviceExt->localId, "u:" + *uuid);
  } else {
    EXPECT_FALSE(withDevice->ext->deviceExt && withDevice->ext->deviceExt->localId) << "no UUID: left unset";
  }
  root->trackEvent("rootAfterChildCollected");
  EXPECT_FALSE(prepared->lastCsLog()->ext->deviceExt && prepared->lastCsLog()->ext->deviceExt->localId)
      << "the device id is not inherited";
}

TEST_F(MSTransmissionTargetTest, OnlyTheDefaultTargetCarriesTheUserId) {
  vx::ScopedVirtualTime time;
  start(std::string("appsecret=") + kMSTestAppSecret + ";target=" + kRootToken);
  MSUserIdContext::sharedInstance()->setUserId(std::string("carol"));
  MSAnalytics::trackEvent("toDefault");
  EXPECT_EQ(prepared->lastEvent()->userId, "carol");
  EXPECT_EQ(prepared->lastEvent()->transmissionTargetTokens(), (std::set<std::string>{kRootToken}));
  MSAnalytics::transmissionTargetForToken(kChildToken)->trackEvent("toAnother");
  EXPECT_FALSE(prepared->lastEvent()->userId);
}

// Children asked for from several threads: one child per token.
TEST_F(MSTransmissionTargetTest, ChildrenAreMadeOncePerTokenAcrossThreads) {
  vx::ScopedVirtualTime time;
  start();
  auto root = MSAnalytics::transmissionTargetForToken(kRootToken);
  std::vector<std::thread> threads;
  std::vector<std::vector<std::shared_ptr<MSAnalyticsTransmissionTarget>>> seen(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) seen[t].push_back(root->transmissionTargetForToken("k" + std::to_string(i) + "-x"));
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(root->childTransmissionTargets().size(), 20u);
  for (int t = 1; t < 4; ++t) EXPECT_EQ(seen[t], seen[0]);
}

// The numbered value "<prefix><n>" as n; -1 for anything else (a torn or foreign value).
int numberAfter(const std::string& prefix, const std::optional<std::string>& text) {
  if (!text || text->rfind(prefix, 0) != 0 || text->size() == prefix.size()) return -1;
  const std::string digits = text->substr(prefix.size());
  if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 6) return -1;
  return std::stoi(digits);
}

// What one reader saw of one field, in order: -1 before the first value, else the value's number.
bool seenInOrder(const std::vector<int>& seen, int limit) {
  int previous = -1;
  for (int n : seen) {
    if (n < previous || n >= limit) return false;
    previous = n;
  }
  return true;
}

// Setters on several threads while the configurator fills logs and merges its default properties
// on others: every log and merge sees whole values that were set, each writer's values in the
// order it set them, and the last values win.
TEST_F(MSTransmissionTargetTest, TheConfiguratorTakesSettersAndPreparesAtOnce) {
  vx::ScopedVirtualTime time;
  start();
  auto root = MSAnalytics::transmissionTargetForToken(kRootToken);
  auto child = root->transmissionTargetForToken(kChildToken);
  auto rootConfigurator = root->propertyConfigurator();
  auto configurator = child->propertyConfigurator();
  const auto deviceId = MSPropertyConfigurator::getDeviceIdentifier();
  constexpr int kRounds = 400;
  std::atomic<int> writersLeft{4};

  std::vector<std::thread> writers;
  writers.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      configurator->setAppVersion("ver-" + std::to_string(i));
      if (i == kRounds / 2) configurator->collectDeviceId();
    }
    --writersLeft;
  });
  writers.emplace_back([&] {
    // The name comes from the root: the child's walk upwards reads another node's fields.
    for (int i = 0; i < kRounds; ++i) rootConfigurator->setAppName("name-" + std::to_string(i));
    --writersLeft;
  });
  writers.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) configurator->setUserId("user-" + std::to_string(i));
    --writersLeft;
  });
  writers.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      configurator->setEventPropertyInt64(i, std::string("counter"));
      configurator->setEventPropertyString(std::string("x"), std::string("temp"));
      configurator->removeEventPropertyForKey(std::string("temp"));
    }
    --writersLeft;
  });

  // Readers go on until every writer is done, and make at least a few passes in any case.
  struct Filled {
    std::vector<int> versions, names, users;
    std::size_t foreignDeviceIds = 0;
    std::size_t unfilled = 0;
    std::size_t passes = 0;
  } filled;
  struct Merged {
    std::vector<int> counters;
    std::size_t badTemps = 0;
    std::size_t passes = 0;
  } merged;
  std::thread preparer([&] {
    while (writersLeft > 0 || filled.passes < 10) {
      auto log = std::make_shared<MSCommonSchemaLog>();
      log->tag = child;
      configurator->channelPrepareLog(nullptr, log);
      ++filled.passes;
      if (!log->ext || !log->ext->appExt) {
        ++filled.unfilled;
        continue;
      }
      const auto& ext = *log->ext;
      filled.versions.push_back(ext.appExt->ver ? numberAfter("ver-", ext.appExt->ver) : -1);
      filled.names.push_back(ext.appExt->name ? numberAfter("name-", ext.appExt->name) : -1);
      filled.users.push_back(ext.userExt ? numberAfter("c:user-", ext.userExt->localId) : -1);
      const auto device = ext.deviceExt ? ext.deviceExt->localId : std::nullopt;
      if (device && device != deviceId) ++filled.foreignDeviceIds;
    }
  });
  std::thread merger([&] {
    while (writersLeft > 0 || merged.passes < 10) {
      MSEventProperties properties;
      configurator->mergeTypedPropertiesWith(properties);
      const auto counter = std::dynamic_pointer_cast<MSLongTypedProperty>(properties.propertyForKey("counter"));
      merged.counters.push_back(counter ? static_cast<int>(counter->value) : -1);
      if (properties.containsKey("temp")) {
        const auto temp = std::dynamic_pointer_cast<MSStringTypedProperty>(properties.propertyForKey("temp"));
        if (!temp || temp->value != "x") ++merged.badTemps;
      }
      ++merged.passes;
    }
  });
  for (auto& writer : writers) writer.join();
  preparer.join();
  merger.join();

  EXPECT_TRUE(seenInOrder(filled.versions, kRounds));
  EXPECT_TRUE(seenInOrder(filled.names, kRounds));
  EXPECT_TRUE(seenInOrder(filled.users, kRounds));
  EXPECT_EQ(filled.unfilled, 0u);
  EXPECT_EQ(filled.foreignDeviceIds, 0u);
  EXPECT_TRUE(seenInOrder(merged.counters, kRounds));
  EXPECT_EQ(merged.badTemps, 0u);

  // The last values stand, in the configurators and in the next log.
  EXPECT_EQ(configurator->appVersion(), "ver-" + std::to_string(kRounds - 1));
  EXPECT_EQ(rootConfigurator->appName(), "name-" + std::to_string(kRounds - 1));
  EXPECT_EQ(configurator->userId(), "c:user-" + std::to_string(kRounds - 1));
  EXPECT_EQ(configurator->deviceId(), deviceId);
  auto log = std::make_shared<MSCommonSchemaLog>();
  log->tag = child;
  configurator->channelPrepareLog(nullptr, log);
  EXPECT_EQ(log->ext->appExt->ver, "ver-" + std::to_string(kRounds - 1));
  EXPECT_EQ(log->ext->appExt->name, "name-" + std::to_string(kRounds - 1));
  ASSERT_TRUE(log->ext->userExt);
  EXPECT_EQ(log->ext->userExt->localId, "c:user-" + std::to_string(kRounds - 1));
  const auto defaults = configurator->eventProperties();
  ASSERT_EQ(defaults->count(), 1u) << "the temporary key is gone";
  const auto counter = std::dynamic_pointer_cast<MSLongTypedProperty>(defaults->propertyForKey("counter"));
  ASSERT_TRUE(counter);
  EXPECT_EQ(counter->value, kRounds - 1);
}

// A paused target's logs wait in the store; resumed, they go out carrying the provider's ticket.
TEST_F(MSTransmissionTargetTest, TicketsReachTheTicketsHeaderAndPausedTargetsWait) {
  vx::ScopedVirtualTime time;
  vx::devservice::DevService service;
  ASSERT_TRUE(service.start().ok());
  start(std::string("target=") + kRootToken, service.baseURL());
  auto tokens = std::make_shared<AnsweringTokenSource>();
  auto provider = std::make_shared<MSAnalyticsAuthenticationProvider>(MSAnalyticsAuthenticationType::Delegated,
                                                                      std::string("user@example.com"), tokens);
  MSAnalyticsTransmissionTarget::addAuthenticationProvider(provider);
  EXPECT_EQ(tokens->requests, 1) << "one request at registration";

  auto root = MSAnalytics::transmissionTargetForToken(kRootToken);
  root->pause();
  MSAnalytics::trackEvent("ticketed");
  drain();
  ASSERT_TRUE(prepared->lastCsLog());
  EXPECT_EQ(prepared->lastCsLog()->ext->protocolExt->ticketKeys,
            (std::vector<std::string>{MSUtility::sha256("user@example.com")}));
  time.advance(3s);
  drain();
  EXPECT_TRUE(service.requests("/UniCollector/1\\.0").empty()) << "paused by target key";

  root->resume();
  drain();
  time.advance(3s);
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return !service.requests("/UniCollector/1\\.0").empty(); },
                                    std::chrono::seconds(60)));
  const auto request = service.requests("/UniCollector/1\\.0")[0];
  const auto tickets = nlohmann::json::parse(request.header("Tickets").value_or("{}"));
  EXPECT_EQ(tickets, nlohmann::json({{MSUtility::sha256("user@example.com"), "d:user-token"}}));
  EXPECT_NE(request.body.find("\"ticketed\""), std::string::npos);
  EXPECT_EQ(tokens->requests, 1) << "the token is far from its expiry";

  // The service accepted it: the client took a 200, and the service kept the batch (it keeps only
  // what it answered 200) with the same tickets.
  const auto lineCount = static_cast<std::size_t>(std::count(request.body.begin(), request.body.end(), '\n'));
  ASSERT_TRUE(vx::RunLoop::runUntil(
      [&] {
        const auto [sent, failed] = prepared->csOutcomes();
        return sent + failed >= lineCount;
      },
      std::chrono::seconds(60)));
  EXPECT_EQ(prepared->csOutcomes(), (std::pair<std::size_t, std::size_t>{lineCount, 0}));
  auto session = vx::URLSession::make();
  const auto received = vx::testing::fetch(*session, vx::URLRequest(service.url("/UniCollector/received")));
  ASSERT_EQ(received.status(), 200);
  const auto batches = nlohmann::json::parse(received.text());
  ASSERT_EQ(batches.size(), 1u) << received.text();
  EXPECT_EQ(batches[0]["uploadTime"], request.header("Upload-Time").value_or(""));
  EXPECT_EQ(batches[0]["tickets"], tickets);
  ASSERT_EQ(batches[0]["lines"].size(), lineCount);
  EXPECT_NE(batches[0]["lines"].dump().find("\"name\":\"ticketed\""), std::string::npos);
}

// The ticket key goes only on the common-schema logs of an enabled target while a provider is
// registered, and then exactly one: the provider's key hash.
TEST_F(MSTransmissionTargetTest, TicketKeysOnlyForAnEnabledTargetWithAProvider) {
  vx::ScopedVirtualTime time;
  start();
  auto target = MSAnalytics::transmissionTargetForToken(kRootToken);
  const auto csLogFor = [](const std::string& token) {
    auto log = std::make_shared<MSCommonSchemaLog>();
    log->setTransmissionTargetTokens({token});
    log->ext = std::make_shared<MSCSExtensions>();
    log->ext->protocolExt = std::make_shared<MSProtocolExtension>();
    log->ext->protocolExt->ticketKeys = std::vector<std::string>{"earlier"};
    return log;
  };
  auto withoutProvider = csLogFor(kRootToken);
  target->channelPrepareLog(nullptr, withoutProvider);
  EXPECT_EQ(withoutProvider->ext->protocolExt->ticketKeys, std::vector<std::string>{"earlier"});

  auto tokens = std::make_shared<AnsweringTokenSource>();
  MSAnalyticsTransmissionTarget::addAuthenticationProvider(std::make_shared<MSAnalyticsAuthenticationProvider>(
      MSAnalyticsAuthenticationType::Compact, std::string("key"), tokens));
  auto enabled = csLogFor(kRootToken);
  target->channelPrepareLog(nullptr, enabled);
  EXPECT_EQ(enabled->ext->protocolExt->ticketKeys, std::vector<std::string>{MSUtility::sha256("key")});
  auto otherTarget = csLogFor(kChildToken);
  target->channelPrepareLog(nullptr, otherTarget);
  EXPECT_EQ(otherTarget->ext->protocolExt->ticketKeys, std::vector<std::string>{"earlier"}) << "not its token";

  target->setEnabled(false);
  auto disabled = csLogFor(kRootToken);
  target->channelPrepareLog(nullptr, disabled);
  EXPECT_EQ(disabled->ext->protocolExt->ticketKeys, std::vector<std::string>{"earlier"});

  MSLogRecorder recorder(MSLogLevel::Error);
  MSAnalyticsTransmissionTarget::addAuthenticationProvider(nullptr);
  EXPECT_EQ(recorder.count("Authentication provider may not be null."), 1u);
  EXPECT_TRUE(MSAnalyticsTransmissionTarget::authenticationProvider()) << "the earlier provider stays";
}

TEST(MSPlatformUUIDTest, TheDmiUuidThenTheMachineIdElseNothing) {
  const vx::test::TemporaryFolder temporary("vx-uuid");
  const auto& folder = temporary.path();
  std::filesystem::create_directories(folder / "dmi");
  const auto write = [](const std::filesystem::path& path, const std::string& text) { std::ofstream(path) << text; };
  const auto machineId = (folder / "machine-id").string();
  write(machineId, "0123456789abcdef0123456789abcdef\n");
  write(folder / "dmi" / "product_uuid", "4c4c4544-0042-3510-8052-b4c04f4b4e32\n");
  EXPECT_EQ(vx::HostInfo::platformUUID((folder / "dmi").string(), machineId), "4C4C4544-0042-3510-8052-B4C04F4B4E32");
  std::filesystem::remove(folder / "dmi" / "product_uuid");
  EXPECT_EQ(vx::HostInfo::platformUUID((folder / "dmi").string(), machineId), "01234567-89AB-CDEF-0123-456789ABCDEF");
  write(machineId, "not a machine id");
  EXPECT_FALSE(vx::HostInfo::platformUUID((folder / "dmi").string(), machineId));
  EXPECT_FALSE(vx::HostInfo::platformUUID((folder / "dmi").string(), (folder / "missing").string()));
  const auto live = MSPropertyConfigurator::getDeviceIdentifier();
  if (live) {
    EXPECT_EQ(live->substr(0, 2), "u:");
    EXPECT_EQ(live->size(), 38u);
  }
}

}  // namespace
