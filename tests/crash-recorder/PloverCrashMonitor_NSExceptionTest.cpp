// The NSException monitor with exception records handed in as the runtime would hand them: a
// snapshot leaves everything running, an uncaught exception is fatal and reaches the previous
// uncaught-exception handler.
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_NSException.h"

#include "crash-recorder/MonitorEventReport.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

const std::uintptr_t kCallStack[] = {0x1111, 0x2222, 0x3333};
const PloverCrashNSException kException = {"NSRangeException", "index 5 beyond bounds", "{key = value}", kCallStack, 3};

void previousHandler(const PloverCrashNSException* exception) { childReport("previous", "%s", exception->name); }

TEST(PloverCrashNSExceptionMonitorTest, ASnapshotLeavesMonitorsOnAndThreadsRunning) {
  ChildResult result = runInChild([] {
    plovercrash_setUncaughtExceptionHandler(previousHandler);
    plovercrashcm_setEventCallback(reportMonitorEvent);
    childReport("active", "%u",
                static_cast<unsigned>(plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeNSException)));
    std::atomic<long> count{0};
    std::atomic<bool> stop{false};
    std::thread counter([&] {
      while (!stop.load()) count.fetch_add(1);
    });
    while (count.load() == 0) std::this_thread::yield();
    plovercrashcm_nsexception_snapshotExceptionHandler()(&kException);
    // The other thread runs on after the snapshot.
    const long after = count.load();
    while (count.load() == after) std::this_thread::yield();
    stop.store(true);
    counter.join();
    childReport("activeAfter", "%u", static_cast<unsigned>(plovercrashcm_getActiveMonitors()));
    return 0;
  });
  ASSERT_TRUE(result.exitedWith(0)) << result.output;
  EXPECT_EQ(result["active"], "8");
  EXPECT_EQ(result["type"], "8");
  EXPECT_EQ(result["snapshot"], "1");
  EXPECT_EQ(result["nsName"], "NSRangeException");
  EXPECT_EQ(result["exceptionName"], "NSRangeException");
  EXPECT_EQ(result["nsUserInfo"], "{key = value}");
  EXPECT_EQ(result["reason"], "index 5 beyond bounds");
  EXPECT_EQ(result["frames"], "3");
  EXPECT_EQ(result["frame0"], "1111");
  EXPECT_EQ(result["activeAfter"], "8");
  EXPECT_EQ(result["previous"], "NSRangeException");
}

TEST(PloverCrashNSExceptionMonitorTest, AnUncaughtExceptionIsFatal) {
  ChildResult result = runInChild([] {
    plovercrash_setUncaughtExceptionHandler(previousHandler);
    plovercrashcm_setEventCallback(reportMonitorEvent);
    plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeNSException);
    childReport(
        "installed", "%d",
        plovercrash_getUncaughtExceptionHandler() == plovercrashcm_nsexception_uncaughtExceptionHandler() ? 1 : 0);
    plovercrash_getUncaughtExceptionHandler()(&kException);
    childReport("activeAfter", "%u", static_cast<unsigned>(plovercrashcm_getActiveMonitors()));
    childReport("restored", "%d", plovercrash_getUncaughtExceptionHandler() == previousHandler ? 1 : 0);
    return 0;
  });
  ASSERT_TRUE(result.exitedWith(0)) << result.output;
  EXPECT_EQ(result["installed"], "1");
  EXPECT_EQ(result["type"], "8");
  EXPECT_EQ(result["snapshot"], "0");
  EXPECT_EQ(result["activeAfter"], "0");
  EXPECT_EQ(result["restored"], "1");
  EXPECT_EQ(result["previous"], "NSRangeException");
}

TEST(PloverCrashNSExceptionMonitorTest, NoHandlersWhileDisabled) {
  EXPECT_EQ(plovercrashcm_nsexception_uncaughtExceptionHandler(), nullptr);
  EXPECT_EQ(plovercrashcm_nsexception_snapshotExceptionHandler(), nullptr);
  EXPECT_FALSE(plovercrashcm_nsexception_getAPI()->isEnabled());
}

}  // namespace
