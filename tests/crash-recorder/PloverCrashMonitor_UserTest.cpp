// The user-report monitor: reported exceptions become events with the host's own texts; a
// terminating report aborts the process after its event; nothing happens while disabled.
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_User.h"

#include "crash-recorder/MonitorEventReport.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

__attribute__((noinline)) void reportFromHere(bool logAllThreads, bool terminate) {
  plovercrashcm_reportUserException("ScriptError", "undefined is not a function", "javascript", "app.js:12",
                                    "[{\"line\":12}]", logAllThreads, terminate);
  asm volatile("");
}

TEST(PloverCrashUserMonitorTest, AReportIsAnEventAndTheProcessGoesOn) {
  ChildResult result = runInChild([] {
    plovercrashcm_setEventCallback(reportMonitorEvent);
    reportFromHere(false, false);  // disabled: nothing
    childReport("active", "%u",
                static_cast<unsigned>(plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeUserReported)));
    std::atomic<bool> stop{false};
    std::atomic<long> count{0};
    std::thread other([&] {
      while (!stop.load()) count.fetch_add(1);
    });
    while (count.load() == 0) std::this_thread::yield();
    reportFromHere(true, false);
    const long after = count.load();
    while (count.load() == after) std::this_thread::yield();  // resumed
    stop.store(true);
    other.join();
    childReport("activeAfter", "%u", static_cast<unsigned>(plovercrashcm_getActiveMonitors()));
    return 0;
  });
  ASSERT_TRUE(result.exitedWith(0)) << result.output;
  EXPECT_EQ(result["active"], "32");
  EXPECT_EQ(result["events"], "1");
  EXPECT_EQ(result["type"], "32");
  EXPECT_EQ(result["userName"], "ScriptError");
  EXPECT_EQ(result["reason"], "undefined is not a function");
  EXPECT_EQ(result["userLanguage"], "javascript");
  EXPECT_EQ(result["userLine"], "app.js:12");
  EXPECT_EQ(result["userStack"], "[{\"line\":12}]");
  EXPECT_EQ(result["registersValid"], "0");
  EXPECT_EQ(result["threadCount"], "2");
  // The backtrace starts in the report call itself.
  const auto start = reinterpret_cast<std::uintptr_t>(&plovercrashcm_reportUserException);
  const std::uintptr_t frame0 = std::stoull(result["frame0"], nullptr, 16);
  EXPECT_GT(frame0, start);
  EXPECT_LT(frame0, start + 2048);
  EXPECT_EQ(result["activeAfter"], "32");
}

TEST(PloverCrashUserMonitorTest, ATerminatingReportAbortsAfterItsEvent) {
  ChildResult result = runInChild([] {
    resetFatalSignalsToDefault();
    plovercrashcm_setEventCallback(reportMonitorEvent);
    plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeUserReported);
    reportFromHere(false, true);
    return 0;
  });
  EXPECT_TRUE(result.killedBy(SIGABRT)) << result.output;
  EXPECT_EQ(result["events"], "1");
  EXPECT_EQ(result["type"], "32");
}

}  // namespace
