#include "telemetry/ZerEvuzevAnalytics/TransmissionTarget/MSAnalyticsAuthenticationProvider.h"

#include "platform/foundation/Clock.h"
#include "telemetry/ZerEvuzev/Ingestion/MSTicketCache.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <chrono>

namespace {

constexpr const char* kTag = "ZerEvuzevAnalytics";

std::int64_t wholeSeconds(vx::Date date) {
  return std::chrono::duration_cast<std::chrono::seconds>(date.time_since_epoch()).count();
}

}  // namespace

MSAnalyticsAuthenticationProvider::MSAnalyticsAuthenticationProvider(
    MSAnalyticsAuthenticationType type, std::optional<std::string> ticketKey,
    const std::shared_ptr<MSAnalyticsAuthenticationProviderDelegate>& delegate)
    : type_(type),
      ticketKey_(std::move(ticketKey)),
      ticketKeyHash_(ticketKey_ ? std::optional<std::string>(MSUtility::sha256(*ticketKey_)) : std::nullopt),
      delegate_(delegate) {}

const char* MSAnalyticsAuthenticationProvider::ticketPrefix(MSAnalyticsAuthenticationType type) {
  return type == MSAnalyticsAuthenticationType::Delegated ? "d" : "p";
}

std::optional<vx::Date> MSAnalyticsAuthenticationProvider::expiryDate() const {
  std::lock_guard lock(mutex_);
  return expiryDate_;
}

bool MSAnalyticsAuthenticationProvider::isRequestOutstanding() const {
  std::lock_guard lock(mutex_);
  return currentRequest_ != nullptr;
}

void MSAnalyticsAuthenticationProvider::acquireTokenAsync() {
  auto delegate = delegate_.lock();
  if (!delegate) {
    MSLogError(kTag, "No completionhandler to acquire token has been set.");
    return;
  }
  std::shared_ptr<const void> request;
  {
    std::lock_guard lock(mutex_);
    if (currentRequest_) return;
    request = std::make_shared<int>(0);
    currentRequest_ = request;
  }
  std::weak_ptr<MSAnalyticsAuthenticationProvider> weakSelf = weak_from_this();
  MSAcquireTokenCompletionBlock completion = [weakSelf, request](const std::optional<std::string>& token,
                                                                 const std::optional<vx::Date>& expiryDate) {
    if (auto provider = weakSelf.lock()) provider->handleTokenUpdate(token, expiryDate, request);
  };
  delegate->authenticationProviderAcquireToken(*this, completion);
}

void MSAnalyticsAuthenticationProvider::handleTokenUpdate(const std::optional<std::string>& token,
                                                          const std::optional<vx::Date>& expiryDate,
                                                          const std::shared_ptr<const void>& request) {
  std::lock_guard lock(mutex_);
  if (request != currentRequest_) return;
  currentRequest_.reset();
  MSLogDebug(kTag, "Got result back from MSAcquireTokenCompletionBlock.");
  if (!token) {
    MSLogError(kTag, "Token must not be null");
    return;
  }
  if (!expiryDate) {
    MSLogError(kTag, "Date must not be null");
    return;
  }
  if (ticketKeyHash_) {
    MSTicketCache::sharedInstance().setTicket(MSFormat("%s:%s", ticketPrefix(type_), token->c_str()), *ticketKeyHash_);
  }
  expiryDate_ = expiryDate;
}

void MSAnalyticsAuthenticationProvider::checkTokenExpiry() {
  std::lock_guard lock(mutex_);
  if (!expiryDate_) return;
  const std::int64_t expiry = wholeSeconds(*expiryDate_);
  const std::int64_t now = wholeSeconds(vx::wallNow());
  if (now + kMSRefreshThreshold >= expiry) acquireTokenAsync();
}
