#include "telemetry/ZerEvuzev/Ingestion/MSIngestionCall.h"

#include "telemetry/ZerEvuzev/Ingestion/MSHttpUtil.h"
#include "telemetry/ZerEvuzev/Ingestion/MSZEErrors.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include <chrono>
#include <mutex>
#include <random>

namespace {

// A uniform random number in [0, bound); 0 for a bound of 0.
std::uint32_t randomBelow(std::uint32_t bound) {
  if (bound == 0) return 0;
  static std::mutex mutex;
  static std::mt19937 generator{std::random_device{}()};
  std::lock_guard lock(mutex);
  return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(generator);
}

}  // namespace

MSIngestionCall::MSIngestionCall(std::vector<double> intervals) : retryIntervals(std::move(intervals)) {}

MSIngestionCall::~MSIngestionCall() { resetTimer(); }

double MSIngestionCall::delayForRetryCount(unsigned count) const {
  if (count >= retryIntervals.size()) return 0;
  const auto half = static_cast<std::uint32_t>(retryIntervals[count] / 2);
  return static_cast<double>(half + randomBelow(half));
}

void MSIngestionCall::startRetryTimerWithStatusCode(int statusCode) {
  resetTimer();
  timerSource = vx::DispatchTimer::make(vx::DispatchQueue::global());
  const double delay = delayForRetryCount(retryCount);
  MSLogWarning(kMSLogTag, "Call attempt #%u failed with status code: %d, it will be retried in %.f ms.", retryCount,
               statusCode, delay * 1000);
  ++retryCount;
  std::weak_ptr<MSIngestionCall> weakSelf = weak_from_this();
  timerSource->setEventHandler([weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    if (auto ingestion = self->delegate.lock()) ingestion->sendCallAsync(self);
  });
  // One shot: the handler's send either ends the call or starts the next timer.
  timerSource->schedule(std::chrono::duration_cast<vx::Duration>(std::chrono::duration<double>(delay)), std::nullopt,
                        std::chrono::seconds(1));
  timerSource->resume();
}

void MSIngestionCall::resetTimer() {
  if (timerSource) {
    timerSource->cancel();
    timerSource.reset();
  }
}

void MSIngestionCall::resetRetry() {
  retryCount = 0;
  resetTimer();
}

MSIngestionCall::Outcome MSIngestionCall::ingestionCallCompleted(const std::optional<vx::HTTPURLResponse>& response,
                                                                 const vx::Bytes&,
                                                                 const std::optional<vx::Error>& error) {
  Outcome outcome;
  const int status = vx::statusCodeOf(response);
  if (MSHttpUtil::isNoInternetConnectionError(error) || MSHttpUtil::isSSLConnectionError(error)) {
    // Kept, unsubmitted: the next resume sends it again.
    resetRetry();
    MSLogInfo(kMSLogTag, "Ingestion call failed with error: %s", error->description.c_str());
    return outcome;
  }
  const bool recoverable = MSHttpUtil::isRecoverableError(status);
  if (recoverable && !hasReachedMaxRetries()) {
    startRetryTimerWithStatusCode(status);
    return outcome;
  }
  outcome.finished = true;
  outcome.error = error;
  // Only 200 counts as delivered: the ingestion service answers nothing else on success.
  if (!outcome.error && status != 200) {
    outcome.error = vx::Error(kMSZEErrorDomain, kMSZEConnectionHttpErrorCode, kMSZEConnectionHttpErrorDesc,
                              nlohmann::json{{kMSZEConnectionHttpCodeKey, status}});
  }
  const bool recoverableExhausted = recoverable && hasReachedMaxRetries();
  const bool fatal = outcome.error && outcome.error->code != vx::kURLErrorCancelled && !recoverableExhausted;
  outcome.result = recoverableExhausted ? MSIngestionCallResult::RecoverableError
                   : fatal              ? MSIngestionCallResult::FatalError
                                        : MSIngestionCallResult::Completed;
  return outcome;
}
