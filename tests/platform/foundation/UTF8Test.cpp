#include "platform/foundation/UTF8.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

using vx::Value;
using vx::ValueMap;

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

struct Case {
  const char* name;
  std::string input;
  std::string repaired;
};

class UTF8RepairTest : public testing::TestWithParam<Case> {};

TEST_P(UTF8RepairTest, RepairsEachMaximalInvalidPartAndKeepsTheRest) {
  const auto& c = GetParam();
  const bool valid = c.input == c.repaired;
  EXPECT_EQ(vx::utf8::isValid(c.input), valid);
  const std::string out = vx::utf8::sanitized(c.input);
  EXPECT_EQ(out, c.repaired);
  EXPECT_TRUE(vx::utf8::isValid(out));
  // What the repair gives is what a strict JSON writer accepts.
  EXPECT_NO_THROW((void)nlohmann::json(out).dump());
  std::string inPlace = c.input;
  EXPECT_EQ(vx::utf8::sanitize(inPlace), !valid);
  EXPECT_EQ(inPlace, c.repaired);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UTF8RepairTest,
    testing::Values(
        Case{"empty", "", ""}, Case{"ascii", "plain text", "plain text"},
        Case{"nul_inside", std::string("a\0b", 3), std::string("a\0b", 3)},
        Case{"two_byte", "caf\xC3\xA9", "caf\xC3\xA9"}, Case{"four_byte", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        Case{"highest", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        Case{"latin1_file_name", "caf\xE9.svg", "caf" + R + ".svg"}, Case{"lone_continuation", "a\x80z", "a" + R + "z"},
        Case{"bytes_ff_fe", "\xFF\xFE", R + R}, Case{"overlong_slash_two", "\xC0\xAF", R + R},
        Case{"overlong_c1", "\xC1\xBF", R + R}, Case{"overlong_slash_three", "\xE0\x80\xAF", R + R + R},
        Case{"overlong_four", "\xF0\x80\x80\xAF", R + R + R + R}, Case{"surrogate", "\xED\xA0\x80", R + R + R},
        Case{"above_10ffff", "\xF4\x90\x80\x80", R + R + R + R}, Case{"lead_f5", "x\xF5y", "x" + R + "y"},
        Case{"truncated_two_at_end", "ab\xC3", "ab" + R}, Case{"truncated_three_at_end", "ab\xE2\x82", "ab" + R},
        Case{"truncated_four_at_end", "\xF0\x9F\x98", R}, Case{"truncated_then_ascii", "\xE2\x82x", R + "x"},
        Case{"truncated_then_valid", "\xF0\x9F\xC3\xA9", R + "\xC3\xA9"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UTF8ValueTest, RepairsStringsAndKeysAtAnyDepthAndLeavesOtherKindsAlone) {
  const Value value(ValueMap{
      {"name", "caf\xE9.svg"},
      {"k\xFF", 1},
      {"list", vx::ValueArray{Value("ok"), Value("\xC0\xAF"), Value(2.5), Value(true)}},
      {"nested", ValueMap{{"deep", "ab\xE2\x82"}}},
  });
  EXPECT_FALSE(vx::utf8::isValidValue(value));
  const Value repaired = vx::utf8::sanitizedValue(value);
  EXPECT_TRUE(vx::utf8::isValidValue(repaired));
  EXPECT_EQ(*repaired["name"].stringValue(), "caf" + R + ".svg");
  EXPECT_EQ(repaired["k" + R].integerValue(), 1);
  EXPECT_EQ(*repaired["list"][1].stringValue(), R + R);
  EXPECT_EQ(repaired["list"][2].doubleValue(), 2.5);
  EXPECT_EQ(*repaired["nested"]["deep"].stringValue(), "ab" + R);
  EXPECT_TRUE(vx::utf8::isValidValue(Value(ValueMap{{"fine", "caf\xC3\xA9"}})));
}

TEST(UTF8JsonTest, RepairsNlohmannValuesInPlaceKeepingKeyOrder) {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  json["z"] = "ok";
  json["b\xE9"] = nlohmann::ordered_json::array({"\xFF", 1});
  json["a"] = "fine";
  EXPECT_THROW((void)json.dump(), nlohmann::json::type_error);
  EXPECT_TRUE(vx::utf8::sanitizeJson(json));
  EXPECT_EQ(json.dump(), "{\"z\":\"ok\",\"b" + R + "\":[\"" + R + "\",1],\"a\":\"fine\"}");
  EXPECT_FALSE(vx::utf8::sanitizeJson(json));
}

TEST(UTF8ValueTest, DescriptionOfBadTextNeverThrows) {
  const Value value(ValueMap{{"file", "caf\xE9.svg"}});
  std::string text;
  EXPECT_NO_THROW(text = value.description());
  EXPECT_EQ(text, "{\"file\":\"caf" + R + ".svg\"}");
}

}  // namespace
