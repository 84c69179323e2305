// Helpers for the sender tests: log containers of an exact serialised size, a fake internet
// reachability handed to every sender that asks for one, and recorders for completions and
// delegate calls. Network tests run against the local service (tools/devservice).
#pragma once

#include "platform/foundation/Clock.h"
#include "platform/net/Reachability.h"
#include "support/FakeReachability.h"
#include "telemetry/ZerEvuzev/Ingestion/MSIngestionProtocol.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Polls (real time) until `done` holds; false on timeout.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A valid log whose properties pad it by `padding` bytes.
inline MSLogPtr makeTestLog(std::size_t padding) {
  auto log = std::make_shared<MSLogWithProperties>();
  log->type = "testEvent";
  log->timestamp = vx::wallNow();
  log->sid = "6f1a3c2e-1111-4222-8333-944455556666";
  log->device = MSTestDevice();
  log->properties = std::map<std::string, std::string>{{"pad", std::string(padding, 'x')}};
  return log;
}

// A container with one log whose serialised body is exactly `size` bytes.
inline std::shared_ptr<MSLogContainer> makeContainerOfSize(std::size_t size, const std::string& batchId) {
  const auto base = MSLogContainer(batchId, {makeTestLog(0)}).serializeLog();
  if (!base || base->size() > size) return nullptr;
  auto container = std::make_shared<MSLogContainer>(batchId, std::vector<MSLogPtr>{makeTestLog(size - base->size())});
  const auto body = container->serializeLog();
  return body && body->size() == size ? container : nullptr;
}

inline std::shared_ptr<MSLogContainer> makeContainer(const std::string& batchId) {
  return std::make_shared<MSLogContainer>(batchId, std::vector<MSLogPtr>{makeTestLog(8)});
}

// While alive, every request for the internet-connection watcher gets a fake (reachable at first);
// the last one made is `latest()`.
class FakeInternetReachability {
 public:
  FakeInternetReachability() {
    vx::Reachability::setInternetConnectionFactoryForTesting([this](vx::Reachability::Options options) {
      auto fake = vx::FakeReachability::make(vx::kReachabilityReachable, options);
      std::lock_guard lock(mutex_);
      made_.push_back(fake);
      return std::static_pointer_cast<vx::Reachability>(fake);
    });
  }
  ~FakeInternetReachability() { vx::Reachability::setInternetConnectionFactoryForTesting(nullptr); }

  std::shared_ptr<vx::FakeReachability> latest() {
    std::lock_guard lock(mutex_);
    return made_.empty() ? nullptr : made_.back();
  }

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<vx::FakeReachability>> made_;
};

// Completions of one or more sends, as they arrived.
struct SendResult {
  std::string callId;
  std::optional<vx::HTTPURLResponse> response;
  vx::Bytes data;
  std::optional<vx::Error> error;
};

class SendRecorder {
 public:
  MSSendAsyncCompletionHandler handler() {
    return [this](const std::string& callId, const std::optional<vx::HTTPURLResponse>& response, const vx::Bytes& data,
                  const std::optional<vx::Error>& error) {
      std::lock_guard lock(mutex_);
      results_.push_back({callId, response, data, error});
      changed_.notify_all();
    };
  }
  // Waits (real time) until `count` completions arrived.
  bool waitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return results_.size() >= count; });
  }
  std::vector<SendResult> results() {
    std::lock_guard lock(mutex_);
    return results_;
  }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return results_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SendResult> results_;
};

class RecordingIngestionDelegate : public MSIngestionDelegate {
 public:
  std::atomic<int> paused{0};
  std::atomic<int> resumed{0};
  std::atomic<int> fatal{0};
  void ingestionDidPause(MSIngestionProtocol*) override { ++paused; }
  void ingestionDidResume(MSIngestionProtocol*) override { ++resumed; }
  void ingestionDidReceiveFatalError(MSIngestionProtocol*) override { ++fatal; }
};
