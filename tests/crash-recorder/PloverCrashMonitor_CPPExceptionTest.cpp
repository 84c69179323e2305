// The C++ exception monitor: uncaught exceptions of several types end forked children through
// the monitor's terminate handler, which records their type and value and then calls the
// terminate handler that was there before.
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor.h"
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_CPPException.h"

#include "crash-recorder/MonitorEventReport.h"

#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

struct NSException {
  int code;
};

namespace plovertest {
struct Widget {
  int size;
};
}  // namespace plovertest

namespace {

void previousTerminateHandler() {
  childReport("previous", "called");
  std::abort();
}

// Leaving a noexcept function with an exception ends the program through terminate, with the
// exception current, as an uncaught exception would (the test framework catches the others).
void throwUncaught(const std::function<void()>& thrower) noexcept { thrower(); }

ChildResult terminateWith(const std::function<void()>& thrower) {
  return runInChild([&thrower] {
    resetFatalSignalsToDefault();
    std::set_terminate(previousTerminateHandler);
    plovercrashcm_setEventCallback(reportMonitorEvent);
    childReport("active", "%u",
                static_cast<unsigned>(plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeCPPException)));
    throwUncaught(thrower);
    return 99;
  });
}

TEST(PloverCrashCPPExceptionMonitorTest, UncaughtExceptionsAreDescribedByType) {
  struct Case {
    const char* label;
    std::function<void()> thrower;
    const char* name;
    const char* reason;
  };
  const Case cases[] = {
      {"runtime_error", [] { throw std::runtime_error("disk on fire"); }, "std::runtime_error", "disk on fire"},
      {"int", [] { throw 42; }, "int", "42"},
      {"double", [] { throw 1.5; }, "double", "1.500000"},
      {"unsigned long", [] { throw 7ul; }, "unsigned long", "7"},
      {"long long", [] { throw -9000000000ll; }, "long long", "-9000000000"},
      {"char", [] { throw 'A'; }, "char", "65"},
      {"C string", [] { throw "plain text"; }, "char const*", "plain text"},
      {"class", [] { throw plovertest::Widget{3}; }, "plovertest::Widget", "(none)"},
  };
  for (const Case& c : cases) {
    ChildResult result = terminateWith(c.thrower);
    EXPECT_TRUE(result.killedBy(SIGABRT)) << c.label << " " << result.output;
    EXPECT_EQ(result["active"], "4") << c.label;
    EXPECT_EQ(result["events"], "1") << c.label;
    EXPECT_EQ(result["type"], "4") << c.label;
    EXPECT_EQ(result["cppName"], c.name) << c.label;
    EXPECT_EQ(result["exceptionName"], c.name) << c.label;
    EXPECT_EQ(result["reason"], c.reason) << c.label;
    EXPECT_EQ(result["registersValid"], "0") << c.label;
    EXPECT_EQ(result["crashedContext"], "1") << c.label;
    EXPECT_EQ(result["frames"], "0") << c.label;
    EXPECT_EQ(result["previous"], "called") << c.label;
  }
}

TEST(PloverCrashCPPExceptionMonitorTest, AnExceptionNamedNSExceptionIsLeftToItsOwnMonitor) {
  ChildResult result = terminateWith([] { throw NSException{1}; });
  EXPECT_TRUE(result.killedBy(SIGABRT)) << result.output;
  EXPECT_FALSE(result.has("events"));
  EXPECT_EQ(result["previous"], "called");
}

TEST(PloverCrashCPPExceptionMonitorTest, TerminateWithoutAnExceptionIsStillRecorded) {
  ChildResult result = terminateWith([] { std::terminate(); });
  EXPECT_TRUE(result.killedBy(SIGABRT)) << result.output;
  EXPECT_EQ(result["events"], "1");
  EXPECT_EQ(result["cppName"], "(none)");
  EXPECT_EQ(result["previous"], "called");
}

TEST(PloverCrashCPPExceptionMonitorTest, DisablingPutsThePreviousHandlerBack) {
  ChildResult result = runInChild([] {
    std::set_terminate(previousTerminateHandler);
    plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeCPPException);
    childReport("replaced", "%d", std::get_terminate() != previousTerminateHandler ? 1 : 0);
    plovercrashcm_setActiveMonitors(PloverCrashMonitorTypeNone);
    childReport("restored", "%d", std::get_terminate() == previousTerminateHandler ? 1 : 0);
    return 0;
  });
  ASSERT_TRUE(result.exitedWith(0)) << result.output;
  EXPECT_EQ(result["replaced"], "1");
  EXPECT_EQ(result["restored"], "1");
}

TEST(PloverCrashCPPExceptionMonitorTest, TypeNamesAreReadWithoutTheRuntime) {
  struct Case {
    const char* mangled;
    const char* readable;
  };
  const Case cases[] = {
      {"i", "int"},
      {"y", "unsigned long long"},
      {"PKc", "char const*"},
      {"Pc", "char*"},
      {"St13runtime_error", "std::runtime_error"},
      {"NSt3__16vectorE", "std::__1::vector"},
      {"N2vx5ErrorE", "vx::Error"},
      {"11NSException", "NSException"},
      {"Z3fooE", "Z3fooE"},
      {"9tooShort", "9tooShort"},
  };
  char buffer[64];
  for (const Case& c : cases) {
    EXPECT_STREQ(plovercrashcm_cppexception_typeName(c.mangled, buffer, sizeof buffer), c.readable) << c.mangled;
  }
  char small[6];
  EXPECT_STREQ(plovercrashcm_cppexception_typeName("St13runtime_error", small, sizeof small), "std::");
}

}  // namespace
