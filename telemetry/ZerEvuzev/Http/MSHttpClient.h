// The telemetry SDK's general-purpose HTTP client for services that send their own requests: one
// request per call through a URL session, retries of recoverable statuses after a randomised
// back-off or the delay the server asks for ("x-ms-retry-after-ms"), pause while the network is
// down, compression of large bodies, and cancellation of everything when disabled.
//
// Completion handlers never run under the client's lock, so a handler may call back into the
// client (send again, disable) from any thread.
#pragma once

#include "platform/foundation/NotificationCenter.h"
#include "platform/net/URLSession.h"
#include "telemetry/ZerEvuzev/Http/MSHttpCall.h"
#include "telemetry/ZerEvuzev/Ingestion/MS_Reachability.h"

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class MSHttpClientProtocol {
 public:
  virtual ~MSHttpClientProtocol() = default;
  virtual void sendAsync(const std::string& url, const std::string& method, const vx::HTTPHeaderFields& headers,
                         std::optional<vx::Bytes> data, MSHttpRequestCompletionHandler completionHandler) = 0;
  virtual void setEnabled(bool isEnabled) = 0;
};

class MSHttpClient : public MSHttpClientProtocol, public std::enable_shared_from_this<MSHttpClient> {
 public:
  static std::vector<double> defaultRetryIntervals() { return {10, 300, 1200}; }

  // No connection limit, default intervals, the internet-connection watcher, compression on.
  static std::shared_ptr<MSHttpClient> make();
  static std::shared_ptr<MSHttpClient> make(bool compressionEnabled);
  static std::shared_ptr<MSHttpClient> make(std::size_t maxHttpConnectionsPerHost, bool compressionEnabled);
  // The designated form; `reachability` null means the internet-connection watcher.
  static std::shared_ptr<MSHttpClient> make(std::optional<std::size_t> maxHttpConnectionsPerHost,
                                            std::vector<double> retryIntervals, MSReachabilityPtr reachability,
                                            bool compressionEnabled);
  ~MSHttpClient() override;
  MSHttpClient(const MSHttpClient&) = delete;
  MSHttpClient& operator=(const MSHttpClient&) = delete;

  // Starts a call; on a disabled client the handler gets error 3 ("The service is disabled.").
  void sendAsync(const std::string& url, const std::string& method, const vx::HTTPHeaderFields& headers,
                 std::optional<vx::Bytes> data, MSHttpRequestCompletionHandler completionHandler) override;
  // Sends (or re-sends) a call; while paused the call only waits in the pending calls.
  void sendCallAsync(const std::shared_ptr<MSHttpCall>& call);
  // The end of one request of `call`.
  void requestCompletedWithHttpCall(const std::shared_ptr<MSHttpCall>& call, vx::Bytes data,
                                    std::optional<vx::HTTPURLResponse> response, std::optional<vx::Error> error);

  void networkStateChanged();
  void pause();
  void resume();
  // Disabling cancels every pending call: each handler gets error 2 ("The operation was
  // canceled.") exactly once; a request that still completes afterwards is ignored.
  void setEnabled(bool isEnabled) override;

  bool isPaused();
  bool isEnabled();
  bool compressionEnabled() const { return compressionEnabled_; }
  std::size_t pendingCallCount();
  const MSReachabilityPtr& reachability() const { return reachability_; }

  std::string obfuscateHeaderValue(const std::string& value, const std::string& key) const;
  std::string prettyPrintHeaders(const vx::HTTPHeaderFields& headers) const;

 private:
  MSHttpClient(std::optional<std::size_t> maxHttpConnectionsPerHost, std::vector<double> retryIntervals,
               MSReachabilityPtr reachability, bool compressionEnabled);
  void start();
  // Run with mutex_ held; they call no completion handler.
  void sendCallLocked(const std::shared_ptr<MSHttpCall>& call);
  void pauseLocked();
  void resumeLocked();

  std::mutex mutex_;
  vx::URLSessionConfiguration sessionConfiguration_;
  std::shared_ptr<vx::URLSession> session_;
  std::shared_ptr<vx::DispatchQueue> sessionQueue_;
  MSReachabilityPtr reachability_;
  std::set<std::shared_ptr<MSHttpCall>> pendingCalls_;
  std::vector<double> retryIntervals_;
  bool paused_ = false;
  bool enabled_ = true;
  const bool compressionEnabled_;
  vx::ScopedObserver reachabilityObserver_;
};
