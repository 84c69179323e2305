// Crash report to error log: real reports written by the engine in crashed children (a fault, an
// uncaught C++ exception through the crash service's handler), reports cut short or foreign, and
// the formatter's text rules.
#include "crash-engine/MSHXCrashReporter.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzevCrashes/MSCrashesCXXExceptionHandler.h"
#include "telemetry/ZerEvuzevCrashes/MSErrorLogFormatter.h"
#include "telemetry/ZerEvuzevCrashes/MSWrapperExceptionManager.h"
#include "telemetry/crashes/MSCrashesTestSupport.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern "C" __attribute__((noinline)) void formatterTestThrow() { throw std::runtime_error("the palette is empty"); }

namespace {

using crashes_test::runInChild;

std::shared_ptr<MSHXCrashReporter> makeReporter(const std::string& name) {
  // Mach handling on and no symbolication, as the crash service configures the engine.
  return std::make_shared<MSHXCrashReporter>("com.vexelworks.crashes-test." + name, "1", std::nullopt,
                                             std::make_shared<MSHXCrashReporterConfig>(1, 0));
}

// Not null (the undefined-behaviour checks would stop a null write first), and never mapped.
volatile std::uintptr_t g_nowhere = 0x10;

// A report of a segmentation fault in a child, read by the parent.
std::vector<std::uint8_t> segfaultReport() {
  static const std::vector<std::uint8_t> bytes = [] {
    auto reporter = makeReporter("segv");
    std::filesystem::remove(reporter->crashReportPath());
    const auto child = runInChild([&reporter] {
      reporter->enableCrashReporter();
      *reinterpret_cast<volatile int*>(g_nowhere) = 1;
    });
    EXPECT_TRUE(child.killedBy(SIGSEGV));
    return reporter->loadPendingCrashReportData().value_or(std::vector<std::uint8_t>{});
  }();
  return bytes;
}

TEST(MSErrorLogFormatterTest, ARealFaultBecomesAValidErrorLog) {
  const auto data = segfaultReport();
  ASSERT_FALSE(data.empty());
  auto report = MSHXCrashReport::makeWithData(data, nullptr);
  ASSERT_TRUE(report);
  auto log = MSErrorLogFormatter::errorLogFromCrashReport(*report);
  ASSERT_TRUE(log);
  EXPECT_TRUE(log->isValid()) << log->serializeLogWithPrettyPrinting(true).value_or("");

  EXPECT_EQ(log->type, "appleError");
  EXPECT_EQ(log->errorId, report->uuidString());
  EXPECT_TRUE(log->fatal);
  EXPECT_EQ(log->osExceptionType, "SIGSEGV");
  EXPECT_EQ(log->osExceptionCode, "SEGV_MAPERR");
  EXPECT_EQ(log->osExceptionAddress, "0x10");
  // ELF images are recorded as x86-64 Mach code types.
  EXPECT_EQ(log->primaryArchitectureId, 0x1000007u);
  EXPECT_EQ(log->architectureVariantId, 3u);
  EXPECT_EQ(*log->processName, report->processInfo()->processName().value_or(""));
  EXPECT_GT(*log->processId, 0);
  EXPECT_EQ(*log->parentProcessId, static_cast<std::int64_t>(getpid()));
  EXPECT_FALSE(log->exceptionType);
  EXPECT_FALSE(log->selectorRegisterValue);  // x86-64 registers have no selector register

  // The crash time has whole seconds in the report: the log's time ends in .999.
  const double seconds = std::chrono::duration<double>(log->timestamp->time_since_epoch()).count();
  EXPECT_NEAR(seconds - std::floor(seconds), 0.999, 1e-6);

  ASSERT_TRUE(log->threads);
  ASSERT_FALSE(log->threads->empty());
  bool sawCrashed = false;
  for (const auto& thread : *log->threads) {
    EXPECT_TRUE(thread->isValid());
    if (*thread->threadId == *log->errorThreadId) sawCrashed = true;
    for (const auto& frame : *thread->frames) {
      ASSERT_TRUE(frame->address);
      EXPECT_EQ(frame->address->size(), 18u);  // "0x" and 16 digits
      ASSERT_TRUE(frame->code);
      EXPECT_NE(frame->code->find(" + "), std::string::npos);
    }
  }
  EXPECT_TRUE(sawCrashed);
  ASSERT_TRUE(log->registers);
  EXPECT_TRUE(log->registers->count("rip"));
  EXPECT_EQ(log->registers->at("rip").size(), 18u);

  ASSERT_TRUE(log->binaries);
  ASSERT_FALSE(log->binaries->empty());
  bool sawExecutable = false;
  std::uint64_t previousStart = 0;
  for (const auto& binary : *log->binaries) {
    EXPECT_TRUE(binary->isValid());
    EXPECT_EQ(binary->primaryArchitectureId, 0x1000007u);
    const std::uint64_t start = std::stoull(*binary->startAddress, nullptr, 16);
    EXPECT_GE(start, previousStart);
    previousStart = start;
    if (*binary->name == "telemetry_crashes_MSErrorLogFormatterTest") sawExecutable = true;
  }
  EXPECT_TRUE(sawExecutable);

  // The log survives the log store's archive.
  MSRegisterCrashesArchivableClasses();
  auto back = MSUnarchiveObject<MSAppleErrorLog>(MSArchivedData(*log).value());
  ASSERT_TRUE(back);
  EXPECT_TRUE(back.value()->isEqual(*log));

  auto summary = MSErrorLogFormatter::errorReportFromCrashReport(report);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->incidentIdentifier(), log->errorId);
  EXPECT_EQ(summary->signal(), "SIGSEGV");
  EXPECT_EQ(summary->appProcessIdentifier(), static_cast<std::uint64_t>(*log->processId));
  EXPECT_EQ(summary->reporterKey(), MSZerEvuzev::installId().uuidString());
  EXPECT_FALSE(MSErrorLogFormatter::errorReportFromCrashReport(nullptr));
}

TEST(MSErrorLogFormatterTest, AnUncaughtCxxExceptionCarriesItsTypeReasonAndThrowStack) {
  auto reporter = makeReporter("cxx");
  std::filesystem::remove(reporter->crashReportPath());
  const auto child = runInChild([&reporter] {
    reporter->enableCrashReporter();
    MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(ms_cxx_exception_handler);
    std::thread([] { formatterTestThrow(); }).join();
  });
  EXPECT_TRUE(child.killedBy(SIGABRT));
  auto data = reporter->loadPendingCrashReportData();
  ASSERT_TRUE(data);
  auto report = MSHXCrashReport::makeWithData(*data, nullptr);
  ASSERT_TRUE(report);
  ASSERT_TRUE(report->hasExceptionInfo());
  ASSERT_TRUE(report->exceptionInfo()->stackFrames());
  EXPECT_TRUE(crashes_test::returnAddressIsIn(report->exceptionInfo()->stackFrames()->front()->instructionPointer(),
                                              reinterpret_cast<const void*>(&formatterTestThrow)));

  auto log = MSErrorLogFormatter::errorLogFromCrashReport(*report);
  EXPECT_TRUE(log->isValid());
  EXPECT_EQ(log->osExceptionType, "SIGABRT");
  EXPECT_EQ(log->exceptionType, "std::runtime_error");
  EXPECT_EQ(log->exceptionReason, "the palette is empty");
  std::shared_ptr<MSException> exception;
  for (const auto& thread : *log->threads) {
    if (*thread->threadId == *log->errorThreadId) exception = thread->exception;
  }
  ASSERT_TRUE(exception);
  EXPECT_TRUE(exception->isValid());
  EXPECT_EQ(exception->type, "std::runtime_error");
  EXPECT_EQ(exception->message, "the palette is empty");
  EXPECT_FALSE(exception->frames->front()->code);
}

TEST(MSErrorLogFormatterTest, CutForeignAndEmptyReportsConvertToNothingWithAWarning) {
  const auto data = segfaultReport();
  ASSERT_GT(data.size(), 64u);
  std::vector<std::vector<std::uint8_t>> inputs;
  for (std::size_t cut :
       {std::size_t{0}, std::size_t{1}, std::size_t{6}, std::size_t{7}, std::size_t{8}, std::size_t{9}, std::size_t{16},
        data.size() / 4, data.size() / 2, data.size() * 3 / 4, data.size() - 2, data.size() - 1}) {
    inputs.emplace_back(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(cut));
  }
  const std::string text = "not a crash report at all";
  inputs.emplace_back(text.begin(), text.end());
  std::vector<std::uint8_t> wrongVersion = data;
  wrongVersion[7] = 99;
  inputs.push_back(wrongVersion);

  for (std::size_t i = 0; i < inputs.size(); ++i) {
    MSLogRecorder recorder(MSLogLevel::Warning);
    EXPECT_FALSE(MSErrorLogFormatter::errorLogFromCrashReportData(inputs[i])) << "input " << i;
    EXPECT_EQ(recorder.count("Crash report found but couldn't parse it, discard the crash report: "), 1u)
        << "input " << i;
  }
  MSLogRecorder recorder(MSLogLevel::Warning);
  EXPECT_TRUE(MSErrorLogFormatter::errorLogFromCrashReportData(data));
}

struct PathCase {
  const char* path;
  const char* anonymized;
};

class AnonymizedPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(AnonymizedPathTest, UserFoldersAreHidden) {
  EXPECT_EQ(MSErrorLogFormatter::anonymizedPathFromPath(GetParam().path), GetParam().anonymized);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, AnonymizedPathTest,
    ::testing::Values(
        PathCase{"/Users/alice/Library/X.app/Contents/MacOS/X", "/Users/USER/Library/X.app/Contents/MacOS/X"},
        PathCase{"/private/Users/alice/x", ""}, PathCase{"/usr/lib/libSystem.B.dylib", "/usr/lib/libSystem.B.dylib"},
        PathCase{"/home/alice/bin/vexelworks", "/home/USER/bin/vexelworks"}, PathCase{"/home/alice/", "/home/USER/"},
        PathCase{"/mnt/home/alice/vexelworks", ""},
        PathCase{"/usr/lib/x86_64-linux-gnu/libc.so.6", "/usr/lib/x86_64-linux-gnu/libc.so.6"}, PathCase{"", ""}));

TEST(MSErrorLogFormatterTest, ImageKinds) {
  const std::string process = "/Applications/X.app/Contents/MacOS/X";
  EXPECT_EQ(MSErrorLogFormatter::imageTypeForImagePath(process, process), MSImageKindProcessExecutable);
  EXPECT_EQ(MSErrorLogFormatter::imageTypeForImagePath("/Applications/X.app/Contents/MacOS/./X", process),
            MSImageKindProcessExecutable);
  EXPECT_EQ(
      MSErrorLogFormatter::imageTypeForImagePath("/Applications/Other.app/Contents/Frameworks/F.framework/F", process),
      MSImageKindInsideAppBundle);
  EXPECT_EQ(
      MSErrorLogFormatter::imageTypeForImagePath("/Applications/X.app/Contents/Frameworks/libswiftCore.dylib", process),
      MSImageKindOther);
  EXPECT_EQ(MSErrorLogFormatter::imageTypeForImagePath("/usr/lib/libc.so.6", process), MSImageKindOther);
  EXPECT_EQ(MSErrorLogFormatter::imageTypeForImagePath(std::nullopt, process), MSImageKindOther);
  EXPECT_EQ(MSErrorLogFormatter::imageTypeForImagePath(process, std::nullopt), MSImageKindOther);
}

TEST(MSErrorLogFormatterTest, AddressesAndCodeTypes) {
  EXPECT_EQ(MSErrorLogFormatter::formatAddress(1, true), "0x0000000000000001");
  EXPECT_EQ(MSErrorLogFormatter::formatAddress(1, false), "0x00000001");
  EXPECT_EQ(MSErrorLogFormatter::normalizeAddress(0xdeadbeef, false), 0xdeadbeefu);
  EXPECT_TRUE(MSErrorLogFormatter::isCodeType64bit(0x1000007));
  EXPECT_TRUE(MSErrorLogFormatter::isCodeType64bit(0x100000C));
  EXPECT_FALSE(MSErrorLogFormatter::isCodeType64bit(7));
  EXPECT_FALSE(MSErrorLogFormatter::isCodeType64bit(std::nullopt));
  // An image of size 0 or 1 ends at its start; its start touches it.
  EXPECT_TRUE(MSErrorLogFormatter::isBinaryWithStart(0x1000, 0x1000, {0x1000}));
  EXPECT_FALSE(MSErrorLogFormatter::isBinaryWithStart(0x1000, 0x1fff, {0xfff, 0x2000}));
  EXPECT_EQ(MSErrorLogFormatter::uuidRefToString(std::nullopt), std::nullopt);
  std::array<std::uint8_t, 16> uuid{};
  uuid[0] = 0xab;
  EXPECT_EQ(MSErrorLogFormatter::uuidRefToString(uuid), "AB000000-0000-0000-0000-000000000000");
}

TEST(MSErrorLogFormatterTest, AWrapperExceptionOfTheIncidentJoinsTheLog) {
  const auto data = segfaultReport();
  auto report = MSHXCrashReport::makeWithData(data, nullptr);
  ASSERT_TRUE(report);
  MSWrapperException wrapper;
  wrapper.modelException = std::make_shared<MSException>();
  wrapper.modelException->type = "WrapperError";
  wrapper.modelException->frames = std::vector<std::shared_ptr<MSStackFrame>>{std::make_shared<MSStackFrame>()};
  MSWrapperExceptionManager::saveWrapperException(wrapper, *report->uuidString());
  auto log = MSErrorLogFormatter::errorLogFromCrashReport(*report);
  ASSERT_TRUE(log->exception);
  EXPECT_EQ(log->exception->type, "WrapperError");
  MSWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*report->uuidString());
  EXPECT_FALSE(MSErrorLogFormatter::errorLogFromCrashReport(*report)->exception);
}

}  // namespace
