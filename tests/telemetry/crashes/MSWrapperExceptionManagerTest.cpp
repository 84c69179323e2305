// Wrapper exceptions on disk and in memory, and the crash folders.
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/ZerEvuzevCrashes/MSCrashesUtil.h"
#include "telemetry/ZerEvuzevCrashes/MSWrapperExceptionManager.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

std::shared_ptr<MSErrorReport> reportOf(const std::string& incident, std::uint64_t pid) {
  return std::make_shared<MSErrorReport>(incident, "key", "SIGABRT", std::nullopt, std::nullopt, std::nullopt,
                                         std::nullopt, nullptr, pid);
}

MSWrapperException wrapperOf(std::int64_t pid, const std::string& type) {
  MSWrapperException wrapper;
  wrapper.processId = pid;
  wrapper.exceptionData = vx::Bytes{1, 2, 3};
  wrapper.modelException = std::make_shared<MSException>();
  wrapper.modelException->type = type;
  return wrapper;
}

class MSWrapperExceptionManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MSWrapperExceptionManager::deleteAllWrapperExceptions();
    MSWrapperExceptionManager::resetForTesting();
  }
  static std::filesystem::path folder() { return MSUtility::zerEvuzevDirectoryURL() / "crasheswrapperexceptions"; }
};

TEST_F(MSWrapperExceptionManagerTest, FoldersAreMadeOnFirstUse) {
  EXPECT_EQ(MSCrashesUtil::crashesDir(), "crashes");
  EXPECT_EQ(MSCrashesUtil::logBufferDir(), "crasheslogbuffer");
  EXPECT_EQ(MSCrashesUtil::wrapperExceptionsDir(), "crasheswrapperexceptions");
  EXPECT_TRUE(std::filesystem::is_directory(MSUtility::zerEvuzevDirectoryURL() / "crashes"));
  EXPECT_TRUE(std::filesystem::is_directory(MSUtility::zerEvuzevDirectoryURL() / "crasheslogbuffer"));
  EXPECT_TRUE(std::filesystem::is_directory(folder()));
}

TEST_F(MSWrapperExceptionManagerTest, CorrelationFilesTheLastSavedUnderTheFirstMatchingReport) {
  MSWrapperExceptionManager::saveWrapperException(wrapperOf(300, "WrapperCrash"));
  EXPECT_TRUE(std::filesystem::exists(folder() / "last_saved_wrapper_exception"));
  MSWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
      {reportOf("A", 100), reportOf("B", 300), reportOf("C", 300)});
  EXPECT_FALSE(std::filesystem::exists(folder() / "last_saved_wrapper_exception"));
  EXPECT_TRUE(std::filesystem::exists(folder() / "B"));
  EXPECT_FALSE(std::filesystem::exists(folder() / "C"));
  auto loaded = MSWrapperExceptionManager::loadWrapperExceptionWithUUIDString("B");
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->modelException->type, "WrapperCrash");
  EXPECT_FALSE(MSWrapperExceptionManager::loadWrapperExceptionWithUUIDString("C"));
  // From the file alone too (a later process).
  MSWrapperExceptionManager::resetForTesting();
  ASSERT_TRUE(MSWrapperExceptionManager::loadWrapperExceptionWithUUIDString("B"));
  EXPECT_EQ(MSWrapperExceptionManager::loadWrapperExceptionWithUUIDString("B")->exceptionData, (vx::Bytes{1, 2, 3}));
}

TEST_F(MSWrapperExceptionManagerTest, NoMatchingReportDropsIt) {
  MSWrapperExceptionManager::saveWrapperException(wrapperOf(5, "Lost"));
  MSWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({reportOf("A", 6)});
  EXPECT_FALSE(std::filesystem::exists(folder() / "last_saved_wrapper_exception"));
  EXPECT_FALSE(MSWrapperExceptionManager::loadWrapperExceptionWithUUIDString("A"));
}

TEST_F(MSWrapperExceptionManagerTest, DeletingAnIncidentAlsoForgetsItInMemory) {
  MSWrapperExceptionManager::saveWrapperException(wrapperOf(9, "Gone"));
  MSWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({reportOf("I", 9)});
  ASSERT_TRUE(MSWrapperExceptionManager::loadWrapperExceptionWithUUIDString("I"));
  MSWrapperExceptionManager::deleteWrapperExceptionWithUUIDString("I");
  EXPECT_FALSE(std::filesystem::exists(folder() / "I"));
  EXPECT_FALSE(MSWrapperExceptionManager::loadWrapperExceptionWithUUIDString("I"));
}

TEST_F(MSWrapperExceptionManagerTest, DeletingAllRemovesTheFolderAndTheNextSaveMakesItAgain) {
  MSWrapperExceptionManager::saveWrapperException(wrapperOf(1, "One"), "X");
  ASSERT_TRUE(std::filesystem::exists(folder() / "X"));
  MSWrapperExceptionManager::deleteAllWrapperExceptions();
  EXPECT_FALSE(std::filesystem::exists(folder()));
  MSWrapperExceptionManager::saveWrapperException(wrapperOf(1, "One"), "Y");
  EXPECT_TRUE(std::filesystem::exists(folder() / "Y"));
}

TEST_F(MSWrapperExceptionManagerTest, AnUnreadableFileIsLoggedAndDeleted) {
  MSCrashesUtil::wrapperExceptionsDir();
  MSUtility::createFileAtPathComponent("crasheswrapperexceptions/broken", vx::Bytes{0x01, 0xff, 0x00}, true, true);
  MSLogRecorder recorder(MSLogLevel::Error);
  EXPECT_FALSE(MSWrapperExceptionManager::loadWrapperExceptionWithBaseFilename("broken"));
  EXPECT_EQ(recorder.count("Could not read exception data stored on disk with file name broken"), 1u);
  EXPECT_FALSE(std::filesystem::exists(folder() / "broken"));
}

}  // namespace
