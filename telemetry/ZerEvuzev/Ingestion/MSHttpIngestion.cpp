#include "telemetry/ZerEvuzev/Ingestion/MSHttpIngestion.h"

#include "platform/foundation/URL.h"
#include "platform/foundation/UUID.h"
#include "telemetry/ZerEvuzev/Ingestion/MSCompression.h"
#include "telemetry/ZerEvuzev/Ingestion/MSHttpUtil.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include <algorithm>
#include <cctype>

MSHttpIngestion::MSHttpIngestion(std::string baseURL, std::string apiPath, MSHeaders headers,
                                 MSQueryStrings queryStrings, MSReachabilityPtr reachability,
                                 std::vector<double> retryIntervals, std::size_t maxNumberOfConnections)
    : baseURL_(std::move(baseURL)),
      apiPath_(std::move(apiPath)),
      reachability_(std::move(reachability)),
      httpHeaders_(std::move(headers)),
      maxNumberOfConnections_(maxNumberOfConnections),
      callsRetryIntervals_(std::move(retryIntervals)) {
  sendURL_ = baseURL_ + apiPath_;
  if (!queryStrings.empty()) {
    std::string query;
    for (const auto& [key, value] : queryStrings) {
      query += (query.empty() ? "" : "&") + key + "=" + value;
    }
    sendURL_ += "?" + vx::URL::percentEncode(query, vx::PercentEncoding::Query);
  }
  sessionQueue_ = vx::DispatchQueue::makeSerial("com.revererav.zerevuzev.ingestion");
}

void MSHttpIngestion::startObservingReachability() {
  std::weak_ptr<MSHttpIngestion> weakSelf = weak_from_this();
  auto& center = reachability_ && reachability_->options().center ? *reachability_->options().center
                                                                  : vx::NotificationCenter::defaultCenter();
  reachabilityObserver_ = vx::ScopedObserver(center, center.addObserver(kMSReachabilityChangedNotification, nullptr,
                                                                        nullptr, [weakSelf](const vx::Notification&) {
                                                                          if (auto self = weakSelf.lock())
                                                                            self->networkStateChanged();
                                                                        }));
  syncNotifier();
}

MSHttpIngestion::~MSHttpIngestion() {
  if (reachability_) reachability_->stopNotifier();
  reachabilityObserver_.reset();
  std::lock_guard lock(mutex_);
  for (auto& [id, call] : pendingCalls_) call->resetTimer();
  if (session_) session_->finishTasksAndInvalidate();
}

bool MSHttpIngestion::isPaused() {
  std::lock_guard lock(mutex_);
  return paused_;
}

bool MSHttpIngestion::isEnabled() {
  std::lock_guard lock(mutex_);
  return enabled_;
}

std::string MSHttpIngestion::sendURL() {
  std::lock_guard lock(mutex_);
  return sendURL_;
}

std::map<std::string, std::shared_ptr<MSIngestionCall>> MSHttpIngestion::pendingCalls() {
  std::lock_guard lock(mutex_);
  return pendingCalls_;
}

std::shared_ptr<vx::URLSession> MSHttpIngestion::session() {
  std::lock_guard lock(mutex_);
  return sessionLocked();
}

std::shared_ptr<vx::URLSession> MSHttpIngestion::sessionLocked() {
  if (!session_) {
    vx::URLSessionConfiguration configuration = vx::URLSessionConfiguration::defaultConfiguration();
    configuration.timeoutIntervalForRequest = std::chrono::seconds(60);
    configuration.httpMaximumConnectionsPerHost = static_cast<int>(maxNumberOfConnections_);
    // Telemetry requests carry no cookies.
    configuration.ephemeral = true;
    session_ = vx::URLSession::make(configuration, sessionQueue_);
  }
  return session_;
}

// ---- Sending ----

void MSHttpIngestion::sendAsync(std::shared_ptr<MSLogContainer> data, MSSendAsyncCompletionHandler handler) {
  sendAsync(std::move(data), std::nullopt, std::nullopt, std::move(handler));
}

void MSHttpIngestion::sendAsync(std::shared_ptr<MSLogContainer> data, std::optional<std::string> authToken,
                                MSSendAsyncCompletionHandler handler) {
  sendAsync(std::move(data), std::nullopt, std::move(authToken), std::move(handler));
}

void MSHttpIngestion::sendAsyncWithETag(std::shared_ptr<MSLogContainer> data, std::optional<std::string> eTag,
                                        MSSendAsyncCompletionHandler handler) {
  sendAsync(std::move(data), std::move(eTag), std::nullopt, std::move(handler));
}

void MSHttpIngestion::sendAsync(std::shared_ptr<MSLogContainer> data, std::optional<std::string> eTag,
                                std::optional<std::string> authToken, MSSendAsyncCompletionHandler handler) {
  sendAsync(std::move(data), std::move(eTag), std::move(authToken), vx::UUID::make().uuidString(), std::move(handler));
}

void MSHttpIngestion::sendAsync(std::shared_ptr<MSLogContainer> data, std::optional<std::string> eTag,
                                std::optional<std::string> authToken, const std::string& callId,
                                MSSendAsyncCompletionHandler handler) {
  std::shared_ptr<MSIngestionCall> call;
  {
    std::lock_guard lock(mutex_);
    auto found = pendingCalls_.find(callId);
    if (found != pendingCalls_.end()) {
      call = found->second;
    } else {
      call = std::make_shared<MSIngestionCall>(callsRetryIntervals_);
      call->delegate = std::static_pointer_cast<MSIngestionCallDelegate>(shared_from_this());
      call->data = std::move(data);
      call->authToken = std::move(authToken);
      call->eTag = std::move(eTag);
      call->callId = callId;
      call->completionHandler = std::move(handler);
      pendingCalls_[callId] = call;
    }
    sendCallAsync(call);
  }
}

void MSHttpIngestion::sendCallAsync(const std::shared_ptr<MSIngestionCall>& call) {
  std::lock_guard lock(mutex_);
  if (paused_ || !enabled_) return;
  if (!call || pendingCalls_.count(call->callId) == 0 || pendingCalls_[call->callId] != call) return;
  auto request = createRequest(call->data, call->eTag, call->authToken);
  if (!request) return;
  std::weak_ptr<MSHttpIngestion> weakSelf = weak_from_this();
  const std::string callId = call->callId;
  auto task = sessionLocked()->dataTask(
      std::move(*request),
      [weakSelf, callId](vx::Bytes data, std::optional<vx::HTTPURLResponse> response, std::optional<vx::Error> error) {
        if (auto self = weakSelf.lock()) {
          self->requestCompleted(callId, std::move(data), std::move(response), std::move(error));
        }
      });
  task->resume();
  call->submitted = true;
}

void MSHttpIngestion::requestCompleted(const std::string& callId, vx::Bytes data,
                                       std::optional<vx::HTTPURLResponse> response, std::optional<vx::Error> error) {
  std::lock_guard lock(mutex_);
  if (error) {
    MSLogDebug(kMSLogTag, "HTTP request error with code: %lld, domain: %s, description: %s",
               static_cast<long long>(error->code), error->domain.c_str(), error->description.c_str());
  } else if (MSLogger::currentLogLevel() <= MSLogLevel::Verbose) {
    const std::string payload =
        MSHttpPayloadForLog(data, response ? response->headers.value("Content-Type") : std::nullopt);
    MSLogVerbose(kMSLogTag, "HTTP response received with status code: %d, payload:\n%s", vx::statusCodeOf(response),
                 payload.c_str());
  }
  auto found = pendingCalls_.find(callId);
  // A call removed meanwhile (disabled with deletion) has nothing left to report.
  if (found == pendingCalls_.end()) return;
  auto call = found->second;
  call->submitted = false;
  const auto outcome = call->ingestionCallCompleted(response, data, error);
  if (!outcome.finished) return;
  if (call->completionHandler) call->completionHandler(callId, response, data, outcome.error);
  callCompletedWithResult(call, outcome.result);
}

void MSHttpIngestion::callCompletedWithResult(const std::shared_ptr<MSIngestionCall>& call,
                                              MSIngestionCallResult result) {
  std::lock_guard lock(mutex_);
  // The caller may hold the lock (a completed request), so the notifier is stopped later, on the
  // session queue, where no lock of ours is held.
  const auto stopNotifierLater = [this] {
    sessionQueue_->async([weakSelf = weak_from_this()] {
      if (auto self = weakSelf.lock()) self->syncNotifier();
    });
  };
  if (result == MSIngestionCallResult::RecoverableError) {
    if (applyEnabled(false, false)) stopNotifierLater();
  } else if (result == MSIngestionCallResult::FatalError) {
    if (applyEnabled(false, true)) stopNotifierLater();
    forEachDelegate([this](MSIngestionDelegate& delegate) { delegate.ingestionDidReceiveFatalError(this); });
  }
  if (call && !call->callId.empty()) {
    pendingCalls_.erase(call->callId);
    MSLogInfo(kMSLogTag, "Removed call id:%s from pending calls:%s", call->callId.c_str(),
              [&] {
                std::string ids;
                for (const auto& [id, pending] : pendingCalls_) ids += (ids.empty() ? "" : ", ") + id;
                return "{" + ids + "}";
              }()
                  .c_str());
  } else {
    MSLogWarning(kMSLogTag, "Call object is invalid");
  }
}

// ---- State ----

void MSHttpIngestion::pause() {
  std::lock_guard lock(mutex_);
  if (paused_) return;
  MSLogInfo(kMSLogTag, "Pause ingestion.");
  paused_ = true;
  for (auto& [id, call] : pendingCalls_) {
    if (!call->submitted) call->resetRetry();
  }
  forEachDelegate([this](MSIngestionDelegate& delegate) { delegate.ingestionDidPause(this); });
}

void MSHttpIngestion::resume() {
  std::lock_guard lock(mutex_);
  if (!paused_ || !enabled_) return;
  MSLogInfo(kMSLogTag, "Resume ingestion.");
  paused_ = false;
  // A copy: sending may end a call (and remove it) before the loop moves on.
  const auto calls = pendingCalls_;
  for (const auto& [id, call] : calls) {
    if (!call->submitted) sendCallAsync(call);
  }
  forEachDelegate([this](MSIngestionDelegate& delegate) { delegate.ingestionDidResume(this); });
}

void MSHttpIngestion::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  if (applyEnabled(isEnabled, deleteDataOnDisabled)) syncNotifier();
}

bool MSHttpIngestion::applyEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  std::lock_guard lock(mutex_);
  if (enabled_ == isEnabled) return false;
  enabled_ = isEnabled;
  if (!isEnabled) {
    pause();
    if (deleteDataOnDisabled) {
      if (session_) {
        session_->invalidateAndCancel();
        session_.reset();
      }
      for (auto& [id, call] : pendingCalls_) call->resetTimer();
      pendingCalls_.clear();
    }
  }
  return true;
}

void MSHttpIngestion::syncNotifier() {
  if (!reachability_) return;
  // Whoever comes last applies the latest state, so two threads enabling and disabling at once
  // never leave the notifier running while disabled or stopped while enabled. The notifier
  // posts at once when started; that notification resumes when the network is up, and one
  // arriving while disabled changes nothing.
  std::lock_guard notifierLock(notifierMutex_);
  bool enabled = false;
  {
    std::lock_guard lock(mutex_);
    enabled = enabled_;
  }
  if (enabled == notifierRunning_) return;
  notifierRunning_ = enabled;
  if (enabled) {
    reachability_->startNotifier();
  } else {
    reachability_->stopNotifier();
  }
}

void MSHttpIngestion::networkStateChanged() {
  const auto status = reachability_ ? reachability_->currentStatus() : vx::NetworkStatus::reachableViaWiFi;
  if (status == vx::NetworkStatus::notReachable) {
    MSLogInfo(kMSLogTag, "Internet connection is down.");
    pause();
  } else {
    MSLogInfo(kMSLogTag, "Internet connection is up.");
    resume();
  }
}

void MSHttpIngestion::setBaseURL(const std::string& baseURL) {
  std::lock_guard lock(mutex_);
  const auto parsed = vx::URL::parse(baseURL + apiPath_);
  const auto current = vx::URL::parse(sendURL_);
  if (!parsed || !parsed->isAbsolute() || !parsed->hasAuthority() || !current) {
    MSLogInfo(kMSLogTag, "Failed to update HTTP URL %s with %s", sendURL_.c_str(), baseURL.c_str());
    return;
  }
  std::string url = *parsed->scheme() + "://";
  if (parsed->user()) {
    url += *parsed->user();
    if (parsed->password()) url += ":" + *parsed->password();
    url += "@";
  }
  url += *parsed->host();
  if (parsed->port()) url += ":" + std::to_string(*parsed->port());
  url += parsed->path();
  if (current->query()) url += "?" + *current->query();
  sendURL_ = url;
  baseURL_ = baseURL;
}

// ---- Delegates ----

void MSHttpIngestion::addDelegate(const std::shared_ptr<MSIngestionDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  if (!delegate) return;
  for (const auto& weak : delegates_) {
    if (weak.lock() == delegate) return;
  }
  delegates_.push_back(delegate);
}

void MSHttpIngestion::removeDelegate(const std::shared_ptr<MSIngestionDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  delegates_.erase(std::remove_if(delegates_.begin(), delegates_.end(),
                                  [&](const std::weak_ptr<MSIngestionDelegate>& weak) {
                                    auto strong = weak.lock();
                                    return !strong || strong == delegate;
                                  }),
                   delegates_.end());
}

template <class F>
void MSHttpIngestion::forEachDelegate(F&& f) {
  const auto delegates = delegates_;
  for (const auto& weak : delegates) {
    if (auto delegate = weak.lock()) f(*delegate);
  }
}

// ---- Logging ----

std::string MSHttpIngestion::obfuscateHeaderValue(const std::string& value, const std::string&) { return value; }

void MSHttpIngestion::setBodyAndLog(vx::URLRequest& request, const std::string& body) {
  vx::Bytes bytes(body.begin(), body.end());
  std::optional<vx::Bytes> compressed;
  if (bytes.size() >= kMSCompressionThreshold) compressed = MSCompression::compressData(bytes);
  if (compressed) {
    request.body = std::move(*compressed);
    request.headers.set(kMSHeaderContentEncodingKey, kMSHeaderContentEncoding);
  } else {
    request.body = std::move(bytes);
  }
  if (MSLogger::currentLogLevel() <= MSLogLevel::Verbose) {
    MSLogVerbose(kMSLogTag, "URL: %s", request.url.c_str());
    MSLogVerbose(kMSLogTag, "Headers: %s", prettyPrintHeaders(request.headers).c_str());
  }
}

std::string MSHttpIngestion::prettyPrintHeaders(const vx::HTTPHeaderFields& headers) {
  std::string text;
  for (const auto& [key, value] : headers.all()) {
    if (!text.empty()) text += ", ";
    text += key + " = " + obfuscateHeaderValue(value, key);
  }
  return text;
}

std::optional<std::string> MSHttpIngestion::eTagFromResponse(const std::optional<vx::HTTPURLResponse>& response) {
  if (!response) return std::nullopt;
  for (const auto& [name, value] : response->headers.all()) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower == "etag") return value;
  }
  return std::nullopt;
}
