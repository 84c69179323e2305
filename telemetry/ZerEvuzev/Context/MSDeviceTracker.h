// Builds the device snapshot every log carries, caches it until something that goes into it
// changes, and keeps the last five snapshots (key "pastDevicesKey" of the user defaults) so a
// crash reported at a later launch can be given the device of the launch it happened in.
#pragma once

#include "telemetry/ZerEvuzev/Context/MSDeviceHistoryInfo.h"
#include "telemetry/ZerEvuzev/Context/MSPlatformInfo.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Model/MSDevice.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class MSDeviceTracker {
 public:
  static constexpr const char* kHistoryKey = "pastDevicesKey";
  static constexpr std::size_t kMaxDevicesHistoryCount = 5;

  // The process-wide tracker (shared defaults, the running Linux machine), made on first use.
  static std::shared_ptr<MSDeviceTracker> sharedInstance();
  // Drops the shared tracker and forgets the class-wide wrapper SDK, country code, screen size
  // and up-to-date flag.
  static void resetSharedInstance();
  // The next device() builds a new snapshot.
  static void refreshDeviceNextTime();

  // Class-wide values that go into every snapshot; each change makes the next device() rebuild.
  static void setWrapperSdk(std::shared_ptr<MSWrapperSdk> wrapperSdk);
  static void setCountryCode(std::optional<std::string> countryCode);
  // The main screen's size in pixels, handed in by the application (no screen: 0x0).
  static void setScreenSize(int widthPixels, int heightPixels);

  // Loads the device history; when none is stored (or it does not unarchive) starts an empty one
  // and records the first snapshot at once.
  explicit MSDeviceTracker(std::shared_ptr<MSUserDefaults> defaults = MSUserDefaults::shared(),
                           std::shared_ptr<MSPlatformInfoProvider> platform = std::make_shared<MSLinuxPlatformInfo>());

  // The cached snapshot, or a new one (added to the history, which is written) when nothing is
  // cached or something changed.
  std::shared_ptr<MSDevice> device();
  // A new snapshot from the platform and the class-wide values.
  std::shared_ptr<MSDevice> updatedDevice();
  // Copies the class-wide wrapper SDK's six fields into the device, when one is set.
  void refreshWrapperSdk(MSDevice& device) const;
  // The device current at the date: the current snapshot for no date or no history; else the
  // newest entry strictly earlier than the date, or the oldest entry for dates not later than it.
  std::shared_ptr<MSDevice> deviceForTimestamp(const std::optional<vx::Date>& date);
  // Removes the stored history, forgets the snapshot and empties the history.
  void clearDevices();

  // Field builders.
  std::optional<std::string> deviceModel() const;
  std::optional<std::string> osName() const;
  std::optional<std::string> osVersion() const;
  std::optional<std::string> osBuild() const;
  // "language[-Script]_COUNTRY" from the preferred language, the country taken from the current
  // locale when the language names none, and no "_" part at all when neither does. "en_US" when
  // the environment names no usable locale (unset, "C", "POSIX").
  std::string locale() const;
  static std::string localeText(const std::vector<std::string>& preferredLanguages, const std::string& currentLocale);
  // Minutes east of GMT, truncated toward zero.
  static std::int64_t timeZoneOffset(long secondsFromGMT);
  // "<height>x<width>".
  static std::string screenSize();

  std::vector<MSDeviceHistoryInfo> deviceHistory() const;
  void setDeviceHistory(std::vector<std::shared_ptr<MSDeviceHistoryInfo>> history);
  void setDevice(std::shared_ptr<MSDevice> device);

 private:
  void saveHistoryLocked();

  std::shared_ptr<MSUserDefaults> defaults_;
  std::shared_ptr<MSPlatformInfoProvider> platform_;
  mutable std::recursive_mutex mutex_;
  std::shared_ptr<MSDevice> device_;
  std::vector<std::shared_ptr<MSDeviceHistoryInfo>> deviceHistory_;
};
