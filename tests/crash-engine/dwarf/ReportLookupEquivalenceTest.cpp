// The FDE lookup through the .eh_frame_hdr table leaves reports unchanged: with 32 threads parked
// at known depths, the report written with every image's header table in use is byte for byte
// the report written with the linear walk of .eh_frame (the lookup the engine used before).
#include "crash-engine/dwarf/HXCrashAsyncDwarfImageCache.h"
#include "crash-engine/report/MSHXCrashLogWriter.h"
#include "crash-engine/report/MSHXCrashReport.h"
#include "crash-engine/MSHXCrashReporter.h"
#include "crash-engine/support/ReportSupport.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace {

constexpr int kParked = 31;  // and the writing thread: 32

std::atomic<int> gReady{0};
std::atomic<pid_t> gTids[kParked];
volatile bool gNeverSet = false;

__attribute__((noinline)) int park(int depth, int index) {
  if (depth > 0) return park(depth - 1, index) + 1;
  gTids[index] = static_cast<pid_t>(syscall(SYS_gettid));
  gReady.fetch_add(1);
  while (!gNeverSet) pause();
  return 0;
}

std::vector<std::uint8_t> writeReport(MShxcrash_log_writer* writer, vx::thread_t crashed) {
  cetest::ReportFile file(MSHXCRASH_REPORT_MAX_SIZE);
  MShxcrash_log_bsd_signal_info bsd{SIGSEGV, 1, 0x10};
  MShxcrash_log_signal_info siginfo{&bsd, nullptr};
  MShxcrash_log_writer_write(writer, crashed, hxcrash_shared_image_list(), file.file(), &siginfo, nullptr);
  return file.close();
}

// Switches every listed image's header table on or off; returns how many have one.
int useTables(bool use, std::vector<MShxcrash_async_macho*>* withTable) {
  MShxcrash_async_image_list* list = hxcrash_shared_image_list();
  if (withTable->empty()) {
    MShxcrash_async_image_list_set_reading(list, true);
    for (MShxcrash_async_macho* image = MShxcrash_async_image_list_next(list, nullptr); image != nullptr;
         image = MShxcrash_async_image_list_next(list, image)) {
      if (image->dwarf_cache != nullptr && image->dwarf_cache->has_table) {
        withTable->push_back(image);
      }
    }
    MShxcrash_async_image_list_set_reading(list, false);
  }
  for (MShxcrash_async_macho* image : *withTable) image->dwarf_cache->has_table = use;
  return static_cast<int>(withTable->size());
}

[[noreturn]] void compareInChild() {
  std::vector<std::thread> threads;
  for (int i = 0; i < kParked; ++i) threads.emplace_back([i] { park(i % 8, i); });
  while (gReady.load() < kParked) std::this_thread::yield();
  MShxcrash_log_writer writer;
  MShxcrash_log_writer_init(&writer, "com.vexelworks.lookup", "1", nullptr, 0, false);
  std::vector<MShxcrash_async_macho*> withTable;
  if (useTables(true, &withTable) < 2) {
    std::fprintf(stderr, "fewer than two images have a header table\n");
    _exit(2);
  }
  // The report's time has a resolution of one second: a pair written across a second boundary
  // is written again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    useTables(true, &withTable);
    const std::vector<std::uint8_t> byTable = writeReport(&writer, gTids[5].load());
    useTables(false, &withTable);
    const std::vector<std::uint8_t> byWalk = writeReport(&writer, gTids[5].load());
    useTables(true, &withTable);
    vx::Error error;
    const auto report = MSHXCrashReport::makeWithData(byTable, &error);
    if (!report || report->threads().size() != kParked) {
      std::fprintf(stderr, "the report does not hold every parked thread\n");
      _exit(3);
    }
    if (byTable == byWalk) _exit(0);
    std::size_t at = 0;
    while (at < byTable.size() && at < byWalk.size() && byTable[at] == byWalk[at]) ++at;
    std::fprintf(stderr, "attempt %d: %zu and %zu bytes, first difference at %zu\n", attempt, byTable.size(),
                 byWalk.size(), at);
    const auto walked = MSHXCrashReport::makeWithData(byWalk, &error);
    if (!walked || walked->systemInfo()->timestamp() == report->systemInfo()->timestamp()) {
      _exit(1);  // not the clock: the lookups disagree
    }
  }
  _exit(1);
}

TEST(ReportLookupEquivalenceTest, ThirtyTwoThreadReportIsTheSameWithTableAndWalk) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) compareInChild();
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
