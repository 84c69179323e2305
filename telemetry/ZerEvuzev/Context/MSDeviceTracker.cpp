#include "telemetry/ZerEvuzev/Context/MSDeviceTracker.h"

#include "platform/foundation/Clock.h"
#include "telemetry/ZerEvuzev/Context/MSHistoryStore.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <algorithm>

namespace {

// Values shared by all trackers. They have a lock of their own: two trackers (each with its own
// lock) must not race on them.
struct ClassState {
  std::mutex mutex;
  std::shared_ptr<MSWrapperSdk> wrapperSdk;
  std::optional<std::string> countryCode;
  int screenWidth = 0;
  int screenHeight = 0;
  bool upToDate = false;
};

ClassState& classState() {
  static ClassState state;
  return state;
}

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<MSDeviceTracker>& sharedSlot() {
  static std::shared_ptr<MSDeviceTracker> instance;
  return instance;
}

bool isUpToDate() {
  std::lock_guard lock(classState().mutex);
  return classState().upToDate;
}

}  // namespace

std::shared_ptr<MSDeviceTracker> MSDeviceTracker::sharedInstance() {
  std::lock_guard lock(sharedMutex());
  if (!sharedSlot()) sharedSlot() = std::make_shared<MSDeviceTracker>();
  return sharedSlot();
}

void MSDeviceTracker::resetSharedInstance() {
  std::lock_guard lock(sharedMutex());
  sharedSlot().reset();
  std::lock_guard stateLock(classState().mutex);
  classState().upToDate = false;
  classState().wrapperSdk.reset();
  classState().countryCode.reset();
  classState().screenWidth = 0;
  classState().screenHeight = 0;
}

void MSDeviceTracker::refreshDeviceNextTime() {
  std::lock_guard lock(classState().mutex);
  classState().upToDate = false;
}

void MSDeviceTracker::setWrapperSdk(std::shared_ptr<MSWrapperSdk> wrapperSdk) {
  std::lock_guard lock(classState().mutex);
  classState().wrapperSdk = std::move(wrapperSdk);
  classState().upToDate = false;
}

void MSDeviceTracker::setCountryCode(std::optional<std::string> countryCode) {
  std::lock_guard lock(classState().mutex);
  classState().countryCode = std::move(countryCode);
  classState().upToDate = false;
}

void MSDeviceTracker::setScreenSize(int widthPixels, int heightPixels) {
  std::lock_guard lock(classState().mutex);
  classState().screenWidth = std::max(0, widthPixels);
  classState().screenHeight = std::max(0, heightPixels);
  classState().upToDate = false;
}

MSDeviceTracker::MSDeviceTracker(std::shared_ptr<MSUserDefaults> defaults,
                                 std::shared_ptr<MSPlatformInfoProvider> platform)
    : defaults_(std::move(defaults)), platform_(std::move(platform)) {
  std::lock_guard lock(mutex_);
  deviceHistory_ = MSLoadHistory<MSDeviceHistoryInfo>(*defaults_, kHistoryKey);
  // Entries without a timestamp or device are of no use to deviceForTimestamp.
  std::erase_if(deviceHistory_, [](const auto& info) { return !info->timestamp || !info->device; });
  std::stable_sort(deviceHistory_.begin(), deviceHistory_.end(),
                   [](const auto& a, const auto& b) { return *a->timestamp < *b->timestamp; });
  if (deviceHistory_.empty()) device();
}

std::shared_ptr<MSDevice> MSDeviceTracker::device() {
  std::lock_guard lock(mutex_);
  if (device_ && isUpToDate()) return device_;
  device_ = updatedDevice();
  auto info = std::make_shared<MSDeviceHistoryInfo>(vx::wallNow(), device_);
  const auto position = std::upper_bound(deviceHistory_.begin(), deviceHistory_.end(), *info->timestamp,
                                         [](vx::Date date, const auto& entry) { return date < *entry->timestamp; });
  deviceHistory_.insert(position, std::move(info));
  if (deviceHistory_.size() > kMaxDevicesHistoryCount) deviceHistory_.erase(deviceHistory_.begin());
  saveHistoryLocked();
  return device_;
}

std::shared_ptr<MSDevice> MSDeviceTracker::updatedDevice() {
  std::lock_guard lock(mutex_);
  auto device = std::make_shared<MSDevice>();
  std::optional<std::string> countryCode;
  {
    std::lock_guard stateLock(classState().mutex);
    countryCode = classState().countryCode;
  }
  device->sdkName = MSUtility::sdkName();
  device->sdkVersion = MSUtility::sdkVersion();
  device->model = deviceModel();
  device->oemName = platform_->oemName();
  device->osName = osName();
  device->osVersion = osVersion();
  device->osBuild = osBuild();
  device->locale = locale();
  device->timeZoneOffset = timeZoneOffset(platform_->timeZoneOffsetSeconds());
  device->screenSize = screenSize();
  device->appVersion = platform_->appVersion();
  device->carrierCountry = countryCode;
  device->carrierName = std::nullopt;
  device->appBuild = platform_->appBuild();
  device->appNamespace = platform_->appNamespace();
  refreshWrapperSdk(*device);
  std::lock_guard stateLock(classState().mutex);
  classState().upToDate = true;
  return device;
}

void MSDeviceTracker::refreshWrapperSdk(MSDevice& device) const {
  std::shared_ptr<MSWrapperSdk> wrapper;
  {
    std::lock_guard lock(classState().mutex);
    wrapper = classState().wrapperSdk;
  }
  if (!wrapper) return;
  device.wrapperSdkVersion = wrapper->wrapperSdkVersion;
  device.wrapperSdkName = wrapper->wrapperSdkName;
  device.wrapperRuntimeVersion = wrapper->wrapperRuntimeVersion;
  device.liveUpdateReleaseLabel = wrapper->liveUpdateReleaseLabel;
  device.liveUpdateDeploymentKey = wrapper->liveUpdateDeploymentKey;
  device.liveUpdatePackageHash = wrapper->liveUpdatePackageHash;
}

std::shared_ptr<MSDevice> MSDeviceTracker::deviceForTimestamp(const std::optional<vx::Date>& date) {
  std::lock_guard lock(mutex_);
  if (!date || deviceHistory_.empty()) return device();
  // The first entry whose timestamp is not earlier than the date.
  const auto position = std::lower_bound(deviceHistory_.begin(), deviceHistory_.end(), *date,
                                         [](const auto& entry, vx::Date value) { return *entry->timestamp < value; });
  if (position == deviceHistory_.begin()) return deviceHistory_.front()->device;
  if (position == deviceHistory_.end()) return deviceHistory_.back()->device;
  return (*(position - 1))->device;
}

void MSDeviceTracker::clearDevices() {
  std::lock_guard lock(mutex_);
  defaults_->removeObjectForKey(kHistoryKey);
  device_.reset();
  deviceHistory_.clear();
}

std::optional<std::string> MSDeviceTracker::deviceModel() const { return platform_->deviceModel(); }
std::optional<std::string> MSDeviceTracker::osName() const { return platform_->osName(); }
std::optional<std::string> MSDeviceTracker::osVersion() const { return platform_->osVersion(); }
std::optional<std::string> MSDeviceTracker::osBuild() const { return platform_->osBuild(); }

std::string MSDeviceTracker::locale() const {
  return localeText(platform_->preferredLanguages(), platform_->currentLocale());
}

std::string MSDeviceTracker::localeText(const std::vector<std::string>& preferredLanguages,
                                        const std::string& currentLocale) {
  const std::optional<MSLocaleParts> current = MSParseLocale(currentLocale);
  std::optional<MSLocaleParts> preferred;
  for (const auto& language : preferredLanguages) {
    if ((preferred = MSParseLocale(language))) break;
  }
  if (!preferred) preferred = current;
  if (!preferred) preferred = MSLocaleParts{"en", "", "US"};
  std::string country = preferred->country;
  if (country.empty() && current) country = current->country;
  std::string text = preferred->language;
  if (!preferred->script.empty()) text += "-" + preferred->script;
  if (!country.empty()) text += "_" + country;
  return text;
}

std::int64_t MSDeviceTracker::timeZoneOffset(long secondsFromGMT) { return secondsFromGMT / 60; }

std::string MSDeviceTracker::screenSize() {
  std::lock_guard lock(classState().mutex);
  return MSFormat("%dx%d", classState().screenHeight, classState().screenWidth);
}

std::vector<MSDeviceHistoryInfo> MSDeviceTracker::deviceHistory() const {
  std::lock_guard lock(mutex_);
  std::vector<MSDeviceHistoryInfo> copy;
  copy.reserve(deviceHistory_.size());
  for (const auto& info : deviceHistory_) copy.push_back(*info);
  return copy;
}

void MSDeviceTracker::setDeviceHistory(std::vector<std::shared_ptr<MSDeviceHistoryInfo>> history) {
  std::lock_guard lock(mutex_);
  std::erase_if(history, [](const auto& info) { return !info || !info->timestamp || !info->device; });
  std::stable_sort(history.begin(), history.end(),
                   [](const auto& a, const auto& b) { return *a->timestamp < *b->timestamp; });
  deviceHistory_ = std::move(history);
}

void MSDeviceTracker::setDevice(std::shared_ptr<MSDevice> device) {
  std::lock_guard lock(mutex_);
  device_ = std::move(device);
}

void MSDeviceTracker::saveHistoryLocked() { MSSaveHistory(*defaults_, kHistoryKey, deviceHistory_); }
