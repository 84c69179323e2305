// One request of the generic HTTP client with its retry state. The body is prepared once, at
// creation (compression, default content type); the retry count and timer are guarded by the
// call's own lock.
#pragma once

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLSession.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// (body or nothing, HTTP response if one arrived, error). Called once when the call ends.
using MSHttpRequestCompletionHandler =
    std::function<void(const std::optional<vx::Bytes>& data, const std::optional<vx::HTTPURLResponse>& response,
                       const std::optional<vx::Error>& error)>;

class MSHttpCall : public std::enable_shared_from_this<MSHttpCall> {
 public:
  // Bodies of this many bytes or more are gzip-compressed when compression is enabled.
  static constexpr std::size_t kCompressionThreshold = 1400;

  // Copies the headers; compresses a large body ("Content-Encoding: gzip") when allowed and the
  // compression succeeds; gives a body without "Content-Type" the type "application/json".
  MSHttpCall(std::string url, std::string method, const vx::HTTPHeaderFields& headers, std::optional<vx::Bytes> data,
             std::vector<double> retryIntervals, bool compressionEnabled,
             MSHttpRequestCompletionHandler completionHandler);
  ~MSHttpCall();

  const std::string url;
  const std::string method;
  const vx::HTTPHeaderFields& headers() const { return headers_; }
  const std::optional<vx::Bytes>& data() const { return data_; }
  const std::vector<double>& retryIntervals() const { return retryIntervals_; }
  const MSHttpRequestCompletionHandler& completionHandler() const { return completionHandler_; }

  // Changed only under the client's lock.
  bool inProgress = false;

  std::uint32_t retryCount();
  bool hasReachedMaxRetries();
  // Cancels the retry timer, if any, and sets the retry count to 0.
  void resetRetry();
  // Runs `event` once after `retryAfterMs` milliseconds when given, else after the randomised
  // back-off for the current retry count; counts the retry. Time is the current scheduler's.
  void startRetryTimerWithStatusCode(int statusCode, std::optional<std::uint64_t> retryAfterMs,
                                     std::function<void()> event);
  // Milliseconds: half the interval at that index plus a random amount below that half; 0 past
  // the last interval.
  std::uint64_t delayForRetryCount(std::uint32_t retryCount) const;

 private:
  vx::HTTPHeaderFields headers_;
  std::optional<vx::Bytes> data_;
  std::vector<double> retryIntervals_;
  MSHttpRequestCompletionHandler completionHandler_;

  std::mutex mutex_;
  std::uint32_t retryCount_ = 0;
  std::shared_ptr<vx::DispatchTimer> timerSource_;
};
