// The telemetry SDK's entry point: one shared instance that the application configures once at
// launch with its secret string, that builds the sending pipeline (channel group and the core
// unit "ZerEvuzev"), starts the services the application names, and keeps the SDK-wide settings:
// enabled state ("MSZerEvuzevIsEnabled"), install id ("MSInstallId"), log URL, storage size,
// user id. The environment variable "ZER_EVUZEV_DISABLE" ("All" or service names separated by
// ",") keeps services from starting.
#pragma once

#include "platform/foundation/UUID.h"
#include "telemetry/ZerEvuzev/Channel/MSChannelGroupDefault.h"
#include "telemetry/ZerEvuzev/Channel/MSUniCollectorChannelDelegate.h"
#include "telemetry/ZerEvuzev/Core/MSServiceAbstract.h"
#include "telemetry/ZerEvuzev/Model/MSCustomProperties.h"
#include "telemetry/ZerEvuzev/Model/MSDevice.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

using MSServicePtr = std::shared_ptr<MSServiceAbstract>;

class MSZerEvuzev {
 public:
  static constexpr const char* kMSGroupId = "ZerEvuzev";
  static constexpr const char* kMSIsEnabledKey = "MSZerEvuzevIsEnabled";
  static constexpr const char* kMSInstallIdKey = "MSInstallId";
  static constexpr const char* kMSDisableVariable = "ZER_EVUZEV_DISABLE";
  static constexpr const char* kMSDisableAll = "All";
  static constexpr std::int64_t kMSMinUpperSizeLimitInBytes = 24576;
  // Where logs go when the application sets no log URL: the telemetry ingestion service.
  static constexpr const char* kMSDefaultLogUrl = "https://in.revererav.com";

  static std::shared_ptr<MSZerEvuzev> sharedInstance();
  // Drops the shared instance; the next sharedInstance() makes a new one (tests).
  static void resetSharedInstance();

  // ---- Class operations (on the shared instance) ----
  // `services` are the services' shared instances; a null entry is refused with an error line.
  static void start(const std::optional<std::string>& secretString, const std::vector<MSServicePtr>& services);
  static void startWithServices(const std::vector<MSServicePtr>& services);
  static void startFromLibraryWithServices(const std::vector<MSServicePtr>& services);
  static void startService(const MSServicePtr& service);
  static void configureWithAppSecret(const std::string& secretString);
  static void configure();
  static bool isConfigured();
  static bool isEnabled();
  static void setEnabled(bool isEnabled);
  static vx::UUID installId();
  static bool isDebuggerAttached();
  static bool isAppDelegateForwarderEnabled();
  static MSLogLevel logLevel();
  // Also flushes the delegate forwarder's trace buffer, now that the level is known.
  static void setLogLevel(MSLogLevel logLevel);
  static void setLogHandler(MSLogHandler logHandler);
  static void setWrapperSdk(std::shared_ptr<MSWrapperSdk> wrapperSdk);
  static void setCountryCode(std::optional<std::string> countryCode);
  static std::string sdkVersion();
  static std::string logTag() { return kMSLogTag; }
  static std::string groupId() { return kMSGroupId; }

  // ---- Instance operations ----
  bool configureWithAppSecret(const std::optional<std::string>& appSecret,
                              const std::optional<std::string>& transmissionTargetToken, bool fromApplication);
  void start(const std::optional<std::string>& secretString, std::vector<MSServicePtr> services, bool fromApplication);
  // Highest initialization priority first; equal priorities keep the order they were given in.
  static std::vector<MSServicePtr> sortServices(std::vector<MSServicePtr> services);
  bool startService(const MSServicePtr& service, const std::optional<std::string>& appSecret,
                    const std::optional<std::string>& transmissionTargetToken, bool sendLog, bool fromApplication);
  std::optional<std::string> logUrl();
  void setLogUrl(const std::string& logUrl);
  // Below 24576 bytes, a second call, or a call after the application configured the SDK: the
  // handler gets false (and a warning is logged).
  void setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler);
  void setUserId(const std::optional<std::string>& userId);
  void setCustomProperties(const std::shared_ptr<MSCustomProperties>& customProperties);
  void setEnabledInstance(bool isEnabled);
  bool isEnabledInstance();
  void applyPipelineEnabledState(bool isEnabled);
  void initializeChannelGroup();
  std::optional<std::string> appSecret();
  vx::UUID installIdInstance();
  bool canBeUsed();
  void sendStartServiceLog(const std::vector<std::string>& servicesNames);
  // Whether "ZER_EVUZEV_DISABLE" names the service (items trimmed, exact) or holds "All".
  static bool shouldDisable(const std::string& serviceName);

  // ---- Properties ----
  std::shared_ptr<MSChannelGroupDefault> channelGroup();
  std::shared_ptr<MSChannelUnitProtocol> channelUnit();
  std::shared_ptr<MSUniCollectorChannelDelegate> uniCollectorChannelDelegate();
  std::vector<MSServicePtr> services();
  std::optional<std::vector<std::string>> startedServiceNames();
  std::optional<std::string> defaultTransmissionTargetToken();
  bool isSdkConfigured();
  bool isConfiguredFromApplication();
  bool isEnabledStateUpdating();

 private:
  std::recursive_mutex mutex_;
  std::shared_ptr<MSChannelGroupDefault> channelGroup_;
  std::shared_ptr<MSChannelUnitProtocol> channelUnit_;
  // Owned here: the group holds its delegates weakly.
  std::shared_ptr<MSUniCollectorChannelDelegate> uniCollectorChannelDelegate_;
  std::vector<MSServicePtr> services_;
  std::optional<std::vector<std::string>> startedServiceNames_;
  std::optional<std::string> appSecret_;
  std::optional<std::string> defaultTransmissionTargetToken_;
  std::optional<std::string> logUrl_;
  std::optional<vx::UUID> installId_;
  std::optional<std::int64_t> requestedMaxStorageSizeInBytes_;
  std::function<void(bool)> maxStorageSizeCompletionHandler_;
  bool setMaxStorageSizeHasBeenCalled_ = false;
  // Written under the lock; read without it by services checking they can be used, which hold
  // their own lock then (taking the SDK's lock there would invert the start-up's lock order).
  std::atomic<bool> sdkConfigured_ = false;
  bool configuredFromApplication_ = false;
  bool enabledStateUpdating_ = false;
};
