// One send of a telemetry sender with its retry state. The call lives in its ingestion's pending
// calls from its first send until its result is known; all of its state is changed under the
// ingestion's lock.
#pragma once

#include "platform/foundation/DispatchQueue.h"
#include "telemetry/ZerEvuzev/Ingestion/MSIngestionProtocol.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class MSIngestionCall;

// What a call needs of its ingestion.
class MSIngestionCallDelegate {
 public:
  virtual ~MSIngestionCallDelegate() = default;
  virtual void sendCallAsync(const std::shared_ptr<MSIngestionCall>& call) = 0;
  virtual void callCompletedWithResult(const std::shared_ptr<MSIngestionCall>& call, MSIngestionCallResult result) = 0;
};

class MSIngestionCall : public std::enable_shared_from_this<MSIngestionCall> {
 public:
  // Not submitted, no retry yet. Intervals are in seconds.
  explicit MSIngestionCall(std::vector<double> retryIntervals);
  ~MSIngestionCall();

  MSSendAsyncCompletionHandler completionHandler;
  std::shared_ptr<MSLogContainer> data;
  std::string callId;
  bool submitted = false;
  std::weak_ptr<MSIngestionCallDelegate> delegate;
  std::optional<std::string> eTag;
  std::optional<std::string> authToken;
  std::shared_ptr<vx::DispatchTimer> timerSource;
  unsigned retryCount = 0;
  std::vector<double> retryIntervals;

  bool hasReachedMaxRetries() const { return retryCount >= retryIntervals.size(); }
  // Seconds before retry number `retryCount`: half its interval plus a random whole number of
  // seconds below that half; 0 past the last interval.
  double delayForRetryCount(unsigned retryCount) const;
  // Schedules the next send on the current scheduler (virtual in tests).
  void startRetryTimerWithStatusCode(int statusCode);
  void resetTimer();
  void resetRetry();

  // What the ingestion must do once a request of this call has ended.
  struct Outcome {
    bool finished = false;  // false: kept for a retry or the next resume
    MSIngestionCallResult result = MSIngestionCallResult::Completed;
    std::optional<vx::Error> error;
  };
  // Decides the outcome of a finished request (retries, error 101, fatal or not). Runs under the
  // ingestion's lock; the caller then calls the handler and reports the result.
  Outcome ingestionCallCompleted(const std::optional<vx::HTTPURLResponse>& response, const vx::Bytes& data,
                                 const std::optional<vx::Error>& error);
};
