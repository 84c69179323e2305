// The SDK's settings: log level with the forwarder's trace buffer, log handler, wrapper SDK and
// country code, version, the log URL of either endpoint, and the analytics and crash services
// as the start-up starts them.
#include "telemetry/ZerEvuzev/Context/MSDeviceTracker.h"
#include "telemetry/ZerEvuzev/Core/MSDelegateForwarder.h"
#include "telemetry/ZerEvuzev/Core/MSZerEvuzev.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"
#include "telemetry/ZerEvuzevCrashes/MSCrashes.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include "platform/foundation/Bundle.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

class MSZerEvuzevSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override {
    if (auto group = MSZerEvuzev::sharedInstance()->channelGroup()) group->logsDispatchQueue()->sync([] {});
    reset();
    vx::Bundle::main().resetInfoDictionary();
    MSDeviceTracker::setWrapperSdk(nullptr);
    MSDeviceTracker::setCountryCode(std::nullopt);
  }
  static void reset() {
    MSZerEvuzev::resetSharedInstance();
    MSAnalytics::resetSharedInstance();
    MSCrashes::resetSharedInstance();
    MSAppDelegateForwarder::resetSharedInstance();
    for (const char* key : {"MSZerEvuzevIsEnabled", "kMSAnalyticsIsEnabledKey", "kMSCrashesIsEnabledKey"}) {
      MSUserDefaults::shared()->removeObjectForKey(key);
    }
    MSLogger::resetForTesting();
  }
};

// Lines the forwarder traces before the level is set appear, in order, between the buffer's
// start and end lines once it is set; later ones at once.
TEST_F(MSZerEvuzevSettingsTest, SettingTheLogLevelFlushesTheTraceBuffer) {
  MSDelegateForwarder::resetTraceBufferForTesting();
  vx::Bundle::main().setInfoValue("ZerEvuzevAppDelegateForwarderEnabled", vx::Value(false));
  MSLogRecorder recorder(MSLogLevel::Verbose);
  EXPECT_FALSE(MSZerEvuzev::isAppDelegateForwarderEnabled());
  MSDelegateForwarder::addTraceBlock([] { MSLogDebug(kMSLogTag, "second trace"); });
  EXPECT_EQ(recorder.count("trace"), 0u) << "held until the level is set";
  MSZerEvuzev::setLogLevel(MSLogLevel::Debug);
  EXPECT_EQ(MSZerEvuzev::logLevel(), MSLogLevel::Debug);
  MSZerEvuzev::setLogLevel(MSLogLevel::Verbose);
  MSDelegateForwarder::addTraceBlock([] { MSLogDebug(kMSLogTag, "late trace"); });
  std::vector<std::string> messages;
  for (const auto& line : recorder.lines()) messages.push_back(line.message);
  // The buffer's own lines are verbose, flushed while the level was still Debug.
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "Delegate forwarder for info.plist key 'ZerEvuzevAppDelegateForwarderEnabled' disabled. "
                          "It won't use swizzling.",
                          "second trace", "late trace"}));
}

TEST_F(MSZerEvuzevSettingsTest, BufferLinesAppearAtVerbose) {
  MSDelegateForwarder::resetTraceBufferForTesting();
  MSLogRecorder recorder(MSLogLevel::Verbose);
  MSDelegateForwarder::addTraceBlock([] { MSLogDebug(kMSLogTag, "a trace"); });
  MSZerEvuzev::setLogLevel(MSLogLevel::Verbose);
  std::vector<std::string> messages;
  for (const auto& line : recorder.lines()) messages.push_back(line.message);
  EXPECT_EQ(messages,
            (std::vector<std::string>{"Start buffering traces.", "a trace", "Stop buffering traces, flushed."}));
  EXPECT_TRUE(MSLogger::isUserDefinedLogLevel());
}

TEST_F(MSZerEvuzevSettingsTest, HandlerWrapperCountryAndVersion) {
  std::vector<std::string> lines;
  MSZerEvuzev::setLogHandler([&lines](const MSLogMessageProvider& message, MSLogLevel, const std::string&, const char*,
                                      const char*, unsigned) { lines.push_back(message()); });
  MSZerEvuzev::setLogLevel(MSLogLevel::Error);
  MSZerEvuzev::sharedInstance()->setCustomProperties(nullptr);
  EXPECT_EQ(lines, std::vector<std::string>{"Custom properties may not be null or empty"});

  MSZerEvuzev::setWrapperSdk(std::make_shared<MSWrapperSdk>(std::string("1.0"), std::string("wrapper.name"),
                                                            std::nullopt, std::nullopt, std::nullopt, std::nullopt));
  MSZerEvuzev::setCountryCode(std::string("de"));
  const auto device = MSDeviceTracker::sharedInstance()->device();
  EXPECT_EQ(device->wrapperSdkName, "wrapper.name");
  EXPECT_EQ(device->carrierCountry, "de");
  EXPECT_EQ(MSZerEvuzev::sdkVersion(), MSUtility::sdkVersion());
  EXPECT_FALSE(MSZerEvuzev::sdkVersion().empty());
  EXPECT_EQ(MSZerEvuzev::logTag(), "ZerEvuzev");
  EXPECT_EQ(MSZerEvuzev::groupId(), "ZerEvuzev");
}

TEST_F(MSZerEvuzevSettingsTest, TheLogUrlGoesToTheEndpointTheSecretNames) {
  auto sdk = MSZerEvuzev::sharedInstance();
  sdk->setLogUrl("http://127.0.0.1:9");
  MSZerEvuzev::start(std::string("target=aaaa-0f1e2d3c"), {});
  auto ingestion =
      std::dynamic_pointer_cast<MSHttpIngestion>(sdk->uniCollectorChannelDelegate()->uniCollectorIngestion());
  ASSERT_TRUE(ingestion);
  EXPECT_EQ(ingestion->sendURL(), "http://127.0.0.1:9/UniCollector/1.0") << "no secret: the stored URL";
  MSLogRecorder recorder(MSLogLevel::Info);
  sdk->setLogUrl("http://127.0.0.1:10");
  EXPECT_EQ(ingestion->sendURL(), "http://127.0.0.1:10/UniCollector/1.0");
  EXPECT_EQ(recorder.count("The log url of Uni Collector endpoint was changed to http://127.0.0.1:10"), 1u);

  reset();
  sdk = MSZerEvuzev::sharedInstance();
  sdk->setLogUrl("http://127.0.0.1:9");
  MSZerEvuzev::start(std::string("secret"), {});
  ingestion = std::dynamic_pointer_cast<MSHttpIngestion>(sdk->uniCollectorChannelDelegate()->uniCollectorIngestion());
  EXPECT_EQ(ingestion->baseURL(), MSUniCollectorChannelDelegate::kMSUniCollectorDefaultBaseUrl)
      << "with a secret the stored URL is the ordinary endpoint's";
}

TEST_F(MSZerEvuzevSettingsTest, TheAnalyticsAndCrashServicesStartInTheirOrder) {
  auto analytics = MSAnalytics::sharedInstance();
  auto crashes = MSCrashes::sharedInstance();
  EXPECT_EQ(MSAnalytics::sharedInstance(), analytics);
  MSZerEvuzev::start(std::string("secret"), {analytics, crashes});
  const auto services = MSZerEvuzev::sharedInstance()->services();
  ASSERT_EQ(services.size(), 2u);
  EXPECT_EQ(services[0], crashes);
  EXPECT_EQ(services[1], analytics);
  ASSERT_TRUE(crashes->channelUnit());
  EXPECT_EQ(crashes->channelUnit()->configuration().groupId(), "Crashes");
  EXPECT_EQ(crashes->channelUnit()->configuration().priority(), 2);
  EXPECT_EQ(crashes->channelUnit()->configuration().flushInterval(), 1u);
  EXPECT_EQ(crashes->channelUnit()->configuration().batchSizeLimit(), 1u);
  ASSERT_TRUE(analytics->channelUnit());
  EXPECT_EQ(analytics->channelUnit()->configuration().groupId(), "Analytics");
  EXPECT_EQ(analytics->channelUnit()->configuration().flushInterval(), 3u);
  EXPECT_TRUE(MSServiceAbstract::isEnabled(analytics));
  EXPECT_EQ(crashes->isEnabledKey(), "kMSCrashesIsEnabledKey");
}

TEST_F(MSZerEvuzevSettingsTest, ATokenOnlyStartRefusesTheCrashService) {
  MSLogRecorder recorder(MSLogLevel::Error);
  MSZerEvuzev::start(std::string("target=aaaa-0f1e2d3c"), {MSCrashes::sharedInstance(), MSAnalytics::sharedInstance()});
  EXPECT_TRUE(MSAnalytics::sharedInstance()->isStarted());
  EXPECT_FALSE(MSCrashes::sharedInstance()->isStarted());
  EXPECT_EQ(recorder.count("Cannot start service MSCrashes. Rev Ererav was started without app secret"), 1u);
}

// Starts racing from several threads: one configuration wins, the others are logged errors.
TEST_F(MSZerEvuzevSettingsTest, RacingStartsConfigureOnceAndLogTheRest) {
  MSLogRecorder recorder(MSLogLevel::Assert);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([i] { MSZerEvuzev::start("secret-" + std::to_string(i), {MSAnalytics::sharedInstance()}); });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(recorder.count("Rev Ererav SDK has already been configured."), 3u);
  EXPECT_EQ(recorder.count("Rev Ererav SDK configuration failed."), 3u);
  EXPECT_EQ(MSZerEvuzev::sharedInstance()->services().size(), 1u);
  EXPECT_TRUE(MSZerEvuzev::sharedInstance()->appSecret()->starts_with("secret-"));
}

}  // namespace
