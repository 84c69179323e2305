// The analytics logs and the typed event-property container: refusals of the setters, JSON,
// validity, equality, archiving, the common-schema conversion with its property and metadata
// trees, and the container's lock under merges and comparisons from several threads.
#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSEventLog.h"
#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSEventProperties.h"
#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSPageLog.h"
#include "telemetry/ZerEvuzevAnalytics/Internals/Model/MSStartSessionLog.h"
#include "telemetry/ZerEvuzevAnalytics/MSAnalytics.h"

#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

namespace {

std::shared_ptr<MSEventLog> completeEvent() {
  auto log = std::make_shared<MSEventLog>();
  log->timestamp = vx::Date(std::chrono::milliseconds(1700000000123));
  log->device = MSTestDevice();
  log->sid = "session-1";
  log->name = "iconCopied";
  log->eventId = "11111111-2222-3333-4444-555555555555";
  return log;
}

TEST(MSEventPropertiesTest, SettersStoreEachKindAndRefuseMissingOrNonFiniteValues) {
  MSLogRecorder recorder(MSLogLevel::Error);
  MSEventProperties properties;
  properties.setString(std::string("x"), std::string("s"))
      .setInt64(42, std::string("n"))
      .setDouble(2.5, std::string("d"))
      .setBool(true, std::string("b"))
      .setDate(vx::Date(std::chrono::seconds(0)), std::string("t"));
  EXPECT_EQ(properties.count(), 5u);
  EXPECT_EQ(properties.serializeToArray(), MSJson::parse(R"([
    {"type":"string","name":"s","value":"x"}, {"type":"long","name":"n","value":42},
    {"type":"double","name":"d","value":2.5}, {"type":"boolean","name":"b","value":true},
    {"type":"dateTime","name":"t","value":"1970-01-01T00:00:00.000Z"}])"));

  properties.setString(std::nullopt, std::string("s2"));
  properties.setDate(std::nullopt, std::string("t2"));
  properties.setString(std::string("v"), std::nullopt);
  properties.setDouble(std::numeric_limits<double>::infinity(), std::string("inf"));
  properties.setDouble(-std::numeric_limits<double>::infinity(), std::string("ninf"));
  properties.setDouble(std::nan(""), std::string("nan"));
  EXPECT_EQ(properties.count(), 5u) << "refused calls change nothing";
  EXPECT_EQ(recorder.count("Value cannot be null. Property will not be added."), 2u);
  EXPECT_EQ(recorder.count("Key cannot be null. Property will not be added."), 1u);
  EXPECT_EQ(recorder.count("Double value for property 'inf' must be finite (cannot be INFINITY or NAN)."), 1u);
  EXPECT_EQ(recorder.count("Double value for property 'nan' must be finite (cannot be INFINITY or NAN)."), 1u);

  properties.setInt64(7, std::string("s"));
  EXPECT_EQ(properties.count(), 5u) << "a key is replaced in place";
  EXPECT_EQ(properties.propertyForKey("s")->type, "long");
}

TEST(MSEventPropertiesTest, MergeLetsTheOtherWinAndEqualityIgnoresOrder) {
  MSEventProperties a, b, c;
  a.setInt64(1, std::string("A")).setInt64(1, std::string("B"));
  b.setInt64(2, std::string("A"));
  a.mergeEventProperties(b);
  EXPECT_EQ(std::dynamic_pointer_cast<MSLongTypedProperty>(a.propertyForKey("A"))->value, 2);
  EXPECT_EQ(std::dynamic_pointer_cast<MSLongTypedProperty>(a.propertyForKey("B"))->value, 1);
  c.setInt64(1, std::string("B")).setInt64(2, std::string("A"));
  EXPECT_TRUE(a.isEqual(c));
  c.setInt64(3, std::string("B"));
  EXPECT_FALSE(a.isEqual(c));
  EXPECT_TRUE(MSEventProperties().isEmpty());
}

// Merging and comparing in both directions from several threads while others write: every
// member takes the lock, so sanitizers see no race and no call deadlocks.
TEST(MSEventPropertiesTest, MergeEmptinessAndEqualityAreSafeAcrossThreads) {
  MSEventProperties a, b;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        const std::string key = "k" + std::to_string((i + t) % 25);
        if (t % 2 == 0) {
          a.setInt64(i, key);
          a.mergeEventProperties(b);
          (void)a.isEqual(b);
        } else {
          b.setString(std::to_string(i), key);
          b.mergeEventProperties(a);
          (void)b.isEmpty();
          (void)b.isEqual(a);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(a.count(), 25u);
  EXPECT_EQ(b.count(), 25u);
}

TEST(MSAnalyticsLogsTest, JsonValidityAndEquality) {
  auto event = completeEvent();
  auto typed = std::make_shared<MSEventProperties>();
  typed->setString(std::string("svg"), std::string("format"));
  event->typedProperties = typed;
  const MSJson json = event->serializeToDictionary();
  std::vector<std::string> keys;
  for (const auto& item : json.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"type", "timestamp", "sid", "device", "name", "id", "typedProperties"}));
  EXPECT_EQ(json["type"], "event");
  EXPECT_EQ(json["typedProperties"], MSJson::parse(R"([{"type":"string","name":"format","value":"svg"}])"));
  EXPECT_TRUE(event->isValid());

  auto other = completeEvent();
  other->typedProperties = std::make_shared<MSEventProperties>();
  EXPECT_TRUE(event->isEqual(*other)) << "typed properties take no part";
  other->eventId = "another";
  EXPECT_FALSE(event->isEqual(*other));

  auto noId = completeEvent();
  noId->eventId.reset();
  EXPECT_FALSE(noId->isValid());
  auto noName = completeEvent();
  noName->name.reset();
  EXPECT_FALSE(noName->isValid());

  auto page = std::make_shared<MSPageLog>();
  page->timestamp = event->timestamp;
  page->device = MSTestDevice();
  EXPECT_FALSE(page->isValid());
  page->name = "Search";
  EXPECT_TRUE(page->isValid());
  EXPECT_EQ(page->serializeToDictionary()["type"], "page");
  EXPECT_FALSE(page->isEqual(*event));

  MSStartSessionLog session;
  session.timestamp = event->timestamp;
  session.device = MSTestDevice();
  EXPECT_TRUE(session.isValid());
  EXPECT_EQ(session.serializeToDictionary()["type"], "startSession");
  EXPECT_NE(dynamic_cast<MSNoAutoAssignSessionIdLog*>(&session), nullptr);
}

TEST(MSAnalyticsLogsTest, EveryLogArchivesWholeAndComesBackWithItsClass) {
  MSAnalytics::registerArchivableClasses();
  auto event = completeEvent();
  auto typed = std::make_shared<MSEventProperties>();
  typed->setInt64(5, std::string("count")).setDate(vx::Date(std::chrono::seconds(10)), std::string("when"));
  event->typedProperties = typed;
  event->properties = MSStringDictionary{{"a", "b"}};
  auto data = MSArchivedData(*event);
  ASSERT_TRUE(data.ok());
  auto back = MSUnarchiveObject<MSEventLog>(data.value());
  ASSERT_TRUE(back.ok()) << back.error().description;
  EXPECT_TRUE(back.value()->isEqual(*event));
  ASSERT_TRUE(back.value()->typedProperties);
  EXPECT_TRUE(back.value()->typedProperties->isEqual(*typed));
  EXPECT_EQ(back.value()->serializeToDictionary(), event->serializeToDictionary());

  auto page = std::make_shared<MSPageLog>();
  page->name = "Search";
  page->timestamp = event->timestamp;
  auto pageBack = MSUnarchiveObject<MSAbstractLog>(MSArchivedData(*page).value());
  ASSERT_TRUE(pageBack.ok());
  EXPECT_NE(std::dynamic_pointer_cast<MSPageLog>(pageBack.value()), nullptr);

  MSStartSessionLog session;
  session.sid = "s";
  auto sessionBack = MSUnarchiveObject<MSAbstractLog>(MSArchivedData(session).value());
  ASSERT_TRUE(sessionBack.ok());
  EXPECT_NE(std::dynamic_pointer_cast<MSStartSessionLog>(sessionBack.value()), nullptr);
  EXPECT_EQ(sessionBack.value()->sid, "s");
}

std::shared_ptr<MSCommonSchemaLog> convert(const std::shared_ptr<MSEventLog>& event) {
  return event->toCommonSchemaLogForTargetToken("aaaa1111bbbb2222-token", 1);
}

TEST(MSAnalyticsLogsTest, ConversionBuildsThePropertyAndMetadataTrees) {
  auto event = completeEvent();
  auto tag = std::make_shared<int>(1);
  event->tag = tag;
  auto typed = std::make_shared<MSEventProperties>();
  typed->setInt64(1, std::string("a.b"))
      .setString(std::string("x"), std::string("a.c"))
      .setDouble(2.5, std::string("d"));
  typed->setBool(false, std::string("flag")).setDate(vx::Date(std::chrono::seconds(0)), std::string("when"));
  event->typedProperties = typed;
  auto cs = convert(event);
  ASSERT_TRUE(cs);
  EXPECT_EQ(cs->name, "iconCopied");
  EXPECT_EQ(cs->tag, event->tag);
  ASSERT_TRUE(cs->data);
  EXPECT_EQ(cs->data->serializeToDictionary(),
            MSJson::parse(R"({"a":{"b":1,"c":"x"},"d":2.5,"flag":false,"when":"1970-01-01T00:00:00.000Z"})"));
  ASSERT_TRUE(cs->ext && cs->ext->metadataExt);
  EXPECT_EQ(*cs->ext->metadataExt->metadata, MSJson::parse(R"({"f":{"a":{"f":{"b":4}},"d":6,"when":9}})"));

  auto none = completeEvent();
  auto plain = convert(none);
  EXPECT_FALSE(plain->data) << "no typed properties, no data";
  EXPECT_FALSE(plain->ext->metadataExt);
}

TEST(MSAnalyticsLogsTest, ReservedKeysAndClashesFollowTheirRules) {
  struct Case {
    const char* what;
    std::function<void(MSEventProperties&)> fill;
    const char* data;  // "" when no data is expected
    std::vector<std::string> warnings;
  };
  const std::vector<Case> cases = {
      {"baseType with baseData",
       [](MSEventProperties& p) {
         p.setString(std::string("T"), std::string("baseType")).setInt64(1, std::string("baseData.x"));
       },
       R"({"baseType":"T","baseData":{"x":1}})",
       {}},
      {"baseType alone",
       [](MSEventProperties& p) {
         p.setString(std::string("T"), std::string("baseType")).setInt64(1, std::string("y"));
       },
       R"({"y":1})",
       {"baseType was set but baseData is missing."}},
      {"baseData without a string baseType",
       [](MSEventProperties& p) {
         p.setInt64(3, std::string("baseType"))
             .setInt64(1, std::string("baseData.x"))
             .setInt64(2, std::string("baseData.z"));
         p.setInt64(4, std::string("k"));
       },
       R"({"k":4})",
       {"baseData was set but baseType is missing or invalid."}},
      {"objects under baseType and a bare baseData",
       [](MSEventProperties& p) {
         p.setString(std::string("T"), std::string("baseType")).setInt64(1, std::string("baseData.x"));
         p.setInt64(1, std::string("baseType.sub")).setInt64(2, std::string("baseData"));
       },
       R"({"baseType":"T","baseData":{"x":1}})",
       {"baseType must not be an object.", "baseData must be an object."}},
      {"a value and an object under one key",
       [](MSEventProperties& p) { p.setString(std::string("v"), std::string("a")).setInt64(1, std::string("a.b")); },
       R"({"a":"v"})",
       {"Property key 'b' already has a value, choosing one."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MSLogRecorder recorder(MSLogLevel::Warning);
    auto event = completeEvent();
    event->typedProperties = std::make_shared<MSEventProperties>();
    c.fill(*event->typedProperties);
    auto cs = convert(event);
    if (*c.data) {
      ASSERT_TRUE(cs->data);
      EXPECT_EQ(cs->data->serializeToDictionary().dump(), MSJson::parse(c.data).dump()) << "baseType, baseData first";
    } else {
      EXPECT_FALSE(cs->data);
    }
    for (const auto& warning : c.warnings) EXPECT_EQ(recorder.count(warning), 1u) << warning;
    // The removals were made in the event itself: a second conversion warns no more about them.
    const auto before = recorder.lines().size();
    convert(event);
    std::size_t reservedWarnings = 0;
    const auto lines = recorder.lines();
    for (std::size_t i = before; i < lines.size(); ++i) {
      reservedWarnings += lines[i].message.find("is missing") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(reservedWarnings, 0u);
  }
}

// A refused property leaves no metadata branch of its own.
TEST(MSAnalyticsLogsTest, ARefusedPropertyLeavesNoMetadata) {
  auto event = completeEvent();
  event->typedProperties = std::make_shared<MSEventProperties>();
  event->typedProperties->setString(std::string("v"), std::string("a")).setInt64(1, std::string("a.b.c"));
  auto cs = convert(event);
  ASSERT_TRUE(cs->data);
  EXPECT_EQ(cs->data->serializeToDictionary(), MSJson::parse(R"({"a":"v"})"));
  EXPECT_FALSE(cs->ext->metadataExt) << "the refused long made the only metadata and it is gone";

  auto decoded = std::make_shared<MSEventLog>();
  decoded->metadataTypeIdMapping.reset();
  decoded->name = "e";
  decoded->typedProperties = std::make_shared<MSEventProperties>();
  decoded->typedProperties->setInt64(1, std::string("n"));
  auto noMapping = convert(decoded);
  EXPECT_EQ(noMapping->data->serializeToDictionary(), MSJson::parse(R"({"n":1})"));
  EXPECT_FALSE(noMapping->ext->metadataExt) << "without the type-id table there is no metadata";
}

}  // namespace
