// Supplies the application user's authentication ticket to the logs of transmission targets.
// The provider asks the application's delegate for a token, stores "<prefix>:<token>" in the
// process-wide ticket cache under the SHA-256 of its ticket key (the common-schema ingestion
// sends the tickets of a log's ticket keys in its "Tickets" header), remembers when the token
// expires and asks again when a log is prepared within 600 seconds of that expiry.
//
// One request to the delegate is outstanding at a time. Each request has a completion of its
// own: only the answer to the current request is taken; a late or repeated answer to an earlier
// one is ignored. Time comes from the foundation's (injectable) scheduler.
#pragma once

#include "platform/foundation/Value.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class MSAnalyticsAuthenticationProvider;

// The kind of ticket; it chooses the ticket's prefix.
enum class MSAnalyticsAuthenticationType : unsigned {
  Compact = 0,   // "p"
  Delegated = 1  // "d"
};

// Called by the delegate, on any thread, with the token and its expiry (either may be missing,
// which is refused with an error line).
using MSAcquireTokenCompletionBlock =
    std::function<void(const std::optional<std::string>& token, const std::optional<vx::Date>& expiryDate)>;

class MSAnalyticsAuthenticationProviderDelegate {
 public:
  virtual ~MSAnalyticsAuthenticationProviderDelegate() = default;
  // Obtains a token and then calls the completion (now or later).
  virtual void authenticationProviderAcquireToken(MSAnalyticsAuthenticationProvider& provider,
                                                  const MSAcquireTokenCompletionBlock& completionHandler) = 0;
};

class MSAnalyticsAuthenticationProvider : public std::enable_shared_from_this<MSAnalyticsAuthenticationProvider> {
 public:
  static constexpr std::int64_t kMSRefreshThreshold = 600;  // seconds before the expiry

  // Keeps the delegate weakly; asks for nothing yet.
  MSAnalyticsAuthenticationProvider(MSAnalyticsAuthenticationType type, std::optional<std::string> ticketKey,
                                    const std::shared_ptr<MSAnalyticsAuthenticationProviderDelegate>& delegate);

  MSAnalyticsAuthenticationType type() const { return type_; }
  const std::optional<std::string>& ticketKey() const { return ticketKey_; }
  // 64 lower-case hex digits of the key's SHA-256; std::nullopt without a key.
  const std::optional<std::string>& ticketKeyHash() const { return ticketKeyHash_; }
  std::optional<vx::Date> expiryDate() const;
  // Whether a request to the delegate is outstanding.
  bool isRequestOutstanding() const;

  // Asks the delegate for a token unless a request is outstanding; an error line without a
  // delegate.
  void acquireTokenAsync();
  // The answer to the request `request` (its identity): stored only when it is the outstanding
  // one.
  void handleTokenUpdate(const std::optional<std::string>& token, const std::optional<vx::Date>& expiryDate,
                         const std::shared_ptr<const void>& request);
  // A new request when the token expires within 600 seconds (whole seconds) or has expired.
  void checkTokenExpiry();

  // "p" or "d".
  static const char* ticketPrefix(MSAnalyticsAuthenticationType type);

 private:
  const MSAnalyticsAuthenticationType type_;
  const std::optional<std::string> ticketKey_;
  const std::optional<std::string> ticketKeyHash_;
  const std::weak_ptr<MSAnalyticsAuthenticationProviderDelegate> delegate_;
  mutable std::recursive_mutex mutex_;
  std::optional<vx::Date> expiryDate_;
  // The outstanding request's identity; empty when none is.
  std::shared_ptr<const void> currentRequest_;
};
