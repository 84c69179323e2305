// The session tracker in virtual time: when sessions begin, what counts as activity, which logs
// are stamped, and the application's activity arriving through the application-delegate
// forwarder. The tracker's last-log time is written from several enqueueing threads while the
// main thread tests for a timeout (run under the sanitizers).
#include "telemetry/ZerEvuzevAnalytics/Internals/Session/MSSessionTracker.h"

#include "platform/foundation/Clock.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSEventLog.h"
#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSStartSessionLog.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;

namespace {

class RecordingTrackerDelegate : public MSSessionTrackerDelegate {
 public:
  void sessionTrackerProcessLog(MSSessionTracker&, const MSLogPtr& log) override {
    std::lock_guard lock(mutex);
    logs.push_back(log);
  }
  std::vector<MSLogPtr> received() {
    std::lock_guard lock(mutex);
    return logs;
  }
  std::mutex mutex;
  std::vector<MSLogPtr> logs;
};

// An error log of the crash service: keeps its session id, yet is activity.
class MarkedLog : public MSLogWithProperties, public MSNoAutoAssignSessionIdLog {};

class MSSessionTrackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MSSessionContext::resetSharedInstance();
    MSAppDelegateForwarder::resetSharedInstance();
    tracker = std::make_shared<MSSessionTracker>();
    tracker->setDelegate(delegate);
    tracker->setApplicationStateProvider([this] { return state; });
  }
  void TearDown() override {
    tracker->stop();
    MSAppDelegateForwarder::resetSharedInstance();
    MSSessionContext::resetSharedInstance();
  }

  std::optional<std::string> currentSession() { return MSSessionContext::sharedInstance()->sessionId(); }
  void logCreated(const MSLogPtr& log) { tracker->channelPrepareLog(nullptr, log); }
  MSLogPtr someEvent() {
    auto log = std::make_shared<MSEventLog>();
    log->name = "e";
    return log;
  }

  vx::ScopedVirtualTime time;
  MSApplicationState state = MSApplicationState::Active;
  std::shared_ptr<RecordingTrackerDelegate> delegate = std::make_shared<RecordingTrackerDelegate>();
  std::shared_ptr<MSSessionTracker> tracker;
};

TEST_F(MSSessionTrackerTest, TheFirstStartWhileActiveBeginsOneSession) {
  MSUserDefaults::shared()->setObject(vx::Value(std::string("old")), "pastSessionsKey");
  tracker = std::make_shared<MSSessionTracker>();
  tracker->setDelegate(delegate);
  EXPECT_FALSE(MSUserDefaults::shared()->objectForKey("pastSessionsKey")) << "the obsolete key goes at creation";
  EXPECT_EQ(tracker->sessionTimeout(), 20.0);
  tracker->start();
  tracker->start();  // ignored
  const auto logs = delegate->received();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_NE(std::dynamic_pointer_cast<MSStartSessionLog>(logs[0]), nullptr);
  ASSERT_TRUE(currentSession());
  EXPECT_EQ(logs[0]->sid, currentSession());
  EXPECT_EQ(MSSessionContext::sharedInstance()->sessionHistory().back().sessionId, currentSession())
      << "recorded in the persisted history";
}

TEST_F(MSSessionTrackerTest, AStartWhileHiddenWaitsForTheFirstActivation) {
  state = MSApplicationState::Background;
  tracker->start();
  EXPECT_TRUE(delegate->received().empty());
  EXPECT_FALSE(currentSession());
  // The activation reaches the tracker through the forwarder, as the shell passes it on.
  MSAppDelegateForwarder::sharedInstance()->applicationDidBecomeActive();
  EXPECT_EQ(delegate->received().size(), 1u);
  EXPECT_TRUE(currentSession());
}

// Leaving and returning, through the forwarder, with and without logs created meanwhile.
TEST_F(MSSessionTrackerTest, ReturningAfterTheTimeoutBeginsANewSessionUnlessALogIsRecent) {
  struct Case {
    const char* what;
    std::chrono::seconds away;
    std::optional<std::chrono::seconds> logBeforeReturn;
    bool newSession;
  };
  const Case cases[] = {
      {"25 s away, no log", 25s, std::nullopt, true},
      {"15 s away", 15s, std::nullopt, false},
      {"exactly 20 s away", 20s, std::nullopt, true},
      {"25 s away, a log 10 s before the return", 25s, 10s, false},
      {"25 s away, a log 20 s before the return", 25s, 20s, true},
  };
  auto forwarder = MSAppDelegateForwarder::sharedInstance();
  tracker->start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Each case starts from a fresh active session with no recent log.
    time.advance(60s);
    forwarder->applicationWillResignActive();
    time.advance(60s);
    forwarder->applicationDidBecomeActive();
    const auto before = currentSession();
    const auto logsBefore = delegate->received().size();

    forwarder->applicationWillResignActive();
    if (c.logBeforeReturn) {
      time.advance(c.away - *c.logBeforeReturn);
      logCreated(someEvent());
      time.advance(*c.logBeforeReturn);
    } else {
      time.advance(c.away);
    }
    forwarder->applicationDidBecomeActive();
    EXPECT_EQ(currentSession() != before, c.newSession);
    EXPECT_EQ(delegate->received().size(), logsBefore + (c.newSession ? 1u : 0u));
  }
}

TEST_F(MSSessionTrackerTest, InAnExtensionOnlyTheLastLogCounts) {
  tracker->start();
  const auto first = currentSession();
  state = MSApplicationState::Extension;
  logCreated(someEvent());
  time.advance(19s);
  tracker->applicationWillEnterForeground();
  EXPECT_EQ(currentSession(), first) << "a log 19 s ago";
  time.advance(1s);
  tracker->applicationWillEnterForeground();
  EXPECT_NE(currentSession(), first) << "20 s without a log, never inactive";
}

TEST_F(MSSessionTrackerTest, StampingAndActivityFollowTheLogKind) {
  tracker->start();
  const auto session = currentSession();
  auto start = std::make_shared<MSStartSessionLog>();
  start->sid = "own";
  logCreated(start);
  auto service = std::make_shared<MSStartServiceLog>();
  logCreated(service);
  EXPECT_EQ(start->sid, "own");
  EXPECT_FALSE(service->sid);
  EXPECT_FALSE(tracker->lastCreatedLogTime()) << "neither counts as activity";

  auto marked = std::make_shared<MarkedLog>();
  marked->sid = "crash-session";
  logCreated(marked);
  EXPECT_EQ(marked->sid, "crash-session");
  EXPECT_EQ(tracker->lastCreatedLogTime(), vx::wallNow()) << "marked logs keep their id but are activity";

  time.advance(1s);
  auto event = someEvent();
  logCreated(event);
  EXPECT_EQ(event->sid, session);
  EXPECT_EQ(tracker->lastCreatedLogTime(), vx::wallNow());
}

TEST_F(MSSessionTrackerTest, StopThenStartBeginsANewSessionAndStopsListening) {
  tracker->start();
  const auto first = currentSession();
  tracker->stop();
  EXPECT_FALSE(currentSession()) << "stop clears the current id";
  EXPECT_FALSE(tracker->isStarted());
  MSAppDelegateForwarder::sharedInstance()->applicationDidBecomeActive();
  EXPECT_EQ(delegate->received().size(), 1u) << "a stopped tracker hears nothing";
  tracker->start();
  EXPECT_TRUE(currentSession());
  EXPECT_NE(currentSession(), first);
  EXPECT_EQ(delegate->received().size(), 2u);
}

// Logs stamped from several threads while the main thread asks for timeouts and renewals.
TEST_F(MSSessionTrackerTest, TheLastLogTimeIsNotRaced) {
  tracker->start();
  std::vector<std::thread> threads;
  std::atomic<bool> stop{false};
  std::atomic<int> created{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        logCreated(someEvent());
        ++created;
      }
    });
  }
  for (int i = 0; i < 500 || created.load() < 2000; ++i) {
    (void)tracker->hasSessionTimedOut();
    tracker->applicationDidEnterBackground();
    tracker->applicationWillEnterForeground();
  }
  stop.store(true);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(tracker->lastCreatedLogTime(), vx::wallNow());
  EXPECT_EQ(delegate->received().size(), 1u) << "virtual time stood still: never a timeout";
}

}  // namespace
