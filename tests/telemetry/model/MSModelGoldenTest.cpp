// The exact JSON text, archive bytes and validity of every log model class, once with every field
// set and once with none, pinned against MSModelGolden.txt. Logs already stored on disk and the
// ingestion services depend on these bytes, so a change to how the models list their fields must
// leave them as they are.
//
// To record the file again after an intended format change: VX_WRITE_MODEL_GOLDEN=1 <this test>.
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzev/Model/MSCustomProperties.h"
#include "telemetry/ZerEvuzev/Model/MSTypedProperty.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace {

using namespace std::chrono_literals;

const vx::Date kTime = vx::Date(std::chrono::seconds(1'700'000'000)) + 123456789ns;
const vx::Date kOtherTime = vx::Date(std::chrono::seconds(1'600'000'000)) + 5ms;

std::filesystem::path goldenPath() { return VX_MODEL_GOLDEN_FILE; }

// The valid test device with the optional fields set as well.
std::shared_ptr<MSDevice> fullDevice() {
  auto device = MSTestDevice();
  device->wrapperSdkVersion = "4.5.6";
  device->wrapperSdkName = "wrapper.sdk";
  device->wrapperRuntimeVersion = "rt-7";
  device->liveUpdateReleaseLabel = "v9";
  device->liveUpdateDeploymentKey = "deploy-key";
  device->liveUpdatePackageHash = "cafe01";
  device->osApiLevel = 33;
  device->carrierName = "carrier";
  device->carrierCountry = "AT";
  return device;
}

template <class T>
std::shared_ptr<T> withBase(std::shared_ptr<T> log) {
  log->type = log->type.value_or("someType");
  log->timestamp = kTime;
  log->sid = "sid-1";
  log->distributionGroupId = "dg";
  log->userId = "c:user";
  log->device = fullDevice();
  return log;
}

template <class T>
std::shared_ptr<T> typed(std::function<void(T&)> fill) {
  auto property = std::make_shared<T>();
  property->name = "prop";
  fill(*property);
  return property;
}

std::shared_ptr<MSMetadataExtension> metadataExt() {
  auto ext = std::make_shared<MSMetadataExtension>();
  ext->metadata = MSJson::parse(R"({"f":{"z":4,"a":{"c":6}},"b":1})");
  return ext;
}
std::shared_ptr<MSProtocolExtension> protocolExt() {
  auto ext = std::make_shared<MSProtocolExtension>();
  ext->ticketKeys = std::vector<std::string>{"k2", "k1"};
  ext->devMake = "QEMU";
  ext->devModel = "PC";
  return ext;
}
std::shared_ptr<MSUserExtension> userExt() {
  auto ext = std::make_shared<MSUserExtension>();
  ext->localId = "c:alice";
  ext->locale = "en-US";
  return ext;
}
std::shared_ptr<MSDeviceExtension> deviceExt() {
  auto ext = std::make_shared<MSDeviceExtension>();
  ext->localId = "device-1";
  return ext;
}
std::shared_ptr<MSOSExtension> osExt() {
  auto ext = std::make_shared<MSOSExtension>();
  ext->name = "Debian GNU/Linux";
  ext->ver = "Version 12 (Build 6.1.0)";
  return ext;
}
std::shared_ptr<MSAppExtension> appExt() {
  auto ext = std::make_shared<MSAppExtension>();
  ext->appId = "I:com.example";
  ext->ver = "1.0";
  ext->name = "name";
  ext->locale = "en";
  ext->userId = "u";
  return ext;
}
std::shared_ptr<MSNetExtension> netExt() {
  auto ext = std::make_shared<MSNetExtension>();
  ext->provider = "carrier";
  return ext;
}
std::shared_ptr<MSSDKExtension> sdkExt() {
  auto ext = std::make_shared<MSSDKExtension>();
  ext->libVer = "zerevuzev.macos-2.1.0";
  ext->epoch = "epoch";
  ext->seq = 3;
  ext->installId = vx::UUID::parse("6F9619FF-8B86-D011-B42D-00C04FC964FF");
  return ext;
}
std::shared_ptr<MSLocExtension> locExt() {
  auto ext = std::make_shared<MSLocExtension>();
  ext->tz = "-05:00";
  return ext;
}
std::shared_ptr<MSCSExtensions> fullExtensions() {
  auto ext = std::make_shared<MSCSExtensions>();
  ext->metadataExt = metadataExt();
  ext->protocolExt = protocolExt();
  ext->userExt = userExt();
  ext->deviceExt = deviceExt();
  ext->osExt = osExt();
  ext->appExt = appExt();
  ext->netExt = netExt();
  ext->sdkExt = sdkExt();
  ext->locExt = locExt();
  return ext;
}
std::shared_ptr<MSCSData> fullData() {
  auto data = std::make_shared<MSCSData>();
  data->properties = MSJson::parse(R"({"z":[1,2],"baseData":{"x":true},"a":"b","baseType":"T"})");
  return data;
}

struct GoldenCase {
  std::string name;
  std::function<std::shared_ptr<MSSerializableObject>()> full;
  std::function<std::shared_ptr<MSSerializableObject>()> empty;
};

template <class T>
std::function<std::shared_ptr<MSSerializableObject>()> none() {
  return [] { return std::make_shared<T>(); };
}

std::vector<GoldenCase> goldenCases() {
  return {
      {"MSWrapperSdk", [] { return std::make_shared<MSWrapperSdk>("1", "name", "rt", "label", "key", "hash"); },
       none<MSWrapperSdk>()},
      {"MSDevice", [] { return fullDevice(); }, none<MSDevice>()},
      {"MSAbstractLog", [] { return withBase(std::make_shared<MSAbstractLog>()); }, none<MSAbstractLog>()},
      {"MSLogWithProperties",
       [] {
         auto log = withBase(std::make_shared<MSLogWithProperties>());
         log->properties = std::map<std::string, std::string>{{"b", "2/3"}, {"a", "1"}};
         return log;
       },
       none<MSLogWithProperties>()},
      {"MSStartServiceLog",
       [] {
         auto log = withBase(std::make_shared<MSStartServiceLog>());
         log->services = std::vector<std::string>{"Analytics", "Crashes"};
         return log;
       },
       none<MSStartServiceLog>()},
      {"MSCustomPropertiesLog",
       [] {
         auto log = withBase(std::make_shared<MSCustomPropertiesLog>());
         log->properties = vx::ValueMap{{"s", vx::Value("t")},
                                        {"n", vx::Value(1)},
                                        {"d", vx::Value(2.5)},
                                        {"b", vx::Value(true)},
                                        {"t", vx::Value(kTime)},
                                        {"clear", vx::Value()},
                                        {"list", vx::Value(vx::ValueArray{vx::Value(1)})}};
         return log;
       },
       none<MSCustomPropertiesLog>()},
      {"MSTypedProperty",
       [] {
         auto p = std::make_shared<MSTypedProperty>();
         p->type = "custom";
         p->name = "prop";
         return p;
       },
       none<MSTypedProperty>()},
      {"MSStringTypedProperty", [] { return typed<MSStringTypedProperty>([](auto& p) { p.value = "v"; }); },
       none<MSStringTypedProperty>()},
      {"MSLongTypedProperty", [] { return typed<MSLongTypedProperty>([](auto& p) { p.value = INT64_MIN; }); },
       none<MSLongTypedProperty>()},
      {"MSDoubleTypedProperty", [] { return typed<MSDoubleTypedProperty>([](auto& p) { p.value = -0.125; }); },
       none<MSDoubleTypedProperty>()},
      {"MSDateTimeTypedProperty", [] { return typed<MSDateTimeTypedProperty>([](auto& p) { p.value = kOtherTime; }); },
       none<MSDateTimeTypedProperty>()},
      {"MSBooleanTypedProperty", [] { return typed<MSBooleanTypedProperty>([](auto& p) { p.value = true; }); },
       none<MSBooleanTypedProperty>()},
      {"MSCommonSchemaLog",
       [] {
         auto log = withBase(std::make_shared<MSCommonSchemaLog>());
         log->ver = "3.0";
         log->name = "event";
         log->popSample = 50.5;
         log->iKey = "o:abc";
         log->flags = 2;
         log->cV = "cv";
         log->ext = fullExtensions();
         log->data = fullData();
         return log;
       },
       none<MSCommonSchemaLog>()},
      {"MSCSExtensions", [] { return fullExtensions(); }, none<MSCSExtensions>()},
      {"MSMetadataExtension", [] { return metadataExt(); }, none<MSMetadataExtension>()},
      {"MSProtocolExtension", [] { return protocolExt(); }, none<MSProtocolExtension>()},
      {"MSUserExtension", [] { return userExt(); }, none<MSUserExtension>()},
      {"MSDeviceExtension", [] { return deviceExt(); }, none<MSDeviceExtension>()},
      {"MSOSExtension", [] { return osExt(); }, none<MSOSExtension>()},
      {"MSAppExtension", [] { return appExt(); }, none<MSAppExtension>()},
      {"MSNetExtension", [] { return netExt(); }, none<MSNetExtension>()},
      {"MSSDKExtension", [] { return sdkExt(); }, none<MSSDKExtension>()},
      {"MSLocExtension", [] { return locExt(); }, none<MSLocExtension>()},
      {"MSCSData", [] { return fullData(); }, none<MSCSData>()},
  };
}

std::string hex(const vx::Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0xF]);
  }
  return text;
}

// "<valid>\t<json>\t<archive hex>" for one object; validity only for classes that have a rule.
std::string record(const MSSerializableObject& object) {
  std::string valid = "-";
  if (const auto* model = dynamic_cast<const MSModel*>(&object)) valid = model->isValid() ? "valid" : "invalid";
  auto json = MSJsonWriter::write(object.serializeToDictionary(), false);
  auto archive = MSArchivedData(object);
  return valid + "\t" + (json ? *json : "<json error>") + "\t" + (archive ? hex(*archive) : "<archive error>");
}

// Every case and variant with its record, keyed "<class> <variant>".
std::map<std::string, std::string> currentRecords() {
  std::map<std::string, std::string> records;
  for (const auto& c : goldenCases()) {
    records[c.name + " full"] = record(*c.full());
    records[c.name + " empty"] = record(*c.empty());
  }
  return records;
}

std::map<std::string, std::string> storedRecords() {
  std::map<std::string, std::string> records;
  std::ifstream in(goldenPath());
  std::string line;
  while (std::getline(in, line)) {
    const auto tab = line.find('\t');
    if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
    records[line.substr(0, tab)] = line.substr(tab + 1);
  }
  return records;
}

TEST(MSModelGoldenTest, JsonArchiveAndValidityMatchTheRecordedBytes) {
  const auto current = currentRecords();
  if (const char* write = std::getenv("VX_WRITE_MODEL_GOLDEN"); write != nullptr && *write == '1') {
    std::ofstream out(goldenPath(), std::ios::trunc);
    out << "# <class> <variant>\t<validity>\t<JSON text>\t<archive bytes in hex>\n";
    for (const auto& [key, value] : current) out << key << '\t' << value << '\n';
    ASSERT_TRUE(out.good());
    GTEST_SKIP() << "recorded " << current.size() << " entries in " << goldenPath();
  }
  const auto stored = storedRecords();
  ASSERT_EQ(stored.size(), current.size()) << "missing or extra entries in " << goldenPath();
  for (const auto& [key, value] : current) {
    const auto it = stored.find(key);
    ASSERT_NE(it, stored.end()) << key;
    EXPECT_EQ(value, it->second) << key;
  }
}

TEST(MSModelGoldenTest, RecordedArchivesReadBackEqualAndArchiveToTheSameBytes) {
  for (const auto& c : goldenCases()) {
    for (const auto& make : {c.full, c.empty}) {
      const auto original = make();
      auto data = MSArchivedData(*original);
      ASSERT_TRUE(data) << c.name;
      auto decoded = MSUnarchiveObject<MSSerializableObject>(*data);
      ASSERT_TRUE(decoded) << c.name << ": " << decoded.error();
      EXPECT_EQ(decoded.value()->className(), c.name);
      EXPECT_TRUE(decoded.value()->isEqual(*original)) << c.name;
      EXPECT_TRUE(original->isEqual(*decoded.value())) << c.name;
      EXPECT_EQ(decoded.value()->hash(), original->hash()) << c.name;
      EXPECT_EQ(record(*decoded.value()), record(*original)) << c.name;
    }
  }
}

// A full object never equals an empty one; empty objects equal each other and hash alike.
TEST(MSModelGoldenTest, EmptyAndFullObjectsDiffer) {
  for (const auto& c : goldenCases()) {
    const auto full = c.full();
    const auto empty = c.empty();
    EXPECT_FALSE(full->isEqual(*empty)) << c.name;
    EXPECT_TRUE(empty->isEqual(*c.empty())) << c.name;
    EXPECT_EQ(empty->hash(), c.empty()->hash()) << c.name;
  }
}

}  // namespace
