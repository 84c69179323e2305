#include "reporting/crash-recorder/Recording/PloverCrashJSONCodec.h"

#include "crash-recorder/JSONTestSupport.h"
#include "crash-recorder/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace {

struct DecodeCase {
  const char* json;
  int result;
  const char* events;  // recorded callbacks, checked on success
};

TEST(PloverCrashJSONDecoderTest, Table) {
  const DecodeCase cases[] = {
      {"7", PloverCrashJSON_ERROR_INCOMPLETE, ""},
      {"[7]", 0, "[ | int 7 | end"},
      {" \t\n[ 7 ]", 0, "[ | int 7 | end"},
      {"-a", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"[-a]", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"[-7, 0, -0]", 0, "[ | int -7 | int 0 | int 0 | end"},
      {"[1.5e3]", 0, "[ | float 1500 | end"},
      {"[-2.5E-3, 1e+2]", 0, "[ | float -0.0025 | float 100 | end"},
      {"[9223372036854775807]", 0, "[ | int 9223372036854775807 | end"},
      {"[-9223372036854775808]", 0, "[ | int -9223372036854775808 | end"},
      {"[9223372036854775808]", 0, "[ | float 9.223372036854776e+18 | end"},
      {"[-9223372036854775809]", 0, "[ | float -9.223372036854776e+18 | end"},
      {"[18446744073709551616]", 0, "[ | float 1.8446744073709552e+19 | end"},
      {"[123456789012345678901234567890]", 0, "[ | float 1.2345678901234568e+29 | end"},
      {"[1.]", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"[1e]", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"[1.2.3]", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"[1.5", PloverCrashJSON_ERROR_INCOMPLETE, ""},
      {"[true,false,null]", 0, "[ | true | false | null | end"},
      {"[tru]", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"[tr", PloverCrashJSON_ERROR_INCOMPLETE, ""},
      {"[nul", PloverCrashJSON_ERROR_INCOMPLETE, ""},
      {"{\"a\":1,\"b\":{\"c\":[\"d\"]}}", 0, "{ | a: int 1 | b: { | c: [ | string d | end | end | end"},
      {"{\"a\" 1}", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"{a:1}", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"{\"a\":1 \"b\":2}", 0, "{ | a: int 1 | b: int 2 | end"},
      {"[1 2,3]", 0, "[ | int 1 | int 2 | int 3 | end"},
      {"[1,,2]", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"[1,]", 0, "[ | int 1 | end"},
      {"{]", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"[}", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"{", PloverCrashJSON_ERROR_INCOMPLETE, ""},
      {"[1,", PloverCrashJSON_ERROR_INCOMPLETE, ""},
      {"", PloverCrashJSON_ERROR_INCOMPLETE, ""},
      {"   ", PloverCrashJSON_ERROR_INCOMPLETE, ""},
      {"x", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"[1] trailing ignored", 0, "[ | int 1 | end"},
      {"\"top\"", 0, "string top"},
      // Strings and escapes.
      {"[\"\\ud83d\\ude00\"]", 0, "[ | string \xf0\x9f\x98\x80 | end"},
      {"[\"\\u00e9\\u20AC/\\/\"]", 0, "[ | string \xc3\xa9\xe2\x82\xac// | end"},
      {"[\"\\\"\\\\\\b\\f\\n\\r\\t\"]", 0, "[ | string \"\\\b\f\n\r\t | end"},
      {"[\"\\ude00\"]", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"[\"\\ud83d\"]", PloverCrashJSON_ERROR_INCOMPLETE, ""},
      {"[\"\\ud83dxxxxxx\"]", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"[\"\\ud83d\\u0041\"]", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"[\"\\ud83d\\ud83d\"]", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"[\"\\u12\"]", PloverCrashJSON_ERROR_INCOMPLETE, ""},
      {"[\"\\uzzzz\"]", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"[\"\\q\"]", PloverCrashJSON_ERROR_INVALID_CHARACTER, ""},
      {"[\"abc", PloverCrashJSON_ERROR_INCOMPLETE, ""},
      {"[\"abc\\\"]", PloverCrashJSON_ERROR_INCOMPLETE, ""},
      {"[\"ends in backslash\\", PloverCrashJSON_ERROR_INCOMPLETE, ""},
  };
  for (const DecodeCase& c : cases) {
    JSONRecorder recorder;
    const int result = recorder.decode(c.json);
    EXPECT_EQ(result, c.result) << c.json;
    if (c.result == 0) {
      EXPECT_EQ(recorder.joined(), c.events) << c.json;
      EXPECT_EQ(recorder.endDataCalls, 1) << c.json;
    } else {
      EXPECT_EQ(recorder.endDataCalls, 0) << c.json;
    }
  }
}

TEST(PloverCrashJSONDecoderTest, ErrorOffsetPointsAtTheProblem) {
  JSONRecorder recorder;
  int offset = -1;
  EXPECT_EQ(recorder.decode("[1, x]", 1000, &offset), PloverCrashJSON_ERROR_INVALID_CHARACTER);
  EXPECT_EQ(offset, 4);
  EXPECT_EQ(recorder.decode("{\"a\":[1,2", 1000, &offset), PloverCrashJSON_ERROR_INCOMPLETE);
  EXPECT_EQ(offset, 8);  // at the number the data ended in
}

TEST(PloverCrashJSONDecoderTest, ScratchAreasBoundNamesAndStrings) {
  // 40 bytes: names get 10 (9 characters and the zero), strings and numbers 30.
  JSONRecorder recorder;
  EXPECT_EQ(recorder.decode("{\"123456789\":1}", 40), 0);
  EXPECT_EQ(recorder.decode("{\"1234567890\":1}", 40), PloverCrashJSON_ERROR_DATA_TOO_LONG);
  EXPECT_EQ(recorder.decode("[\"" + std::string(29, 's') + "\"]", 40), 0);
  EXPECT_EQ(recorder.decode("[\"" + std::string(30, 's') + "\"]", 40), PloverCrashJSON_ERROR_DATA_TOO_LONG);
  EXPECT_EQ(recorder.decode("[1." + std::string(40, '5') + "]", 40), PloverCrashJSON_ERROR_DATA_TOO_LONG);
}

// Digit runs of any length neither wrap nor overflow: they become floating point.
TEST(PloverCrashJSONDecoderTest, LongDigitRunsStayDefined) {
  JSONRecorder recorder;
  const std::string digits(300, '9');
  ASSERT_EQ(recorder.decode("[" + digits + ", -" + digits + "]", 2000), 0);
  EXPECT_EQ(recorder.joined(), "[ | float 1e+300 | float -1e+300 | end");
  recorder.events.clear();
  ASSERT_EQ(recorder.decode("[" + std::string(400, '9') + "]", 2000), 0);
  EXPECT_EQ(recorder.joined(), "[ | float inf | end");
}

TEST(PloverCrashJSONDecoderTest, DeepNestingIsAnErrorNotAStackOverflow) {
  JSONRecorder recorder;
  const std::string deep(100000, '[');
  EXPECT_EQ(recorder.decode(deep), PloverCrashJSON_ERROR_DATA_TOO_LONG);
  const std::string fine = std::string(199, '[') + std::string(199, ']');
  JSONRecorder second;
  EXPECT_EQ(second.decode(fine), 0);
}

TEST(PloverCrashJSONDecoderTest, CallbackErrorsStopDecoding) {
  JSONRecorder recorder;
  recorder.failOnEvent = 2;
  EXPECT_EQ(recorder.decode("[1,2,3,4]"), PloverCrashJSON_ERROR_INVALID_DATA);
  EXPECT_EQ(recorder.events.size(), 3u);
  EXPECT_EQ(recorder.endDataCalls, 0);

  // Missing callbacks accept their elements.
  PloverCrashJSONDecodeCallbacks none = {};
  char scratch[100];
  const std::string json = R"({"a":[1,2.5,"x",true,null,{}]})";
  EXPECT_EQ(plovercrashjson_decode(json.data(), static_cast<int>(json.size()), scratch, sizeof scratch, &none, nullptr,
                                   nullptr),
            0);
}

// ---- Re-encoding ----------------------------------------------------------------------------

TEST(PloverCrashJSONReencodeTest, ElementGoesUnderTheNameAndStaysOpen) {
  JSONSink sink;
  PloverCrashJSONEncodeContext context;
  plovercrashjson_beginEncode(&context, false, JSONSink::add, &sink);
  plovercrashjson_beginObject(&context, nullptr);
  plovercrashjson_addIntegerElement(&context, "before", 1);
  const std::string user = R"({"a":1,"b":[1,{"c":null}],"d":"e"})";
  EXPECT_EQ(plovercrashjson_addJSONElement(&context, "user", user.data(), static_cast<int>(user.size()), false), 0);
  // The decoded object is left open for more members.
  EXPECT_EQ(context.containerLevel, 2);
  plovercrashjson_addBooleanElement(&context, "added", true);
  plovercrashjson_endEncode(&context);
  EXPECT_EQ(sink.text, R"({"before":1,"user":{"a":1,"b":[1,{"c":null}],"d":"e","added":true}})");
}

TEST(PloverCrashJSONReencodeTest, CloseLastContainerBalancesEvenBrokenInput) {
  for (const std::string& input : {std::string(R"({"a":[1,2,{"b":"c"}]})"), std::string(R"({"a":[1,2,{"b":"c)"),
                                   std::string(R"([[[[1)"), std::string(R"({"x":tru)")}) {
    JSONSink sink;
    PloverCrashJSONEncodeContext context;
    plovercrashjson_beginEncode(&context, true, JSONSink::add, &sink);
    plovercrashjson_beginObject(&context, nullptr);
    plovercrashjson_addJSONElement(&context, "inner", input.data(), static_cast<int>(input.size()), true);
    EXPECT_EQ(context.containerLevel, 1) << input;
    plovercrashjson_addIntegerElement(&context, "after", 2);
    plovercrashjson_endEncode(&context);
    nlohmann::json parsed;
    ASSERT_NO_THROW(parsed = nlohmann::json::parse(sink.text)) << sink.text;
    EXPECT_EQ(parsed["after"], 2) << sink.text;
  }
}

TEST(PloverCrashJSONReencodeTest, TopLevelTextAtLevelZero) {
  JSONSink sink;
  PloverCrashJSONEncodeContext context;
  plovercrashjson_beginEncode(&context, false, JSONSink::add, &sink);
  const std::string input = R"([1,[2,[3]],{"k":{"l":[]}}])";
  EXPECT_EQ(plovercrashjson_addJSONElement(&context, nullptr, input.data(), static_cast<int>(input.size()), false), 0);
  // Only the outermost decoded container waits for the caller.
  EXPECT_EQ(context.containerLevel, 1);
  plovercrashjson_endEncode(&context);
  EXPECT_EQ(sink.text, input);
}

// A report written in full, then cut at every length: re-encoded from the file with
// closeLastContainer, each cut yields balanced JSON holding what came before the cut.
class PloverCrashJSONFileTest : public ::testing::Test {
 protected:
  static std::string sampleReport() {
    JSONSink sink;
    PloverCrashJSONEncodeContext context;
    plovercrashjson_beginEncode(&context, true, JSONSink::add, &sink);
    plovercrashjson_beginObject(&context, nullptr);
    plovercrashjson_beginObject(&context, "report");
    plovercrashjson_addStringElement(&context, "id", "0A1B2C3D-0000-4000-8000-000000000000", -1);
    plovercrashjson_addIntegerElement(&context, "timestamp", 1796852741);
    plovercrashjson_endContainer(&context);
    plovercrashjson_beginArray(&context, "threads");
    for (int t = 0; t < 3; ++t) {
      plovercrashjson_beginObject(&context, nullptr);
      plovercrashjson_addIntegerElement(&context, "index", t);
      plovercrashjson_addBooleanElement(&context, "crashed", t == 1);
      plovercrashjson_addStringElement(&context, "name", "worker \"\u00e9\" \\ tab\t", -1);
      plovercrashjson_beginArray(&context, "frames");
      for (int f = 0; f < 3; ++f) {
        plovercrashjson_beginObject(&context, nullptr);
        plovercrashjson_addUIntegerElement(&context, "address", 0x7fff00001000ULL + f * 16);
        plovercrashjson_addFloatingPointElement(&context, "ratio", f / 7.0);
        plovercrashjson_addNullElement(&context, "symbol");
        plovercrashjson_endContainer(&context);
      }
      plovercrashjson_endContainer(&context);
      plovercrashjson_endContainer(&context);
    }
    plovercrashjson_endEncode(&context);
    return sink.text;
  }

  static int reencodeFile(const std::string& path, std::string* output) {
    JSONSink sink;
    PloverCrashJSONEncodeContext context;
    plovercrashjson_beginEncode(&context, false, JSONSink::add, &sink);
    plovercrashjson_beginObject(&context, nullptr);
    const int result = plovercrashjson_addJSONFromFile(&context, "recrash", path.c_str(), true);
    plovercrashjson_addStringElement(&context, "after", "yes", -1);
    plovercrashjson_endEncode(&context);
    *output = sink.text;
    return result;
  }

  TemporaryFolder folder;
};

TEST_F(PloverCrashJSONFileTest, WholeFileReadsBackEqual) {
  const std::string report = sampleReport();
  ASSERT_GT(report.size(), 1000u);
  const std::string path = folder.file("report.json");
  TemporaryFolder::write(path, report);
  std::string output;
  ASSERT_EQ(reencodeFile(path, &output), 0);
  const nlohmann::json parsed = nlohmann::json::parse(output);
  EXPECT_EQ(parsed["recrash"], nlohmann::json::parse(report));
  EXPECT_EQ(parsed["after"], "yes");
}

TEST_F(PloverCrashJSONFileTest, EveryCutIsBalancedJson) {
  const std::string report = sampleReport();
  const std::string path = folder.file("cut.json");
  int balancedWithThreads = 0;
  for (std::size_t cut = 0; cut <= report.size(); ++cut) {
    TemporaryFolder::write(path, report.substr(0, cut));
    std::string output;
    const int result = reencodeFile(path, &output);
    if (cut < report.size()) {
      EXPECT_NE(result, 0) << "cut at " << cut;
    }
    nlohmann::json parsed;
    ASSERT_NO_THROW(parsed = nlohmann::json::parse(output)) << "cut at " << cut << ": " << output;
    ASSERT_EQ(parsed["after"], "yes");
    if (parsed.contains("recrash") && parsed["recrash"].contains("threads")) {
      ++balancedWithThreads;
    }
  }
  EXPECT_GT(balancedWithThreads, static_cast<int>(report.size() / 2));
}

TEST_F(PloverCrashJSONFileTest, LongWhitespaceRunsAndMissingFiles) {
  const std::string path = folder.file("spaces.json");
  const std::string spaced = "{" + std::string(5000, ' ') + "\"a\"" + std::string(3000, '\n') + ":" +
                             std::string(2500, ' ') + "[1," + std::string(4000, '\t') + "2]" + std::string(1200, ' ') +
                             "}";
  TemporaryFolder::write(path, spaced);
  std::string output;
  ASSERT_EQ(reencodeFile(path, &output), 0);
  EXPECT_EQ(output, R"({"recrash":{"a":[1,2]},"after":"yes"})");

  EXPECT_EQ(reencodeFile(folder.file("missing.json"), &output), PloverCrashJSON_ERROR_INCOMPLETE);
  EXPECT_EQ(output, R"({"after":"yes"})");
}

}  // namespace
