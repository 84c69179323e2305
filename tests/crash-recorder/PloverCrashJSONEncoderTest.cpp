#include "reporting/crash-recorder/Recording/PloverCrashJSONCodec.h"

#include "crash-recorder/JSONTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <string>

namespace {

void writeSample(PloverCrashJSONEncodeContext* c) {
  ASSERT_EQ(plovercrashjson_beginObject(c, nullptr), 0);
  ASSERT_EQ(plovercrashjson_addStringElement(c, "name", "value", -1), 0);
  ASSERT_EQ(plovercrashjson_addIntegerElement(c, "count", -42), 0);
  ASSERT_EQ(plovercrashjson_addFloatingPointElement(c, "ratio", 0.5), 0);
  ASSERT_EQ(plovercrashjson_addBooleanElement(c, "ok", true), 0);
  ASSERT_EQ(plovercrashjson_addNullElement(c, "none"), 0);
  ASSERT_EQ(plovercrashjson_beginArray(c, "list"), 0);
  ASSERT_EQ(plovercrashjson_addIntegerElement(c, nullptr, 1), 0);
  ASSERT_EQ(plovercrashjson_addStringElement(c, "ignored in arrays", "two", 3), 0);
  ASSERT_EQ(plovercrashjson_beginObject(c, nullptr), 0);
  ASSERT_EQ(plovercrashjson_endContainer(c), 0);
  ASSERT_EQ(plovercrashjson_beginArray(c, nullptr), 0);
  ASSERT_EQ(plovercrashjson_endContainer(c), 0);
  ASSERT_EQ(plovercrashjson_endContainer(c), 0);
  ASSERT_EQ(plovercrashjson_addDataElement(c, "bytes", "\x01\xab\xff", 3), 0);
  ASSERT_EQ(plovercrashjson_beginStringElement(c, "pieces"), 0);
  ASSERT_EQ(plovercrashjson_appendStringElement(c, "ab", 2), 0);
  ASSERT_EQ(plovercrashjson_appendStringElement(c, "c\"d", 3), 0);
  ASSERT_EQ(plovercrashjson_endStringElement(c), 0);
  ASSERT_EQ(plovercrashjson_beginDataElement(c, "dump"), 0);
  ASSERT_EQ(plovercrashjson_appendDataElement(c, "\x10", 1), 0);
  ASSERT_EQ(plovercrashjson_appendDataElement(c, "\x20", 0), 0);
  ASSERT_EQ(plovercrashjson_appendDataElement(c, "\xfe", 1), 0);
  ASSERT_EQ(plovercrashjson_endDataElement(c), 0);
  ASSERT_EQ(plovercrashjson_endEncode(c), 0);
}

TEST(PloverCrashJSONEncoderTest, CompactGolden) {
  JSONSink sink;
  PloverCrashJSONEncodeContext context;
  plovercrashjson_beginEncode(&context, false, JSONSink::add, &sink);
  writeSample(&context);
  EXPECT_EQ(sink.text, R"({"name":"value","count":-42,"ratio":0.5,"ok":true,"none":null,)"
                       R"("list":[1,"two",{},[]],"bytes":"01ABFF","pieces":"abc\"d","dump":"10FE"})");
  EXPECT_EQ(sink.text.find_first_of(" \n"), std::string::npos);
}

TEST(PloverCrashJSONEncoderTest, PrettyGolden) {
  JSONSink sink;
  PloverCrashJSONEncodeContext context;
  plovercrashjson_beginEncode(&context, true, JSONSink::add, &sink);
  writeSample(&context);
  EXPECT_EQ(sink.text, R"({
    "name": "value",
    "count": -42,
    "ratio": 0.5,
    "ok": true,
    "none": null,
    "list": [
        1,
        "two",
        {},
        []
    ],
    "bytes": "01ABFF",
    "pieces": "abc\"d",
    "dump": "10FE"
})");
}

TEST(PloverCrashJSONEncoderTest, NamesOnlyInsideObjects) {
  JSONSink sink;
  PloverCrashJSONEncodeContext context;
  plovercrashjson_beginEncode(&context, false, JSONSink::add, &sink);
  EXPECT_EQ(plovercrashjson_beginObject(&context, "top names are not written"), 0);
  EXPECT_EQ(plovercrashjson_addIntegerElement(&context, "a", 1), 0);
  // A missing name inside an object is refused before anything (not even a comma) is written.
  EXPECT_EQ(plovercrashjson_addIntegerElement(&context, nullptr, 2), PloverCrashJSON_ERROR_INVALID_DATA);
  EXPECT_EQ(plovercrashjson_beginArray(&context, nullptr), PloverCrashJSON_ERROR_INVALID_DATA);
  EXPECT_EQ(plovercrashjson_addIntegerElement(&context, "b", 3), 0);
  EXPECT_EQ(plovercrashjson_endEncode(&context), 0);
  EXPECT_EQ(sink.text, R"({"a":1,"b":3})");
}

TEST(PloverCrashJSONEncoderTest, Escaping) {
  JSONSink sink;
  PloverCrashJSONEncodeContext context;
  plovercrashjson_beginEncode(&context, false, JSONSink::add, &sink);
  plovercrashjson_beginArray(&context, nullptr);
  EXPECT_EQ(plovercrashjson_addStringElement(&context, nullptr, "a/b\xc3\xa9\t\"\\\b\f\n\r", -1), 0);
  // Long text needing escapes crosses the 256-byte chunks intact.
  std::string longText;
  for (int i = 0; i < 300; ++i) longText += "x\n";
  EXPECT_EQ(plovercrashjson_addStringElement(&context, nullptr, longText.data(), static_cast<int>(longText.size())), 0);
  EXPECT_EQ(plovercrashjson_addStringElement(&context, nullptr, nullptr, 0), 0);
  EXPECT_EQ(plovercrashjson_addStringElement(&context, "with\"quote", "v", -1), 0);
  plovercrashjson_endEncode(&context);
  std::string expectedLong;
  for (int i = 0; i < 300; ++i) expectedLong += "x\\n";
  EXPECT_EQ(sink.text, "[\"a/b\xc3\xa9\\t\\\"\\\\\\b\\f\\n\\r\",\"" + expectedLong + "\",null,\"v\"]");
}

TEST(PloverCrashJSONEncoderTest, ControlCharacterIsInvalidAndTheStringStaysClosed) {
  JSONSink sink;
  PloverCrashJSONEncodeContext context;
  plovercrashjson_beginEncode(&context, false, JSONSink::add, &sink);
  plovercrashjson_beginArray(&context, nullptr);
  EXPECT_EQ(plovercrashjson_addStringElement(&context, nullptr, "bad\x01", -1),
            PloverCrashJSON_ERROR_INVALID_CHARACTER);
  plovercrashjson_endEncode(&context);
  EXPECT_EQ(sink.text, "[\"\"]");
  EXPECT_TRUE(nlohmann::json::accept(sink.text)) << sink.text;
}

TEST(PloverCrashJSONEncoderTest, NumbersUseTheirFullPrecision) {
  JSONSink sink;
  PloverCrashJSONEncodeContext context;
  plovercrashjson_beginEncode(&context, false, JSONSink::add, &sink);
  plovercrashjson_beginArray(&context, nullptr);
  plovercrashjson_addFloatingPointElement(&context, nullptr, 1500.123456789);
  plovercrashjson_addFloatingPointElement(&context, nullptr, 1e300);
  plovercrashjson_addFloatingPointElement(&context, nullptr, NAN);
  plovercrashjson_addFloatingPointElement(&context, nullptr, -INFINITY);
  plovercrashjson_addIntegerElement(&context, nullptr, INT64_MIN);
  plovercrashjson_addUIntegerElement(&context, nullptr, UINT64_MAX);
  plovercrashjson_endEncode(&context);
  EXPECT_EQ(sink.text, "[1500.123456789,1e+300,null,null,-9223372036854775808,18446744073709551615]");
  EXPECT_TRUE(nlohmann::json::accept(sink.text)) << sink.text;
}

TEST(PloverCrashJSONEncoderTest, ClosingAtTheTopDoesNothing) {
  JSONSink sink;
  PloverCrashJSONEncodeContext context;
  plovercrashjson_beginEncode(&context, true, JSONSink::add, &sink);
  EXPECT_EQ(plovercrashjson_endContainer(&context), 0);
  EXPECT_EQ(context.containerLevel, 0);
  EXPECT_EQ(sink.text, "");
  EXPECT_EQ(plovercrashjson_addRawJSONData(&context, "{\"raw\":1}", 9), 0);
  EXPECT_EQ(sink.text, "{\"raw\":1}");
}

// The level table has 200 entries: opening a 200th container is an error, not a write past it.
TEST(PloverCrashJSONEncoderTest, NestingBeyondTheTableIsAnError) {
  JSONSink sink;
  PloverCrashJSONEncodeContext context;
  plovercrashjson_beginEncode(&context, false, JSONSink::add, &sink);
  for (int i = 0; i < PloverCrashJSON_MAX_CONTAINER_LEVEL - 1; ++i) {
    ASSERT_EQ(i % 2 == 0 ? plovercrashjson_beginArray(&context, "o") : plovercrashjson_beginObject(&context, "o"), 0)
        << i;
  }
  EXPECT_EQ(context.containerLevel, 199);
  const std::string before = sink.text;
  EXPECT_EQ(plovercrashjson_beginArray(&context, "o"), PloverCrashJSON_ERROR_DATA_TOO_LONG);
  EXPECT_EQ(plovercrashjson_beginObject(&context, "o"), PloverCrashJSON_ERROR_DATA_TOO_LONG);
  EXPECT_EQ(sink.text, before);
  EXPECT_EQ(context.containerLevel, 199);
  EXPECT_EQ(plovercrashjson_addIntegerElement(&context, "o", 7), 0);
  EXPECT_EQ(plovercrashjson_endEncode(&context), 0);
  EXPECT_TRUE(nlohmann::json::accept(sink.text)) << sink.text;
}

// Whatever write fails, the caller hears "cannot add data", never "invalid character".
TEST(PloverCrashJSONEncoderTest, WriteFailuresAreReportedAsSuch) {
  JSONSink full;
  PloverCrashJSONEncodeContext context;
  plovercrashjson_beginEncode(&context, true, JSONSink::add, &full);
  plovercrashjson_beginObject(&context, nullptr);
  ASSERT_EQ(plovercrashjson_addStringElement(&context, "na\"me", "val\"ue", -1), 0);
  const long prefix = 1;  // "{"
  const long total = static_cast<long>(full.text.size());
  for (long failAfter = prefix; failAfter < total; ++failAfter) {
    JSONSink sink;
    sink.failAfter = failAfter;
    plovercrashjson_beginEncode(&context, true, JSONSink::add, &sink);
    ASSERT_EQ(plovercrashjson_beginObject(&context, nullptr), 0);
    EXPECT_EQ(plovercrashjson_addStringElement(&context, "na\"me", "val\"ue", -1),
              PloverCrashJSON_ERROR_CANNOT_ADD_DATA)
        << "failing after " << failAfter << " bytes";
  }
  JSONSink refusing;
  refusing.failAfter = 0;
  plovercrashjson_beginEncode(&context, false, JSONSink::add, &refusing);
  EXPECT_EQ(plovercrashjson_beginArray(&context, nullptr), PloverCrashJSON_ERROR_CANNOT_ADD_DATA);
  EXPECT_EQ(plovercrashjson_addDataElement(&context, nullptr, "ab", 2), PloverCrashJSON_ERROR_CANNOT_ADD_DATA);
}

TEST(PloverCrashJSONEncoderTest, ErrorTexts) {
  EXPECT_STREQ(plovercrashjson_stringForError(1), "Invalid character");
  EXPECT_STREQ(plovercrashjson_stringForError(2), "Data too long");
  EXPECT_STREQ(plovercrashjson_stringForError(3), "Cannot add data");
  EXPECT_STREQ(plovercrashjson_stringForError(4), "Incomplete data");
  EXPECT_STREQ(plovercrashjson_stringForError(5), "Invalid data");
  EXPECT_STREQ(plovercrashjson_stringForError(0), "(unknown error)");
  EXPECT_STREQ(plovercrashjson_stringForError(42), "(unknown error)");
}

}  // namespace
