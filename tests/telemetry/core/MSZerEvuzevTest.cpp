// SDK start-up and the service base: secret strings, service order, the environment switch,
// storage-size rules, the persisted enabled state and install id, and a start-service log that
// reaches the local service with the machine's real reachability.
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"

#include "telemetry/ZerEvuzev/Context/MSUserDefaults.h"
#include "telemetry/ZerEvuzev/Storage/MSLogDBStorage.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include "platform/foundation/Clock.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

class TestService : public MSServiceAbstract {
 public:
  TestService(std::string name, int priority, bool requiresSecret)
      : name_(std::move(name)), priority_(priority), requiresSecret_(requiresSecret) {}
  std::string groupId() const override { return name_; }
  std::string serviceName() const override { return name_; }
  std::string logTag() const override { return "ZerEvuzev" + name_; }
  std::string className() const override { return "MS" + name_; }
  std::shared_ptr<MSChannelUnitConfiguration> channelUnitConfiguration() const override {
    return std::make_shared<MSChannelUnitConfiguration>(name_);
  }
  int initializationPriority() const override { return priority_; }
  bool isAppSecretRequired() const override { return requiresSecret_; }

 private:
  std::string name_;
  int priority_;
  bool requiresSecret_;
};

// Records the SDK's log lines at or above a level.
class LogLines {
 public:
  explicit LogLines(MSLogLevel atLeast = MSLogLevel::Verbose) {
    MSLogger::setLogHandler([this, atLeast](const MSLogMessageProvider& message, MSLogLevel level, const std::string&,
                                            const char*, const char*, unsigned) {
      if (level < atLeast) return;
      std::lock_guard lock(mutex_);
      lines_.push_back(message());
    });
  }
  ~LogLines() { MSLogger::resetForTesting(); }
  bool contains(const std::string& text) {
    std::lock_guard lock(mutex_);
    for (const auto& line : lines_) {
      if (line == text) return true;
    }
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

class MSZerEvuzevTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MSZerEvuzev::resetSharedInstance();
    auto defaults = MSUserDefaults::shared();
    for (const char* key : {"MSZerEvuzevIsEnabled", "MSInstallId", "kMSAnalyticsIsEnabledKey", "kMSCrashesIsEnabledKey",
                            "kMSFirstIsEnabledKey", "kMSSecondIsEnabledKey"}) {
      defaults->removeObjectForKey(key);
    }
    unsetenv("ZER_EVUZEV_DISABLE");
    analytics = std::make_shared<TestService>("Analytics", 500, false);
    crashes = std::make_shared<TestService>("Crashes", 999, true);
  }
  void TearDown() override {
    unsetenv("ZER_EVUZEV_DISABLE");
    if (auto group = MSZerEvuzev::sharedInstance()->channelGroup()) group->logsDispatchQueue()->sync([] {});
    MSZerEvuzev::resetSharedInstance();
    MSLogger::resetForTesting();
  }

  std::shared_ptr<TestService> analytics;
  std::shared_ptr<TestService> crashes;
};

TEST_F(MSZerEvuzevTest, SecretStringsConfigureSecretAndToken) {
  MSZerEvuzev::start(std::string("appsecret=secret-1;target=token-1"), {analytics, crashes});
  auto sdk = MSZerEvuzev::sharedInstance();
  EXPECT_EQ(sdk->appSecret(), "secret-1");
  EXPECT_EQ(sdk->defaultTransmissionTargetToken(), "token-1");
  EXPECT_TRUE(MSZerEvuzev::isConfigured());
  EXPECT_TRUE(crashes->isStarted());
  EXPECT_TRUE(analytics->isStarted());
}

TEST_F(MSZerEvuzevTest, ATokenOnlyStartsOnlyServicesWithoutASecret) {
  LogLines lines(MSLogLevel::Error);
  MSZerEvuzev::start(std::string("target=token-only"), {analytics, crashes});
  auto sdk = MSZerEvuzev::sharedInstance();
  EXPECT_FALSE(sdk->appSecret());
  EXPECT_TRUE(analytics->isStarted());
  EXPECT_FALSE(crashes->isStarted());
  EXPECT_TRUE(lines.contains(
      "Cannot start service MSCrashes. Rev Ererav was started without app secret, but the service requires it."));
}

// Malformed secret strings configure no secret: a logged refusal for services that need one,
// never a crash.
TEST_F(MSZerEvuzevTest, MalformedSecretStringsAreRefusedNotFatal) {
  const std::string cases[] = {"",
                               ";",
                               ";;;",
                               "appsecret=",
                               "target=",
                               "appsecret=;target=",
                               "=;=",
                               std::string("caf\xe9\xff;target=\xc3"),
                               std::string(100000, ';')};
  for (const auto& secret : cases) {
    SCOPED_TRACE(testing::PrintToString(secret.substr(0, 24)));
    MSZerEvuzev::resetSharedInstance();
    auto crashService = std::make_shared<TestService>("Crashes", 999, true);
    LogLines lines(MSLogLevel::Error);
    MSZerEvuzev::start(secret, {crashService});
    const auto appSecret = MSZerEvuzev::sharedInstance()->appSecret();
    if (!appSecret || appSecret->empty()) {
      EXPECT_FALSE(crashService->isStarted());
      EXPECT_TRUE(
          lines.contains("Cannot start service MSCrashes. Rev Ererav was started without app secret, but "
                         "the service requires it."));
    }
    EXPECT_TRUE(MSZerEvuzev::isConfigured());
  }
}

TEST_F(MSZerEvuzevTest, StartingTwiceFromTheApplicationIsALoggedError) {
  MSZerEvuzev::start(std::string("secret-1"), {analytics});
  LogLines lines(MSLogLevel::Assert);
  MSZerEvuzev::start(std::string("secret-2"), {crashes});
  EXPECT_TRUE(lines.contains("Rev Ererav SDK has already been configured."));
  EXPECT_TRUE(lines.contains("Rev Ererav SDK configuration failed."));
  EXPECT_FALSE(crashes->isStarted());
  EXPECT_EQ(MSZerEvuzev::sharedInstance()->appSecret(), "secret-1");
}

TEST_F(MSZerEvuzevTest, ServicesStartByPriorityEqualOnesInTheGivenOrder) {
  auto first = std::make_shared<TestService>("First", 500, true);
  auto second = std::make_shared<TestService>("Second", 500, true);
  const auto sorted = MSZerEvuzev::sortServices({first, analytics, crashes, second});
  ASSERT_EQ(sorted.size(), 4u);
  EXPECT_EQ(sorted[0], crashes);
  EXPECT_EQ(sorted[1], first);
  EXPECT_EQ(sorted[2], analytics);
  EXPECT_EQ(sorted[3], second);
  MSZerEvuzev::start(std::string("secret"), {analytics, crashes});
  const auto started = MSZerEvuzev::sharedInstance()->services();
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(started[0], crashes) << "999 before 500";
}

TEST_F(MSZerEvuzevTest, TheEnvironmentSwitchNamesServicesOrAll) {
  struct Case {
    const char* value;
    bool analyticsDisabled;
    bool crashesDisabled;
  };
  const Case cases[] = {
      {" Analytics , Crashes ", true, true},
      {"Crashes", false, true},
      {"all", false, false},
      {"All", true, true},
      {"", false, false},
      {"Analytics,,", true, false},
  };
  for (const auto& c : cases) {
    setenv("ZER_EVUZEV_DISABLE", c.value, 1);
    EXPECT_EQ(MSZerEvuzev::shouldDisable("Analytics"), c.analyticsDisabled) << "'" << c.value << "'";
    EXPECT_EQ(MSZerEvuzev::shouldDisable("Crashes"), c.crashesDisabled) << "'" << c.value << "'";
  }
  setenv("ZER_EVUZEV_DISABLE", "Crashes", 1);
  MSZerEvuzev::start(std::string("secret"), {analytics, crashes});
  EXPECT_TRUE(analytics->isStarted());
  EXPECT_FALSE(crashes->isStarted());
}

TEST_F(MSZerEvuzevTest, StorageSizeRules) {
  auto sdk = MSZerEvuzev::sharedInstance();
  std::vector<bool> answers;
  std::mutex mutex;
  const auto handler = [&](bool changed) {
    std::lock_guard lock(mutex);
    answers.push_back(changed);
  };
  sdk->setMaxStorageSize(24575, handler);
  sdk->setMaxStorageSize(24576 * 4, handler);  // before configuration: kept for the pipeline
  sdk->setMaxStorageSize(24576 * 8, handler);  // a second request in one launch
  MSZerEvuzev::start(std::string("secret"), {analytics});
  sdk->channelGroup()->logsDispatchQueue()->sync([] {});
  std::lock_guard lock(mutex);
  EXPECT_EQ(answers, (std::vector<bool>{false, false, true}));
  EXPECT_EQ(std::dynamic_pointer_cast<MSLogDBStorage>(sdk->channelGroup()->storage())->maxSizeInBytes(), 24576 * 4);
}

TEST_F(MSZerEvuzevTest, InstallIdPersistsAndAMalformedOneIsReplaced) {
  const auto first = MSZerEvuzev::installId();
  MSZerEvuzev::resetSharedInstance();
  EXPECT_EQ(MSZerEvuzev::installId(), first) << "read back from the user defaults";
  MSZerEvuzev::resetSharedInstance();
  MSUserDefaults::shared()->setObject(vx::Value(std::string("not-a-uuid")), "MSInstallId");
  const auto replaced = MSZerEvuzev::installId();
  EXPECT_NE(replaced, first);
  EXPECT_EQ(MSUserDefaults::shared()->objectForKey("MSInstallId")->stringValue() != nullptr, true);
  EXPECT_EQ(*MSUserDefaults::shared()->objectForKey("MSInstallId")->stringValue(), replaced.uuidString());
}

TEST_F(MSZerEvuzevTest, ServiceBaseRules) {
  LogLines lines(MSLogLevel::Error);
  EXPECT_FALSE(MSServiceAbstract::isEnabled(analytics)) << "never started";
  EXPECT_TRUE(
      lines.contains("Analytics service hasn't been started. You need to call [MSZerEvuzev "
                     "start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first."));
  EXPECT_TRUE(analytics->isEnabled()) << "no stored key: enabled";
  EXPECT_EQ(analytics->isEnabledKey(), "kMSAnalyticsIsEnabledKey");

  MSUserDefaults::shared()->setObject(vx::Value(false), "kMSCrashesIsEnabledKey");
  MSZerEvuzev::start(std::string("secret"), {analytics, crashes});
  EXPECT_TRUE(crashes->channelUnit()) << "a disabled service still gets its unit";
  EXPECT_FALSE(MSServiceAbstract::isEnabled(crashes));

  MSZerEvuzev::setEnabled(false);
  EXPECT_FALSE(MSZerEvuzev::isEnabled());
  EXPECT_FALSE(MSServiceAbstract::isEnabled(analytics)) << "the SDK pushed its state";
  MSServiceAbstract::setEnabled(analytics, true);
  EXPECT_TRUE(lines.contains(
      "The SDK is disabled. Re-enable the whole SDK from ZerEvuzev first before enabling Analytics service."));
  EXPECT_FALSE(analytics->isEnabled());
  MSZerEvuzev::setEnabled(true);
  EXPECT_TRUE(MSServiceAbstract::isEnabled(analytics));
  EXPECT_EQ(MSUserDefaults::shared()->objectForKey("MSZerEvuzevIsEnabled")->boolValue(), true);
}

TEST_F(MSZerEvuzevTest, StartServiceLogsWaitWhileTheSdkIsDisabled) {
  MSUserDefaults::shared()->setObject(vx::Value(false), "MSZerEvuzevIsEnabled");
  MSZerEvuzev::start(std::string("secret"), {});
  MSZerEvuzev::startService(analytics);
  MSZerEvuzev::startService(crashes);
  EXPECT_EQ(MSZerEvuzev::sharedInstance()->startedServiceNames(), (std::vector<std::string>{"Analytics", "Crashes"}));
  MSZerEvuzev::setEnabled(true);
  EXPECT_FALSE(MSZerEvuzev::sharedInstance()->startedServiceNames()) << "sent and cleared";
}

// The start-service log goes through the core unit to the local service, with the real
// reachability and the real default ingestion.
TEST_F(MSZerEvuzevTest, StartServiceLogReachesTheLocalService) {
  // Start-service logs that earlier tests of this program left in the store would go out too.
  MSUtility::deleteItemForPathComponent("Logs.sqlite");
  MSUtility::deleteItemForPathComponent("Logs.sqlite.ZerEvuzev.journal");
  vx::ScopedVirtualTime time;
  vx::devservice::DevService service;
  ASSERT_TRUE(service.start().ok());
  auto sdk = MSZerEvuzev::sharedInstance();
  sdk->setLogUrl(service.baseURL());
  MSZerEvuzev::start(std::string("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"), {analytics, crashes});
  auto queue = sdk->channelGroup()->logsDispatchQueue();
  queue->sync([] {});
  time.advance(3s);  // the core unit's flush interval
  ASSERT_TRUE(service.waitForRequests(1));
  const auto requests = service.requests("/logs");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("Install-ID"), MSZerEvuzev::installId().uuidString());
  const auto body = nlohmann::json::parse(requests[0].body);
  ASSERT_EQ(body["logs"].size(), 1u);
  EXPECT_EQ(body["logs"][0]["type"], "startService");
  EXPECT_EQ(body["logs"][0]["services"], nlohmann::json::array({"Crashes", "Analytics"}));
}

}  // namespace
