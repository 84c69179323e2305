// What the tests that start the SDK with the analytics service share: the app secret, a fixture
// putting the shared instances back around each test with an empty log store to start from,
// waiting on the log queue, and the rows the store holds for a unit.
#pragma once

#include "telemetry/ZerEvuzev/Context/MSSessionContext.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Core/MSDelegateForwarder.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzev/Storage/MSLogDBStorage.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>

inline constexpr const char* kMSTestAppSecret = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

// The shared instances a start of the SDK with the analytics service creates.
inline void MSResetAnalyticsSharedInstances() {
  MSZerEvuzev::resetSharedInstance();
  MSAnalytics::resetSharedInstance();
  MSAppDelegateForwarder::resetSharedInstance();
  MSSessionContext::resetSharedInstance();
}

inline void MSRemoveDefaults(std::initializer_list<const char*> keys) {
  for (const char* key : keys) MSUserDefaults::shared()->removeObjectForKey(key);
}

// The log store and its journal, so that a test starts with an empty store.
inline void MSDeleteLogStore() {
  MSUtility::deleteItemForPathComponent("Logs.sqlite");
  MSUtility::deleteItemForPathComponent("Logs.sqlite.ZerEvuzev.journal");
}

// Waits until the log queue has done what was given to it; nothing when the SDK never started.
inline void MSDrainLogs() {
  if (auto group = MSZerEvuzev::sharedInstance()->channelGroup()) group->logsDispatchQueue()->sync([] {});
}

// Starts the SDK with the analytics service, its logs going to `logUrl`, and `delegate` told of
// every log the channel group prepares.
inline std::shared_ptr<MSAnalytics> MSStartAnalytics(const std::string& secret, const std::string& logUrl,
                                                     const std::shared_ptr<MSChannelDelegate>& delegate) {
  auto sdk = MSZerEvuzev::sharedInstance();
  sdk->setLogUrl(logUrl);
  auto analytics = MSAnalytics::sharedInstance();
  MSZerEvuzev::start(secret, {analytics});
  sdk->channelGroup()->addDelegate(delegate);
  return analytics;
}

// The logs the store holds for the unit `groupId`, once the log queue is idle.
inline std::size_t MSStoredLogCount(const std::string& groupId) {
  MSDrainLogs();
  auto storage = std::dynamic_pointer_cast<MSLogDBStorage>(MSZerEvuzev::sharedInstance()->channelGroup()->storage());
  return storage->countEntriesForTable(MSLogDBStorage::kMSLogTableName, "\"groupId\" = ?", {groupId});
}

// Each test starts with the shared instances put back and an empty log store, and ends once the
// log queue is idle, with the shared instances put back again.
class MSAnalyticsServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetSharedState();
    MSDeleteLogStore();
  }
  void TearDown() override {
    MSDrainLogs();
    resetSharedState();
  }
  // What a fixture puts back besides the shared instances of the SDK and the service.
  virtual void resetMore() {}

 private:
  void resetSharedState() {
    MSResetAnalyticsSharedInstances();
    resetMore();
  }
};
