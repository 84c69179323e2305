#include "reporting/crash-recorder/Recording/PloverCrashJSONCodecObjC.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <string>

namespace {

using nlohmann::ordered_json;

std::string text(const std::optional<std::vector<std::uint8_t>>& data) {
  return data ? std::string(data->begin(), data->end()) : std::string("<none>");
}

TEST(PloverCrashJSONCodecObjCTest, EncodesEveryKind) {
  ordered_json object = ordered_json::object();
  object["string"] = "caf\xc3\xa9";
  object["int"] = -3;
  object["big"] = UINT64_MAX;
  object["float"] = 2.5;
  object["bool"] = false;
  object["null"] = nullptr;
  object["array"] = ordered_json::array({1, "two", ordered_json::object()});
  object["date"] = PloverCrashJSONCodec::dateValue(
      std::chrono::system_clock::time_point(std::chrono::seconds(1796852741) + std::chrono::milliseconds(900)));
  object["data"] = PloverCrashJSONCodec::dataValue({0x00, 0x7f, 0xff});
  vx::Error error;
  const auto data = PloverCrashJSONCodec::encode(object, 0, &error);
  ASSERT_TRUE(data) << error;
  EXPECT_EQ(text(data),
            "{\"string\":\"caf\xc3\xa9\",\"int\":-3,\"big\":18446744073709551615,\"float\":2.5,"
            "\"bool\":false,\"null\":null,\"array\":[1,\"two\",{}],"
            "\"date\":\"2026-12-09T21:45:41Z\",\"data\":\"007FFF\"}");
}

TEST(PloverCrashJSONCodecObjCTest, PrettyAndSortedAtEveryDepth) {
  ordered_json object = ordered_json::object();
  object["b"] = 1;
  object["a"] = ordered_json::object();
  object["a"]["z"] = true;
  object["a"]["y"] = ordered_json::array({ordered_json::object({{"d", 1}, {"c", 2}})});
  const auto sorted =
      PloverCrashJSONCodec::encode(object, PloverCrashJSONEncodeOptionSorted | PloverCrashJSONEncodeOptionPretty);
  EXPECT_EQ(text(sorted), R"({
    "a": {
        "y": [
            {
                "c": 2,
                "d": 1
            }
        ],
        "z": true
    },
    "b": 1
})");
  // Without sorting, the object's own order.
  EXPECT_EQ(text(PloverCrashJSONCodec::encode(object, 0)), R"({"b":1,"a":{"z":true,"y":[{"d":1,"c":2}]}})");
  // A plain json (sorted map) works too.
  const nlohmann::json plain = {{"k", {1, 2}}};
  EXPECT_EQ(text(PloverCrashJSONCodec::encode(plain, 0)), R"({"k":[1,2]})");
}

TEST(PloverCrashJSONCodecObjCTest, EncodingErrors) {
  vx::Error error;
  ordered_json bad = {{"s", "bell\x07"}};
  EXPECT_FALSE(PloverCrashJSONCodec::encode(bad, 0, &error));
  EXPECT_EQ(error.domain, "PloverCrashJSONCodecObjC");
  EXPECT_EQ(error.code, 0);
  EXPECT_EQ(error.description, "Invalid character in bell\x07");

  ordered_json discarded(ordered_json::value_t::discarded);
  EXPECT_FALSE(PloverCrashJSONCodec::encode(ordered_json::array({discarded}), 0, &error));
  EXPECT_EQ(error.description, "Could not determine type of discarded");

  // NaN has no JSON form: written as null.
  EXPECT_EQ(text(PloverCrashJSONCodec::encode(ordered_json::array({std::nan("")}), 0)), "[null]");
}

TEST(PloverCrashJSONCodecObjCTest, DecodesContainersInDocumentOrder) {
  vx::Error error;
  const auto decoded =
      PloverCrashJSONCodec::decode(std::string_view(R"({"z":1,"a":[true,2.5,"x",null,{"n":null}],"m":{}})"), 0, &error);
  ASSERT_TRUE(decoded) << error;
  EXPECT_EQ(decoded->dump(), R"({"z":1,"a":[true,2.5,"x",null,{"n":null}],"m":{}})");
  EXPECT_TRUE((*decoded)["a"][0].is_boolean());
  EXPECT_TRUE((*decoded)["a"][1].is_number_float());
  EXPECT_TRUE((*decoded)["z"].is_number_integer());
}

TEST(PloverCrashJSONCodecObjCTest, NullOptions) {
  const std::string_view json = R"({"a":null,"b":[null,1,null],"c":{"d":null}})";
  EXPECT_EQ(PloverCrashJSONCodec::decode(json, PloverCrashJSONDecodeOptionIgnoreNullInArray)->dump(),
            R"({"a":null,"b":[1],"c":{"d":null}})");
  EXPECT_EQ(PloverCrashJSONCodec::decode(json, PloverCrashJSONDecodeOptionIgnoreNullInObject)->dump(),
            R"({"b":[null,1,null],"c":{}})");
}

TEST(PloverCrashJSONCodecObjCTest, DecodingErrors) {
  vx::Error error;
  EXPECT_FALSE(PloverCrashJSONCodec::decode(std::string_view("7 "), 0, &error));
  EXPECT_EQ(error.description, "Type number not allowed as top level container");
  EXPECT_EQ(error.domain, "PloverCrashJSONCodecObjC");
  EXPECT_FALSE(PloverCrashJSONCodec::decode(std::string_view("\"top\""), 0, &error));
  EXPECT_EQ(error.description, "Type string not allowed as top level container");

  EXPECT_FALSE(PloverCrashJSONCodec::decode(std::string_view(R"({"a":[1,2)"), 0, &error));
  EXPECT_EQ(error.description, "Incomplete data (offset 8)");
  EXPECT_FALSE(PloverCrashJSONCodec::decode(std::string_view(R"([1, @])"), 0, &error));
  EXPECT_EQ(error.description, "Invalid character (offset 4)");
}

// A cut report still gives its complete leading sections with the keep-partial option.
TEST(PloverCrashJSONCodecObjCTest, PartialObjectOnRequest) {
  const std::string_view cut = R"({"report":{"id":"X","time":5},"threads":[{"index":0},{"ind)";
  vx::Error error;
  EXPECT_FALSE(PloverCrashJSONCodec::decode(cut, 0, &error));
  const auto partial = PloverCrashJSONCodec::decode(cut, PloverCrashJSONDecodeOptionKeepPartialObject, &error);
  ASSERT_TRUE(partial);
  EXPECT_EQ(error.description, "Incomplete data (offset 54)");
  EXPECT_EQ(partial->dump(), R"({"report":{"id":"X","time":5},"threads":[{"index":0},{}]})");
}

TEST(PloverCrashJSONCodecObjCTest, LargeIntegersAndInvalidUTF8) {
  const auto decoded =
      PloverCrashJSONCodec::decode(std::string_view("[18446744073709551615, -9223372036854775808, \"bad\xff\xc3\", "
                                                    "{\"k\xfe\":1}]"),
                                   0);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE((*decoded)[0].is_number_float());
  EXPECT_EQ((*decoded)[0].get<double>(), 18446744073709551615.0);
  EXPECT_EQ((*decoded)[1].get<std::int64_t>(), INT64_MIN);
  EXPECT_EQ((*decoded)[2], "bad\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ((*decoded)[3].begin().key(), "k\xef\xbf\xbd");
  EXPECT_NO_THROW((void)decoded->dump());
}

TEST(PloverCrashJSONCodecObjCTest, RoundTrip) {
  ordered_json object = {{"threads", {{{"index", 0}, {"ratio", 0.1}, {"name", "a\"b\\c\n"}}}},
                         {"empty", ordered_json::array()},
                         {"nested", {{"x", {{"y", {{"z", -1.5e-300}}}}}}}};
  for (int options : {0, 1, 2, 3}) {
    const auto data = PloverCrashJSONCodec::encode(object, options);
    ASSERT_TRUE(data);
    const auto back = PloverCrashJSONCodec::decode(*data, 0);
    ASSERT_TRUE(back);
    if ((options & PloverCrashJSONEncodeOptionSorted) == 0) {
      EXPECT_EQ(*back, object);
    } else {
      EXPECT_EQ(nlohmann::json(*back), nlohmann::json(object));
    }
    EXPECT_EQ(nlohmann::json::parse(data->begin(), data->end()), nlohmann::json(object));
  }
}

TEST(PloverCrashJSONCodecObjCTest, CodecFlagsFromOptionBits) {
  const PloverCrashJSONCodec codec(PloverCrashJSONEncodeOptionPretty, PloverCrashJSONDecodeOptionIgnoreNullInObject);
  EXPECT_TRUE(codec.prettyPrint());
  EXPECT_FALSE(codec.sorted());
  EXPECT_FALSE(codec.ignoreNullsInArrays());
  EXPECT_TRUE(codec.ignoreNullsInObjects());
}

}  // namespace
