// The crash service's test crash and its handler set-up, each in a forked child: the child starts
// the telemetry client with the crash service (which enables the crash-recording engine for the
// rest of that process) and the parent reads what the child said and what the engine recorded.
#include "crash-engine/MSHXCrashReporter.h"
#include "crash-engine/report/MSHXCrashReport.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzevCrashes/MSCrashes.h"
#include "telemetry/ZerEvuzevCrashes/MSWrapperCrashesHelper.h"
#include "telemetry/crashes/MSCrashesTestSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <csignal>
#include <memory>
#include <string>

namespace {

using crashes_test::runInChild;
using crashes_test::tell;

#if defined(__x86_64__) || defined(__i386__)
constexpr int kTrapSignal = SIGILL;
constexpr const char* kTrapSignalName = "SIGILL";
#else
constexpr int kTrapSignal = SIGTRAP;
constexpr const char* kTrapSignalName = "SIGTRAP";
#endif

// Nothing listens there: what the client sends goes nowhere.
constexpr const char* kNowhere = "http://127.0.0.1:9";

void startWithCrashes() {
  MSZerEvuzev::sharedInstance()->setLogUrl(kNowhere);
  MSZerEvuzev::start(std::string("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"), {MSCrashes::sharedInstance()});
}

// Tells the parent every line the client logs at the level given or above.
void tellLogLines(MSLogLevel from) {
  MSLogger::setLogHandler([from](const MSLogMessageProvider& message, MSLogLevel level, const std::string&, const char*,
                                 const char*, unsigned) {
    if (level < from) return;
    tell((message() + "\n").c_str());
  });
  MSLogger::setCurrentLogLevel(MSLogLevel::Verbose);
}

MSHXCrashReporter engineReader() {
  return MSHXCrashReporter(std::make_shared<MSHXCrashReporterConfig>(MSHXCrashReporterSignalHandlerTypeBSD,
                                                                     MSHXCrashReporterSymbolicationStrategyNone, true));
}

class MSCrashesTest : public ::testing::Test {
 protected:
  // No report of an earlier test may pass for this one's.
  void SetUp() override { engineReader().purgePendingCrashReport(); }
  void TearDown() override { engineReader().purgePendingCrashReport(); }
};

TEST_F(MSCrashesTest, TheTestCrashTrapsInsideItselfAndTheEngineRecordsIt) {
  const auto child = runInChild([] {
    startWithCrashes();
    tell("started\n");
    MSCrashes::generateTestCrash();
    tell("survived\n");
  });
  ASSERT_TRUE(child.killedBy(kTrapSignal)) << "status " << child.status << "\n" << child.output;
  EXPECT_TRUE(child.has("started"));
  EXPECT_FALSE(child.has("survived"));

  const auto reader = engineReader();
  ASSERT_TRUE(reader.hasPendingCrashReport());
  const auto data = reader.loadPendingCrashReportData();
  ASSERT_TRUE(data.has_value());
  vx::Error error("", 0);
  const auto report = MSHXCrashReport::makeWithData(*data, &error);
  ASSERT_TRUE(report) << error.description;
  ASSERT_TRUE(report->signalInfo());
  EXPECT_EQ(report->signalInfo()->name(), kTrapSignalName);
  // The crashed thread stopped at the trap, in this program's code. The child was forked, so its
  // code lies at the same addresses here. (An optimiser may move the trap out of line, beyond the
  // function's own symbol, so it is recognised by its bytes.)
  bool found = false;
  for (const auto& thread : report->threads()) {
    if (!thread->crashed()) continue;
    found = true;
    ASSERT_FALSE(thread->stackFrames().empty());
    const auto ip = thread->stackFrames().front()->instructionPointer();
    Dl_info at{};
    Dl_info service{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(ip), &at), 0);
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&MSCrashes::generateTestCrash), &service), 0);
    EXPECT_EQ(at.dli_fbase, service.dli_fbase);
#if defined(__x86_64__) || defined(__i386__)
    const auto* code = reinterpret_cast<const unsigned char*>(ip);
    EXPECT_EQ(code[0], 0x0F);  // ud2
    EXPECT_EQ(code[1], 0x0B);
#endif
  }
  EXPECT_TRUE(found);
}

TEST_F(MSCrashesTest, TheTestCrashBeforeStartDoesNothing) {
  const auto child = runInChild([] {
    tellLogLines(MSLogLevel::Error);
    MSCrashes::generateTestCrash();
    tell("survived\n");
  });
  EXPECT_TRUE(child.exitedWith(0)) << "status " << child.status;
  EXPECT_TRUE(child.has("survived"));
  EXPECT_TRUE(
      child.has("Crashes service hasn't been started. You need to call [MSZerEvuzev start:YOUR_APP_SECRET "
                "withServices:LIST_OF_SERVICES] first."))
      << child.output;
  EXPECT_FALSE(engineReader().hasPendingCrashReport());
}

// Records the order of the set-up delegate's calls and what the engine was configured with.
class RecordingSetupDelegate : public MSCrashHandlerSetupDelegate {
 public:
  explicit RecordingSetupDelegate(bool answer) : answer_(answer) {}
  bool shouldEnableUncaughtExceptionHandler() override {
    tell("should\n");
    return answer_;
  }
  void willSetUpCrashHandlers() override {
    tell(MSCrashes::sharedInstance()->hxCrashReporter() ? "will: configured\n" : "will: not configured\n");
  }
  void didSetUpCrashHandlers() override {
    const auto& reporter = MSCrashes::sharedInstance()->hxCrashReporter();
    if (!reporter) {
      tell("did: not configured\n");
      return;
    }
    tell(reporter->config()->shouldRegisterUncaughtExceptionHandler() ? "did: hook 1\n" : "did: hook 0\n");
  }

 private:
  bool answer_;
};

// A delegate that implements none of the calls.
class SilentSetupDelegate : public MSCrashHandlerSetupDelegate {};

void tellEngineHook() {
  const auto& reporter = MSCrashes::sharedInstance()->hxCrashReporter();
  if (!reporter) {
    tell("engine: none\n");
    return;
  }
  tell(reporter->config()->shouldRegisterUncaughtExceptionHandler() ? "engine: hook 1\n" : "engine: hook 0\n");
}

TEST_F(MSCrashesTest, TheSetUpDelegateIsAskedThenToldAroundTheEngineSetUp) {
  const auto child = runInChild([] {
    const auto delegate = std::make_shared<RecordingSetupDelegate>(false);
    MSWrapperCrashesHelper::setCrashHandlerSetupDelegate(delegate);
    startWithCrashes();
    tellEngineHook();
  });
  ASSERT_TRUE(child.exitedWith(0)) << "status " << child.status;
  EXPECT_EQ(child.output, "should\nwill: not configured\ndid: hook 0\nengine: hook 0\n");
}

struct DefaultCase {
  const char* name;
  std::shared_ptr<MSCrashHandlerSetupDelegate> (*make)();
};

class SetUpDefaultsTest : public MSCrashesTest, public ::testing::WithParamInterface<DefaultCase> {};

// Without a delegate, or with one that implements nothing, the engine takes the hook.
TEST_P(SetUpDefaultsTest, TheEngineRegistersItsUncaughtExceptionHook) {
  const auto make = GetParam().make;
  const auto child = runInChild([make] {
    const auto delegate = make();
    if (delegate) MSWrapperCrashesHelper::setCrashHandlerSetupDelegate(delegate);
    startWithCrashes();
    tellEngineHook();
  });
  ASSERT_TRUE(child.exitedWith(0)) << "status " << child.status;
  EXPECT_EQ(child.output, "engine: hook 1\n");
}

INSTANTIATE_TEST_SUITE_P(Delegates, SetUpDefaultsTest,
                         ::testing::Values(DefaultCase{"None",
                                                       [] { return std::shared_ptr<MSCrashHandlerSetupDelegate>(); }},
                                           DefaultCase{"Silent",
                                                       [] {
                                                         return std::shared_ptr<MSCrashHandlerSetupDelegate>(
                                                             std::make_shared<SilentSetupDelegate>());
                                                       }},
                                           // Released before the service starts: as if none were set.
                                           DefaultCase{"Released",
                                                       [] {
                                                         MSWrapperCrashesHelper::setCrashHandlerSetupDelegate(
                                                             std::make_shared<RecordingSetupDelegate>(false));
                                                         return std::shared_ptr<MSCrashHandlerSetupDelegate>();
                                                       }}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
