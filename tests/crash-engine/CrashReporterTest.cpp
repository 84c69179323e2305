// The reporter facade and the writer's limits: live reports, the byte budget with many deep
// threads, missing required texts, enable once per process, pending report handling.
#include "crash-engine/report/MSHXCrashLogWriter.h"
#include "crash-engine/report/MSHXCrashReport.h"
#include "crash-engine/MSHXCrashReporter.h"
#include "crash-engine/support/ReportSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace {

struct WriteRequest {
  MShxcrash_log_writer* writer;
  MShxcrash_async_file* file;
  const MShxcrash_log_signal_info* siginfo;
};

hxcrash_error_t writeFromHere(hxcrash_async_thread_state* state, void* context) {
  auto* request = static_cast<WriteRequest*>(context);
  return MShxcrash_log_writer_write(request->writer, MSpl_mach_thread_self(), hxcrash_shared_image_list(),
                                    request->file, request->siginfo, state);
}

// Writes a report of the calling thread (marked crashed) into a file with the given limit.
std::vector<std::uint8_t> writeReport(MShxcrash_log_writer* writer, std::int64_t limit) {
  cetest::ReportFile file(limit);
  MShxcrash_log_bsd_signal_info bsd{SIGSEGV, 1, 0x10};
  MShxcrash_log_signal_info siginfo{&bsd, nullptr};
  WriteRequest request{writer, file.file(), &siginfo};
  EXPECT_EQ(MShxcrash_async_thread_state_current(writeFromHere, &request), hxcrash_error_none);
  return file.close();
}

// Threads that wait deep in a recursion, so each has a long stack.
class DeepThreads {
 public:
  DeepThreads(int count, int depth) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this, depth] { recurse(depth); });
    }
    while (ready_.load() < count) std::this_thread::yield();
  }
  ~DeepThreads() {
    stop_.store(true);
    for (auto& t : threads_) t.join();
  }

 private:
  __attribute__((noinline)) int recurse(int depth) {
    if (depth == 0) {
      ready_.fetch_add(1);
      while (!stop_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return 0;
    }
    volatile int keep = recurse(depth - 1);
    return keep + 1;
  }
  std::vector<std::thread> threads_;
  std::atomic<int> ready_{0};
  std::atomic<bool> stop_{false};
};

}  // namespace

TEST(CrashReporterTest, ByteBudgetKeepsTheReportWholeAndTheCrashedThreadIn) {
  DeepThreads threads(8, 60);
  MShxcrash_log_writer writer;
  MShxcrash_log_writer_init(&writer, "com.vexelworks.budget", "1", nullptr, 0, false);

  const auto full = writeReport(&writer, 0);
  vx::Error error;
  auto fullReport = MSHXCrashReport::makeWithData(full, &error);
  ASSERT_TRUE(fullReport) << error.description;
  EXPECT_GE(fullReport->threads().size(), 9u);
  ASSERT_GT(full.size(), 6000u);

  for (std::int64_t limit : {std::int64_t{5000}, std::int64_t{3500}}) {
    const auto cut = writeReport(&writer, limit);
    EXPECT_LE(cut.size(), static_cast<std::size_t>(limit));
    auto report = MSHXCrashReport::makeWithData(cut, &error);
    ASSERT_TRUE(report) << "limit " << limit << ": " << error.description;
    EXPECT_LT(report->threads().size(), fullReport->threads().size());
    const auto crashed = cetest::crashedThreads(*report);
    ASSERT_EQ(crashed.size(), 1u);
    EXPECT_FALSE(crashed[0]->registers().empty());
    EXPECT_FALSE(crashed[0]->stackFrames().empty());
    EXPECT_EQ(report->images().size(), fullReport->images().size());
    EXPECT_EQ(report->signalInfo()->name(), "SIGSEGV");
  }
  MShxcrash_log_writer_free(&writer);
}

TEST(CrashReporterTest, CrashedThreadStaysWhenTheThreadListFails) {
  MShxcrash_log_writer writer;
  MShxcrash_log_writer_init(&writer, "com.vexelworks.nolist", "1", nullptr, 0, false);
  MShxcrash_log_writer_list_threads = [](vx::thread_t*, std::size_t, std::size_t* count) {
    *count = 0;
    return false;
  };
  const auto bytes = writeReport(&writer, MSHXCRASH_REPORT_MAX_SIZE);
  MShxcrash_log_writer_list_threads = MShxcrash_async_task_threads;
  vx::Error error;
  auto report = MSHXCrashReport::makeWithData(bytes, &error);
  ASSERT_TRUE(report) << error.description;
  ASSERT_EQ(report->threads().size(), 1u);
  EXPECT_TRUE(report->threads()[0]->crashed());
  EXPECT_EQ(report->threads()[0]->threadNumber(), 0);
  EXPECT_FALSE(report->threads()[0]->registers().empty());
  EXPECT_FALSE(report->threads()[0]->stackFrames().empty());
  MShxcrash_log_writer_free(&writer);
}

TEST(CrashReporterTest, OtherCrashedThreadWithoutCallerState) {
  // One deep thread crashed; the writing thread gives no state of its own and is left out.
  std::atomic<vx::thread_t> deepTid{0};
  std::atomic<bool> stop{false};
  std::function<int(int)> recurse = [&](int depth) -> int {
    if (depth == 0) {
      deepTid.store(MSpl_mach_thread_self());
      while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return 0;
    }
    volatile int keep = recurse(depth - 1);
    return keep + 1;
  };
  // Deeper than the frame limit in every build: an optimised build folds std::function's call
  // layers into one frame per level.
  std::thread deep([&] { recurse(600); });
  while (deepTid.load() == 0) std::this_thread::yield();

  MShxcrash_log_writer writer;
  MShxcrash_log_writer_init(&writer, "com.vexelworks.other", "1", nullptr, 0, false);
  cetest::ReportFile file(MSHXCRASH_REPORT_MAX_SIZE);
  MShxcrash_log_bsd_signal_info bsd{SIGBUS, 2, 0x20};
  MShxcrash_log_signal_info siginfo{&bsd, nullptr};
  EXPECT_EQ(
      MShxcrash_log_writer_write(&writer, deepTid.load(), hxcrash_shared_image_list(), file.file(), &siginfo, nullptr),
      hxcrash_error_none);
  const auto bytes = file.close();
  stop.store(true);
  deep.join();
  vx::Error error;
  auto report = MSHXCrashReport::makeWithData(bytes, &error);
  ASSERT_TRUE(report) << error.description;
  std::size_t crashedCount = 0;
  for (std::size_t i = 0; i < report->threads().size(); ++i) {
    const auto& t = report->threads()[i];
    EXPECT_EQ(t->threadNumber(), static_cast<std::int64_t>(i));  // numbers close up
    if (t->crashed()) {
      ++crashedCount;
      EXPECT_FALSE(t->registers().empty());
      // Each level of the recursion is at least one frame: the walk stops at 512.
      EXPECT_EQ(t->stackFrames().size(), 512u);
    } else {
      EXPECT_TRUE(t->registers().empty());
    }
  }
  EXPECT_EQ(crashedCount, 1u);
  MShxcrash_log_writer_free(&writer);
}

TEST(CrashReporterTest, MissingRequiredTextsAreWrittenEmpty) {
  MShxcrash_log_writer writer;
  MShxcrash_log_writer_init(&writer, nullptr, nullptr, nullptr, 0, false);
  MShxcrash_log_writer_set_exception(&writer, nullptr, nullptr, nullptr, 0);
  const auto bytes = writeReport(&writer, MSHXCRASH_REPORT_MAX_SIZE);
  vx::Error error;
  auto report = MSHXCrashReport::makeWithData(bytes, &error);
  ASSERT_TRUE(report) << error.description;
  EXPECT_EQ(report->applicationInfo()->applicationIdentifier(), "");
  EXPECT_EQ(report->applicationInfo()->applicationVersion(), "");
  ASSERT_TRUE(report->hasExceptionInfo());
  EXPECT_EQ(report->exceptionInfo()->exceptionName(), "");
  EXPECT_FALSE(report->exceptionInfo()->stackFrames());
  MShxcrash_log_writer_free(&writer);
}

TEST(CrashReporterTest, ExceptionFramesStopAt512) {
  MShxcrash_log_writer writer;
  MShxcrash_log_writer_init(&writer, "id", "1", "2.0", 0, false);
  std::vector<std::uint64_t> addresses(1000);
  for (std::size_t i = 0; i < addresses.size(); ++i) addresses[i] = 0x1000 + i;
  MShxcrash_log_writer_set_exception(&writer, "E", "R", addresses.data(), addresses.size());
  auto report = MSHXCrashReport::makeWithData(writeReport(&writer, MSHXCRASH_REPORT_MAX_SIZE), nullptr);
  ASSERT_TRUE(report);
  ASSERT_TRUE(report->exceptionInfo()->stackFrames());
  EXPECT_EQ(report->exceptionInfo()->stackFrames()->size(), 512u);
  EXPECT_EQ((*report->exceptionInfo()->stackFrames())[511]->instructionPointer(), 0x1000u + 511);
  MShxcrash_log_writer_free(&writer);
}

TEST(CrashReporterTest, LiveReportOfTheCallingThread) {
  MSHXCrashReporter reporter("com.vexelworks.live", "3", std::nullopt, MSHXCrashReporterConfig::defaultConfiguration());
  vx::Error error;
  const auto data = reporter.generateLiveReportAndReturnError(&error);
  ASSERT_TRUE(data) << error.description;
  auto report = MSHXCrashReport::makeWithData(*data, &error);
  ASSERT_TRUE(report) << error.description;
  EXPECT_EQ(report->signalInfo()->name(), "SIGTRAP");
  EXPECT_EQ(report->applicationInfo()->applicationIdentifier(), "com.vexelworks.live");
  EXPECT_FALSE(report->applicationInfo()->applicationMarketingVersion());
  bool crashed = false;
  for (const auto& t : report->threads()) crashed = crashed || (t->crashed() && !t->stackFrames().empty());
  EXPECT_TRUE(crashed);
}

TEST(CrashReporterTest, ReportFolderAndPendingReport) {
  MSHXCrashReporter reporter("com.vexelworks/pending", "1", std::nullopt, nullptr);
  EXPECT_EQ(reporter.crashReportDirectory().filename(), "com.vexelworks_pending");
  EXPECT_EQ(reporter.crashReportPath().filename(), "live_report.hxcrash");
  EXPECT_EQ(reporter.config()->signalHandlerType(), 0u);
  EXPECT_TRUE(reporter.config()->shouldRegisterUncaughtExceptionHandler());
  EXPECT_FALSE(reporter.hasPendingCrashReport());
  vx::Error error;
  EXPECT_FALSE(reporter.purgePendingCrashReportAndReturnError(&error));
  ASSERT_TRUE(reporter.populateCrashReportDirectoryAndReturnError(&error));
  EXPECT_TRUE(std::filesystem::is_directory(reporter.queuedCrashReportDirectory()));
  std::ofstream(reporter.crashReportPath()) << "hxcrash";
  EXPECT_TRUE(reporter.hasPendingCrashReport());
  EXPECT_EQ(reporter.loadPendingCrashReportData()->size(), 7u);
  EXPECT_TRUE(reporter.purgePendingCrashReport());
  EXPECT_FALSE(reporter.hasPendingCrashReport());
}

TEST(CrashReporterTest, EnablesOncePerProcess) {
  // Enabling installs process-wide handlers: done in a child.
  EXPECT_EXIT(
      {
        MSHXCrashReporter first("com.vexelworks.once", "1", std::nullopt,
                                std::make_shared<MSHXCrashReporterConfig>(1, 0));
        MSHXCrashReporter second("com.vexelworks.twice", "1", std::nullopt, nullptr);
        vx::Error error;
        if (!first.enableCrashReporterAndReturnError(&error)) _exit(10);
        if (second.enableCrashReporterAndReturnError(&error)) _exit(11);
        if (error.code != 3 || error.description != "A HXCrashReporter instance has already been enabled") {
          _exit(12);
        }
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

namespace {

const char* g_callbackReportPath = nullptr;

void postCrashCallback(siginfo_t* info, ucontext_t*, void*) {
  // The report is complete when the callback runs.
  if (access(g_callbackReportPath, R_OK) == 0 && info->si_signo == SIGSEGV) {
    const char line[] = "callback saw report\n";
    (void)!write(2, line, sizeof line - 1);
  }
}

[[noreturn]] void crashWithCallback(MSHXCrashReporter& reporter) {
  static std::string path;
  path = reporter.crashReportPath().string();
  g_callbackReportPath = path.c_str();
  HXCrashReporterCallbacks callbacks{0, nullptr, postCrashCallback};
  reporter.setCrashCallbacks(&callbacks);
  reporter.enableCrashReporter();
  raise(SIGSEGV);
  _exit(5);
}

}  // namespace

TEST(CrashReporterTest, CrashCallbackRunsAfterTheReport) {
  MSHXCrashReporter reporter("com.vexelworks.callback", "1", std::nullopt,
                             std::make_shared<MSHXCrashReporterConfig>(1, 0));
  std::filesystem::remove(reporter.crashReportPath());
  EXPECT_EXIT(crashWithCallback(reporter), ::testing::KilledBySignal(SIGSEGV), "callback saw report");
  auto data = reporter.loadPendingCrashReportData();
  ASSERT_TRUE(data);
  auto report = MSHXCrashReport::makeWithData(*data, nullptr);
  ASSERT_TRUE(report);
  EXPECT_EQ(report->signalInfo()->name(), "SIGSEGV");
  EXPECT_EQ(report->signalInfo()->code(), "SI_TKILL");
}

namespace {

void throwUncaught(MSHXCrashReporter& reporter) {
  reporter.enableCrashReporter();
  // Nothing catches on a thread of its own: the exception reaches std::terminate.
  std::thread([] { throw std::runtime_error("the icon cache is gone"); }).join();
}

}  // namespace

TEST(CrashReporterTest, UncaughtExceptionIsInTheReport) {
  MSHXCrashReporter reporter("com.vexelworks.uncaught", "1", std::nullopt, nullptr);
  std::filesystem::remove(reporter.crashReportPath());
  EXPECT_EXIT(throwUncaught(reporter), ::testing::KilledBySignal(SIGABRT), "");
  auto data = reporter.loadPendingCrashReportData();
  ASSERT_TRUE(data);
  vx::Error error;
  auto report = MSHXCrashReport::makeWithData(*data, &error);
  ASSERT_TRUE(report) << error.description;
  EXPECT_EQ(report->signalInfo()->name(), "SIGABRT");
  ASSERT_TRUE(report->hasExceptionInfo());
  EXPECT_EQ(report->exceptionInfo()->exceptionName(), "std::runtime_error");
  EXPECT_EQ(report->exceptionInfo()->exceptionReason(), "the icon cache is gone");
}
