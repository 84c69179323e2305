#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzev/Model/MSCustomProperties.h"
#include "telemetry/ZerEvuzev/Model/MSTypedProperty.h"

#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <thread>
#include <unordered_set>

namespace {

using namespace std::chrono_literals;

const vx::Date kTime = vx::Date(std::chrono::seconds(1'700'000'000)) + 123ms;

std::shared_ptr<MSAbstractLog> makeLog() {
  auto log = std::make_shared<MSAbstractLog>();
  log->type = "event";
  log->timestamp = kTime;
  log->sid = "session-1";
  log->distributionGroupId = "group";
  log->userId = "user";
  log->device = MSTestDevice();
  return log;
}

std::vector<std::string> keysOf(const MSJson& json) {
  std::vector<std::string> keys;
  for (auto it = json.begin(); it != json.end(); ++it) keys.push_back(it.key());
  return keys;
}

TEST(MSAbstractLogTest, JsonHoldsTheSetKeysInOrder) {
  auto log = makeLog();
  const MSJson json = log->serializeToDictionary();
  EXPECT_EQ(keysOf(json),
            (std::vector<std::string>{"type", "timestamp", "sid", "distributionGroupId", "userId", "device"}));
  EXPECT_EQ(json["timestamp"], "2023-11-14T22:13:20.123Z");
  EXPECT_EQ(json["device"], log->device->serializeToDictionary());

  MSAbstractLog bare;
  bare.type = "t";
  EXPECT_EQ(bare.serializeToDictionary().dump(), R"({"type":"t"})");
}

TEST(MSAbstractLogTest, ValidityNeedsTypeTimestampAndAValidDevice) {
  auto log = makeLog();
  EXPECT_TRUE(log->isValid());
  log->timestamp.reset();
  EXPECT_FALSE(log->isValid());
  EXPECT_FALSE(log->serializeToDictionary().contains("timestamp"));
  log = makeLog();
  log->type.reset();
  EXPECT_FALSE(log->isValid());
  log = makeLog();
  log->device.reset();
  EXPECT_FALSE(log->isValid());
  for (auto clear : std::vector<std::function<void(MSDevice&)>>{
           [](MSDevice& d) { d.sdkName.reset(); }, [](MSDevice& d) { d.osVersion.reset(); },
           [](MSDevice& d) { d.locale.reset(); }, [](MSDevice& d) { d.timeZoneOffset.reset(); },
           [](MSDevice& d) { d.appBuild.reset(); }}) {
    log = makeLog();
    clear(*log->device);
    EXPECT_FALSE(log->isValid());
  }
  log = makeLog();
  log->device->model.reset();
  log->device->screenSize.reset();
  EXPECT_TRUE(log->isValid());
}

TEST(MSAbstractLogTest, EqualityIgnoresTokensButNotTheTagAndHashesAgree) {
  auto a = makeLog();
  auto b = makeLog();
  a->addTransmissionTargetToken("token-a");
  EXPECT_TRUE(a->isEqual(*b));
  EXPECT_EQ(a->hash(), b->hash());
  b->device = MSTestDevice();  // another object, equal fields
  EXPECT_TRUE(a->isEqual(*b));
  a->tag = std::make_shared<int>(1);
  EXPECT_FALSE(a->isEqual(*b));
  b->tag = a->tag;
  EXPECT_TRUE(a->isEqual(*b));
  b->sid = "other";
  EXPECT_FALSE(a->isEqual(*b));
  b->sid.reset();
  EXPECT_FALSE(a->isEqual(*b));

  std::unordered_set<std::shared_ptr<MSSerializableObject>, MSModelHash, MSModelEqual> set;
  set.insert(makeLog());
  set.insert(makeLog());
  EXPECT_EQ(set.size(), 1u);
}

TEST(MSAbstractLogTest, TargetTokensAreASetGuardedByTheLog) {
  auto log = makeLog();
  EXPECT_TRUE(log->transmissionTargetTokens().empty());
  log->addTransmissionTargetToken("t1");
  log->addTransmissionTargetToken("t1");
  EXPECT_EQ(log->transmissionTargetTokens(), (std::set<std::string>{"t1"}));
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&log, i] {
      for (int k = 0; k < 100; ++k) {
        log->addTransmissionTargetToken("t" + std::to_string(i * 100 + k));
        if (k % 10 == 0) {
          EXPECT_FALSE(log->transmissionTargetTokens().empty());
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(log->transmissionTargetTokens().size(), 400u);
}

TEST(MSAbstractLogTest, SlashesAreWrittenUnescaped) {
  auto log = makeLog();
  log->sid = "a/b\\/c";
  const auto text = log->serializeLogWithPrettyPrinting(false);
  ASSERT_TRUE(text);
  EXPECT_NE(text->find(R"("sid":"a/b\\/c")"), std::string::npos) << *text;
  EXPECT_EQ(MSJson::parse(*text)["sid"], "a/b\\/c");
  const auto pretty = log->serializeLogWithPrettyPrinting(true);
  ASSERT_TRUE(pretty);
  EXPECT_NE(pretty->find("\"sid\" : \"a/b\\\\/c\""), std::string::npos) << *pretty;
}

TEST(MSLogWithPropertiesTest, PropertiesAreWrittenOnlyWhenNotEmpty) {
  MSLogWithProperties log;
  log.type = "page";
  log.properties = std::map<std::string, std::string>{};
  EXPECT_FALSE(log.serializeToDictionary().contains("properties"));
  log.properties = std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}};
  const MSJson json = log.serializeToDictionary();
  EXPECT_EQ(json["properties"], MSJson::parse(R"({"a":"1","b":"2"})"));
  EXPECT_EQ(keysOf(json).back(), "properties");

  MSLogWithProperties other;
  other.type = "page";
  EXPECT_FALSE(log.isEqual(other));
  other.properties = log.properties;
  EXPECT_TRUE(log.isEqual(other));
  EXPECT_FALSE(other.isEqual(MSAbstractLog()));
}

TEST(MSStartServiceLogTest, WritesItsServices) {
  MSStartServiceLog log;
  EXPECT_EQ(log.type, "startService");
  EXPECT_NE(dynamic_cast<MSNoAutoAssignSessionIdLog*>(&log), nullptr);
  EXPECT_FALSE(log.serializeToDictionary().contains("services"));
  log.services = std::vector<std::string>{};
  EXPECT_EQ(log.serializeToDictionary()["services"], MSJson::array());
  log.services = std::vector<std::string>{"Analytics", "Crashes"};
  EXPECT_EQ(log.serializeToDictionary()["services"], MSJson::parse(R"(["Analytics","Crashes"])"));
}

TEST(MSLogContainerTest, SerialisesOneObjectPerLogUnderLogs) {
  MSLogContainer container("batch", {makeLog(), makeLog()});
  const auto text = container.serializeLog();
  ASSERT_TRUE(text);
  const MSJson json = MSJson::parse(*text);
  ASSERT_EQ(json.size(), 1u);
  ASSERT_EQ(json["logs"].size(), 2u);
  EXPECT_EQ(json["logs"][0]["sid"], "session-1");
  const auto pretty = container.serializeLogWithPrettyPrinting(true);
  ASSERT_TRUE(pretty);
  EXPECT_EQ(MSJson::parse(*pretty), json);
  EXPECT_NE(pretty->find("\"logs\" : ["), std::string::npos);
}

TEST(MSLogContainerTest, ValidityTable) {
  auto invalid = makeLog();
  invalid->type.reset();
  EXPECT_FALSE(MSLogContainer("b", {}).isValid());
  EXPECT_FALSE(MSLogContainer("b", {makeLog(), invalid}).isValid());
  EXPECT_TRUE(MSLogContainer("", {makeLog()}).isValid());
  EXPECT_TRUE(MSLogContainer(std::nullopt, {makeLog(), makeLog()}).isValid());
}

TEST(MSLogContainerTest, TextThatIsNotUtf8IsRepairedAndHoldsNoOtherLogBack) {
  MSLogRecorder log;
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  auto bad = makeLog();
  bad->sid = std::string("\xff\xfe");
  bad->userId = std::string("caf\xe9.svg");
  auto good = makeLog();
  const auto text = MSLogContainer("b", {good, bad}).serializeLog();
  ASSERT_TRUE(text);
  const auto json = MSJson::parse(*text);
  ASSERT_EQ(json["logs"].size(), 2u);
  EXPECT_EQ(json["logs"][0], good->serializeToDictionary());
  EXPECT_EQ(json["logs"][1]["sid"], r + r);
  EXPECT_EQ(json["logs"][1]["userId"], "caf" + r + ".svg");
  const auto single = bad->serializeLogWithPrettyPrinting(false);
  ASSERT_TRUE(single);
  EXPECT_EQ(MSJson::parse(*single)["sid"], r + r);
  EXPECT_EQ(log.count("Couldn't serialize"), 0u);
  EXPECT_NO_THROW((void)bad->hash());
}

TEST(MSTypedPropertyTest, EachKindWritesTypeNameAndValue) {
  MSStringTypedProperty s;
  s.name = "s";
  s.value = "text";
  MSLongTypedProperty l;
  l.name = "l";
  l.value = -9'000'000'000'000;
  MSDoubleTypedProperty d;
  d.name = "d";
  d.value = 1.5;
  MSDateTimeTypedProperty t;
  t.name = "t";
  t.value = kTime;
  MSBooleanTypedProperty b;
  b.name = "b";
  b.value = true;
  EXPECT_EQ(s.serializeToDictionary().dump(), R"({"type":"string","name":"s","value":"text"})");
  EXPECT_EQ(l.serializeToDictionary().dump(), R"({"type":"long","name":"l","value":-9000000000000})");
  EXPECT_EQ(d.serializeToDictionary().dump(), R"({"type":"double","name":"d","value":1.5})");
  EXPECT_EQ(t.serializeToDictionary().dump(), R"({"type":"dateTime","name":"t","value":"2023-11-14T22:13:20.123Z"})");
  EXPECT_EQ(b.serializeToDictionary().dump(), R"({"type":"boolean","name":"b","value":true})");
  MSStringTypedProperty empty;
  EXPECT_EQ(empty.serializeToDictionary().dump(), R"({"type":"string"})");
}

TEST(MSTypedPropertyTest, EqualityComparesKindAndValueButNotTheName) {
  MSLongTypedProperty a, b;
  a.name = "one";
  b.name = "two";
  a.value = b.value = 7;
  EXPECT_TRUE(a.isEqual(b));
  EXPECT_EQ(a.hash(), b.hash());
  b.value = 8;
  EXPECT_FALSE(a.isEqual(b));
  MSDoubleTypedProperty d;
  d.value = 7;
  EXPECT_FALSE(a.isEqual(d));
  MSTypedProperty base;
  base.type = "long";
  EXPECT_FALSE(base.isEqual(a));
  EXPECT_FALSE(a.isEqual(base));
}

TEST(MSCustomPropertiesTest, KeysAreValidatedInOrder) {
  MSLogRecorder log;
  MSCustomProperties properties;
  properties.setString("v", "1abc").setString("v", "a_b").setString("v", "").setString("v", std::string(129, 'k'));
  EXPECT_TRUE(properties.propertiesImmutableCopy().empty());
  EXPECT_EQ(log.count("must match \"^[a-zA-Z][a-zA-Z0-9]*$\""), 3u);
  EXPECT_EQ(log.count("length cannot be longer than \"128\" characters."), 1u);
  properties.setString("v", std::string(128, 'k'));
  EXPECT_EQ(properties.propertiesImmutableCopy().size(), 1u);
}

TEST(MSCustomPropertiesTest, LongKeyIsRejectedWithItsOwnMessage) {
  MSLogRecorder log;
  MSCustomProperties properties;
  properties.setString("v", std::string(129, 'k'));
  EXPECT_TRUE(properties.propertiesImmutableCopy().empty());
  EXPECT_EQ(log.count("length cannot be longer than \"128\" characters."), 1u);
}

TEST(MSCustomPropertiesTest, SixtyKeysAtMostButExistingKeysCanBeReplaced) {
  MSLogRecorder log;
  MSCustomProperties properties;
  for (int i = 0; i < 60; ++i) properties.setNumber(std::int64_t{i}, "key" + std::to_string(i));
  EXPECT_EQ(properties.propertiesImmutableCopy().size(), 60u);
  properties.setNumber(std::int64_t{61}, "key60");
  EXPECT_EQ(properties.propertiesImmutableCopy().size(), 60u);
  EXPECT_EQ(log.count("Custom properties cannot contain more than \"60\" items."), 1u);
  properties.setString("replaced", "key5");
  EXPECT_EQ(*properties.propertiesImmutableCopy().find("key5"), vx::Value("replaced"));
  EXPECT_EQ(log.count("Custom property \"key5\" is already set or cleared and will be overridden."), 1u);
}

TEST(MSCustomPropertiesTest, ValuesAreValidated) {
  MSLogRecorder log;
  MSCustomProperties properties;
  properties.setNumber(std::numeric_limits<double>::infinity(), "inf")
      .setNumber(std::nan(""), "nan")
      .setObject(vx::Value(), "null")
      .setString(std::string(129, 'v'), "long")
      .setString(std::string(128, 'v'), "ok")
      .setDate(kTime, "when");
  const auto copy = properties.propertiesImmutableCopy();
  EXPECT_EQ(copy.keys(), (std::vector<std::string>{"ok", "when"}));
  EXPECT_EQ(log.count("Custom property value cannot be NaN or infinite."), 2u);
  EXPECT_EQ(log.count("Custom property value cannot be null, did you mean to call clear?"), 1u);
  EXPECT_EQ(log.count("Custom property value length cannot be longer than \"128\" characters."), 1u);
}

TEST(MSCustomPropertiesLogTest, EachValueKindHasItsJsonForm) {
  MSCustomProperties properties;
  properties.setString("text", "s")
      .setNumber(std::int64_t{42}, "n")
      .setNumber(2.5, "d")
      .setBool(true, "b")
      .setDate(kTime, "t")
      .clearPropertyForKey("gone");
  MSCustomPropertiesLog log;
  EXPECT_EQ(log.type, "customProperties");
  log.properties = properties.propertiesImmutableCopy();
  const MSJson json = log.serializeToDictionary();
  EXPECT_EQ(json["properties"], MSJson::parse(R"([
    {"name":"s","type":"string","value":"text"},
    {"name":"n","type":"number","value":42},
    {"name":"d","type":"number","value":2.5},
    {"name":"b","type":"boolean","value":true},
    {"name":"t","type":"dateTime","value":"2023-11-14T22:13:20.123Z"},
    {"name":"gone","type":"clear"}])"));
  EXPECT_TRUE(MSCustomPropertiesLog::serializeProperty(vx::Value(vx::Bytes{1})).is_null());
}

TEST(MSCustomPropertiesLogTest, ValidOnlyWithProperties) {
  MSCustomPropertiesLog log;
  log.timestamp = kTime;
  log.device = MSTestDevice();
  EXPECT_FALSE(log.isValid());
  log.properties = vx::ValueMap{};
  EXPECT_FALSE(log.isValid());
  EXPECT_EQ(log.serializeToDictionary()["properties"], MSJson::array());
  log.properties = vx::ValueMap{{"k", vx::Value("v")}};
  EXPECT_TRUE(log.isValid());
}

}  // namespace
