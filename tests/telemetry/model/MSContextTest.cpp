#include "telemetry/ZerEvuzev/Context/MSSessionContext.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Context/MSUserIdContext.h"
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"

#include "platform/foundation/Clock.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

using namespace std::chrono_literals;

const vx::Date kStart = vx::Date(std::chrono::seconds(1'700'000'000));

class MSSessionContextTest : public testing::Test {
 protected:
  vx::ScopedVirtualTime time{kStart};
};

TEST_F(MSSessionContextTest, HistoryKeepsOneEntryPerLaunchAcrossTwoLaunches) {
  std::filesystem::path file;
  {
    auto defaults = MSTestDefaults();
    file = defaults->defaults().filePath();
    MSSessionContext launch1(defaults);
    EXPECT_EQ(launch1.sessionHistory().size(), 1u);
    EXPECT_EQ(launch1.sessionId(), std::nullopt);
    time.advance(1s);
    launch1.setSessionId("s1");
    time.advance(1s);
    launch1.setSessionId("s2");  // replaces the launch's entry
    EXPECT_EQ(launch1.sessionId(), "s2");
    const auto history = launch1.sessionHistory();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].sessionId, "s2");
    EXPECT_EQ(history[0].timestamp, kStart + 2s);
  }
  // Everything of the first launch is gone; what it wrote is in the file.
  std::ifstream in(file);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("\"SessionIdHistory\""), std::string::npos) << file;
  time.advance(10s);
  {
    // A fresh context over a fresh instance of the same defaults file: the next launch.
    MSSessionContext launch2(MSTestDefaults());
    auto history = launch2.sessionHistory();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].sessionId, "s2");
    EXPECT_EQ(history[1].sessionId, std::nullopt);
    EXPECT_EQ(launch2.sessionId(), std::nullopt);
    time.advance(1s);
    launch2.setSessionId("s3");
    history = launch2.sessionHistory();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[1].sessionId, "s3");

    EXPECT_EQ(launch2.sessionIdAt(kStart), std::nullopt);       // before every entry
    EXPECT_EQ(launch2.sessionIdAt(kStart + 2s), std::nullopt);  // equal does not select
    EXPECT_EQ(launch2.sessionIdAt(kStart + 2s + 1ms), "s2");
    EXPECT_EQ(launch2.sessionIdAt(kStart + 13s), "s2");
    EXPECT_EQ(launch2.sessionIdAt(kStart + 13s + 1ms), "s3");
  }
}

TEST_F(MSSessionContextTest, ClearingWithoutKeepingLeavesOnlyTheNextSession) {
  {
    MSSessionContext launch1(MSTestDefaults());
    launch1.setSessionId("old");
  }
  MSSessionContext context(MSTestDefaults());
  ASSERT_EQ(context.sessionHistory().size(), 2u);
  context.clearSessionHistoryAndKeepCurrentSession(true);
  ASSERT_EQ(context.sessionHistory().size(), 1u);
  context.clearSessionHistoryAndKeepCurrentSession(false);
  EXPECT_TRUE(context.sessionHistory().empty());
  time.advance(1s);
  context.setSessionId("next");
  const auto history = context.sessionHistory();
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].sessionId, "next");
  // And it was written: a later launch sees it.
  MSSessionContext later(MSTestDefaults());
  EXPECT_EQ(later.sessionHistory().front().sessionId, "next");
}

TEST_F(MSSessionContextTest, AfterAClearTwoSessionsOfOneLaunchLeaveOneEntry) {
  {
    MSSessionContext launch1(MSTestDefaults());
    launch1.setSessionId("earlier");
  }
  MSSessionContext context(MSTestDefaults());
  context.clearSessionHistoryAndKeepCurrentSession(false);
  time.advance(1s);
  context.setSessionId("a");
  time.advance(1s);
  context.setSessionId("b");
  const auto history = context.sessionHistory();
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].sessionId, "b");
}

TEST_F(MSSessionContextTest, UnreadableStoredHistoryCountsAsNone) {
  const std::vector<vx::Value> stored = {
      vx::Value(vx::Bytes{0x01, 0x9f, 0xff}),  // not an archive
      vx::Value(vx::Bytes{}),                  // empty
      vx::Value("not data"),                   // wrong kind of value
  };
  for (const auto& value : stored) {
    auto defaults = MSTestDefaults();
    defaults->setObject(value, MSSessionContext::kHistoryKey);
    MSSessionContext context(defaults);
    EXPECT_EQ(context.sessionHistory().size(), 1u) << value.description();
  }
  // An archive of another class's entries is not a session history either.
  auto defaults = MSTestDefaults();
  auto other = MSArchivedData(vx::ArchivableArray{std::make_shared<MSUserIdHistoryInfo>(kStart, "u")});
  ASSERT_TRUE(other);
  defaults->setObject(vx::Value(other.value()), MSSessionContext::kHistoryKey);
  MSSessionContext context(defaults);
  EXPECT_EQ(context.sessionHistory().size(), 1u);
}

TEST_F(MSSessionContextTest, SharedInstanceIsMadeOnceAndCanBeReset) {
  MSSessionContext::resetSharedInstance();
  auto first = MSSessionContext::sharedInstance();
  EXPECT_EQ(first, MSSessionContext::sharedInstance());
  first->setSessionId("shared");
  MSSessionContext::resetSharedInstance();
  auto second = MSSessionContext::sharedInstance();
  EXPECT_NE(first, second);
  EXPECT_EQ(second->sessionId(), std::nullopt);
  EXPECT_EQ(second->sessionHistory().front().sessionId, "shared");
  second->clearSessionHistoryAndKeepCurrentSession(false);
  MSSessionContext::resetSharedInstance();
}

TEST_F(MSSessionContextTest, ReadsAndChangesFromManyThreadsAreSafe) {
  MSSessionContext context(MSTestDefaults());
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&context, i] {
      for (int k = 0; k < 50; ++k) {
        if (i % 2 == 0) {
          context.setSessionId("s" + std::to_string(k));
        } else {
          (void)context.sessionId();
          (void)context.sessionIdAt(vx::wallNow());
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(context.sessionHistory().size(), 1u);
  EXPECT_EQ(context.sessionHistory().back().sessionId, context.sessionId());
}

class RecordingDelegate : public MSUserIdContextDelegate {
 public:
  void userIdContextDidUpdateUserId(MSUserIdContext&, const std::optional<std::string>& userId) override {
    updates.push_back(userId);
  }
  std::vector<std::optional<std::string>> updates;
};

class MSUserIdContextTest : public testing::Test {
 protected:
  vx::ScopedVirtualTime time{kStart};
};

TEST_F(MSUserIdContextTest, HistoryIsWrittenAtOnceAndKeptAcrossTwoLaunches) {
  {
    auto defaults = MSTestDefaults();
    MSUserIdContext launch1(defaults);
    EXPECT_TRUE(defaults->objectForKey(MSUserIdContext::kHistoryKey).has_value());
    time.advance(1s);
    launch1.setUserId("alice");
  }
  time.advance(10s);
  MSUserIdContext launch2(MSTestDefaults());
  const auto history = launch2.userIdHistory();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].userId, "alice");
  EXPECT_EQ(history[0].timestamp, kStart + 1s);
  EXPECT_EQ(launch2.userId(), std::nullopt);
  time.advance(1s);
  launch2.setUserId("bob");
  EXPECT_EQ(launch2.userIdAt(kStart + 1s), std::nullopt);
  EXPECT_EQ(launch2.userIdAt(kStart + 5s), "alice");
  EXPECT_EQ(launch2.userIdAt(kStart + 12s), "alice");
  EXPECT_EQ(launch2.userIdAt(kStart + 13s), "bob");
  launch2.clearUserIdHistory();
  ASSERT_EQ(launch2.userIdHistory().size(), 1u);
  EXPECT_EQ(launch2.userIdHistory()[0].userId, "bob");
}

TEST_F(MSUserIdContextTest, SameIdWritesAndNotifiesOnce) {
  MSLogRecorder log;
  MSUserIdContext context(MSTestDefaults());
  auto delegate = std::make_shared<RecordingDelegate>();
  context.addDelegate(delegate);
  context.addDelegate(delegate);
  context.setUserId(std::nullopt);  // nothing to nothing: no change
  context.setUserId("alice");
  context.setUserId("alice");
  context.setUserId(std::nullopt);
  ASSERT_EQ(delegate->updates.size(), 2u);
  EXPECT_EQ(delegate->updates[0], "alice");
  EXPECT_EQ(delegate->updates[1], std::nullopt);
  EXPECT_EQ(log.count("Stored new userId:"), 2u);

  context.removeDelegate(delegate);
  context.setUserId("carol");
  EXPECT_EQ(delegate->updates.size(), 2u);

  // A delegate that is gone is skipped.
  auto shortLived = std::make_shared<RecordingDelegate>();
  context.addDelegate(shortLived);
  shortLived.reset();
  context.setUserId("dave");
  EXPECT_EQ(context.userId(), "dave");
}

TEST(MSUserIdRulesTest, DefaultBackEndLimitsTheLength) {
  MSLogRecorder log;
  EXPECT_TRUE(MSUserIdContext::isUserIdValidForZerEvuzev(std::nullopt));
  EXPECT_TRUE(MSUserIdContext::isUserIdValidForZerEvuzev(std::string(256, 'a')));
  EXPECT_FALSE(MSUserIdContext::isUserIdValidForZerEvuzev(std::string(257, 'a')));
  EXPECT_EQ(log.count("userId is limited to 256 characters."), 1u);
}

TEST(MSUserIdRulesTest, CommonSchemaBackEndAcceptsOnlyTheCPrefix) {
  MSLogRecorder log;
  const std::vector<std::pair<std::optional<std::string>, bool>> table = {
      {std::nullopt, true}, {"alice", true},    {"c:alice", true}, {"", false},
      {"c:", false},        {"i:alice", false}, {":x", false},
  };
  for (const auto& [id, valid] : table) {
    EXPECT_EQ(MSUserIdContext::isUserIdValidForUniCollector(id), valid) << id.value_or("(none)");
  }
  EXPECT_EQ(log.count("userId must not be empty."), 2u);
  EXPECT_EQ(log.count("userId prefix must be 'c', 'i' is not supported."), 1u);
  EXPECT_EQ(log.count("userId prefix must be 'c', '' is not supported."), 1u);
}

TEST(MSUserIdRulesTest, PrefixIsAddedOnlyWithoutAColon) {
  EXPECT_EQ(MSUserIdContext::prefixedUserIdFromUserId("abc"), "c:abc");
  EXPECT_EQ(MSUserIdContext::prefixedUserIdFromUserId("c:abc"), "c:abc");
  EXPECT_EQ(MSUserIdContext::prefixedUserIdFromUserId("i:abc"), "i:abc");
  EXPECT_EQ(MSUserIdContext::prefixedUserIdFromUserId(std::nullopt), std::nullopt);
}

TEST(MSUserDefaultsTest, PassesValuesThroughToTheSuite) {
  auto defaults = MSTestDefaults();
  EXPECT_FALSE(defaults->objectForKey("k"));
  defaults->setObject(vx::Value(true), "k");
  EXPECT_EQ(defaults->objectForKey("k"), vx::Value(true));
  defaults->removeObjectForKey("k");
  EXPECT_FALSE(defaults->objectForKey("k"));
  EXPECT_EQ(MSUserDefaults::shared(), MSUserDefaults::shared());
}

TEST(MSUserDefaultsTest, UpdateWritesOnlyChangesUntilTheStampExpires) {
  vx::ScopedVirtualTime time(kStart);
  auto defaults = MSTestDefaults();
  EXPECT_TRUE(defaults->updateObject(vx::Value("a"), "setting", 10));
  const auto stored = defaults->objectForKey("setting");
  ASSERT_TRUE(stored && stored->mapValue());
  // "_ts" is seconds since 1 January 2001.
  EXPECT_DOUBLE_EQ(*(*stored->mapValue()).find("_ts")->doubleValue(), 1'700'000'000.0 - 978'307'200.0);
  EXPECT_FALSE(defaults->updateObject(vx::Value("a"), "setting", 10));
  time.advance(9s);
  EXPECT_FALSE(defaults->updateObject(vx::Value("a"), "setting", 10));
  time.advance(2s);
  EXPECT_TRUE(defaults->updateObject(vx::Value("a"), "setting", 10));
  EXPECT_TRUE(defaults->updateObject(vx::Value("b"), "setting", 10));
  time.advance(1000s);
  EXPECT_FALSE(defaults->updateObject(vx::Value("b"), "setting"));  // 0 never expires

  const vx::ValueMap changes =
      defaults->updateDictionary(vx::ValueMap{{"v", vx::Value("b")}, {"w", vx::Value(1)}}, "setting");
  EXPECT_EQ(changes.size(), 1u);
  EXPECT_TRUE(changes.contains("w"));
}

}  // namespace
