// Test helpers for code that talks HTTP through vx::URLSession: a blocking fetch and a recorder
// of completions. Pair them with the local service (tools/devservice/DevService.h).
#pragma once

#include "platform/net/URLSession.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vx::testing {

// One completion as a data task delivered it.
struct FetchResult {
  std::vector<std::uint8_t> data;
  std::optional<HTTPURLResponse> response;
  std::optional<Error> error;
  int calls = 0;  // how many times the completion ran (must be 1)

  std::string text() const { return std::string(data.begin(), data.end()); }
  int status() const { return statusCodeOf(response); }
  std::int64_t errorCode() const { return error ? error->code : 0; }
};

// Collects the completion of one task and lets the test wait for it.
class CompletionRecorder {
 public:
  DataTaskCompletion completion() {
    return [this](std::vector<std::uint8_t> data, std::optional<HTTPURLResponse> response, std::optional<Error> error) {
      std::lock_guard lock(mutex_);
      result_.data = std::move(data);
      result_.response = std::move(response);
      result_.error = std::move(error);
      ++result_.calls;
      changed_.notify_all();
    };
  }
  // Waits (real time) for the first completion; nullopt on timeout.
  std::optional<FetchResult> wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return result_.calls > 0; })) return std::nullopt;
    return result_;
  }
  int calls() {
    std::lock_guard lock(mutex_);
    return result_.calls;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  FetchResult result_;
};

// Sends `request` and waits for its completion.
inline FetchResult fetch(URLSession& session, URLRequest request,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  CompletionRecorder recorder;
  auto task = session.dataTask(std::move(request), recorder.completion());
  task->resume();
  auto result = recorder.wait(timeout);
  if (!result) {
    FetchResult none;
    none.error = Error("vx.test", -1, "no completion in time");
    return none;
  }
  return *result;
}

}  // namespace vx::testing
