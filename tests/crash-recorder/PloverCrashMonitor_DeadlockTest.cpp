// The deadlock watchdog in forked children: a main thread that stops serving its queue is
// recorded with its registers and the process aborts; one that keeps serving it is left alone.
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_Deadlock.h"

#include "platform/foundation/DispatchQueue.h"

#include "crash-recorder/MonitorEventReport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

namespace {

// Serves the main queue until every task posted before this call has run.
void serveMainQueueOnce() {
  std::atomic<bool> reached{false};
  vx::DispatchQueue::main()->async([&reached] { reached.store(true); });
  vx::RunLoop::runUntil([&reached] { return reached.load(); });
}

TEST(PloverCrashDeadlockMonitorTest, ABlockedMainThreadIsRecordedAndTheProcessAborts) {
  ChildResult result = runInChild([] {
    resetFatalSignalsToDefault();
    plovercrashcm_setEventCallback(reportMonitorEvent);
    plovercrashcm_setDeadlockHandlerWatchdogInterval(0.2);
    childReport("active", "%u",
                static_cast<unsigned>(plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeMainThreadDeadlock)));
    serveMainQueueOnce();
    childReport("mainThread", "%u", plovercrashthread_self());
    // The main loop blocks for good: nothing serves the main queue from here on.
    int fds[2];
    if (pipe(fds) != 0) return 2;
    char byte;
    while (read(fds[0], &byte, 1) != 0) {
    }
    return 0;
  });
  ASSERT_TRUE(result.killedBy(SIGABRT)) << result.output;
  EXPECT_EQ(result["active"], "16");
  EXPECT_EQ(result["events"], "1");
  EXPECT_EQ(result["type"], "16");
  EXPECT_EQ(result["registersValid"], "0");
  EXPECT_EQ(result["thread"], result["mainThread"]);
  EXPECT_EQ(result["crashedContext"], "0");
  EXPECT_NE(result["rip"], "0");
  EXPECT_GE(std::stoi(result["frames"]), 1);
}

TEST(PloverCrashDeadlockMonitorTest, AServedMainQueueNeverTripsTheWatchdog) {
  ChildResult result = runInChild([] {
    resetFatalSignalsToDefault();
    plovercrashcm_setEventCallback(reportMonitorEvent);
    // A whole second to answer each pulse: a loaded machine can leave a served main thread
    // waiting for the processor far longer than a tenth of a second.
    plovercrashcm_setDeadlockHandlerWatchdogInterval(1.0);
    plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeMainThreadDeadlock);
    // Serve the main queue through several watchdog turns.
    vx::RunLoop::runFor(std::chrono::milliseconds(3500));
    plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeNone);
    childReport("finished", "1");
    return 0;
  });
  ASSERT_TRUE(result.exitedWith(0)) << result.output;
  EXPECT_EQ(result["finished"], "1");
  EXPECT_FALSE(result.has("events"));
}

TEST(PloverCrashDeadlockMonitorTest, DisablingStopsTheWatchdogThread) {
  ChildResult result = runInChild([] {
    plovercrashcm_setDeadlockHandlerWatchdogInterval(0);
    plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeMainThreadDeadlock);
    childReport("enabled", "%d", plovercrashcm_deadlock_getAPI()->isEnabled() ? 1 : 0);
    plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeNone);
    childReport("disabled", "%d", plovercrashcm_deadlock_getAPI()->isEnabled() ? 0 : 1);
    // The watchdog thread is gone: only this thread (and no watchdog) remains.
    int threads = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
      (void)entry;
      ++threads;
    }
    childReport("threads", "%d", threads);
    return 0;
  });
  ASSERT_TRUE(result.exitedWith(0)) << result.output;
  EXPECT_EQ(result["enabled"], "1");
  EXPECT_EQ(result["disabled"], "1");
  EXPECT_EQ(result["threads"], "1");
}

}  // namespace
