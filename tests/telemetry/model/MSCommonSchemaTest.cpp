#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSOrderedDictionary.h"
#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"

#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

const vx::Date kTime = vx::Date(std::chrono::seconds(1'700'000'000)) + 123ms;

std::shared_ptr<MSAbstractLog> makeLog() {
  auto log = std::make_shared<MSAbstractLog>();
  log->type = "page";
  log->timestamp = kTime;
  log->userId = "alice";
  log->device = MSTestDevice();
  return log;
}

std::vector<std::string> keysOf(const MSJson& json) {
  std::vector<std::string> keys;
  for (auto it = json.begin(); it != json.end(); ++it) keys.push_back(it.key());
  return keys;
}

TEST(MSCommonSchemaConversionTest, NoTokensGiveNothingNotAnEmptyList) {
  EXPECT_EQ(makeLog()->toCommonSchemaLogsWithFlags(0), std::nullopt);
}

TEST(MSCommonSchemaConversionTest, OneLogPerTokenEachWithItsOwnTokenAndIKey) {
  auto log = makeLog();
  log->addTransmissionTargetToken("tenantA-secret-1");
  log->addTransmissionTargetToken("tenantB-secret-2");
  const auto converted = log->toCommonSchemaLogsWithFlags(2);
  ASSERT_TRUE(converted);
  ASSERT_EQ(converted->size(), 2u);
  EXPECT_EQ((*converted)[0]->transmissionTargetTokens(), (std::set<std::string>{"tenantA-secret-1"}));
  EXPECT_EQ((*converted)[0]->iKey, "o:tenantA");
  EXPECT_EQ((*converted)[1]->transmissionTargetTokens(), (std::set<std::string>{"tenantB-secret-2"}));
  EXPECT_EQ((*converted)[1]->iKey, "o:tenantB");
  for (const auto& cs : *converted) {
    EXPECT_EQ(cs->flags, 2);
    EXPECT_TRUE(cs->isValid());
  }
}

TEST(MSCommonSchemaConversionTest, ExtensionsComeFromTheLogAndItsDevice) {
  auto log = makeLog();
  const auto cs = log->toCommonSchemaLogForTargetToken("tenant-token", 1);
  ASSERT_TRUE(cs);
  EXPECT_EQ(cs->ver, "3.0");
  EXPECT_EQ(cs->name, "page");
  EXPECT_EQ(cs->timestamp, kTime);
  ASSERT_TRUE(cs->ext);
  EXPECT_EQ(cs->ext->protocolExt->devMake, "QEMU");
  EXPECT_EQ(cs->ext->protocolExt->devModel, "Standard PC");
  EXPECT_EQ(cs->ext->userExt->localId, "c:alice");
  EXPECT_EQ(cs->ext->userExt->locale, "en-US");
  EXPECT_EQ(cs->ext->osExt->name, "Debian GNU/Linux");
  EXPECT_EQ(cs->ext->osExt->ver, "Version 12 (Build 6.1.0-18-amd64)");
  EXPECT_EQ(cs->ext->appExt->appId, "I:com.example.app");
  EXPECT_EQ(cs->ext->appExt->ver, "1.2.3");
  EXPECT_TRUE(cs->ext->appExt->locale.has_value());
  EXPECT_EQ(cs->ext->appExt->name, std::nullopt);
  EXPECT_EQ(cs->ext->appExt->userId, std::nullopt);
  EXPECT_EQ(cs->ext->netExt->provider, std::nullopt);
  EXPECT_EQ(cs->ext->sdkExt->libVer, "zerevuzev.macos-2.1.0");
  EXPECT_EQ(cs->ext->sdkExt->epoch, std::nullopt);
  EXPECT_EQ(cs->ext->sdkExt->seq, 0);
  EXPECT_EQ(cs->ext->locExt->tz, "-05:00");
  ASSERT_TRUE(cs->ext->deviceExt);
  EXPECT_EQ(cs->ext->deviceExt->localId, std::nullopt);
  EXPECT_EQ(cs->ext->metadataExt, nullptr);
  EXPECT_EQ(cs->data, nullptr);

  const MSJson json = cs->serializeToDictionary();
  EXPECT_EQ(keysOf(json), (std::vector<std::string>{"ver", "name", "time", "iKey", "flags", "ext"}));
  EXPECT_EQ(json["time"], "2023-11-14T22:13:20.123Z");
  EXPECT_EQ(keysOf(json["ext"]), (std::vector<std::string>{"protocol", "user", "os", "app", "sdk", "loc"}));
  EXPECT_FALSE(json.contains("type"));
  EXPECT_FALSE(json.contains("timestamp"));
}

TEST(MSCommonSchemaConversionTest, UserIdWithAColonIsUsedUnchanged) {
  for (const std::string id : {"c:abc", "i:abc"}) {
    auto log = makeLog();
    log->userId = id;
    EXPECT_EQ(log->toCommonSchemaLogForTargetToken("t-1", 0)->ext->userExt->localId, id);
  }
  auto log = makeLog();
  log->userId.reset();
  EXPECT_EQ(log->toCommonSchemaLogForTargetToken("t-1", 0)->ext->userExt->localId, std::nullopt);
}

TEST(MSCommonSchemaFormatTest, TimeZoneOffsetsKeepTheirSign) {
  const std::vector<std::pair<std::int64_t, std::string>> table = {
      {0, "+00:00"},   {120, "+02:00"}, {330, "+05:30"}, {-300, "-05:00"}, {-570, "-09:30"},
      {-30, "-00:30"}, {-1, "-00:01"},  {-59, "-00:59"}, {59, "+00:59"},   {840, "+14:00"},
  };
  for (const auto& [minutes, text] : table) {
    EXPECT_EQ(MSAbstractLog::convertTimeZoneOffsetToISO8601(minutes), text) << minutes;
  }
}

TEST(MSCommonSchemaFormatTest, OsAndSdkVersionTexts) {
  EXPECT_EQ(MSAbstractLog::combineOsVersion("10.14.6", "18G87"), "Version 10.14.6 (Build 18G87)");
  EXPECT_EQ(MSAbstractLog::combineOsVersion("10.14.6", std::nullopt), "Version 10.14.6");
  EXPECT_EQ(MSAbstractLog::combineOsVersion("10.14.6", ""), "Version 10.14.6");
  EXPECT_EQ(MSAbstractLog::combineOsVersion(std::nullopt, std::nullopt), std::nullopt);
  EXPECT_EQ(MSAbstractLog::combineOsVersion("", "18G87"), "Build 18G87");
  EXPECT_EQ(MSAbstractLog::combineSDKLibVer("zerevuzev.macos", "2.1.0"), "zerevuzev.macos-2.1.0");
  EXPECT_EQ(MSAbstractLog::combineSDKLibVer("zerevuzev.macos", ""), std::nullopt);
  EXPECT_EQ(MSAbstractLog::combineSDKLibVer(std::nullopt, "2.1.0"), std::nullopt);
}

TEST(MSCommonSchemaLogTest, KeyOrderIsFixedWhateverTheOrderOfSetting) {
  MSCommonSchemaLog log;
  log.data = std::make_shared<MSCSData>();
  log.data->properties = MSJson::parse(R"({"k":1})");
  log.ext = std::make_shared<MSCSExtensions>();
  log.flags = 0;
  log.iKey = "o:x";
  log.timestamp = kTime;
  log.name = "n";
  log.ver = "3.0";
  const MSJson json = log.serializeToDictionary();
  EXPECT_EQ(keysOf(json), (std::vector<std::string>{"ver", "name", "time", "iKey", "ext", "data"}));
  EXPECT_EQ(json["ext"], MSJson::object());
  log.flags = 1;
  EXPECT_EQ(keysOf(log.serializeToDictionary())[4], "flags");
}

TEST(MSCommonSchemaLogTest, ValidityNeedsTimeVersionAndName) {
  MSCommonSchemaLog log;
  log.timestamp = kTime;
  log.ver = "3.0";
  EXPECT_FALSE(log.isValid());
  log.name = "n";
  EXPECT_TRUE(log.isValid());  // no type and no device needed
  log.timestamp.reset();
  EXPECT_FALSE(log.isValid());
}

TEST(MSCommonSchemaLogTest, EqualityComparesItsOwnFieldsToo) {
  auto a = makeLog()->toCommonSchemaLogForTargetToken("t-1", 1);
  auto b = makeLog()->toCommonSchemaLogForTargetToken("t-1", 1);
  EXPECT_TRUE(a->isEqual(*b));
  EXPECT_EQ(a->hash(), b->hash());
  b->popSample = 10;
  EXPECT_FALSE(a->isEqual(*b));
  b->popSample = 0;
  b->ext->locExt->tz = "+01:00";
  EXPECT_FALSE(a->isEqual(*b));
  EXPECT_FALSE(a->isEqual(*makeLog()));
}

TEST(MSCSDataTest, BaseTypeAndBaseDataComeFirst) {
  MSCSData data;
  EXPECT_TRUE(data.serializeToDictionary().is_null());
  data.properties = MSJson::object();
  (*data.properties)["a"] = 1;
  (*data.properties)["baseData"] = MSJson::object();
  (*data.properties)["baseType"] = "T";
  EXPECT_EQ(keysOf(data.serializeToDictionary()), (std::vector<std::string>{"baseType", "baseData", "a"}));
  MSCSData reordered;
  reordered.properties = MSJson::parse(R"({"baseType":"T","a":1,"baseData":{}})");
  EXPECT_TRUE(data.isEqual(reordered));
  EXPECT_EQ(data.hash(), reordered.hash());
}

TEST(MSCSExtensionTest, EmptyExtensionsSerialiseToNothing) {
  MSSDKExtension sdk;
  EXPECT_TRUE(sdk.serializeToDictionary().is_null());
  sdk.seq = 5;
  sdk.installId = vx::UUID::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF");
  EXPECT_EQ(sdk.serializeToDictionary().dump(), R"({"seq":5,"installId":"6F9619FF-8B86-D011-B42D-00C04FC964FF"})");
  EXPECT_TRUE(MSUserExtension().serializeToDictionary().is_null());
  EXPECT_TRUE(MSMetadataExtension().serializeToDictionary().is_null());
  MSMetadataExtension metadata;
  metadata.metadata = MSJson::parse(R"({"f":{"x":4}})");
  EXPECT_EQ(metadata.serializeToDictionary(), *metadata.metadata);
  MSCSExtensions extensions;
  EXPECT_EQ(extensions.serializeToDictionary(), MSJson::object());
  extensions.userExt = std::make_shared<MSUserExtension>();  // serialises to nothing: key left out
  extensions.appExt = std::make_shared<MSAppExtension>();
  extensions.appExt->appId = "I:x";
  EXPECT_EQ(extensions.serializeToDictionary().dump(), R"({"app":{"id":"I:x"}})");
  EXPECT_TRUE(extensions.isValid());
}

TEST(MSCSExtensionTest, EqualityIsPerClassAndField) {
  MSOSExtension a, b;
  a.name = b.name = "Linux";
  EXPECT_TRUE(a.isEqual(b));
  b.ver = "1";
  EXPECT_FALSE(a.isEqual(b));
  MSDeviceExtension device;
  MSNetExtension net;
  EXPECT_FALSE(device.isEqual(net));
  MSMetadataExtension m1, m2;
  m1.metadata = MSJson::parse(R"({"a":1,"b":2})");
  m2.metadata = MSJson::parse(R"({"b":2,"a":1})");
  EXPECT_TRUE(m1.isEqual(m2));
  EXPECT_EQ(m1.hash(), m2.hash());
}

TEST(MSOrderedDictionaryTest, KeepsFirstInsertionOrder) {
  MSOrderedDictionary dictionary;
  dictionary.setObject(1, "b");
  dictionary.setObject(2, "a");
  dictionary.setObject(3, "b");
  EXPECT_EQ(dictionary.keys(), (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(*dictionary.objectForKey("b"), 3);
  EXPECT_EQ(dictionary.count(), 2u);
  EXPECT_EQ(dictionary.toJson().dump(), R"({"b":3,"a":2})");

  MSOrderedDictionary copy = dictionary;
  EXPECT_TRUE(copy.isEqualToDictionary(dictionary));
  MSOrderedDictionary other;
  other.setObject(2, "a");
  other.setObject(3, "b");
  EXPECT_FALSE(other.isEqualToDictionary(dictionary));

  dictionary.removeAllObjects();
  EXPECT_EQ(dictionary.count(), 0u);
  EXPECT_TRUE(dictionary.keys().empty());
  EXPECT_EQ(dictionary.objectForKey("b"), nullptr);
}

TEST(MSCSEpochAndSeqTest, StartsAtZero) {
  MSCSEpochAndSeq record("epoch");
  EXPECT_EQ(record.epoch, "epoch");
  EXPECT_EQ(record.seq, 0u);
}

}  // namespace
