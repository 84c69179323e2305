// Helpers for the channel tests: numbered logs, a group over a real SQLite file and the default
// ingestion to the local service, a delegate that records every callback, and readers of what
// the service received.
#pragma once

#include "telemetry/ZerEvuzev/Channel/MSChannelGroupDefault.h"
#include "telemetry/ZerEvuzev/Channel/MSChannelUnitDefault.h"
#include "telemetry/ZerEvuzev/Ingestion/MSZerEvuzevIngestion.h"
#include "telemetry/ZerEvuzev/Storage/MSLogDBStorage.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include "platform/foundation/UUID.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

inline constexpr const char* kChannelTestAppSecret = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

// Polls (real time) until `done` holds; false on timeout.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A valid log whose session id carries its number ("n-<k>").
inline std::shared_ptr<MSLogWithProperties> numberedLog(long n) {
  auto log = std::make_shared<MSLogWithProperties>();
  log->type = "channelEvent";
  log->timestamp = vx::wallNow();
  log->sid = "n-" + std::to_string(n);
  log->device = MSTestDevice();
  log->properties = std::map<std::string, std::string>{{"n", std::to_string(n)}};
  return log;
}

// The session ids of every log the service accepted, in arrival order (one entry per receipt).
inline std::vector<std::string> receivedSids(const vx::devservice::DevService& service) {
  std::vector<std::string> sids;
  for (const auto& request : service.requests("/logs")) {
    const auto body = nlohmann::json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.contains("logs")) continue;
    for (const auto& log : body["logs"]) sids.push_back(log.value("sid", ""));
  }
  return sids;
}

// Records the callbacks it gets.
class RecordingChannelDelegate : public MSChannelDelegate {
 public:
  std::atomic<int> prepared{0}, didPrepare{0}, completed{0}, willSend{0}, succeeded{0}, failed{0}, enabledCalls{0},
      paused{0}, resumed{0}, added{0};
  std::mutex mutex;
  std::vector<std::int64_t> failureCodes;
  std::function<bool(const MSLogPtr&)> filter;

  void channelGroupDidAddChannelUnit(MSChannelGroupProtocol*, const std::shared_ptr<MSChannelUnitProtocol>&) override {
    ++added;
  }
  void channelPrepareLog(MSChannelProtocol*, const MSLogPtr&) override { ++prepared; }
  void channelDidPrepareLog(MSChannelProtocol*, const MSLogPtr&, const std::string&, std::uint64_t) override {
    ++didPrepare;
  }
  void channelDidCompleteEnqueueingLog(MSChannelProtocol*, const MSLogPtr&, const std::string&) override {
    ++completed;
  }
  void channelWillSendLog(MSChannelProtocol*, const MSLogPtr&) override { ++willSend; }
  void channelDidSucceedSendingLog(MSChannelProtocol*, const MSLogPtr&) override { ++succeeded; }
  void channelDidFailSendingLog(MSChannelProtocol*, const MSLogPtr&, const std::optional<vx::Error>& error) override {
    std::lock_guard lock(mutex);
    failureCodes.push_back(error ? error->code : 0);
    ++failed;
  }
  void channelDidSetEnabled(MSChannelProtocol*, bool, bool) override { ++enabledCalls; }
  void channelDidPauseWithIdentifyingObject(MSChannelProtocol*, const MSIdentifyingObject&) override { ++paused; }
  void channelDidResumeWithIdentifyingObject(MSChannelProtocol*, const MSIdentifyingObject&) override { ++resumed; }
  bool channelUnitShouldFilterLog(MSChannelUnitProtocol*, const MSLogPtr& log) override {
    return filter && filter(log);
  }
};

// A group over a database file of the running test and the default ingestion to a local service.
class ChannelFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start().ok());
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    databaseName = std::string(info->test_suite_name()) + "-" + info->name() + ".sqlite";
    for (char& c : databaseName) {
      if (c == '/') c = '_';
    }
    storage = std::make_shared<MSLogDBStorage>(databaseName);
    ingestion = MSHttpIngestion::make<MSZerEvuzevIngestion>(service.baseURL(), vx::UUID::make().uuidString());
    group = MSChannelGroupDefault::make(ingestion, storage);
    group->setAppSecret(kChannelTestAppSecret);
  }
  void TearDown() override {
    if (group) drain();
  }

  std::shared_ptr<MSChannelUnitDefault> addUnit(std::uint64_t flushInterval, std::size_t batchSize = 50,
                                                std::size_t pendingLimit = 3, const std::string& groupId = "group") {
    MSUserDefaults::shared()->removeObjectForKey(std::string("MSChannelStartTimer:") + groupId);
    auto unit = std::dynamic_pointer_cast<MSChannelUnitDefault>(group->addChannelUnitWithConfiguration(
        std::make_shared<MSChannelUnitConfiguration>(groupId, 1, flushInterval, batchSize, pendingLimit)));
    drain();
    return unit;
  }
  // Runs `f` on the group's queue and waits for it.
  void onQueue(const std::function<void()>& f) { group->logsDispatchQueue()->sync(f); }
  void drain() {
    onQueue([] {});
  }
  std::size_t storedCount() {
    std::size_t count = 0;
    onQueue([&] { count = storage->countLogs(); });
    return count;
  }
  void enqueue(const std::shared_ptr<MSChannelUnitDefault>& unit, long from, long count) {
    for (long n = from; n < from + count; ++n) unit->enqueueItem(numberedLog(n), 1);
    drain();
  }
  std::size_t logRequests() { return service.requests("/logs").size(); }

  vx::ScopedVirtualTime time;
  vx::devservice::DevService service;
  std::string databaseName;
  std::shared_ptr<MSLogDBStorage> storage;
  std::shared_ptr<MSZerEvuzevIngestion> ingestion;
  std::shared_ptr<MSChannelGroupDefault> group;
};
