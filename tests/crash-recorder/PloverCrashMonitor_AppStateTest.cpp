// The application-state monitor and its state file, read and written on disk.
#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitor_AppState.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include "crash-recorder/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace {

class AppStateTest : public ::testing::Test {
 protected:
  void SetUp() override { plovercrashcm_appstate_getAPI()->setEnabled(false); }
  void TearDown() override {
    plovercrashcm_appstate_getAPI()->setEnabled(false);
    plovercrashlog_setLogFilename(nullptr, false);
  }

  void start() {
    plovercrashstate_initialize(statePath.c_str());
    plovercrashcm_appstate_getAPI()->setEnabled(true);
  }
  nlohmann::ordered_json file() const { return nlohmann::ordered_json::parse(TemporaryFolder::read(statePath)); }
  const PloverCrash_AppState& state() const { return *plovercrashstate_currentState(); }

  TemporaryFolder folder;
  std::string statePath = folder.file("CrashState.json");
};

TEST_F(AppStateTest, AFirstLaunchCountsOneLaunchAndOneSession) {
  start();
  const auto json = file();
  std::vector<std::string> keys;
  for (const auto& item : json.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"version", "crashedLastLaunch", "activeDurationSinceLastCrash",
                                            "backgroundDurationSinceLastCrash", "launchesSinceLastCrash",
                                            "sessionsSinceLastCrash"}));
  EXPECT_EQ(json["version"], 1);
  EXPECT_EQ(json["crashedLastLaunch"], false);
  EXPECT_EQ(json["launchesSinceLastCrash"], 1);
  EXPECT_EQ(json["sessionsSinceLastCrash"], 1);
  // Pretty printed: one member per line, four spaces in.
  EXPECT_NE(TemporaryFolder::read(statePath).find("\n    \"version\": 1,"), std::string::npos);
  EXPECT_EQ(state().sessionsSinceLaunch, 1);
  EXPECT_TRUE(state().applicationIsInForeground);
}

TEST_F(AppStateTest, LaunchesAccumulateUntilACrash) {
  TemporaryFolder::write(statePath, R"({"version":1,"crashedLastLaunch":false,
    "activeDurationSinceLastCrash":12.5,"backgroundDurationSinceLastCrash":3,
    "launchesSinceLastCrash":4,"sessionsSinceLastCrash":9})");
  start();
  EXPECT_EQ(state().launchesSinceLastCrash, 5);
  EXPECT_EQ(state().sessionsSinceLastCrash, 10);
  EXPECT_EQ(state().activeDurationSinceLastCrash, 12.5);
  EXPECT_EQ(state().backgroundDurationSinceLastCrash, 3.0);  // an integer read as a duration
  EXPECT_FALSE(state().crashedLastLaunch);

  plovercrashstate_notifyAppActive(true);
  plovercrashstate_notifyAppCrash();
  EXPECT_TRUE(state().crashedThisLaunch);
  EXPECT_GE(state().activeDurationSinceLastCrash, 12.5);
  EXPECT_EQ(file()["crashedLastLaunch"], true);

  // The next launch starts the counts afresh.
  plovercrashcm_appstate_getAPI()->setEnabled(false);
  start();
  EXPECT_TRUE(state().crashedLastLaunch);
  EXPECT_EQ(state().launchesSinceLastCrash, 1);
  EXPECT_EQ(state().sessionsSinceLastCrash, 1);
  EXPECT_EQ(state().activeDurationSinceLastCrash, 0.0);
  EXPECT_EQ(state().backgroundDurationSinceLastCrash, 0.0);
}

TEST_F(AppStateTest, AnotherVersionIsLoggedAndStopsReading) {
  const std::string log = folder.file("log.txt");
  ASSERT_TRUE(plovercrashlog_setLogFilename(log.c_str(), true));
  TemporaryFolder::write(statePath, R"({"launchesSinceLastCrash":7,"version":2,"sessionsSinceLastCrash":30})");
  plovercrashstate_initialize(statePath.c_str());
  EXPECT_EQ(state().launchesSinceLastCrash, 7);  // read before the version
  EXPECT_EQ(state().sessionsSinceLastCrash, 0);
  const std::string text = TemporaryFolder::read(log);
  EXPECT_NE(text.find("Expected version 1 but got 2"), std::string::npos) << text;
  EXPECT_NE(text.find(statePath + ", offset "), std::string::npos) << text;
}

TEST_F(AppStateTest, DamagedFilesKeepWhatWasReadAndNeverStopTheProcess) {
  const std::string log = folder.file("log.txt");
  ASSERT_TRUE(plovercrashlog_setLogFilename(log.c_str(), true));
  const std::string cases[] = {
      std::string(R"({"launchesSinceLastCrash":3,"sessionsSinceLa)"),
      std::string("\xff\xfe\x00garbage", 10),
      std::string(),
      std::string(R"({"launchesSinceLastCrash":99999999999999,"sessionsSinceLastCrash":-5})"),
  };
  for (const std::string& contents : cases) {
    TemporaryFolder::write(statePath, contents);
    plovercrashstate_initialize(statePath.c_str());
    EXPECT_GE(state().launchesSinceLastCrash, 0);
  }
  EXPECT_EQ(state().launchesSinceLastCrash, 2147483647);  // cut to the counter's range
  EXPECT_EQ(state().sessionsSinceLastCrash, -5);
  TemporaryFolder::write(statePath, R"({"launchesSinceLastCrash":3,"sessionsSinceLa)");
  plovercrashstate_initialize(statePath.c_str());
  EXPECT_EQ(state().launchesSinceLastCrash, 3);
}

TEST_F(AppStateTest, BackgroundAndForegroundCountSessions) {
  start();
  plovercrashstate_notifyAppActive(true);
  plovercrashstate_notifyAppActive(false);
  EXPECT_GE(state().activeDurationSinceLaunch, 0.0);
  EXPECT_FALSE(state().applicationIsActive);
  plovercrashstate_notifyAppInForeground(false);
  EXPECT_FALSE(state().applicationIsInForeground);
  plovercrashstate_notifyAppInForeground(true);
  EXPECT_EQ(state().sessionsSinceLaunch, 2);
  EXPECT_EQ(state().sessionsSinceLastCrash, 2);
  EXPECT_GE(state().backgroundDurationSinceLaunch, 0.0);
  plovercrashstate_notifyAppTerminate();
  EXPECT_EQ(file()["sessionsSinceLastCrash"], 2);

  PloverCrash_MonitorContext context{};
  plovercrashcm_appstate_getAPI()->addContextualInfoToEvent(&context);
  EXPECT_EQ(context.AppState.sessionsSinceLaunch, 2);
  EXPECT_EQ(context.AppState.launchesSinceLastCrash, 1);
}

TEST_F(AppStateTest, NotificationsDoNothingWhileDisabled) {
  plovercrashstate_initialize(statePath.c_str());
  plovercrashstate_notifyAppInForeground(true);
  plovercrashstate_notifyAppCrash();
  EXPECT_EQ(state().sessionsSinceLaunch, 0);
  EXPECT_FALSE(state().crashedThisLaunch);
  EXPECT_FALSE(std::filesystem::exists(statePath));
}

TEST_F(AppStateTest, AnUnwritableFileIsLogged) {
  const std::string log = folder.file("log.txt");
  ASSERT_TRUE(plovercrashlog_setLogFilename(log.c_str(), true));
  statePath = folder.file("missing-folder/CrashState.json");
  start();
  EXPECT_NE(TemporaryFolder::read(log).find("Could not open file " + statePath + " for writing"), std::string::npos);
  EXPECT_EQ(state().launchesSinceLastCrash, 1);
}

}  // namespace
