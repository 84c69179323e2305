// The monitor registry: which monitors a mask switches on, the cuts for a debugger and for an
// async-safe event, and how a fatal event and a second one during its handling switch them off.
// Every case runs in a forked child, as enabling monitors installs process-wide handlers.
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_MachException.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_Signal.h"

#include "crash-recorder/MonitorEventReport.h"

#include <gtest/gtest.h>

#include <sys/ptrace.h>

#include <thread>
#include <vector>

namespace {

TEST(PloverCrashMonitorTest, DefaultSetEnablesEveryMonitorThisSystemHas) {
  ChildResult result = runInChild([] {
    resetFatalSignalsToDefault();
    childReport("before", "%u", static_cast<unsigned>(plovercrashcm_getActiveMonitors()));
    childReport("active", "%u",
                static_cast<unsigned>(plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeProductionSafe)));
    childReport("stored", "%u", static_cast<unsigned>(plovercrashcm_getActiveMonitors()));
    childReport("off", "%u", static_cast<unsigned>(plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeNone)));
    return 0;
  });
  ASSERT_TRUE(result.exitedWith(0)) << result.output;
  EXPECT_EQ(result["before"], "0");
  // Everything of 0xEF except the Mach exception monitor, which this system cannot enable.
  EXPECT_EQ(result["active"], std::to_string(0xEE));
  EXPECT_EQ(result["stored"], std::to_string(0xEE));
  EXPECT_EQ(result["off"], "0");
}

TEST(PloverCrashMonitorTest, ADebuggerLeavesOutTheMonitorsItDisturbs) {
  ChildResult result = runInChild([] {
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) return 3;
    childReport("active", "%u",
                static_cast<unsigned>(plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeProductionSafe)));
    plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeNone);
    return 0;
  });
  if (result.exitedWith(3)) GTEST_SKIP() << "ptrace is not permitted in this environment";
  ASSERT_TRUE(result.exitedWith(0)) << result.output;
  EXPECT_EQ(result["active"], std::to_string(0xE0));
}

TEST(PloverCrashMonitorTest, AfterAnAsyncSafeEventOnlyAsyncSafeMonitorsComeBack) {
  ChildResult result = runInChild([] {
    resetFatalSignalsToDefault();
    childReport("first", "%d", plovercrashcm_notifyFatalExceptionCaptured(true) ? 1 : 0);
    childReport("active", "%u",
                static_cast<unsigned>(plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeProductionSafe)));
    // A second fatal event while the first is handled switches everything off.
    childReport("second", "%d", plovercrashcm_notifyFatalExceptionCaptured(false) ? 1 : 0);
    childReport("after", "%u", static_cast<unsigned>(plovercrashcm_getActiveMonitors()));
    plovercrashcm_setEventCallback(reportMonitorEvent);
    PloverCrash_MonitorContext context{};
    context.crashType = PloverCrashMonitorTypeSignal;
    plovercrashcm_handleException(&context);
    return 0;
  });
  ASSERT_TRUE(result.exitedWith(0)) << result.output;
  EXPECT_EQ(result["first"], "0");
  EXPECT_EQ(result["active"], "2");
  EXPECT_EQ(result["second"], "1");
  EXPECT_EQ(result["after"], "0");
  EXPECT_EQ(result["recrash"], "1");
  EXPECT_EQ(result["asyncSafety"], "1");
}

TEST(PloverCrashMonitorTest, AFatalEventSwitchesEveryMonitorOffAfterItsCallback) {
  ChildResult result = runInChild([] {
    resetFatalSignalsToDefault();
    plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeSignal);
    plovercrashcm_setEventCallback([](PloverCrash_MonitorContext* context) {
      childReport("activeInCallback", "%u", static_cast<unsigned>(plovercrashcm_getActiveMonitors()));
      reportMonitorEvent(context);
    });
    plovercrashcm_notifyFatalExceptionCaptured(false);
    PloverCrash_MonitorContext context{};
    context.crashType = PloverCrashMonitorTypeCPPException;
    plovercrashcm_handleException(&context);
    childReport("after", "%u", static_cast<unsigned>(plovercrashcm_getActiveMonitors()));
    return 0;
  });
  ASSERT_TRUE(result.exitedWith(0)) << result.output;
  EXPECT_EQ(result["activeInCallback"], "2");
  EXPECT_EQ(result["after"], "0");
  EXPECT_EQ(result["recrash"], "0");
  // The signal monitor, enabled, makes every event that is no signal a SIGABRT.
  EXPECT_EQ(result["signal"], std::to_string(SIGABRT));
}

TEST(PloverCrashMonitorTest, FatalEventsRacingOnManyThreadsAreHandledOnce) {
  ChildResult result = runInChild([] {
    std::atomic<bool> go{false};
    std::atomic<int> firsts{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        if (!plovercrashcm_notifyFatalExceptionCaptured(false)) firsts.fetch_add(1);
      });
    }
    go.store(true);
    for (auto& thread : threads) thread.join();
    childReport("firsts", "%d", firsts.load());
    plovercrashcm_setEventCallback(reportMonitorEvent);
    PloverCrash_MonitorContext context{};
    plovercrashcm_handleException(&context);
    return 0;
  });
  ASSERT_TRUE(result.exitedWith(0)) << result.output;
  // At most one thread may take the event as the first; every later one is a crash during
  // its handling.
  EXPECT_LE(std::stoi(result["firsts"]), 1);
  EXPECT_EQ(result["recrash"], "1");
}

TEST(PloverCrashMonitorTest, MachExceptionMonitorIsNeverEnabledButNamesEveryEvent) {
  PloverCrashMonitorOps* mach = plovercrashcm_machexception_getAPI();
  mach->setEnabled(true);
  EXPECT_FALSE(mach->isEnabled());
  struct Case {
    PloverCrashMonitorType type;
    int signal;
    int machType;
  };
  const Case cases[] = {
      {PloverCrashMonitorTypeSignal, SIGSEGV, 1},  {PloverCrashMonitorTypeSignal, SIGILL, 2},
      {PloverCrashMonitorTypeSignal, SIGABRT, 10}, {PloverCrashMonitorTypeSignal, SIGPIPE, 0x10001},
      {PloverCrashMonitorTypeSignal, SIGTERM, 0},  {PloverCrashMonitorTypeCPPException, 0, 10},
      {PloverCrashMonitorTypeUserReported, 0, 10},
  };
  for (const Case& c : cases) {
    PloverCrash_MonitorContext context{};
    context.crashType = c.type;
    context.signal.signum = c.signal;
    mach->addContextualInfoToEvent(&context);
    EXPECT_EQ(context.mach.type, c.machType) << c.type << " " << c.signal;
  }
}

}  // namespace
