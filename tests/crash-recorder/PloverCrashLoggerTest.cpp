#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include "crash-recorder/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class PloverCrashLoggerTest : public ::testing::Test {
 protected:
  void TearDown() override { plovercrashlog_setLogFilename(nullptr, false); }
  TemporaryFolder folder;
};

TEST_F(PloverCrashLoggerTest, LinesCarryLevelFileLineAndFunction) {
  const std::string path = folder.file("console.log");
  ASSERT_TRUE(plovercrashlog_setLogFilename(path.c_str(), true));
  const int line = __LINE__ + 1;
  PLOVERCRASHLOG_ERROR("Could not write to fd %d: %s", 7, "Broken pipe");
  i_plovercrashlog_logCBasic("plain %s", "text");
  EXPECT_EQ(TemporaryFolder::read(path), "ERROR: PloverCrashLoggerTest.cpp (" + std::to_string(line) +
                                             "): TestBody: Could not write to fd 7: Broken pipe\nplain text\n");
}

TEST_F(PloverCrashLoggerTest, OverwriteAppendAndClear) {
  const std::string path = folder.file("console.log");
  TemporaryFolder::write(path, "old\n");
  ASSERT_TRUE(plovercrashlog_setLogFilename(path.c_str(), false));
  i_plovercrashlog_logCBasic("new");
  EXPECT_EQ(TemporaryFolder::read(path), "old\nnew\n");
  ASSERT_TRUE(plovercrashlog_clearLogFile());
  EXPECT_EQ(TemporaryFolder::read(path), "");
  i_plovercrashlog_logCBasic("after clear");
  EXPECT_EQ(TemporaryFolder::read(path), "after clear\n");
}

TEST_F(PloverCrashLoggerTest, AFailedOpenIsLoggedAndKeepsTheOldFile) {
  const std::string path = folder.file("console.log");
  ASSERT_TRUE(plovercrashlog_setLogFilename(path.c_str(), true));
  const std::string bad = folder.file("no/such/folder/log");
  EXPECT_FALSE(plovercrashlog_setLogFilename(bad.c_str(), true));
  i_plovercrashlog_logCBasic("still here");
  EXPECT_EQ(TemporaryFolder::read(path),
            "PloverCrashLogger: Could not open " + bad + ": No such file or directory\nstill here\n");
  const std::string tooLong(2000, 'x');
  EXPECT_FALSE(plovercrashlog_setLogFilename(tooLong.c_str(), true));
}

TEST_F(PloverCrashLoggerTest, MessagesAreCutAt1024Bytes) {
  const std::string path = folder.file("console.log");
  ASSERT_TRUE(plovercrashlog_setLogFilename(path.c_str(), true));
  const std::string big(3000, 'm');
  i_plovercrashlog_logCBasic("%s", big.c_str());
  EXPECT_EQ(TemporaryFolder::read(path), std::string(1023, 'm') + "\n");
}

TEST_F(PloverCrashLoggerTest, ObjectLinesAndInvalidUTF8) {
  const std::string path = folder.file("console.log");
  ASSERT_TRUE(plovercrashlog_setLogFilename(path.c_str(), true));
  i_plovercrashlog_logObjC("ERROR", "/src/Facade.cpp", 12, "install", "caf\xc3\xa9");
  i_plovercrashlog_logObjC("ERROR", "/src/Facade.cpp", 13, "install", nullptr);
  i_plovercrashlog_logObjCBasic("bad \xff byte");
  EXPECT_EQ(TemporaryFolder::read(path),
            "ERROR: Facade.cpp (12): install: caf\xc3\xa9\n"
            "ERROR: Facade.cpp (13): install: (null)\n"
            "Could not convert log string to UTF-8. No logging performed.\n");
}

}  // namespace
