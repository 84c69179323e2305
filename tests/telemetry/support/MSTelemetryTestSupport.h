// Helpers shared by the telemetry tests: a platform-info provider with chosen facts, a complete
// device, a fresh user-defaults suite per test, and a log handler that records lines.
#pragma once

#include "platform/foundation/UserDefaults.h"
#include "telemetry/ZerEvuzev/Context/MSPlatformInfo.h"
#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Model/MSDevice.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A machine whose facts the test chooses.
class MSFakePlatformInfo : public MSPlatformInfoProvider {
 public:
  std::optional<std::string> model = "Standard PC (Q35 + ICH9, 2009)";
  std::optional<std::string> vendor = "QEMU";
  std::optional<std::string> name = "Debian GNU/Linux";
  std::optional<std::string> version = "12";
  std::optional<std::string> build = "6.1.0-18-amd64";
  std::vector<std::string> languages;
  std::string localeName = "en_US.UTF-8";
  long offsetSeconds = -5 * 3600;
  std::optional<std::string> shortVersion = "1.2.3";
  std::optional<std::string> buildNumber = "123";
  std::optional<std::string> identifier = "com.example.app";

  std::optional<std::string> deviceModel() const override { return model; }
  std::optional<std::string> oemName() const override { return vendor; }
  std::optional<std::string> osName() const override { return name; }
  std::optional<std::string> osVersion() const override { return version; }
  std::optional<std::string> osBuild() const override { return build; }
  std::vector<std::string> preferredLanguages() const override { return languages; }
  std::string currentLocale() const override { return localeName; }
  long timeZoneOffsetSeconds() const override { return offsetSeconds; }
  std::optional<std::string> appVersion() const override { return shortVersion; }
  std::optional<std::string> appBuild() const override { return buildNumber; }
  std::optional<std::string> appNamespace() const override { return identifier; }
};

// A device that passes the validity test.
inline std::shared_ptr<MSDevice> MSTestDevice() {
  auto device = std::make_shared<MSDevice>();
  device->sdkName = "zerevuzev.macos";
  device->sdkVersion = "2.1.0";
  device->model = "Standard PC";
  device->oemName = "QEMU";
  device->osName = "Debian GNU/Linux";
  device->osVersion = "12";
  device->osBuild = "6.1.0-18-amd64";
  device->locale = "en_US";
  device->timeZoneOffset = -300;
  device->screenSize = "1080x1920";
  device->appVersion = "1.2.3";
  device->appBuild = "123";
  device->appNamespace = "com.example.app";
  return device;
}

// A user-defaults suite named after the running test, emptied first.
inline std::shared_ptr<MSUserDefaults> MSTestDefaults(const std::string& suffix = "") {
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name() + suffix;
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  std::shared_ptr<vx::UserDefaults> defaults = vx::UserDefaults::make(name);
  return std::make_shared<MSUserDefaults>(std::move(defaults));
}

// Records every line at or above a level while alive, then puts the default handler back.
class MSLogRecorder {
 public:
  struct Line {
    MSLogLevel level;
    std::string tag;
    std::string message;
  };

  explicit MSLogRecorder(MSLogLevel level = MSLogLevel::Verbose) {
    MSLogger::resetForTesting();
    MSLogger::setCurrentLogLevel(level);
    // The handler may still be running on another thread when the recorder goes, so what it
    // writes to outlives the recorder.
    MSLogger::setLogHandler([state = state_](const MSLogMessageProvider& message, MSLogLevel lineLevel,
                                             const std::string& tag, const char*, const char*, unsigned) {
      if (static_cast<unsigned>(lineLevel) < static_cast<unsigned>(MSLogger::currentLogLevel())) return;
      std::lock_guard lock(state->mutex);
      state->lines.push_back({lineLevel, tag, message()});
    });
  }
  ~MSLogRecorder() { MSLogger::resetForTesting(); }

  std::vector<Line> lines() const {
    std::lock_guard lock(state_->mutex);
    return state_->lines;
  }
  // Lines whose message contains the text.
  std::size_t count(const std::string& text) const {
    std::lock_guard lock(state_->mutex);
    std::size_t n = 0;
    for (const auto& line : state_->lines) n += line.message.find(text) != std::string::npos ? 1 : 0;
    return n;
  }

 private:
  struct State {
    std::mutex mutex;
    std::vector<Line> lines;
  };
  const std::shared_ptr<State> state_ = std::make_shared<State>();
};
