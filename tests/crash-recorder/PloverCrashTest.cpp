// The recorder facade: its defaults and settings, sending stored reports through a sink with
// each delete behaviour, doctored reports, and a forked child that installs the recorder and
// crashes, whose report a second child reads back through the facade.
#include "reporting/crash-recorder/PloverCrash.h"
#include "reporting/crash-recorder/Recording/PloverCrashReportStore.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include "crash-recorder/ForkedChild.h"
#include "crash-recorder/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Report = PloverCrash::Report;

// A sink that answers at once with what it was told to answer.
class RecordingSink : public PloverCrashReportFilter {
 public:
  explicit RecordingSink(bool completes) : completes_(completes) {}
  void filterReports(std::vector<Report> reports, Completion onCompletion) override {
    received = reports.size();
    if (!onCompletion) return;
    if (completes_) {
      onCompletion(std::move(reports), true, std::nullopt);
    } else {
      onCompletion({}, false, vx::Error("RecordingSink", 0, "upload failed"));
    }
  }
  std::size_t received = 0;

 private:
  bool completes_;
};

class FacadeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(plovercrashlog_setLogFilename(log.c_str(), true));
    plovercrashcrs_setMaxReportCount(10);
    plovercrashcrs_initialize("Vexel", folder.file("Reports").c_str());
  }
  void TearDown() override { plovercrashlog_setLogFilename(nullptr, false); }

  void storeReports(int count) {
    for (int i = 0; i < count; ++i) {
      const std::string report =
          R"({"report":{"timestamp":0,"process_name":"Vexel"},"crash":{"error":{"type":"signal",)"
          R"("signal":{"name":"SIGSEGV"},"address":0},"threads":[]}})";
      ASSERT_GT(plovercrashcrs_addUserReport(report.data(), static_cast<int>(report.size())), 0);
    }
  }

  TemporaryFolder folder;
  std::string log = folder.file("log.txt");
};

TEST_F(FacadeTest, DefaultsAndZombieSwitch) {
  PloverCrash facade(folder.path() / "PloverCrash" / "Vexel");
  EXPECT_TRUE(facade.isInitialized());
  EXPECT_EQ(facade.monitoring(), PloverCrashMonitorTypeProductionSafe);
  EXPECT_TRUE(facade.introspectMemory());
  EXPECT_FALSE(facade.catchZombies());
  EXPECT_EQ(facade.maxReportCount(), 5);
  EXPECT_EQ(facade.deleteBehaviorAfterSendAll(), PloverCrashDeleteBehaviorAlways);
  facade.setCatchZombies(true);
  EXPECT_EQ(facade.monitoring() & PloverCrashMonitorTypeZombie, PloverCrashMonitorTypeZombie);
  facade.setCatchZombies(false);
  EXPECT_EQ(facade.monitoring(), PloverCrashMonitorTypeProductionSafe);
}

TEST_F(FacadeTest, WithoutABasePathNothingInstalls) {
  PloverCrash facade(std::nullopt);
  EXPECT_FALSE(facade.isInitialized());
  EXPECT_FALSE(facade.install());
  EXPECT_NE(TemporaryFolder::read(log).find("Failed to initialize crash handler. Crash reporting disabled."),
            std::string::npos);
}

TEST_F(FacadeTest, UserInfoThatCannotBeEncodedKeepsThePreviousOne) {
  PloverCrash facade(folder.path());
  facade.setUserInfo(nlohmann::ordered_json{{"plan", "pro"}});
  facade.setUserInfo(nlohmann::ordered_json{{"bad", std::string("\x01")}});
  ASSERT_TRUE(facade.userInfo().has_value());
  EXPECT_EQ((*facade.userInfo())["plan"], "pro");
  EXPECT_NE(TemporaryFolder::read(log).find("Could not serialize user info"), std::string::npos);
}

TEST_F(FacadeTest, SendingDeletesAsTheBehaviourSays) {
  struct Case {
    int behavior;
    bool sinkCompletes;
    bool deleted;
  };
  const Case cases[] = {
      {PloverCrashDeleteBehaviorNever, true, false},      {PloverCrashDeleteBehaviorOnSuccess, true, true},
      {PloverCrashDeleteBehaviorOnSuccess, false, false}, {PloverCrashDeleteBehaviorAlways, false, true},
      {PloverCrashDeleteBehaviorAlways, true, true},
  };
  for (const Case& c : cases) {
    plovercrashcrs_deleteAllReports();
    storeReports(2);
    PloverCrash facade(folder.path());
    facade.setDeleteBehaviorAfterSendAll(c.behavior);
    auto sink = std::make_shared<RecordingSink>(c.sinkCompletes);
    facade.setSink(sink);
    bool called = false;
    bool completed = false;
    facade.sendAllReportsWithCompletion([&](std::vector<Report>, bool done, std::optional<vx::Error>) {
      called = true;
      completed = done;
    });
    EXPECT_TRUE(called);
    EXPECT_EQ(completed, c.sinkCompletes);
    EXPECT_EQ(sink->received, 2u);
    EXPECT_EQ(facade.reportCount(), c.deleted ? 0 : 2) << c.behavior << " " << c.sinkCompletes;
  }
}

TEST_F(FacadeTest, NoReportsCompleteAtOnceAndNoSinkIsAnError) {
  plovercrashcrs_deleteAllReports();
  PloverCrash facade(folder.path());
  bool called = false;
  facade.sendAllReportsWithCompletion([&](std::vector<Report> reports, bool completed, std::optional<vx::Error> error) {
    called = true;
    EXPECT_TRUE(reports.empty());
    EXPECT_TRUE(completed);
    EXPECT_FALSE(error.has_value());
  });
  EXPECT_TRUE(called);

  storeReports(1);
  facade.setDeleteBehaviorAfterSendAll(PloverCrashDeleteBehaviorNever);
  std::optional<vx::Error> failure;
  facade.sendAllReportsWithCompletion(
      [&](std::vector<Report>, bool, std::optional<vx::Error> error) { failure = error; });
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->description, "No sink set. Crash reports not sent.");
  EXPECT_EQ(failure->domain, "PloverCrash");
}

TEST_F(FacadeTest, ReportsComeBackDecodedAndDoctored) {
  plovercrashcrs_deleteAllReports();
  storeReports(1);
  const std::string noCrash = R"({"report":{"timestamp":0},"user":{"a":null,"b":[1,null]}})";
  plovercrashcrs_addUserReport(noCrash.data(), static_cast<int>(noCrash.size()));
  PloverCrash facade(folder.path());
  const std::vector<std::int64_t> ids = facade.reportIDs();
  ASSERT_EQ(ids.size(), 2u);
  const std::optional<Report> first = facade.reportWithIntID(ids[0]);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ((*first)["crash"]["diagnosis"], "Attempted to dereference null pointer.");
  EXPECT_EQ((*first)["report"]["timestamp"], "1970-01-01T00:00:00Z");
  const std::optional<Report> second = facade.reportWithID(ids[1]);
  ASSERT_TRUE(second.has_value());
  EXPECT_FALSE(second->contains("crash"));
  EXPECT_FALSE((*second)["user"].contains("a"));  // nulls are left out
  EXPECT_EQ((*second)["user"]["b"], nlohmann::ordered_json::array({1}));
  EXPECT_EQ(facade.allReports().size(), 2u);
  EXPECT_FALSE(facade.reportWithIntID(ids[1] + 1000).has_value());
  facade.deleteReportWithID(ids[0]);
  EXPECT_EQ(facade.reportCount(), 1);
}

// A store to address 0 that the undefined-behaviour checker does not stop first.
__attribute__((noinline)) void writeToNull() { asm volatile("movb $1, (%0)" : : "r"(0L) : "memory"); }

TEST(PloverCrashFacadeTest, AnInstalledFacadeRecordsACrashThatTheNextRunReads) {
  TemporaryFolder folder;
  const std::filesystem::path base = folder.path() / "PloverCrash" / "Vexel";
  ChildResult crashed = runInChild([&base] {
    resetFatalSignalsToDefault();
    PloverCrash facade(base);
    facade.setUserInfo(nlohmann::ordered_json{{"account", "a-7"}});
    facade.setMonitoring(static_cast<PloverCrashMonitorType>(
        PloverCrashMonitorTypeSignal | PloverCrashMonitorTypeSystem | PloverCrashMonitorTypeApplicationState));
    childReport("installed", "%d", facade.install() ? 1 : 0);
    facade.applicationDidBecomeActive();
    writeToNull();
    return 99;
  });
  ASSERT_TRUE(crashed.killedBy(SIGSEGV)) << crashed.output;
  EXPECT_EQ(crashed["installed"], "1");

  ChildResult next = runInChild([&base] {
    PloverCrash facade(base);
    facade.setMonitoring(static_cast<PloverCrashMonitorType>(PloverCrashMonitorTypeApplicationState));
    facade.install();
    childReport("crashedLastLaunch", "%d", facade.crashedLastLaunch() ? 1 : 0);
    childReport("launches", "%d", facade.launchesSinceLastCrash());
    const std::vector<Report> reports = facade.allReports();
    childReport("reports", "%zu", reports.size());
    if (!reports.empty()) {
      childReport("diagnosis", "%s", reports[0]["crash"].value("diagnosis", "").c_str());
      childReport("account", "%s", reports[0]["user"].value("account", "").c_str());
      childReport("signal", "%s", reports[0]["crash"]["error"]["signal"].value("name", "").c_str());
    }
    return 0;
  });
  ASSERT_TRUE(next.exitedWith(0)) << next.output;
  EXPECT_EQ(next["crashedLastLaunch"], "1");
  EXPECT_EQ(next["launches"], "1");
  EXPECT_EQ(next["reports"], "1");
  EXPECT_EQ(next["diagnosis"], "Attempted to dereference null pointer.");
  EXPECT_EQ(next["account"], "a-7");
  EXPECT_EQ(next["signal"], "SIGSEGV");
}

}  // namespace
