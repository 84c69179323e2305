#include "platform/foundation/Value.h"

#include "platform/foundation/JSONLimits.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace vx {
namespace {

using namespace std::chrono;

TEST(ValueTest, KeepsEveryKindApart) {
  const auto date = system_clock::now();
  const auto uuid = UUID::make();
  struct Case {
    Value value;
    Value::Type type;
  };
  const Case cases[] = {
      {Value(), Value::Type::Null},
      {Value(nullptr), Value::Type::Null},
      {Value(true), Value::Type::Bool},
      {Value(1), Value::Type::Integer},
      {Value(std::int64_t{1} << 40), Value::Type::Integer},
      {Value(std::uint64_t{7}), Value::Type::Integer},
      {Value(1.0), Value::Type::Double},
      {Value("text"), Value::Type::String},
      {Value(std::string("text")), Value::Type::String},
      {Value(date), Value::Type::Date},
      {Value(Bytes{1, 2}), Value::Type::Data},
      {Value(uuid), Value::Type::UUID},
      {Value(ValueArray{1, "a"}), Value::Type::Array},
      {Value(ValueMap{{"a", 1}}), Value::Type::Map},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.type(), c.type) << c.value;

  EXPECT_NE(Value(true), Value(1));
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_FALSE(Value(true).integerValue().has_value());
  EXPECT_FALSE(Value(1).boolValue().has_value());
  EXPECT_FALSE(Value(1.5).integerValue().has_value());
  EXPECT_EQ(Value(3).doubleValue(), 3.0);
  EXPECT_EQ(Value(date).dateValue(), date);  // full precision
  EXPECT_EQ(Value(uuid).uuidValue(), uuid);
  EXPECT_EQ(Value("x").dataValue(), nullptr);
  // An unsigned value beyond the signed range is not wrapped into a negative number.
  const Value huge(std::numeric_limits<std::uint64_t>::max());
  EXPECT_TRUE(huge.isDouble());
  EXPECT_GT(*huge.doubleValue(), 1e19);
}

TEST(ValueTest, MapsKeepInsertionOrderAndCompareByContent) {
  ValueMap map;
  map.set("zeta", 1);
  map.set("alpha", 2);
  map.set("mid", 3);
  map.set("zeta", 10);  // keeps its place
  EXPECT_EQ(map.keys(), (std::vector<std::string>{"zeta", "alpha", "mid"}));
  EXPECT_EQ(*map.find("zeta"), Value(10));
  EXPECT_TRUE(map.erase("alpha"));
  EXPECT_FALSE(map.erase("alpha"));
  EXPECT_EQ(map.keys(), (std::vector<std::string>{"zeta", "mid"}));
  map["new"] = "n";
  EXPECT_EQ(map.keys().back(), "new");

  const ValueMap a{{"x", 1}, {"y", 2}};
  const ValueMap b{{"y", 2}, {"x", 1}};
  EXPECT_EQ(a, b);
  EXPECT_NE(a, (ValueMap{{"x", 1}, {"y", 3}}));
  EXPECT_NE(a, (ValueMap{{"x", 1}}));

  const Value tree(ValueMap{{"list", ValueArray{1, ValueMap{{"deep", true}}}}});
  EXPECT_EQ(tree["list"][1]["deep"], Value(true));
  EXPECT_TRUE(tree["missing"]["more"].isNull());
  EXPECT_TRUE(tree["list"][9].isNull());
  EXPECT_EQ(tree.toOrderedJson().dump(), R"({"list":[1,{"deep":true}]})");
  EXPECT_EQ(Value(ValueMap{{"b", 1}, {"a", 2}}).toOrderedJson().dump(), R"({"b":1,"a":2})");
}

TEST(ValueTest, ConvertsToJson) {
  const auto date = sys_days{year{2024} / 3 / 5} + hours(7) + minutes(8) + seconds(9) + microseconds(123456);
  const auto uuid = *UUID::parse("0f8fad5b-d9cb-469f-a165-70867728950e");
  const Value value(ValueMap{
      {"null", nullptr},
      {"bool", false},
      {"int", -5},
      {"double", 2.5},
      {"nan", std::nan("")},
      {"string", "s"},
      {"date", time_point_cast<system_clock::duration>(date)},
      {"data", Bytes{'h', 'e', 'l', 'l', 'o', '!', '?'}},
      {"uuid", uuid},
      {"array", ValueArray{1, "two"}},
  });
  const auto json = value.toJson();
  EXPECT_TRUE(json["null"].is_null());
  EXPECT_TRUE(json["bool"].is_boolean());
  EXPECT_EQ(json["int"], -5);
  EXPECT_EQ(json["double"], 2.5);
  EXPECT_TRUE(json["nan"].is_null());
  EXPECT_EQ(json["date"], "2024-03-05T07:08:09.123Z");
  EXPECT_EQ(json["data"], "aGVsbG8hPw==");
  EXPECT_EQ(json["uuid"], "0F8FAD5B-D9CB-469F-A165-70867728950E");
  EXPECT_EQ(json["array"], nlohmann::json::parse(R"([1,"two"])"));
}

TEST(ValueTest, ConvertsFromJson) {
  const auto json = nlohmann::json::parse(
      R"({"b":true,"i":-3,"u":18446744073709551615,"big":42,"d":1.0,"s":"2024-03-05T07:08:09Z","a":[null,{}]})");
  const auto value = Value::fromJson(json);
  ASSERT_TRUE(value.isMap());
  EXPECT_EQ(value["b"], Value(true));
  EXPECT_EQ(value["i"], Value(-3));
  EXPECT_TRUE(value["u"].isDouble());
  EXPECT_EQ(value["big"], Value(42));
  EXPECT_EQ(value["d"], Value(1.0));
  EXPECT_TRUE(value["s"].isString());  // never guessed to be a date
  EXPECT_TRUE(value["a"][0].isNull());
  EXPECT_TRUE(value["a"][1].isMap());
  EXPECT_EQ(Value::fromJson(nlohmann::json::binary({1, 2, 3})), Value(Bytes{1, 2, 3}));

  // Round trip of the JSON kinds.
  const Value plain(ValueMap{{"x", ValueArray{true, 1, 1.5, "s", nullptr}}, {"y", ValueMap{}}});
  EXPECT_EQ(Value::fromJson(plain.toJson()), plain);
  EXPECT_EQ(Value::fromJson(plain.toOrderedJson()), plain);
  EXPECT_EQ(Value::fromJson(plain.toOrderedJson()).mapValue()->keys(), plain.mapValue()->keys());
}

}  // namespace
TEST(ValueTest, NestingBeyondTheLimitIsCutNotFollowed) {
  // 20,000 levels, as a hostile stored breadcrumb file holds them: converting must not
  // exhaust the stack.
  const std::string text = std::string(20000, '[') + std::string(20000, ']');
  ASSERT_FALSE(jsonNestingWithin(text));
  const auto json = nlohmann::json::parse(text);
  const Value value = Value::fromJson(json);
  std::size_t depth = 0;
  const Value* at = &value;
  while (at->isArray() && !at->arrayValue()->empty()) {
    at = &(*at->arrayValue())[0];
    ++depth;
  }
  EXPECT_EQ(depth, kMaxJSONNesting);
  EXPECT_TRUE(at->isNull());

  // Within the limit nothing is cut.
  const std::string fine = std::string(kMaxJSONNesting, '[') + std::string(kMaxJSONNesting, ']');
  EXPECT_TRUE(jsonNestingWithin(fine));
  EXPECT_EQ(Value::fromJson(nlohmann::json::parse(fine)).toJson(), nlohmann::json::parse(fine));
}

TEST(JSONLimitsTest, CountsOnlyBracketsOutsideStrings) {
  EXPECT_TRUE(jsonNestingWithin("", 0));
  EXPECT_TRUE(jsonNestingWithin("[[1]]", 2));
  EXPECT_FALSE(jsonNestingWithin("[[1]]", 1));
  EXPECT_FALSE(jsonNestingWithin(R"({"a":{"b":[]}})", 2));
  EXPECT_TRUE(jsonNestingWithin(R"({"a":"[[[[\"[["})", 1));
  EXPECT_TRUE(jsonNestingWithin("[][][][]", 1));
}

}  // namespace vx
