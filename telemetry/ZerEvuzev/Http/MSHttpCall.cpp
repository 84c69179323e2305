#include "telemetry/ZerEvuzev/Http/MSHttpCall.h"

#include "telemetry/ZerEvuzev/Ingestion/MSCompression.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include <random>

namespace {

std::uint64_t randomBelow(std::uint64_t bound) {
  if (bound == 0) return 0;
  static std::mutex mutex;
  static std::mt19937_64 generator{std::random_device{}()};
  std::lock_guard lock(mutex);
  return std::uniform_int_distribution<std::uint64_t>(0, bound - 1)(generator);
}

}  // namespace

MSHttpCall::MSHttpCall(std::string url, std::string method, const vx::HTTPHeaderFields& headers,
                       std::optional<vx::Bytes> data, std::vector<double> retryIntervals, bool compressionEnabled,
                       MSHttpRequestCompletionHandler completionHandler)
    : url(std::move(url)),
      method(std::move(method)),
      headers_(headers),
      data_(std::move(data)),
      retryIntervals_(std::move(retryIntervals)),
      completionHandler_(std::move(completionHandler)) {
  if (compressionEnabled && data_ && data_->size() >= kCompressionThreshold) {
    if (auto compressed = MSCompression::compressData(data_)) {
      data_ = std::move(compressed);
      headers_.set("Content-Encoding", "gzip");
    }
  }
  if (data_ && !headers_.contains("Content-Type")) headers_.set("Content-Type", "application/json");
}

MSHttpCall::~MSHttpCall() {
  std::lock_guard lock(mutex_);
  if (timerSource_) timerSource_->cancel();
}

std::uint32_t MSHttpCall::retryCount() {
  std::lock_guard lock(mutex_);
  return retryCount_;
}

bool MSHttpCall::hasReachedMaxRetries() {
  std::lock_guard lock(mutex_);
  return retryCount_ >= retryIntervals_.size();
}

void MSHttpCall::resetRetry() {
  std::lock_guard lock(mutex_);
  if (timerSource_) {
    timerSource_->cancel();
    timerSource_.reset();
  }
  retryCount_ = 0;
}

std::uint64_t MSHttpCall::delayForRetryCount(std::uint32_t count) const {
  if (count >= retryIntervals_.size()) return 0;
  const auto half = static_cast<std::uint64_t>(retryIntervals_[count] * 1000 / 2);
  return half + randomBelow(half);
}

void MSHttpCall::startRetryTimerWithStatusCode(int statusCode, std::optional<std::uint64_t> retryAfterMs,
                                               std::function<void()> event) {
  std::lock_guard lock(mutex_);
  if (timerSource_) timerSource_->cancel();
  timerSource_ = vx::DispatchTimer::make(vx::DispatchQueue::global());
  const std::uint64_t delay = retryAfterMs ? *retryAfterMs : delayForRetryCount(retryCount_);
  MSLogWarning(kMSLogTag, "Call attempt #%u failed with status code: %d, it will be retried in %llu ms.", retryCount_,
               statusCode, static_cast<unsigned long long>(delay));
  ++retryCount_;
  timerSource_->setEventHandler(std::move(event));
  timerSource_->schedule(std::chrono::milliseconds(delay), std::nullopt, std::chrono::seconds(1));
  timerSource_->resume();
}
