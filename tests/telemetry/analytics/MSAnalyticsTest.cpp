// The analytics service started by the telemetry SDK against the local service and a real SQLite
// store: a tracked event goes out in a batch after its session's start-session log and carries
// its id; flags choose the unit; invalid events never reach the store; the validation limits and
// messages; the transmission interval; disabling and enabling with the missed page view; pause
// and resume; the application delegate's send callbacks.
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"
#include "telemetry/ZerEvuzev/Context/MSSessionContext.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzev/Storage/MSLogDBStorage.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSStartSessionLog.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalyticsCategory.h"
#include "telemetry/analytics/MSAnalyticsTestSupport.h"
#include "telemetry/support/MSTelemetryTestSupport.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Records every log the channel group prepares and every pause and resume.
class PreparedLogs : public MSChannelDelegate {
 public:
  void channelPrepareLog(MSChannelProtocol*, const MSLogPtr& log) override {
    std::lock_guard lock(mutex);
    logs.push_back(log);
  }
  // Counted for the service's own units ("Analytics", "Analytics_critical"), not their mirrors.
  void channelDidPauseWithIdentifyingObject(MSChannelProtocol* channel, const MSIdentifyingObject&) override {
    paused += isAnalyticsUnit(channel) ? 1 : 0;
  }
  void channelDidResumeWithIdentifyingObject(MSChannelProtocol* channel, const MSIdentifyingObject&) override {
    resumed += isAnalyticsUnit(channel) ? 1 : 0;
  }
  static bool isAnalyticsUnit(MSChannelProtocol* channel) {
    auto* unit = dynamic_cast<MSChannelUnitProtocol*>(channel);
    return unit != nullptr && unit->configuration().groupId().starts_with("Analytics") &&
           !unit->configuration().groupId().ends_with("/one");
  }
  std::vector<std::string> pageNames() {
    std::lock_guard lock(mutex);
    std::vector<std::string> names;
    for (const auto& log : logs) {
      if (auto page = std::dynamic_pointer_cast<MSPageLog>(log)) names.push_back(page->name.value_or(""));
    }
    return names;
  }
  std::size_t sessionStarts() {
    std::lock_guard lock(mutex);
    std::size_t n = 0;
    for (const auto& log : logs) n += std::dynamic_pointer_cast<MSStartSessionLog>(log) ? 1 : 0;
    return n;
  }
  std::mutex mutex;
  std::vector<MSLogPtr> logs;
  std::atomic<int> paused{0}, resumed{0};
};

class RecordingAnalyticsDelegate : public MSAnalyticsDelegate {
 public:
  void analyticsWillSendEventLog(MSAnalytics&, const std::shared_ptr<MSEventLog>& log) override {
    add("willSendEvent " + log->name.value_or(""));
  }
  void analyticsWillSendPageLog(MSAnalytics&, const std::shared_ptr<MSPageLog>& log) override {
    add("willSendPage " + log->name.value_or(""));
  }
  void analyticsDidSucceedSendingEventLog(MSAnalytics&, const std::shared_ptr<MSEventLog>& log) override {
    add("sentEvent " + log->name.value_or(""));
  }
  void analyticsDidSucceedSendingPageLog(MSAnalytics&, const std::shared_ptr<MSPageLog>& log) override {
    add("sentPage " + log->name.value_or(""));
  }
  void add(std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
  }
  std::vector<std::string> received() {
    std::lock_guard lock(mutex);
    return events;
  }
  std::mutex mutex;
  std::vector<std::string> events;
};

class MSAnalyticsTest : public MSAnalyticsServiceTest {
 protected:
  void resetMore() override {
    MSAnalyticsCategory::resetForTesting();
    MSRemoveDefaults({"MSZerEvuzevIsEnabled", "kMSAnalyticsIsEnabledKey"});
    MSLogger::resetForTesting();
  }

  // Starts the SDK with the analytics service; its logs go to `logUrl`.
  std::shared_ptr<MSAnalytics> start(const std::string& logUrl = "http://127.0.0.1:9") {
    return MSStartAnalytics(kMSTestAppSecret, logUrl, prepared);
  }
  void drain() { MSDrainLogs(); }
  std::size_t rows(const std::string& groupId) { return MSStoredLogCount(groupId); }

  std::shared_ptr<PreparedLogs> prepared = std::make_shared<PreparedLogs>();
};

// Every log of every batch that reached the ingestion endpoint, in order.
std::vector<nlohmann::json> receivedLogs(const vx::devservice::DevService& service) {
  std::vector<nlohmann::json> logs;
  for (const auto& request : service.requests("/logs")) {
    const auto body = nlohmann::json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.contains("logs")) continue;
    for (const auto& log : body["logs"]) logs.push_back(log);
  }
  return logs;
}

TEST_F(MSAnalyticsTest, ATrackedEventGoesOutAfterItsSessionStartAndCarriesItsId) {
  vx::ScopedVirtualTime time;
  vx::devservice::DevService service;
  ASSERT_TRUE(service.start().ok());
  auto delegate = std::make_shared<RecordingAnalyticsDelegate>();
  MSAnalytics::setDelegate(delegate);
  MSLogRecorder recorder(MSLogLevel::Warning);
  start(service.baseURL());
  MSAnalytics::trackEvent("iconExported", vx::ValueMap{{"format", vx::Value(std::string("svg"))},
                                                       {"size", vx::Value(std::string("300"))},
                                                       {"count", vx::Value(std::int64_t{3})}});
  MSAnalytics::trackEvent("onlyInvalid", vx::ValueMap{{"n", vx::Value(1.5)}});
  MSAnalytics::trackEvent("");
  MSAnalytics::trackPage("Search");
  drain();
  time.advance(3s);
  ASSERT_TRUE(vx::RunLoop::runUntil(
      [&] {
        std::size_t analyticsLogs = 0;
        for (const auto& log : receivedLogs(service)) analyticsLogs += log["type"] != "startService" ? 1 : 0;
        return analyticsLogs >= 4;
      },
      std::chrono::seconds(60)));
  std::vector<nlohmann::json> logs;
  for (const auto& log : receivedLogs(service)) {
    if (log["type"] != "startService") logs.push_back(log);
  }
  ASSERT_EQ(logs.size(), 4u);
  EXPECT_EQ(logs[0]["type"], "startSession");
  const std::string sid = logs[0]["sid"];
  EXPECT_EQ(sid, *MSSessionContext::sharedInstance()->sessionId());
  EXPECT_EQ(logs[1]["type"], "event");
  EXPECT_EQ(logs[1]["name"], "iconExported");
  EXPECT_EQ(logs[1]["sid"], sid);
  EXPECT_EQ(logs[1]["typedProperties"], nlohmann::json::parse(R"([{"type":"string","name":"format","value":"svg"},
                                                                  {"type":"string","name":"size","value":"300"}])"))
      << "the number was not a string";
  EXPECT_EQ(logs[1]["id"].get<std::string>().size(), 36u);
  EXPECT_EQ(logs[2]["name"], "onlyInvalid");
  EXPECT_FALSE(logs[2].contains("typedProperties")) << "only invalid properties: none at all";
  EXPECT_EQ(logs[3]["type"], "page");
  EXPECT_EQ(logs[3]["sid"], sid);
  EXPECT_EQ(recorder.count("event name cannot be null or empty"), 1u) << "the empty name was dropped";
  EXPECT_EQ(recorder.count("Event property contains an invalid value for key count, dropping the property."), 1u);

  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return delegate->received().size() >= 6u; }, std::chrono::seconds(60)));
  EXPECT_EQ(delegate->received(),
            (std::vector<std::string>{"willSendEvent iconExported", "willSendEvent onlyInvalid", "willSendPage Search",
                                      "sentEvent iconExported", "sentEvent onlyInvalid", "sentPage Search"}));
}

TEST_F(MSAnalyticsTest, FlagsRouteToTheNormalOrTheCriticalUnit) {
  vx::ScopedVirtualTime time;  // nothing is sent while time stands still
  start();
  const std::size_t normalAtStart = rows("Analytics");
  EXPECT_EQ(normalAtStart, 1u) << "the start-session log";
  struct Case {
    std::uint64_t flags;
    bool critical;
    bool warns;
  };
  const Case cases[] = {{1, false, false}, {2, true, false}, {258, true, false},
                        {0, false, true},  {3, false, true}, {255, false, true}};
  std::size_t normal = normalAtStart, critical = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    MSLogRecorder recorder(MSLogLevel::Warning);
    MSAnalytics::trackEvent("flagged", std::optional<vx::ValueMap>(), c.flags);
    (c.critical ? critical : normal) += 1;
    EXPECT_EQ(rows("Analytics"), normal);
    EXPECT_EQ(rows("Analytics_critical"), critical);
    EXPECT_EQ(
        recorder.count("Invalid flags (" + std::to_string(c.flags & 0xFF) + ") received, using normal as a default."),
        c.warns ? 1u : 0u);
  }
}

// The limits of names, string properties and typed properties, at and past each edge.
TEST_F(MSAnalyticsTest, ValidationEdgeCases) {
  const std::string s125(125, 'k'), s126(126, 'k'), s256(256, 'n'), s257(257, 'n');
  struct NameCase {
    std::optional<std::string> name;
    std::optional<std::string> expected;
    const char* message;
  };
  const NameCase names[] = {
      {std::nullopt, std::nullopt, "event name cannot be null or empty"},
      {"", std::nullopt, "event name cannot be null or empty"},
      {s256, s256, nullptr},
      {s257, s256, "event 'nnn"},
      {std::string(300, 'x').replace(0, 2, "\xC3\xA9"), std::string("\xC3\xA9") + std::string(255, 'x'),
       "name length cannot be longer than 256 characters. Name will be truncated."},
      {std::string("bad\xFF"), std::string("bad\xEF\xBF\xBD"), nullptr},
  };
  for (const auto& c : names) {
    SCOPED_TRACE(c.name.value_or("(none)").substr(0, 10));
    MSLogRecorder recorder(MSLogLevel::Warning);
    EXPECT_EQ(MSAnalytics::validateEventName(c.name, "event"), c.expected);
    if (c.message) {
      EXPECT_EQ(recorder.count(c.message), 1u);
    } else {
      EXPECT_TRUE(recorder.lines().empty());
    }
  }

  struct TypedCase {
    const char* what;
    std::function<void(MSEventProperties&)> fill;
    std::size_t count;
    const char* message;
  };
  const TypedCase typed[] = {
      {"20 properties",
       [](MSEventProperties& p) {
         for (int i = 0; i < 20; ++i) p.setInt64(i, "k" + std::to_string(i));
       },
       20, nullptr},
      {"21 properties",
       [](MSEventProperties& p) {
         for (int i = 0; i < 21; ++i) p.setInt64(i, "k" + std::to_string(i));
       },
       20, "Typed properties cannot contain more than 20 items. Skipping other properties."},
      {"key of 125", [&](MSEventProperties& p) { p.setBool(true, s125); }, 1, nullptr},
      {"key of 126", [&](MSEventProperties& p) { p.setBool(true, s126); }, 1,
       "key length cannot exceed 125 characters. Property value will be truncated."},
      {"value of 125", [&](MSEventProperties& p) { p.setString(s125, std::string("v")); }, 1, nullptr},
      {"value of 126", [&](MSEventProperties& p) { p.setString(s126, std::string("v")); }, 1,
       "Typed property value length cannot exceed 125 characters. Property value will be truncated."},
      {"two keys equal once cut", [&](MSEventProperties& p) { p.setInt64(1, s126).setInt64(2, s125 + "z"); }, 1,
       nullptr},
  };
  for (const auto& c : typed) {
    SCOPED_TRACE(c.what);
    MSLogRecorder recorder(MSLogLevel::Warning);
    MSEventProperties input;
    c.fill(input);
    auto valid = MSAnalytics::validateZerEvuzevEventProperties(input);
    EXPECT_EQ(valid->count(), c.count);
    for (const auto& [key, property] : valid->properties()) {
      EXPECT_LE(key.size(), 125u);
      EXPECT_EQ(property->name, key);
      if (auto text = std::dynamic_pointer_cast<MSStringTypedProperty>(property)) {
        EXPECT_LE(text->value->size(), 125u);
      }
    }
    if (c.message) {
      EXPECT_EQ(recorder.count(c.message), 1u);
    }
    if (std::string(c.what) == "two keys equal once cut") {
      EXPECT_EQ(std::dynamic_pointer_cast<MSLongTypedProperty>(valid->propertyForKey(s125))->value, 2)
          << "the later one stays";
    } else if (!c.message) {
      EXPECT_TRUE(recorder.lines().empty());
    }
  }

  // String properties of a page: at most 20, keys and values cut to 125, empty keys skipped.
  MSPageLog page;
  page.name = "Search";
  MSStringDictionary strings;
  for (int i = 0; i < 25; ++i) strings[MSFormat("p%02d", i)] = "v";
  strings[""] = "empty key";
  page.properties = strings;
  MSLogRecorder recorder(MSLogLevel::Warning);
  EXPECT_TRUE(MSAnalytics::validateLog(page));
  EXPECT_EQ(page.properties->size(), 20u);
  EXPECT_EQ(recorder.count("page 'Search' : a property key cannot be null or empty. Property will be skipped."), 1u);
  EXPECT_EQ(recorder.count("page 'Search' : properties cannot contain more than 20 items. Skipping other properties."),
            1u);

  EXPECT_EQ(MSAnalytics::removeInvalidProperties(
                vx::ValueMap{{"a", vx::Value(std::string("1"))}, {"b", vx::Value(true)}, {"c", vx::Value()}}),
            (MSStringDictionary{{"a", "1"}}));
}

TEST_F(MSAnalyticsTest, TheTransmissionIntervalIsCheckedAndOnlyTakenBeforeStart) {
  struct Case {
    std::uint64_t seconds;
    std::uint64_t result;
  };
  for (const Case c : {Case{2, 3}, Case{86401, 3}, Case{3, 3}, Case{86400, 86400}, Case{60, 60}}) {
    MSAnalytics::resetSharedInstance();
    MSLogRecorder recorder(MSLogLevel::Verbose);
    MSAnalytics::setTransmissionInterval(c.seconds);
    EXPECT_EQ(MSAnalytics::sharedInstance()->flushInterval(), c.result) << c.seconds;
    const bool refused = c.seconds < 3 || c.seconds > 86400;
    EXPECT_EQ(recorder.count("The transmission interval is not valid, it should be between 3 second(s) and 86400 "
                             "second(s) (1 day)."),
              refused ? 1u : 0u);
    EXPECT_EQ(recorder.count("Transmission interval set to " + std::to_string(c.seconds) + " second(s)"),
              refused ? 0u : 1u);
  }
  vx::ScopedVirtualTime time;
  auto analytics = start();
  EXPECT_EQ(analytics->channelUnit()->configuration().flushInterval(), 60u);
  EXPECT_EQ(analytics->criticalChannelUnit()->configuration().flushInterval(), 3u);
  MSLogRecorder recorder(MSLogLevel::Error);
  MSAnalytics::setTransmissionInterval(10);
  EXPECT_EQ(recorder.count("The transmission interval should be set before the MSAnalytics service is started."), 1u);
  EXPECT_EQ(analytics->flushInterval(), 60u);
}

TEST_F(MSAnalyticsTest, DisablingAndEnablingReplaysTheMissedPageView) {
  vx::ScopedVirtualTime time;
  MSLogRecorder recorder(MSLogLevel::Info);
  auto analytics = start();
  EXPECT_TRUE(MSAnalyticsCategory::isActivated()) << "activated at start";
  EXPECT_EQ(prepared->sessionStarts(), 0u) << "the first session began before the recorder joined";
  const auto firstSession = MSSessionContext::sharedInstance()->sessionId();
  ASSERT_TRUE(firstSession);
  MSAnalytics::setAutoPageTrackingEnabled(true);

  MSServiceAbstract::setEnabled(analytics, false);
  EXPECT_EQ(recorder.count("Analytics service has been disabled."), 1u);
  EXPECT_FALSE(MSSessionContext::sharedInstance()->sessionId());
  EXPECT_EQ(rows("Analytics"), 0u) << "disabling deletes the stored logs";
  MSAnalytics::trackEvent("whileDisabled");
  MSAnalyticsCategory::viewWillAppear("Vexelworks::SearchViewController");
  MSAnalyticsCategory::viewWillAppear("Vexelworks::IconDetailViewController");
  EXPECT_EQ(MSAnalyticsCategory::missedPageViewName(), "IconDetail") << "only the latest";
  EXPECT_EQ(rows("Analytics"), 0u);

  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    MSServiceAbstract::setEnabled(analytics, true);
    vx::DispatchQueue::drainMainQueue();  // the replay runs on the main queue
    EXPECT_EQ(prepared->pageNames(), std::vector<std::string>(static_cast<std::size_t>(round), "IconDetail"));
    EXPECT_EQ(prepared->sessionStarts(), static_cast<std::size_t>(round)) << "a new session at each enabling";
    EXPECT_NE(MSSessionContext::sharedInstance()->sessionId(), firstSession);
    if (round == 1) MSServiceAbstract::setEnabled(analytics, false);
  }
  // A page view tracked directly clears the remembered one.
  MSAnalyticsCategory::viewWillAppear("Vexelworks::SearchViewController");
  EXPECT_FALSE(MSAnalyticsCategory::missedPageViewName());
  EXPECT_EQ(prepared->pageNames().back(), "Search");
}

TEST_F(MSAnalyticsTest, PauseAndResumeHoldBothUnitsAndNeedAStartedService) {
  MSLogRecorder recorder(MSLogLevel::Error);
  MSAnalytics::pause();
  EXPECT_EQ(recorder.count("Analytics service hasn't been started."), 1u);
  vx::ScopedVirtualTime time;
  start();
  const int resumedAtStart = prepared->resumed;
  MSAnalytics::pause();
  drain();
  EXPECT_EQ(prepared->paused, 2) << "the normal and the critical unit";
  MSAnalytics::resume();
  drain();
  EXPECT_EQ(prepared->resumed - resumedAtStart, 2);
}

// Tracking from several threads at once: every event is stored once, under the session.
TEST_F(MSAnalyticsTest, EventsFromSeveralThreadsAreAllStored) {
  vx::ScopedVirtualTime time;
  start();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 10; ++i) {
        auto properties = std::make_shared<MSEventProperties>();
        properties->setInt64(i, std::string("i")).setInt64(t, std::string("t"));
        MSAnalytics::trackEvent("threaded", properties);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(rows("Analytics"), 41u);
  const auto sid = MSSessionContext::sharedInstance()->sessionId();
  std::lock_guard lock(prepared->mutex);
  for (const auto& log : prepared->logs) EXPECT_EQ(log->sid, sid);
}

}  // namespace
