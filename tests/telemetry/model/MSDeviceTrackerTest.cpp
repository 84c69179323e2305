#include "telemetry/ZerEvuzev/Context/MSDeviceTracker.h"

#include "platform/foundation/Clock.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

const vx::Date kStart = vx::Date(std::chrono::seconds(1'700'000'000));

class MSDeviceTrackerTest : public testing::Test {
 protected:
  void SetUp() override { MSDeviceTracker::resetSharedInstance(); }
  void TearDown() override { MSDeviceTracker::resetSharedInstance(); }

  std::shared_ptr<MSDeviceTracker> makeTracker() { return std::make_shared<MSDeviceTracker>(defaults, platform); }

  vx::ScopedVirtualTime time{kStart};
  std::shared_ptr<MSUserDefaults> defaults = MSTestDefaults();
  std::shared_ptr<MSFakePlatformInfo> platform = std::make_shared<MSFakePlatformInfo>();
};

TEST_F(MSDeviceTrackerTest, BuildsTheSnapshotFromThePlatformAndCachesIt) {
  MSDeviceTracker::setScreenSize(2880, 1800);
  auto tracker = makeTracker();
  const auto device = tracker->device();
  ASSERT_TRUE(device);
  EXPECT_TRUE(device->isValid());
  EXPECT_EQ(device->sdkName, "zerevuzev.macos");
  EXPECT_EQ(device->sdkVersion, "2.1.0");
  EXPECT_EQ(device->model, "Standard PC (Q35 + ICH9, 2009)");
  EXPECT_EQ(device->oemName, "QEMU");
  EXPECT_EQ(device->osName, "Debian GNU/Linux");
  EXPECT_EQ(device->osVersion, "12");
  EXPECT_EQ(device->osBuild, "6.1.0-18-amd64");
  EXPECT_EQ(device->locale, "en_US");
  EXPECT_EQ(device->timeZoneOffset, -300);
  EXPECT_EQ(device->screenSize, "1800x2880");
  EXPECT_EQ(device->appVersion, "1.2.3");
  EXPECT_EQ(device->appBuild, "123");
  EXPECT_EQ(device->appNamespace, "com.example.app");
  EXPECT_EQ(device->carrierName, std::nullopt);
  EXPECT_EQ(device->osApiLevel, std::nullopt);
  // Cached: the same object until something that goes into it changes.
  EXPECT_EQ(tracker->device(), device);
  EXPECT_EQ(tracker->deviceHistory().size(), 1u);

  const MSJson json = device->serializeToDictionary();
  EXPECT_FALSE(json.contains("osApiLevel"));
  EXPECT_FALSE(json.contains("carrierName"));
  EXPECT_TRUE(json["timeZoneOffset"].is_number_integer());
  EXPECT_EQ(json["timeZoneOffset"], -300);
}

TEST_F(MSDeviceTrackerTest, SixRebuildsKeepTheNewestFive) {
  auto tracker = makeTracker();
  for (int i = 0; i < 5; ++i) {
    time.advance(1s);
    MSDeviceTracker::refreshDeviceNextTime();
    tracker->device();
  }
  const auto history = tracker->deviceHistory();
  ASSERT_EQ(history.size(), 5u);
  EXPECT_EQ(history.front().timestamp, kStart + 1s);
  EXPECT_EQ(history.back().timestamp, kStart + 5s);
}

TEST_F(MSDeviceTrackerTest, DeviceForTimestampPicksTheDeviceCurrentAtThatTime) {
  auto tracker = makeTracker();  // entry at kStart
  const auto first = tracker->device();
  time.advance(10s);
  MSDeviceTracker::setCountryCode("AT");  // entry at kStart + 10s
  const auto second = tracker->device();
  ASSERT_NE(first, second);
  EXPECT_EQ(second->carrierCountry, "AT");
  EXPECT_EQ(first->carrierCountry, std::nullopt);
  EXPECT_EQ(tracker->deviceHistory().size(), 2u);

  EXPECT_EQ(tracker->deviceForTimestamp(kStart - 1s), first);    // before the oldest
  EXPECT_EQ(tracker->deviceForTimestamp(kStart), first);         // equal to the oldest
  EXPECT_EQ(tracker->deviceForTimestamp(kStart + 5s), first);    // between
  EXPECT_EQ(tracker->deviceForTimestamp(kStart + 10s), first);   // equal to a later entry
  EXPECT_EQ(tracker->deviceForTimestamp(kStart + 11s), second);  // after the newest
  EXPECT_EQ(tracker->deviceForTimestamp(std::nullopt), second);  // the current snapshot
}

TEST_F(MSDeviceTrackerTest, HistoryCarriesOverToTheNextLaunch) {
  std::shared_ptr<MSDevice> oldDevice;
  {
    auto tracker = makeTracker();
    oldDevice = tracker->device();
  }
  MSDeviceTracker::resetSharedInstance();
  time.advance(60s);
  platform->version = "13";
  defaults = MSTestDefaults();  // a fresh instance over the same file
  auto tracker = makeTracker();
  ASSERT_EQ(tracker->deviceHistory().size(), 1u);  // loaded, nothing built yet
  const auto newDevice = tracker->device();
  EXPECT_EQ(newDevice->osVersion, "13");
  EXPECT_EQ(tracker->deviceHistory().size(), 2u);
  const auto then = tracker->deviceForTimestamp(kStart + 30s);
  ASSERT_TRUE(then);
  EXPECT_TRUE(then->isEqual(*oldDevice));
  EXPECT_EQ(then->osVersion, "12");
}

TEST_F(MSDeviceTrackerTest, ClearDevicesLeavesOneEntryAfterTheNextSnapshot) {
  auto tracker = makeTracker();
  time.advance(1s);
  MSDeviceTracker::refreshDeviceNextTime();
  tracker->device();
  ASSERT_EQ(tracker->deviceHistory().size(), 2u);
  tracker->clearDevices();
  EXPECT_TRUE(tracker->deviceHistory().empty());
  EXPECT_FALSE(defaults->objectForKey(MSDeviceTracker::kHistoryKey));
  tracker->device();
  EXPECT_EQ(tracker->deviceHistory().size(), 1u);
  EXPECT_TRUE(defaults->objectForKey(MSDeviceTracker::kHistoryKey));
}

TEST_F(MSDeviceTrackerTest, UnreadableHistoryIsTreatedAsNone) {
  defaults->setObject(vx::Value(vx::Bytes{1, 2, 3, 4}), MSDeviceTracker::kHistoryKey);
  auto tracker = makeTracker();
  EXPECT_EQ(tracker->deviceHistory().size(), 1u);
}

TEST_F(MSDeviceTrackerTest, WrapperSdkGoesIntoTheNextSnapshot) {
  auto tracker = makeTracker();
  const auto before = tracker->device();
  MSDeviceTracker::setWrapperSdk(
      std::make_shared<MSWrapperSdk>("1.0", "wrapper", "rt", std::nullopt, std::nullopt, std::nullopt));
  const auto after = tracker->device();
  ASSERT_NE(before, after);
  EXPECT_EQ(after->wrapperSdkName, "wrapper");
  EXPECT_EQ(after->serializeToDictionary().begin().key(), "wrapperSdkVersion");
}

TEST_F(MSDeviceTrackerTest, HistoryReadsAndRebuildsFromManyThreadsAreSafe) {
  auto tracker = makeTracker();
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&tracker, i] {
      for (int k = 0; k < 30; ++k) {
        if (i % 2 == 0) {
          MSDeviceTracker::refreshDeviceNextTime();
          EXPECT_TRUE(tracker->device());
        } else {
          EXPECT_TRUE(tracker->deviceForTimestamp(kStart + std::chrono::seconds(k)));
          EXPECT_LE(tracker->deviceHistory().size(), MSDeviceTracker::kMaxDevicesHistoryCount);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(tracker->deviceHistory().size(), MSDeviceTracker::kMaxDevicesHistoryCount);
}

TEST(MSDeviceLocaleTest, LocaleTextFromTheEnvironment) {
  struct Case {
    std::vector<std::string> preferred;
    std::string current;
    std::string expected;
  };
  const std::vector<Case> table = {
      {{}, "en_US.UTF-8", "en_US"},
      {{"zh-Hans-CN"}, "en_US.UTF-8", "zh-Hans_CN"},
      {{"zh-Hans"}, "zh_CN.UTF-8", "zh-Hans_CN"},
      {{"de"}, "de_AT.UTF-8", "de_AT"},
      {{"fr"}, "C", "fr"},  // no country anywhere: no "_" part
      {{}, "sr_RS.UTF-8@latin", "sr-Latn_RS"},
      {{}, "C", "en_US"},  // C locale: a valid fallback
      {{}, "POSIX", "en_US"},
      {{}, "", "en_US"},
      {{"C"}, "C.UTF-8", "en_US"},
      {{"", "pt_BR"}, "en_US", "pt_BR"},
      {{}, "es_419.UTF-8", "es_419"},
  };
  for (const auto& c : table) {
    EXPECT_EQ(MSDeviceTracker::localeText(c.preferred, c.current), c.expected) << c.current;
  }
}

TEST(MSDeviceLocaleTest, TimeZoneOffsetKeepsMinutesAndSign) {
  EXPECT_EQ(MSDeviceTracker::timeZoneOffset(-5 * 3600), -300);
  EXPECT_EQ(MSDeviceTracker::timeZoneOffset(5 * 3600 + 1800), 330);
  EXPECT_EQ(MSDeviceTracker::timeZoneOffset(-30 * 60), -30);
  EXPECT_EQ(MSDeviceTracker::timeZoneOffset(-59), 0);
  EXPECT_EQ(MSDeviceTracker::timeZoneOffset(0), 0);
}

// The real Linux machine, read through the default provider.
std::optional<std::string> osReleaseName() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("NAME=", 0) == 0) {
        std::string value = line.substr(5);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\''))
          value = value.substr(1, value.size() - 2);
        return value;
      }
    }
    if (in.is_open() || std::ifstream(path).good()) break;
  }
  return std::nullopt;
}

std::optional<std::string> firstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  while (!line.empty() && (line.back() == ' ' || line.back() == '\n')) line.pop_back();
  if (line.empty()) return std::nullopt;
  return line;
}

TEST(MSDeviceRealMachineTest, DeviceDescribesTheRunningLinuxMachine) {
  MSDeviceTracker::resetSharedInstance();
  const char* savedLang = std::getenv("LANG");
  const std::string lang = savedLang != nullptr ? savedLang : "";
  setenv("LANG", "C", 1);
  unsetenv("LANGUAGE");
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");

  MSDeviceTracker tracker(MSTestDefaults());
  const auto device = tracker.device();
  if (savedLang != nullptr)
    setenv("LANG", lang.c_str(), 1);
  else
    unsetenv("LANG");

  ASSERT_TRUE(device);
  EXPECT_TRUE(device->isValid()) << device->serializeToDictionary().dump();
  EXPECT_EQ(device->locale, "en_US");
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(device->osBuild, std::string(names.release));
  EXPECT_EQ(device->osName, osReleaseName().value_or("Linux"));
  EXPECT_EQ(device->oemName, firstLine("/sys/class/dmi/id/sys_vendor"));
  EXPECT_EQ(device->model, firstLine("/sys/class/dmi/id/product_name"));
  EXPECT_NE(device->oemName, "Apple");
  EXPECT_NE(device->osName, "macOS");
  EXPECT_EQ(device->screenSize, "0x0");  // no screen handed in
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  EXPECT_EQ(device->timeZoneOffset, local.tm_gmtoff / 60);
  MSDeviceTracker::resetSharedInstance();
}

}  // namespace
