#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"

#include "telemetry/ZerEvuzev/Context/MSDeviceTracker.h"
#include "telemetry/ZerEvuzev/Core/MSDelegateForwarder.h"
#include "telemetry/ZerEvuzev/Context/MSSessionContext.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Context/MSUserIdContext.h"
#include "telemetry/ZerEvuzev/Security/MSAuthTokenContext.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace {

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}
// Never destroyed at exit: the pipeline uses statics of its own (journals, queues) that may be
// gone by then. Whatever was enqueued is in the journal and goes out at the next start.
std::shared_ptr<MSZerEvuzev>& sharedSlot() {
  static auto* instance = new std::shared_ptr<MSZerEvuzev>();
  return *instance;
}

std::string trim(std::string text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

const char* placeholderFor(bool fromApplication) { return fromApplication ? "" : "from a library "; }

}  // namespace

std::shared_ptr<MSZerEvuzev> MSZerEvuzev::sharedInstance() {
  std::lock_guard lock(sharedMutex());
  auto& instance = sharedSlot();
  if (!instance) instance = std::make_shared<MSZerEvuzev>();
  return instance;
}

void MSZerEvuzev::resetSharedInstance() {
  std::lock_guard lock(sharedMutex());
  sharedSlot().reset();
}

// ---- Class operations ----

void MSZerEvuzev::start(const std::optional<std::string>& secretString, const std::vector<MSServicePtr>& services) {
  sharedInstance()->start(secretString, services, true);
}
void MSZerEvuzev::startWithServices(const std::vector<MSServicePtr>& services) {
  sharedInstance()->start(std::nullopt, services, true);
}
void MSZerEvuzev::startFromLibraryWithServices(const std::vector<MSServicePtr>& services) {
  sharedInstance()->start(std::nullopt, services, false);
}
void MSZerEvuzev::startService(const MSServicePtr& service) {
  auto sdk = sharedInstance();
  sdk->startService(service, sdk->appSecret(), sdk->defaultTransmissionTargetToken(), true, true);
}
void MSZerEvuzev::configureWithAppSecret(const std::string& secretString) {
  sharedInstance()->configureWithAppSecret(MSUtility::appSecretFrom(secretString),
                                           MSUtility::transmissionTargetTokenFrom(secretString), true);
}
void MSZerEvuzev::configure() { sharedInstance()->configureWithAppSecret(std::nullopt, std::nullopt, true); }
bool MSZerEvuzev::isConfigured() {
  auto sdk = sharedInstance();
  return sdk->isSdkConfigured() && sdk->isConfiguredFromApplication();
}
bool MSZerEvuzev::isEnabled() {
  auto sdk = sharedInstance();
  std::lock_guard lock(sdk->mutex_);
  return sdk->canBeUsed() && sdk->isEnabledInstance();
}
void MSZerEvuzev::setEnabled(bool isEnabled) { sharedInstance()->setEnabledInstance(isEnabled); }
vx::UUID MSZerEvuzev::installId() { return sharedInstance()->installIdInstance(); }

bool MSZerEvuzev::isAppDelegateForwarderEnabled() { return MSAppDelegateForwarder::sharedInstance()->isEnabled(); }
MSLogLevel MSZerEvuzev::logLevel() { return MSLogger::currentLogLevel(); }
void MSZerEvuzev::setLogLevel(MSLogLevel logLevel) {
  MSLogger::setCurrentLogLevel(logLevel);
  MSDelegateForwarder::flushTraceBuffer();
}
void MSZerEvuzev::setLogHandler(MSLogHandler logHandler) { MSLogger::setLogHandler(std::move(logHandler)); }
void MSZerEvuzev::setWrapperSdk(std::shared_ptr<MSWrapperSdk> wrapperSdk) {
  MSDeviceTracker::setWrapperSdk(std::move(wrapperSdk));
}
void MSZerEvuzev::setCountryCode(std::optional<std::string> countryCode) {
  MSDeviceTracker::setCountryCode(std::move(countryCode));
}
std::string MSZerEvuzev::sdkVersion() { return MSUtility::sdkVersion(); }

bool MSZerEvuzev::isDebuggerAttached() {
  // The kernel names the tracing process in the status file; 0 when none.
  static const bool attached = [] {
    std::ifstream status("/proc/self/status");
    if (!status) {
      MSLogError("MSCrashes", "Checking for a running debugger via /proc/self/status failed.");
      return false;
    }
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("TracerPid:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
    }
    return false;
  }();
  return attached;
}

// ---- Configuration and start ----

bool MSZerEvuzev::configureWithAppSecret(const std::optional<std::string>& appSecret,
                                         const std::optional<std::string>& transmissionTargetToken,
                                         bool fromApplication) {
  std::lock_guard lock(mutex_);
  if (fromApplication && configuredFromApplication_) {
    MSLogAssert(kMSLogTag, "Rev Ererav SDK has already been configured.");
    MSLogAssert(kMSLogTag, "Rev Ererav SDK configuration %sfailed.", placeholderFor(fromApplication));
    return false;
  }
  if (!appSecret_) {
    appSecret_ = appSecret;
    MSSessionContext::sharedInstance()->setSessionId(std::nullopt);
  }
  if (!defaultTransmissionTargetToken_) defaultTransmissionTargetToken_ = transmissionTargetToken;
  MSUserIdContext::sharedInstance();
  // The forwarder reads its switch when first made; its trace waits for the log level.
  MSAppDelegateForwarder::sharedInstance();
  initializeChannelGroup();
  applyPipelineEnabledState(isEnabledInstance());
  sdkConfigured_ = true;
  configuredFromApplication_ = configuredFromApplication_ || fromApplication;
  if (!MSLogger::isUserDefinedLogLevel() && MSUtility::currentAppEnvironment() == MSAppEnvironment::Other) {
    MSLogger::setCurrentLogLevel(MSLogLevel::Warning);
    MSLogger::setIsUserDefinedLogLevel(false);  // the SDK's default, not the application's choice
  }
  MSLogInfo(kMSLogTag, "Rev Ererav SDK configured %ssuccessfully.", placeholderFor(fromApplication));
  return true;
}

void MSZerEvuzev::start(const std::optional<std::string>& secretString, std::vector<MSServicePtr> services,
                        bool fromApplication) {
  const std::optional<std::string> appSecret =
      secretString ? MSUtility::appSecretFrom(*secretString) : std::optional<std::string>();
  const std::optional<std::string> token =
      secretString ? MSUtility::transmissionTargetTokenFrom(*secretString) : std::optional<std::string>();
  if (!configureWithAppSecret(appSecret, token, fromApplication)) return;
  services = sortServices(std::move(services));
  std::string names;
  for (const auto& service : services) {
    if (!names.empty()) names += ", ";
    names += service ? service->className() : "(null)";
  }
  MSLogVerbose(kMSLogTag, "Start services %s from %s", names.c_str(), fromApplication ? "an application" : "a library");
  std::vector<std::string> started;
  for (const auto& service : services) {
    if (startService(service, this->appSecret(), defaultTransmissionTargetToken(), false, fromApplication)) {
      started.push_back(service->serviceName());
    }
  }
  MSAuthTokenContext::sharedInstance()->finishInitialize();
  if (!started.empty() && fromApplication) {
    sendStartServiceLog(started);
  } else if (started.empty()) {
    MSLogDebug(kMSLogTag, "No services have been started.");
  }
}

std::vector<MSServicePtr> MSZerEvuzev::sortServices(std::vector<MSServicePtr> services) {
  if (services.size() < 2) return services;
  // Stable, so services of equal priority start in the order the application gave them.
  std::stable_sort(services.begin(), services.end(), [](const MSServicePtr& a, const MSServicePtr& b) {
    const int left = a ? a->initializationPriority() : 0;
    const int right = b ? b->initializationPriority() : 0;
    return left > right;
  });
  return services;
}

bool MSZerEvuzev::startService(const MSServicePtr& service, const std::optional<std::string>& appSecret,
                               const std::optional<std::string>& transmissionTargetToken, bool sendLog,
                               bool fromApplication) {
  std::lock_guard lock(mutex_);
  if (!service) {
    MSLogError(kMSLogTag, "Cannot start service %s. Provided value is nil or invalid.", "(null)");
    return false;
  }
  if (!sdkConfigured_ || (fromApplication && !configuredFromApplication_)) {
    MSLogError(kMSLogTag, "Rev Ererav has not been configured so it couldn't start the service.");
    return false;
  }
  if (fromApplication && service->isAvailable() && service->isStartedFromApplication()) return false;
  if (service->isAppSecretRequired() && (!appSecret || appSecret->empty())) {
    MSLogError(kMSLogTag,
               "Cannot start service %s. Rev Ererav was started without app secret, but the service requires it.",
               service->className().c_str());
    return false;
  }
  if (shouldDisable(service->serviceName())) {
    MSLogDebug(kMSLogTag, "Environment variable to disable service has been set; not starting service %s",
               service->className().c_str());
    return false;
  }
  if (service->isAvailable()) {
    if (!fromApplication) return true;
    service->updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
  } else {
    services_.push_back(service);
    service->startWithChannelGroup(channelGroup_, appSecret, transmissionTargetToken, fromApplication);
    if (MSServiceAbstract::isEnabled(service) && !isEnabledInstance()) {
      enabledStateUpdating_ = true;
      MSServiceAbstract::setEnabled(service, false);
      enabledStateUpdating_ = false;
    }
  }
  if (sendLog && fromApplication) sendStartServiceLog({service->serviceName()});
  return true;
}

bool MSZerEvuzev::shouldDisable(const std::string& serviceName) {
  const char* value = std::getenv(kMSDisableVariable);
  if (value == nullptr) return false;
  const std::string text = value;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto comma = text.find(',', start);
    const std::string item = trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (item == serviceName || item == kMSDisableAll) return true;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return false;
}

// ---- Settings ----

std::optional<std::string> MSZerEvuzev::logUrl() {
  std::lock_guard lock(mutex_);
  return logUrl_;
}

void MSZerEvuzev::setLogUrl(const std::string& logUrl) {
  std::lock_guard lock(mutex_);
  logUrl_ = logUrl;
  if (!channelGroup_) return;
  if (appSecret_) {
    MSLogInfo(kMSLogTag, "The log url of Rev Ererav endpoint was changed to %s", logUrl.c_str());
    channelGroup_->setLogUrl(logUrl);
  } else {
    MSLogInfo(kMSLogTag, "The log url of Uni Collector endpoint was changed to %s", logUrl.c_str());
    if (uniCollectorChannelDelegate_) uniCollectorChannelDelegate_->setLogUrl(logUrl);
  }
}

void MSZerEvuzev::setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler) {
  if (sizeInBytes < kMSMinUpperSizeLimitInBytes) {
    if (completionHandler) completionHandler(false);
    MSLogWarning(kMSLogTag, "Cannot set storage size to %ld bytes, minimum value is %ld bytes",
                 static_cast<long>(sizeInBytes), static_cast<long>(kMSMinUpperSizeLimitInBytes));
    return;
  }
  bool refused = false;
  std::shared_ptr<MSChannelGroupDefault> group;
  {
    std::lock_guard lock(mutex_);
    if (setMaxStorageSizeHasBeenCalled_) {
      MSLogWarning(kMSLogTag, "setMaxStorageSize:completionHandler: may only be called once per app launch");
      refused = true;
    } else {
      setMaxStorageSizeHasBeenCalled_ = true;
      if (configuredFromApplication_) {
        MSLogWarning(kMSLogTag, "Unable to set storage size after the application has configured Rev Ererav");
        refused = true;
      } else {
        requestedMaxStorageSizeInBytes_ = sizeInBytes;
        maxStorageSizeCompletionHandler_ = completionHandler;
        group = channelGroup_;
      }
    }
  }
  if (refused) {
    if (completionHandler) completionHandler(false);
    return;
  }
  if (group) group->setMaxStorageSize(sizeInBytes, completionHandler);
}

void MSZerEvuzev::setUserId(const std::optional<std::string>& userId) {
  std::optional<std::string> secret, token;
  {
    std::lock_guard lock(mutex_);
    if (!configuredFromApplication_) {
      MSLogError(kMSLogTag, "ZerEvuzev must be configured from application, libraries cannot call setUserId.");
      return;
    }
    secret = appSecret_;
    token = defaultTransmissionTargetToken_;
  }
  if (!secret && !token) {
    MSLogError(kMSLogTag, "ZerEvuzev must be configured with a secret from application to call setUserId.");
    return;
  }
  if (userId) {
    if (secret && !MSUserIdContext::isUserIdValidForZerEvuzev(userId)) return;
    if (token && !MSUserIdContext::isUserIdValidForUniCollector(userId)) return;
  }
  MSUserIdContext::sharedInstance()->setUserId(userId);
}

void MSZerEvuzev::setCustomProperties(const std::shared_ptr<MSCustomProperties>& customProperties) {
  const auto properties = customProperties ? customProperties->propertiesImmutableCopy() : vx::ValueMap();
  if (properties.empty()) {
    MSLogError(kMSLogTag, "Custom properties may not be null or empty");
    return;
  }
  auto log = std::make_shared<MSCustomPropertiesLog>();
  log->properties = properties;
  if (auto unit = channelUnit()) unit->enqueueItem(log, 1);
}

bool MSZerEvuzev::isEnabledInstance() {
  const auto stored = MSUserDefaults::shared()->objectForKey(kMSIsEnabledKey);
  if (!stored) return true;
  if (auto value = stored->boolValue()) return *value;
  if (auto number = stored->integerValue()) return *number != 0;
  return true;
}

void MSZerEvuzev::setEnabledInstance(bool isEnabled) {
  std::lock_guard lock(mutex_);
  if (!canBeUsed()) return;
  enabledStateUpdating_ = true;
  if (isEnabled != isEnabledInstance()) {
    MSUserDefaults::shared()->setObject(vx::Value(isEnabled), kMSIsEnabledKey);
    applyPipelineEnabledState(isEnabled);
  }
  for (const auto& service : services_) MSServiceAbstract::setEnabled(service, isEnabled);
  enabledStateUpdating_ = false;
  MSLogInfo(kMSLogTag, "Rev Ererav SDK %s.", isEnabled ? "enabled" : "disabled");
}

void MSZerEvuzev::applyPipelineEnabledState(bool isEnabled) {
  if (!isEnabled) {
    MSDeviceTracker::sharedInstance()->clearDevices();
    MSSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(false);
    MSUserIdContext::sharedInstance()->clearUserIdHistory();
  }
  std::lock_guard lock(mutex_);
  if (channelGroup_) channelGroup_->setEnabled(isEnabled, true);
  if (isEnabled && startedServiceNames_) {
    const auto names = std::move(*startedServiceNames_);
    startedServiceNames_.reset();
    sendStartServiceLog(names);
  }
}

void MSZerEvuzev::initializeChannelGroup() {
  std::lock_guard lock(mutex_);
  if (!uniCollectorChannelDelegate_) {
    uniCollectorChannelDelegate_ = std::make_shared<MSUniCollectorChannelDelegate>(
        installIdInstance(), appSecret_ ? std::optional<std::string>() : logUrl_);
  }
  if (!channelGroup_) {
    channelGroup_ = MSChannelGroupDefault::make(installIdInstance(), logUrl_.value_or(kMSDefaultLogUrl));
    channelGroup_->addDelegate(uniCollectorChannelDelegate_);
    if (requestedMaxStorageSizeInBytes_) {
      channelGroup_->setMaxStorageSize(*requestedMaxStorageSizeInBytes_, maxStorageSizeCompletionHandler_);
    }
  }
  if (appSecret_) channelGroup_->setAppSecret(*appSecret_);
  if (!channelUnit_) {
    channelUnit_ =
        channelGroup_->addChannelUnitWithConfiguration(std::make_shared<MSChannelUnitConfiguration>(kMSGroupId));
  }
}

std::optional<std::string> MSZerEvuzev::appSecret() {
  std::lock_guard lock(mutex_);
  return appSecret_;
}

vx::UUID MSZerEvuzev::installIdInstance() {
  std::lock_guard lock(mutex_);
  if (installId_) return *installId_;
  if (auto stored = MSUserDefaults::shared()->objectForKey(kMSInstallIdKey)) {
    if (auto text = stored->stringValue()) installId_ = vx::UUID::parse(*text);
  }
  if (!installId_) {
    installId_ = vx::UUID::make();
    MSUserDefaults::shared()->setObject(vx::Value(installId_->uuidString()), kMSInstallIdKey);
  }
  return *installId_;
}

bool MSZerEvuzev::canBeUsed() {
  std::lock_guard lock(mutex_);
  if (sdkConfigured_) return true;
  MSLogError(kMSLogTag,
             "Rev Ererav SDK hasn't been configured. You need to call [MSZerEvuzev start:YOUR_APP_SECRET "
             "withServices:LIST_OF_SERVICES] first.");
  return false;
}

void MSZerEvuzev::sendStartServiceLog(const std::vector<std::string>& servicesNames) {
  std::lock_guard lock(mutex_);
  if (isEnabledInstance()) {
    auto log = std::make_shared<MSStartServiceLog>();
    log->services = servicesNames;
    if (channelUnit_) channelUnit_->enqueueItem(log, 1);
  } else {
    if (!startedServiceNames_) startedServiceNames_.emplace();
    startedServiceNames_->insert(startedServiceNames_->end(), servicesNames.begin(), servicesNames.end());
  }
}

// ---- Properties ----

std::shared_ptr<MSChannelGroupDefault> MSZerEvuzev::channelGroup() {
  std::lock_guard lock(mutex_);
  return channelGroup_;
}
std::shared_ptr<MSChannelUnitProtocol> MSZerEvuzev::channelUnit() {
  std::lock_guard lock(mutex_);
  return channelUnit_;
}
std::shared_ptr<MSUniCollectorChannelDelegate> MSZerEvuzev::uniCollectorChannelDelegate() {
  std::lock_guard lock(mutex_);
  return uniCollectorChannelDelegate_;
}
std::vector<MSServicePtr> MSZerEvuzev::services() {
  std::lock_guard lock(mutex_);
  return services_;
}
std::optional<std::vector<std::string>> MSZerEvuzev::startedServiceNames() {
  std::lock_guard lock(mutex_);
  return startedServiceNames_;
}
std::optional<std::string> MSZerEvuzev::defaultTransmissionTargetToken() {
  std::lock_guard lock(mutex_);
  return defaultTransmissionTargetToken_;
}
bool MSZerEvuzev::isSdkConfigured() { return sdkConfigured_; }
bool MSZerEvuzev::isConfiguredFromApplication() {
  std::lock_guard lock(mutex_);
  return configuredFromApplication_;
}
bool MSZerEvuzev::isEnabledStateUpdating() {
  std::lock_guard lock(mutex_);
  return enabledStateUpdating_;
}
