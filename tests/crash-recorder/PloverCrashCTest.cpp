// The recorder entry, the report store and the report fixer: a forked child installs the
// recorder and crashes, and the store and fixer read what it left; the store's naming, pruning
// and failures; the fixer's dates, limits and cut files.
#include "reporting/crash-recorder/Recording/PloverCrashC.h"
#include "reporting/crash-recorder/Recording/PloverCrashReportFixer.h"
#include "reporting/crash-recorder/Recording/PloverCrashReportStore.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include "crash-recorder/ForkedChild.h"
#include "crash-recorder/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/mman.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>

using nlohmann::json;

namespace {

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};
using Text = std::unique_ptr<char, FreeDeleter>;

__attribute__((noinline)) void writeTo(volatile char* address) { *address = 1; }

class RecorderStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(plovercrashlog_setLogFilename(log.c_str(), true));
    plovercrashcrs_setMaxReportCount(5);
    plovercrashcrs_initialize("Vexel", reports.c_str());
  }
  void TearDown() override { plovercrashlog_setLogFilename(nullptr, false); }
  std::string logText() const { return TemporaryFolder::read(log); }

  TemporaryFolder folder;
  std::string reports = folder.file("Reports");
  std::string log = folder.file("log.txt");
};

TEST_F(RecorderStoreTest, ReportsAreNamedCountedAndListedInOrder) {
  const std::int64_t first = plovercrashcrs_addUserReport("{}", 2);
  const std::int64_t second = plovercrashcrs_addUserReport("{}", 2);
  ASSERT_GT(first, 0);
  EXPECT_EQ(second, first + 1);
  char name[64];
  std::snprintf(name, sizeof name, "Vexel-report-%016llx.json", static_cast<unsigned long long>(first));
  EXPECT_TRUE(std::filesystem::exists(reports + "/" + name));
  // Files that are no reports of this application are not counted.
  TemporaryFolder::write(reports + "/Vexel-report-0000000000000000.json", "{}");
  TemporaryFolder::write(reports + "/Other-report-0000000000000001.json", "{}");
  TemporaryFolder::write(reports + "/Vexel-report-12.json.tmp", "{}");
  EXPECT_EQ(plovercrashcrs_getReportCount(), 2);
  std::int64_t ids[10];
  ASSERT_EQ(plovercrashcrs_getReportIDs(ids, 10), 2);
  EXPECT_EQ(ids[0], first);
  EXPECT_EQ(ids[1], second);
  EXPECT_EQ(plovercrashcrs_getReportIDs(ids, 1), 1);

  plovercrashcrs_deleteReportWithID(first);
  EXPECT_EQ(plovercrashcrs_getReportCount(), 1);
  plovercrashcrs_deleteReportWithID(first);
  EXPECT_NE(logText().find("Could not delete"), std::string::npos);
  plovercrashcrs_deleteAllReports();
  EXPECT_EQ(plovercrashcrs_getReportCount(), 0);
  EXPECT_TRUE(std::filesystem::is_directory(reports));
}

TEST_F(RecorderStoreTest, RunsStartedWithinOneSecondNeverShareAnID) {
  const std::int64_t first = plovercrashcrs_addUserReport("{}", 2);
  plovercrashcrs_initialize("Vexel", reports.c_str());
  const std::int64_t second = plovercrashcrs_addUserReport("{}", 2);
  char path[500];
  plovercrashcrs_initialize("Vexel", reports.c_str());
  plovercrashcrs_getNextCrashReportPath(path);
  EXPECT_GT(second, first);
  EXPECT_FALSE(std::filesystem::exists(path)) << path;
  EXPECT_EQ(plovercrashcrs_getReportCount(), 2);
}

TEST_F(RecorderStoreTest, InitialisationKeepsOnlyTheNewestReports) {
  std::vector<std::int64_t> added;
  for (int i = 0; i < 7; ++i) added.push_back(plovercrashcrs_addUserReport("{}", 2));
  plovercrashcrs_initialize("Vexel", reports.c_str());
  std::int64_t ids[10];
  ASSERT_EQ(plovercrashcrs_getReportIDs(ids, 10), 5);
  EXPECT_EQ(ids[0], added[2]);
  EXPECT_EQ(ids[4], added[6]);
}

TEST_F(RecorderStoreTest, AReportThatCannotBeWrittenGetsNoID) {
  std::filesystem::remove_all(reports);
  TemporaryFolder::write(reports, "a file where the folder was");
  EXPECT_EQ(plovercrashcrs_addUserReport("{}", 2), 0);
  EXPECT_NE(logText().find("Could not open file"), std::string::npos);
}

TEST_F(RecorderStoreTest, ReadingFixesTimestampsAndRefusesBadReports) {
  const std::string report = R"({"report":{"timestamp":0,"id":"x"},"crash":{"timestamp":5},)"
                             R"("recrash_report":{"report":{"timestamp":86400}}})";
  const std::int64_t id = plovercrashcrs_addUserReport(report.data(), static_cast<int>(report.size()));
  Text fixed(plovercrash_readReport(id));
  ASSERT_NE(fixed, nullptr);
  const json r = json::parse(fixed.get());
  EXPECT_EQ(r["report"]["timestamp"], "1970-01-01T00:00:00Z");
  EXPECT_EQ(r["crash"]["timestamp"], 5);
  EXPECT_EQ(r["recrash_report"]["report"]["timestamp"], "1970-01-02T00:00:00Z");
  EXPECT_NE(std::string(fixed.get()).find("\n    \"report\": {"), std::string::npos);

  EXPECT_EQ(plovercrash_readReport(0), nullptr);
  EXPECT_NE(logText().find("Report ID was 0"), std::string::npos);
  EXPECT_EQ(plovercrash_readReport(id + 100), nullptr);
  EXPECT_NE(logText().find("Failed to load report ID"), std::string::npos);
}

TEST_F(RecorderStoreTest, AnOversizeReportIsRefusedNotReadInPart) {
  const std::int64_t id = plovercrashcrs_addUserReport("{}", 2);
  char name[64];
  std::snprintf(name, sizeof name, "/Vexel-report-%016llx.json", static_cast<unsigned long long>(id));
  TemporaryFolder::write(reports + name, "[" + std::string(2000000, ' ') + "]");
  EXPECT_EQ(plovercrashcrs_readReport(id), nullptr);
  EXPECT_NE(logText().find("more than the 2000000 a report may have"), std::string::npos);
}

TEST_F(RecorderStoreTest, AReportCutAtAnyByteIsFixedOrRefusedWithAReason) {
  const std::string full = R"({"report":{"version":"3.2.0","timestamp":1700000000,"type":"standard"},)"
                           R"("crash":{"error":{"reason":"a \"quoted\" \u00e9 reason","address":123},)"
                           R"("threads":[{"index":0,"crashed":true,"backtrace":{"contents":[{"a":1.5e3}]}}]},)"
                           R"("user":{"list":[null,true,false,-7]}})";
  int fixedCount = 0;
  for (std::size_t cut = 0; cut <= full.size(); ++cut) {
    const std::string text = full.substr(0, cut);
    const std::int64_t id = plovercrashcrs_addUserReport(text.data(), static_cast<int>(text.size()));
    ASSERT_GT(id, 0);
    plovercrashlog_clearLogFile();
    Text fixed(plovercrash_readReport(id));
    if (fixed != nullptr) {
      EXPECT_TRUE(json::accept(fixed.get())) << cut;
      ++fixedCount;
    } else {
      EXPECT_NE(logText().find("Failed to"), std::string::npos) << cut;
    }
    plovercrashcrs_deleteReportWithID(id);
  }
  EXPECT_EQ(fixedCount, 1);  // only the whole report
}

TEST(PloverCrashReportFixerTest, NestingLimitAndGrowth) {
  std::string deep(101, '[');
  deep += std::string(101, ']');
  EXPECT_EQ(plovercrashcrf_fixupCrashReport(deep.c_str()), nullptr);
  std::string fits(100, '[');
  fits += std::string(100, ']');
  Text fixedFits(plovercrashcrf_fixupCrashReport(fits.c_str()));
  EXPECT_NE(fixedFits, nullptr);
  // Pretty printing more than doubles a compact nested report: the output grows to fit.
  std::string nested = "[";
  for (int i = 0; i < 50; ++i) nested += "[1],";
  nested += "[1]]";
  Text fixed(plovercrashcrf_fixupCrashReport(nested.c_str()));
  ASSERT_NE(fixed, nullptr);
  EXPECT_GT(std::strlen(fixed.get()), nested.size() * 3 / 2);
  EXPECT_EQ(json::parse(fixed.get()), json::parse(nested));
  EXPECT_EQ(plovercrashcrf_fixupCrashReport(nullptr), nullptr);
}

TEST(PloverCrashCTest, AnInstalledRecorderLeavesAReportOfACrash) {
  TemporaryFolder folder;
  const std::string base = folder.path().string();
  static char* guard = static_cast<char*>(mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ChildResult result = runInChild([&base] {
    resetFatalSignalsToDefault();
    plovercrash_setAddConsoleLogToReport(true);
    plovercrash_setUserInfoJSON(R"({"account":"a-1"})");
    const auto requested = static_cast<PloverCrashMonitorType>(
        PloverCrashMonitorTypeSignal | PloverCrashMonitorTypeSystem | PloverCrashMonitorTypeApplicationState);
    plovercrash_setMonitoring(requested);
    childReport("active", "%u", static_cast<unsigned>(plovercrash_install("Vexel", base.c_str())));
    childReport("again", "%u", static_cast<unsigned>(plovercrash_install("Other", "/nonexistent")));
    PLOVERCRASHLOG_ERROR("a line for the console log");
    writeTo(guard);
    return 99;
  });
  ASSERT_TRUE(result.killedBy(SIGSEGV)) << result.output;
  EXPECT_EQ(result["active"], std::to_string(0xC2));
  EXPECT_EQ(result["again"], std::to_string(0xC2));

  plovercrashcrs_initialize("Vexel", (base + "/Reports").c_str());
  std::int64_t ids[4];
  ASSERT_EQ(plovercrash_getReportIDs(ids, 4), 1);
  Text fixed(plovercrash_readReport(ids[0]));
  ASSERT_NE(fixed, nullptr);
  const json r = json::parse(fixed.get());
  EXPECT_TRUE(std::regex_match(r["report"]["timestamp"].get<std::string>(),
                               std::regex("\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z")));
  EXPECT_EQ(r["crash"]["error"]["signal"]["name"], "SIGSEGV");
  EXPECT_EQ(r["user"]["account"], "a-1");
  EXPECT_EQ(r["system"]["application_stats"]["launches_since_last_crash"], 1);
  const std::string consoleLog = r["debug"]["console_log"].dump();
  EXPECT_NE(consoleLog.find("a line for the console log"), std::string::npos) << consoleLog;
  const json state = json::parse(TemporaryFolder::read(base + "/Data/CrashState.json"));
  EXPECT_EQ(state["crashedLastLaunch"], true);
  munmap(guard, 4096);
}

}  // namespace
