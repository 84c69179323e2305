// The wrapper SDKs' entry point in this process, without the engine: its one instance, the weakly
// held set-up delegate and what it forwards to the crash service. What it sets in motion once the
// service runs is checked by the end-to-end and service tests.
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzevCrashes/MSCrashes.h"
#include "telemetry/ZerEvuzevCrashes/MSWrapperCrashesHelper.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

class MSWrapperCrashesHelperTest : public ::testing::Test {
 protected:
  void TearDown() override {
    MSWrapperCrashesHelper::setCrashHandlerSetupDelegate(nullptr);
    MSUserDefaults::shared()->removeObjectForKey(MSCrashes::kMSUserConfirmationKey);
    MSCrashes::resetSharedInstance();
  }
};

TEST_F(MSWrapperCrashesHelperTest, EveryThreadGetsTheSameInstance) {
  std::vector<const MSWrapperCrashesHelper*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = &MSWrapperCrashesHelper::sharedInstance(); });
  }
  for (auto& thread : threads) thread.join();
  for (const auto* instance : seen) EXPECT_EQ(instance, &MSWrapperCrashesHelper::sharedInstance());
}

TEST_F(MSWrapperCrashesHelperTest, TheSetUpDelegateIsHeldWeakly) {
  EXPECT_EQ(MSWrapperCrashesHelper::getCrashHandlerSetupDelegate(), nullptr);
  auto delegate = std::make_shared<MSCrashHandlerSetupDelegate>();
  MSWrapperCrashesHelper::setCrashHandlerSetupDelegate(delegate);
  EXPECT_EQ(MSWrapperCrashesHelper::getCrashHandlerSetupDelegate(), delegate);
  EXPECT_EQ(delegate.use_count(), 1);
  delegate.reset();
  EXPECT_EQ(MSWrapperCrashesHelper::getCrashHandlerSetupDelegate(), nullptr);

  auto other = std::make_shared<MSCrashHandlerSetupDelegate>();
  MSWrapperCrashesHelper::setCrashHandlerSetupDelegate(other);
  MSWrapperCrashesHelper::setCrashHandlerSetupDelegate(nullptr);
  EXPECT_EQ(MSWrapperCrashesHelper::getCrashHandlerSetupDelegate(), nullptr);
}

TEST_F(MSWrapperCrashesHelperTest, AutomaticProcessingIsSwitchedOnTheCrashService) {
  EXPECT_TRUE(MSCrashes::sharedInstance()->isAutomaticProcessingEnabled());
  MSWrapperCrashesHelper::setAutomaticProcessing(false);
  EXPECT_FALSE(MSCrashes::sharedInstance()->isAutomaticProcessingEnabled());
  MSWrapperCrashesHelper::setAutomaticProcessing(true);
  EXPECT_TRUE(MSCrashes::sharedInstance()->isAutomaticProcessingEnabled());
}

// A service that never switched on has processed nothing and must not keep the wrapper waiting.
TEST_F(MSWrapperCrashesHelperTest, ReportsOfAServiceThatNeverRanAreNoneAndDoNotWait) {
  EXPECT_TRUE(MSWrapperCrashesHelper::unprocessedCrashReports().empty());
}

// With nothing waiting the filtered send sends nothing and answers the stored "always send".
TEST_F(MSWrapperCrashesHelperTest, AFilteredSendWithNothingWaitingAnswersTheAlwaysSendAnswer) {
  EXPECT_FALSE(MSWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds({"A"}));
  MSUserDefaults::shared()->setObject(vx::Value(true), MSCrashes::kMSUserConfirmationKey);
  EXPECT_TRUE(MSWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds({}));
}

}  // namespace
