// The base of the telemetry senders. It owns a URL session, keeps every call that is in flight or
// waiting for a retry, retries recoverable failures with randomised back-off (on the injectable
// scheduler, so tests run in virtual time), pauses while the network is unreachable and resends
// when it comes back, tells its delegates about pause, resume and fatal errors, and disables
// itself on errors that must not be retried. Subclasses build the request.
//
// Make instances with MSHttpIngestion::make<T>(...): the ingestion must be owned by a shared_ptr
// before it starts observing reachability, whose first notification arrives at once.
#pragma once

#include "platform/foundation/NotificationCenter.h"
#include "platform/net/URLSession.h"
#include "telemetry/ZerEvuzev/Ingestion/MSIngestionCall.h"
#include "telemetry/ZerEvuzev/Ingestion/MSIngestionProtocol.h"
#include "telemetry/ZerEvuzev/Ingestion/MS_Reachability.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using MSQueryStrings = std::vector<std::pair<std::string, std::string>>;
using MSHeaders = std::vector<std::pair<std::string, std::string>>;

class MSHttpIngestion : public MSIngestionProtocol,
                        public MSIngestionCallDelegate,
                        public std::enable_shared_from_this<MSHttpIngestion> {
 public:
  static constexpr std::size_t kDefaultMaxNumberOfConnections = 4;
  static std::vector<double> defaultRetryIntervals() { return {10, 300, 1200}; }

  // Constructs T with the arguments, then starts observing reachability.
  template <class T, class... Args>
  static std::shared_ptr<T> make(Args&&... args) {
    std::shared_ptr<T> ingestion(new T(std::forward<Args>(args)...));
    ingestion->startObservingReachability();
    return ingestion;
  }

  ~MSHttpIngestion() override;
  MSHttpIngestion(const MSHttpIngestion&) = delete;
  MSHttpIngestion& operator=(const MSHttpIngestion&) = delete;

  // ---- MSIngestionProtocol ----
  bool isReadyToSend() override { return true; }
  bool isPaused() override;
  bool isEnabled() override;
  void sendAsync(std::shared_ptr<MSLogContainer> data, std::optional<std::string> authToken,
                 MSSendAsyncCompletionHandler handler) override;
  void addDelegate(const std::shared_ptr<MSIngestionDelegate>& delegate) override;
  void removeDelegate(const std::shared_ptr<MSIngestionDelegate>& delegate) override;
  void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;
  void pause() override;
  void resume() override;
  // Moves the send URL to another base (scheme, user, password, host, port and path), keeping
  // its query. A base that does not parse leaves the URL as it is (info line).
  void setBaseURL(const std::string& baseURL) override;

  // Every variant sends under a new random call id.
  void sendAsync(std::shared_ptr<MSLogContainer> data, MSSendAsyncCompletionHandler handler);
  void sendAsyncWithETag(std::shared_ptr<MSLogContainer> data, std::optional<std::string> eTag,
                         MSSendAsyncCompletionHandler handler);
  void sendAsync(std::shared_ptr<MSLogContainer> data, std::optional<std::string> eTag,
                 std::optional<std::string> authToken, MSSendAsyncCompletionHandler handler);
  // Reuses the pending call with that id (its data and handler unchanged) or makes a new one.
  void sendAsync(std::shared_ptr<MSLogContainer> data, std::optional<std::string> eTag,
                 std::optional<std::string> authToken, const std::string& callId, MSSendAsyncCompletionHandler handler);

  // ---- MSIngestionCallDelegate ----
  void sendCallAsync(const std::shared_ptr<MSIngestionCall>& call) override;
  void callCompletedWithResult(const std::shared_ptr<MSIngestionCall>& call, MSIngestionCallResult result) override;

  // Follows the reachability's current status: pauses when down, resumes when up.
  void networkStateChanged();

  // ---- Properties ----
  std::string sendURL();
  const std::string& baseURL() const { return baseURL_; }
  const std::string& apiPath() const { return apiPath_; }
  const MSHeaders& httpHeaders() const { return httpHeaders_; }
  const std::string& httpMethod() const { return httpMethod_; }
  const MSReachabilityPtr& reachability() const { return reachability_; }
  const std::vector<double>& callsRetryIntervals() const { return callsRetryIntervals_; }
  std::size_t maxNumberOfConnections() const { return maxNumberOfConnections_; }
  // Snapshot of the pending calls by call id.
  std::map<std::string, std::shared_ptr<MSIngestionCall>> pendingCalls();
  // The session, made on first use.
  std::shared_ptr<vx::URLSession> session();

  // "Name = value" per header with secrets masked, joined by ", ".
  std::string prettyPrintHeaders(const vx::HTTPHeaderFields& headers);
  // The first response header named "etag" (any case).
  static std::optional<std::string> eTagFromResponse(const std::optional<vx::HTTPURLResponse>& response);

 protected:
  MSHttpIngestion(std::string baseURL, std::string apiPath, MSHeaders headers, MSQueryStrings queryStrings,
                  MSReachabilityPtr reachability, std::vector<double> retryIntervals = defaultRetryIntervals(),
                  std::size_t maxNumberOfConnections = kDefaultMaxNumberOfConnections);

  // The request for a call; std::nullopt when none can be made (the call is then not sent).
  virtual std::optional<vx::URLRequest> createRequest(const std::shared_ptr<MSLogContainer>& data,
                                                      const std::optional<std::string>& eTag,
                                                      const std::optional<std::string>& authToken) = 0;
  // The value of a header as it may be logged; unchanged here.
  virtual std::string obfuscateHeaderValue(const std::string& value, const std::string& key);

  // Request bodies of this many bytes or more are sent gzipped.
  static constexpr const char* kMSHeaderContentEncodingKey = "Content-Encoding";
  static constexpr const char* kMSHeaderContentEncoding = "gzip";
  static constexpr std::size_t kMSCompressionThreshold = 1400;
  // Sets `body` on the request, gzipped (with its Content-Encoding) from the threshold on when
  // compression succeeds, and logs the URL and the masked headers at the verbose level.
  void setBodyAndLog(vx::URLRequest& request, const std::string& body);

  // Held (recursively) around sending, completion, pause, resume, enable and delegates.
  std::recursive_mutex& lock() { return mutex_; }

 private:
  void startObservingReachability();
  // Sets enabled_ (pausing, and with `deleteDataOnDisabled` dropping calls, when disabled) under
  // the lock; false when it was already so.
  bool applyEnabled(bool isEnabled, bool deleteDataOnDisabled);
  // Starts or stops the notifier to match enabled_. Never called with the lock held: stopping
  // waits for the notifier's thread, which may be waiting for the lock to resume.
  void syncNotifier();
  void requestCompleted(const std::string& callId, vx::Bytes data, std::optional<vx::HTTPURLResponse> response,
                        std::optional<vx::Error> error);
  std::shared_ptr<vx::URLSession> sessionLocked();
  template <class F>
  void forEachDelegate(F&& f);

  std::recursive_mutex mutex_;
  std::string baseURL_;
  std::string apiPath_;
  MSReachabilityPtr reachability_;
  bool paused_ = false;
  std::string sendURL_;
  std::string httpMethod_ = "POST";
  MSHeaders httpHeaders_;
  std::map<std::string, std::shared_ptr<MSIngestionCall>> pendingCalls_;
  std::shared_ptr<vx::URLSession> session_;
  std::shared_ptr<vx::DispatchQueue> sessionQueue_;
  std::size_t maxNumberOfConnections_;
  std::vector<double> callsRetryIntervals_;
  std::vector<std::weak_ptr<MSIngestionDelegate>> delegates_;
  bool enabled_ = true;
  // Orders notifier starts and stops; taken before (never under) mutex_.
  std::mutex notifierMutex_;
  bool notifierRunning_ = false;
  vx::ScopedObserver reachabilityObserver_;
};
