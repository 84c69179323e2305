#include "telemetry/ZerEvuzev/Http/MSHttpClient.h"

#include "telemetry/ZerEvuzev/Ingestion/MSHttpUtil.h"
#include "telemetry/ZerEvuzev/Ingestion/MSZEErrors.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace {

// The "x-ms-retry-after-ms" header as a whole number of milliseconds; nothing when absent, not a
// number, negative or out of range.
std::optional<std::uint64_t> retryAfterMilliseconds(const std::optional<vx::HTTPURLResponse>& response) {
  if (!response) return std::nullopt;
  const auto text = response->headers.value("x-ms-retry-after-ms");
  if (!text || text->empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text->c_str(), &end);
  while (end && (*end == ' ' || *end == '\t')) ++end;
  if (errno != 0 || end == text->c_str() || *end != '\0' || !std::isfinite(value) || value < 0 || value > 1e15) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

}  // namespace

std::shared_ptr<MSHttpClient> MSHttpClient::make() { return make(true); }

std::shared_ptr<MSHttpClient> MSHttpClient::make(bool compressionEnabled) {
  return make(std::nullopt, defaultRetryIntervals(), nullptr, compressionEnabled);
}

std::shared_ptr<MSHttpClient> MSHttpClient::make(std::size_t maxHttpConnectionsPerHost, bool compressionEnabled) {
  return make(std::optional<std::size_t>(maxHttpConnectionsPerHost), defaultRetryIntervals(), nullptr,
              compressionEnabled);
}

std::shared_ptr<MSHttpClient> MSHttpClient::make(std::optional<std::size_t> maxHttpConnectionsPerHost,
                                                 std::vector<double> retryIntervals, MSReachabilityPtr reachability,
                                                 bool compressionEnabled) {
  std::shared_ptr<MSHttpClient> client(
      new MSHttpClient(maxHttpConnectionsPerHost, std::move(retryIntervals),
                       reachability ? std::move(reachability) : MS_Reachability::reachabilityForInternetConnection(),
                       compressionEnabled));
  client->start();
  return client;
}

MSHttpClient::MSHttpClient(std::optional<std::size_t> maxHttpConnectionsPerHost, std::vector<double> retryIntervals,
                           MSReachabilityPtr reachability, bool compressionEnabled)
    : reachability_(std::move(reachability)),
      retryIntervals_(std::move(retryIntervals)),
      compressionEnabled_(compressionEnabled) {
  sessionConfiguration_ = vx::URLSessionConfiguration::defaultConfiguration();
  // Requests of this client handle no cookies.
  sessionConfiguration_.ephemeral = true;
  sessionConfiguration_.httpMaximumConnectionsPerHost =
      maxHttpConnectionsPerHost ? static_cast<int>(*maxHttpConnectionsPerHost) : 0;
  sessionQueue_ = vx::DispatchQueue::makeSerial("com.revererav.zerevuzev.httpclient");
  session_ = vx::URLSession::make(sessionConfiguration_, sessionQueue_);
}

void MSHttpClient::start() {
  std::weak_ptr<MSHttpClient> weakSelf = weak_from_this();
  auto& center =
      reachability_->options().center ? *reachability_->options().center : vx::NotificationCenter::defaultCenter();
  reachabilityObserver_ = vx::ScopedObserver(center, center.addObserver(kMSReachabilityChangedNotification, nullptr,
                                                                        nullptr, [weakSelf](const vx::Notification&) {
                                                                          if (auto self = weakSelf.lock())
                                                                            self->networkStateChanged();
                                                                        }));
  reachability_->startNotifier();
}

MSHttpClient::~MSHttpClient() {
  reachability_->stopNotifier();
  reachabilityObserver_.reset();
  std::lock_guard lock(mutex_);
  for (const auto& call : pendingCalls_) call->resetRetry();
  if (session_) session_->finishTasksAndInvalidate();
}

bool MSHttpClient::isPaused() {
  std::lock_guard lock(mutex_);
  return paused_;
}

bool MSHttpClient::isEnabled() {
  std::lock_guard lock(mutex_);
  return enabled_;
}

std::size_t MSHttpClient::pendingCallCount() {
  std::lock_guard lock(mutex_);
  return pendingCalls_.size();
}

void MSHttpClient::sendAsync(const std::string& url, const std::string& method, const vx::HTTPHeaderFields& headers,
                             std::optional<vx::Bytes> data, MSHttpRequestCompletionHandler completionHandler) {
  {
    std::lock_guard lock(mutex_);
    if (enabled_) {
      auto call = std::make_shared<MSHttpCall>(url, method, headers, std::move(data), retryIntervals_,
                                               compressionEnabled_, std::move(completionHandler));
      sendCallLocked(call);
      return;
    }
  }
  // Outside the lock, so the handler may call back into the client.
  if (completionHandler) {
    completionHandler(std::nullopt, std::nullopt,
                      vx::Error(kMSZEErrorDomain, kMSZEDisabledErrorCode, kMSZEDisabledErrorDesc));
  }
}

void MSHttpClient::sendCallAsync(const std::shared_ptr<MSHttpCall>& call) {
  std::lock_guard lock(mutex_);
  sendCallLocked(call);
}

void MSHttpClient::sendCallLocked(const std::shared_ptr<MSHttpCall>& call) {
  // A retry timer that fired just before the client was disabled must not bring back a call
  // whose handler has already been told it was cancelled.
  if (!call || !enabled_) return;
  pendingCalls_.insert(call);
  if (paused_ || !session_) return;

  vx::URLRequest request(call->url, call->method);
  request.headers = call->headers();
  if (call->data()) request.body = *call->data();
  if (MSLogger::currentLogLevel() <= MSLogLevel::Verbose) {
    MSLogVerbose(kMSLogTag, "URL: %s", request.url.c_str());
    MSLogVerbose(kMSLogTag, "Headers: %s", prettyPrintHeaders(request.headers).c_str());
  }
  call->inProgress = true;
  std::weak_ptr<MSHttpClient> weakSelf = weak_from_this();
  auto task = session_->dataTask(
      std::move(request),
      [weakSelf, call](vx::Bytes data, std::optional<vx::HTTPURLResponse> response, std::optional<vx::Error> error) {
        if (auto self = weakSelf.lock()) {
          self->requestCompletedWithHttpCall(call, std::move(data), std::move(response), std::move(error));
        }
      });
  task->resume();
}

void MSHttpClient::requestCompletedWithHttpCall(const std::shared_ptr<MSHttpCall>& call, vx::Bytes data,
                                                std::optional<vx::HTTPURLResponse> response,
                                                std::optional<vx::Error> error) {
  std::optional<vx::Bytes> endData;
  std::optional<vx::HTTPURLResponse> endResponse;
  std::optional<vx::Error> endError;
  {
    std::lock_guard lock(mutex_);
    call->inProgress = false;
    if (pendingCalls_.count(call) == 0) {
      MSLogDebug(kMSLogTag, "HTTP call was canceled; do not process further.");
      return;
    }
    if (MSHttpUtil::isNoInternetConnectionError(error) || MSHttpUtil::isSSLConnectionError(error)) {
      call->resetRetry();
      MSLogInfo(kMSLogTag, "HTTP call failed with error: %s",
                MSHttpUtil::isNoInternetConnectionError(error) ? "Internet connection is down."
                                                               : "Could not establish secure connection.");
      return;
    }
    if (error) {
      MSLogError(kMSLogTag, "HTTP request error with code: %lld, domain: %s, description: %s",
                 static_cast<long long>(error->code), error->domain.c_str(), error->description.c_str());
      endData = std::move(data);
      endError = std::move(error);
    } else {
      const int status = vx::statusCodeOf(response);
      if (MSHttpUtil::isRecoverableError(status) && !call->hasReachedMaxRetries()) {
        std::weak_ptr<MSHttpClient> weakSelf = weak_from_this();
        std::weak_ptr<MSHttpCall> weakCall = call;
        call->startRetryTimerWithStatusCode(status, retryAfterMilliseconds(response), [weakSelf, weakCall] {
          auto self = weakSelf.lock();
          auto retried = weakCall.lock();
          if (self && retried) self->sendCallAsync(retried);
        });
        return;
      }
      if (MSLogger::currentLogLevel() <= MSLogLevel::Verbose) {
        const std::string payload =
            MSHttpPayloadForLog(data, response ? response->headers.value("Content-Type") : std::nullopt);
        MSLogVerbose(kMSLogTag, "HTTP response received with status code: %d, payload:\n%s", status, payload.c_str());
      }
      endData = std::move(data);
      endResponse = std::move(response);
    }
    pendingCalls_.erase(call);
  }
  // The handler runs after the lock is released: it may call back into the client.
  if (call->completionHandler()) call->completionHandler()(endData, endResponse, endError);
}

void MSHttpClient::networkStateChanged() {
  if (reachability_->currentStatus() == vx::NetworkStatus::notReachable) {
    MSLogInfo(kMSLogTag, "Internet connection is down.");
    pause();
  } else {
    MSLogInfo(kMSLogTag, "Internet connection is up.");
    resume();
  }
}

void MSHttpClient::pause() {
  std::lock_guard lock(mutex_);
  pauseLocked();
}

void MSHttpClient::pauseLocked() {
  if (paused_) return;
  MSLogInfo(kMSLogTag, "Pause HTTP client.");
  paused_ = true;
  for (const auto& call : pendingCalls_) call->resetRetry();
}

void MSHttpClient::resume() {
  std::lock_guard lock(mutex_);
  resumeLocked();
}

void MSHttpClient::resumeLocked() {
  if (!paused_ || !enabled_) return;
  MSLogInfo(kMSLogTag, "Resume HTTP client.");
  paused_ = false;
  const auto calls = pendingCalls_;
  for (const auto& call : calls) {
    if (!call->inProgress) sendCallLocked(call);
  }
}

void MSHttpClient::setEnabled(bool isEnabled) {
  std::set<std::shared_ptr<MSHttpCall>> cancelled;
  {
    std::lock_guard lock(mutex_);
    if (enabled_ == isEnabled) return;
    enabled_ = isEnabled;
    if (isEnabled) {
      session_ = vx::URLSession::make(sessionConfiguration_, sessionQueue_);
      resumeLocked();
    } else {
      pauseLocked();
      if (session_) {
        session_->invalidateAndCancel();
        session_.reset();
      }
      cancelled.swap(pendingCalls_);
    }
  }
  // Started after the lock is released: the notifier posts at once, and that notification
  // resumes the client through this lock.
  if (isEnabled) {
    reachability_->startNotifier();
  } else {
    reachability_->stopNotifier();
  }
  for (const auto& call : cancelled) {
    if (call->completionHandler()) {
      call->completionHandler()(std::nullopt, std::nullopt,
                                vx::Error(kMSZEErrorDomain, kMSZECanceledErrorCode, kMSZECanceledErrorDesc));
    }
  }
}

std::string MSHttpClient::obfuscateHeaderValue(const std::string& value, const std::string& key) const {
  if (vx::HTTPHeaderFields::namesEqual(key, "Authorization")) return MSHttpUtil::hideAuthToken(value);
  if (vx::HTTPHeaderFields::namesEqual(key, "App-Secret")) return MSHttpUtil::hideSecret(value);
  return value;
}

std::string MSHttpClient::prettyPrintHeaders(const vx::HTTPHeaderFields& headers) const {
  std::string text;
  for (const auto& [key, value] : headers.all()) {
    if (!text.empty()) text += ", ";
    text += key + " = " + obfuscateHeaderValue(value, key);
  }
  return text;
}
