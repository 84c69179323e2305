// Every telemetry class goes through the keyed archiver and comes back as the same class with
// equal fields; damaged archives fail with an error, never a crash.
#include "telemetry/ZerEvuzev/Context/MSDeviceHistoryInfo.h"
#include "telemetry/ZerEvuzev/Context/MSHistoryInfo.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzev/Model/MSCustomProperties.h"
#include "telemetry/ZerEvuzev/Model/MSTypedProperty.h"

#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

namespace {

using namespace std::chrono_literals;

const vx::Date kTime = vx::Date(std::chrono::seconds(1'700'000'000)) + 123456789ns;

template <class T>
std::shared_ptr<T> withBase(std::shared_ptr<T> log) {
  log->type = log->type.value_or("someType");
  log->timestamp = kTime;
  log->sid = "sid";
  log->distributionGroupId = "dg";
  log->userId = "user";
  log->device = MSTestDevice();
  return log;
}

std::shared_ptr<MSCSExtensions> fullExtensions() {
  auto ext = std::make_shared<MSCSExtensions>();
  ext->metadataExt = std::make_shared<MSMetadataExtension>();
  ext->metadataExt->metadata = MSJson::parse(R"({"f":{"a":4,"b":{"c":6}}})");
  ext->protocolExt = std::make_shared<MSProtocolExtension>();
  ext->protocolExt->ticketKeys = std::vector<std::string>{"k1", "k2"};
  ext->protocolExt->devMake = "QEMU";
  ext->protocolExt->devModel = "PC";
  ext->userExt = std::make_shared<MSUserExtension>();
  ext->userExt->localId = "c:alice";
  ext->userExt->locale = "en-US";
  ext->deviceExt = std::make_shared<MSDeviceExtension>();
  ext->deviceExt->localId = "device";
  ext->osExt = std::make_shared<MSOSExtension>();
  ext->osExt->name = "Debian GNU/Linux";
  ext->osExt->ver = "Version 12 (Build 6.1.0)";
  ext->appExt = std::make_shared<MSAppExtension>();
  ext->appExt->appId = "I:com.example";
  ext->appExt->ver = "1.0";
  ext->appExt->name = "name";
  ext->appExt->locale = "en";
  ext->appExt->userId = "u";
  ext->netExt = std::make_shared<MSNetExtension>();
  ext->netExt->provider = "carrier";
  ext->sdkExt = std::make_shared<MSSDKExtension>();
  ext->sdkExt->libVer = "zerevuzev.macos-2.1.0";
  ext->sdkExt->epoch = "epoch";
  ext->sdkExt->seq = 3;
  ext->sdkExt->installId = vx::UUID::make();
  ext->locExt = std::make_shared<MSLocExtension>();
  ext->locExt->tz = "-05:00";
  return ext;
}

struct ModelCase {
  std::string name;
  std::function<std::shared_ptr<MSSerializableObject>()> make;
};

std::vector<ModelCase> modelCases() {
  return {
      {"MSWrapperSdk", [] { return std::make_shared<MSWrapperSdk>("1", "name", "rt", "label", "key", "hash"); }},
      {"MSDevice",
       [] {
         auto device = MSTestDevice();
         device->wrapperSdkName = "wrapper";
         device->osApiLevel = 33;
         device->carrierCountry = "AT";
         return device;
       }},
      {"MSAbstractLog", [] { return withBase(std::make_shared<MSAbstractLog>()); }},
      {"MSLogWithProperties",
       [] {
         auto log = withBase(std::make_shared<MSLogWithProperties>());
         log->properties = std::map<std::string, std::string>{{"a", "1"}, {"b", "2/3"}};
         return log;
       }},
      {"MSStartServiceLog",
       [] {
         auto log = withBase(std::make_shared<MSStartServiceLog>());
         log->services = std::vector<std::string>{"Analytics", "Crashes"};
         return log;
       }},
      {"MSCustomPropertiesLog",
       [] {
         auto log = withBase(std::make_shared<MSCustomPropertiesLog>());
         log->properties = vx::ValueMap{{"s", vx::Value("t")},  {"n", vx::Value(1)},     {"d", vx::Value(2.5)},
                                        {"b", vx::Value(true)}, {"t", vx::Value(kTime)}, {"clear", vx::Value()}};
         return log;
       }},
      {"MSStringTypedProperty",
       [] {
         auto p = std::make_shared<MSStringTypedProperty>();
         p->name = "n";
         p->value = "v";
         return p;
       }},
      {"MSLongTypedProperty",
       [] {
         auto p = std::make_shared<MSLongTypedProperty>();
         p->name = "n";
         p->value = INT64_MIN;
         return p;
       }},
      {"MSDoubleTypedProperty",
       [] {
         auto p = std::make_shared<MSDoubleTypedProperty>();
         p->name = "n";
         p->value = -0.125;
         return p;
       }},
      {"MSDateTimeTypedProperty",
       [] {
         auto p = std::make_shared<MSDateTimeTypedProperty>();
         p->name = "n";
         p->value = kTime;
         return p;
       }},
      {"MSBooleanTypedProperty",
       [] {
         auto p = std::make_shared<MSBooleanTypedProperty>();
         p->name = "n";
         p->value = true;
         return p;
       }},
      {"MSCommonSchemaLog",
       [] {
         auto log = std::make_shared<MSCommonSchemaLog>();
         log->timestamp = kTime;
         log->ver = "3.0";
         log->name = "event";
         log->popSample = 50.5;
         log->iKey = "o:abc";
         log->flags = 2;
         log->cV = "cv";
         log->ext = fullExtensions();
         log->data = std::make_shared<MSCSData>();
         log->data->properties = MSJson::parse(R"({"a":{"b":1},"baseType":"x"})");
         return log;
       }},
      {"MSCSExtensions", [] { return fullExtensions(); }},
      {"MSMetadataExtension", [] { return fullExtensions()->metadataExt; }},
      {"MSProtocolExtension", [] { return fullExtensions()->protocolExt; }},
      {"MSUserExtension", [] { return fullExtensions()->userExt; }},
      {"MSDeviceExtension", [] { return fullExtensions()->deviceExt; }},
      {"MSOSExtension", [] { return fullExtensions()->osExt; }},
      {"MSAppExtension", [] { return fullExtensions()->appExt; }},
      {"MSNetExtension", [] { return fullExtensions()->netExt; }},
      {"MSSDKExtension", [] { return fullExtensions()->sdkExt; }},
      {"MSLocExtension", [] { return fullExtensions()->locExt; }},
      {"MSCSData",
       [] {
         auto data = std::make_shared<MSCSData>();
         data->properties = MSJson::parse(R"({"a":[1,2],"baseData":{"x":true}})");
         return data;
       }},
  };
}

class MSModelArchiveTest : public testing::TestWithParam<ModelCase> {};

TEST_P(MSModelArchiveTest, RoundTripsWithItsClassAndFields) {
  const auto original = GetParam().make();
  ASSERT_EQ(original->className(), GetParam().name);
  auto data = MSArchivedData(*original);
  ASSERT_TRUE(data) << data.error();
  auto decoded = MSUnarchiveObject<MSSerializableObject>(data.value());
  ASSERT_TRUE(decoded) << decoded.error();
  EXPECT_EQ(decoded.value()->className(), GetParam().name);
  const MSSerializableObject& decodedObject = *decoded.value();
  const MSSerializableObject& originalObject = *original;
  EXPECT_EQ(typeid(decodedObject), typeid(originalObject));
  EXPECT_TRUE(decoded.value()->isEqual(*original));
  EXPECT_TRUE(original->isEqual(*decoded.value()));
  EXPECT_EQ(decoded.value()->hash(), original->hash());
  EXPECT_EQ(decoded.value()->serializeToDictionary(), original->serializeToDictionary());
}

TEST_P(MSModelArchiveTest, EveryTruncationOfTheArchiveFailsCleanly) {
  auto data = MSArchivedData(*GetParam().make());
  ASSERT_TRUE(data);
  for (std::size_t length = 0; length < data->size(); ++length) {
    vx::Bytes truncated(data->begin(), data->begin() + static_cast<long>(length));
    EXPECT_FALSE(MSUnarchiveObject<MSSerializableObject>(truncated)) << "length " << length;
  }
}

TEST_P(MSModelArchiveTest, FlippedBytesNeverCrash) {
  auto data = MSArchivedData(*GetParam().make());
  ASSERT_TRUE(data);
  std::mt19937 random(42);
  for (int round = 0; round < 100; ++round) {
    vx::Bytes damaged = *data;
    const std::size_t at = 1 + random() % (damaged.size() - 1);
    damaged[at] = static_cast<std::uint8_t>(random());
    // Either an error or some object; never a crash or a sanitizer report.
    auto decoded = MSUnarchiveObject<MSSerializableObject>(damaged);
    if (decoded) (void)decoded.value()->serializeToDictionary();
  }
}

INSTANTIATE_TEST_SUITE_P(AllModels, MSModelArchiveTest, testing::ValuesIn(modelCases()),
                         [](const auto& info) { return info.param.name; });

TEST(MSArchiveTest, LogsLoseTagAndTargetTokens) {
  auto log = withBase(std::make_shared<MSAbstractLog>());
  log->tag = std::make_shared<int>(1);
  log->addTransmissionTargetToken("token");
  auto data = MSArchivedData(*log);
  ASSERT_TRUE(data);
  auto decoded = MSUnarchiveObject<MSAbstractLog>(data.value());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded.value()->tag, nullptr);
  EXPECT_TRUE(decoded.value()->transmissionTargetTokens().empty());
  EXPECT_EQ(decoded.value()->timestamp, kTime);  // full precision kept
  EXPECT_EQ(decoded.value()->sid, "sid");
  EXPECT_TRUE(decoded.value()->device->isEqual(*log->device));
}

TEST(MSArchiveTest, HistoryEntriesRoundTripWithTheirKeys) {
  const auto when = kTime + 5s;
  const vx::ArchivableArray entries = {
      std::make_shared<MSHistoryInfo>(when),
      std::make_shared<MSSessionHistoryInfo>(when, "session"),
      std::make_shared<MSUserIdHistoryInfo>(when, "user"),
      std::make_shared<MSAuthTokenInfo>("token", "account", kTime, when),
      std::make_shared<MSDeviceHistoryInfo>(when, MSTestDevice()),
      std::make_shared<MSSessionHistoryInfo>(std::nullopt, std::nullopt),
  };
  auto data = MSArchivedData(entries);
  ASSERT_TRUE(data);
  auto decoded = MSUnarchiveObjects<vx::Archivable>(data.value());
  ASSERT_TRUE(decoded) << decoded.error();
  ASSERT_EQ(decoded->size(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ((*decoded)[i]->className(), entries[i]->className());
  }
  EXPECT_EQ(std::dynamic_pointer_cast<MSHistoryInfo>((*decoded)[0])->timestamp, when);
  EXPECT_EQ(std::dynamic_pointer_cast<MSSessionHistoryInfo>((*decoded)[1])->sessionId, "session");
  EXPECT_EQ(std::dynamic_pointer_cast<MSUserIdHistoryInfo>((*decoded)[2])->userId, "user");
  const auto token = std::dynamic_pointer_cast<MSAuthTokenInfo>((*decoded)[3]);
  EXPECT_EQ(token->authToken(), "token");
  EXPECT_EQ(token->accountId(), "account");
  EXPECT_EQ(token->startTime(), kTime);
  EXPECT_EQ(token->expiresOn(), when);
  const auto device = std::dynamic_pointer_cast<MSDeviceHistoryInfo>((*decoded)[4]);
  EXPECT_TRUE(device->device->isEqual(*MSTestDevice()));
  const auto empty = std::dynamic_pointer_cast<MSSessionHistoryInfo>((*decoded)[5]);
  EXPECT_EQ(empty->timestamp, std::nullopt);
  EXPECT_EQ(empty->sessionId, std::nullopt);
}

TEST(MSArchiveTest, WrongClassesAndGarbageAreErrors) {
  auto data = MSArchivedData(MSStartServiceLog());
  ASSERT_TRUE(data);
  EXPECT_FALSE(MSUnarchiveObject<MSCustomPropertiesLog>(data.value()));
  EXPECT_TRUE(MSUnarchiveObject<MSAbstractLog>(data.value()));  // a subclass is a log
  EXPECT_FALSE(MSUnarchiveObject<MSAbstractLog>(vx::Bytes{}));
  EXPECT_FALSE(MSUnarchiveObject<MSAbstractLog>(vx::Bytes{0x01, 0xff, 0x00, 0x13}));
  EXPECT_FALSE(MSUnarchiveObjects<MSSessionHistoryInfo>(data.value()));
}

// A class whose archive holds a "device" that is not a device, or properties that are not a
// dictionary of strings: decoding must fail, not take the wrong value.
class Impostor : public vx::Archivable {
 public:
  Impostor(std::string name, std::function<void(vx::KeyedArchiver&)> encode)
      : name_(std::move(name)), encode_(std::move(encode)) {}
  std::string className() const override { return name_; }
  void encodeWithCoder(vx::KeyedArchiver& coder) const override { encode_(coder); }

 private:
  std::string name_;
  std::function<void(vx::KeyedArchiver&)> encode_;
};

TEST(MSArchiveTest, FieldsOfTheWrongTypeFailTheWholeArchive) {
  const std::vector<Impostor> impostors = {
      Impostor("MSAbstractLog",
               [](vx::KeyedArchiver& c) {
                 MSStartServiceLog log;
                 c.encodeObject(&log, "device");
               }),
      Impostor("MSAbstractLog", [](vx::KeyedArchiver& c) { c.encodeInt64(5, "type"); }),
      Impostor("MSLogWithProperties",
               [](vx::KeyedArchiver& c) {
                 c.encodeValue(vx::ValueMap{{"a", vx::Value(1)}}, "properties");
               }),
      Impostor("MSStartServiceLog", [](vx::KeyedArchiver& c) { c.encodeString("x", "services"); }),
      Impostor("MSCustomPropertiesLog", [](vx::KeyedArchiver& c) { c.encodeString("x", "properties"); }),
      Impostor("MSCSData", [](vx::KeyedArchiver& c) { c.encodeValue(vx::ValueArray{}, "properties"); }),
      Impostor("MSCSExtensions",
               [](vx::KeyedArchiver& c) {
                 MSUserExtension user;
                 c.encodeObject(&user, "os");
               }),
      Impostor("MSProtocolExtension",
               [](vx::KeyedArchiver& c) { c.encodeValue(vx::ValueArray{vx::Value(1)}, "ticketKeys"); }),
  };
  for (const auto& impostor : impostors) {
    auto data = MSArchivedData(impostor);
    ASSERT_TRUE(data);
    auto decoded = MSUnarchiveObject<vx::Archivable>(data.value());
    ASSERT_FALSE(decoded) << impostor.className();
    EXPECT_EQ(decoded.error().code, vx::kArchiveErrorWrongType) << impostor.className();
  }
}

}  // namespace
