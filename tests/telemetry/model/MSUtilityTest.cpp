#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/JSONLimits.h"
#include "telemetry/ZerEvuzev/Util/MSJson.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

using namespace std::chrono_literals;

vx::Bytes bytesOf(const std::string& text) { return vx::Bytes(text.begin(), text.end()); }

// The bytes of a named section of this test program, read from its ELF file.
std::optional<std::vector<char>> sectionOfSelf(const std::string& name) {
  std::ifstream in("/proc/self/exe", std::ios::binary | std::ios::ate);
  std::vector<char> image(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(image.data(), static_cast<std::streamsize>(image.size()));
  if (image.size() < sizeof(Elf64_Ehdr)) return std::nullopt;
  Elf64_Ehdr header;
  std::memcpy(&header, image.data(), sizeof header);
  if (header.e_shoff == 0 || header.e_shstrndx >= header.e_shnum) return std::nullopt;
  const auto sectionHeader = [&](std::size_t index) {
    Elf64_Shdr section;
    std::memcpy(&section, image.data() + header.e_shoff + index * sizeof(Elf64_Shdr), sizeof section);
    return section;
  };
  const Elf64_Shdr names = sectionHeader(header.e_shstrndx);
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    const Elf64_Shdr section = sectionHeader(i);
    if (name == image.data() + names.sh_offset + section.sh_name) {
      return std::vector<char>(image.begin() + static_cast<long>(section.sh_offset),
                               image.begin() + static_cast<long>(section.sh_offset + section.sh_size));
    }
  }
  return std::nullopt;
}

TEST(MSUtilityDateTest, WritesAndReadsIso8601InUtcWithMilliseconds) {
  const vx::Date date = vx::Date(std::chrono::seconds(1700000000)) + 123ms + 456us;
  EXPECT_EQ(MSUtility::dateToISO8601(date), "2023-11-14T22:13:20.123Z");
  EXPECT_EQ(MSUtility::dateFromISO8601("2023-11-14T22:13:20.123Z"), vx::Date(std::chrono::seconds(1700000000)) + 123ms);
  EXPECT_FALSE(MSUtility::dateFromISO8601("14/11/2023"));
}

TEST(MSUtilityDateTest, NowFollowsTheInjectableClock) {
  vx::ScopedVirtualTime time(vx::Date(std::chrono::seconds(1000)));
  EXPECT_DOUBLE_EQ(MSUtility::nowInMilliseconds(), 1'000'000.0);
  time.advance(1500ms);
  EXPECT_DOUBLE_EQ(MSUtility::nowInMilliseconds(), 1'001'500.0);
}

TEST(MSUtilitySdkTest, NameAndVersionComeFromTheVersionRecordInItsOwnSection) {
  EXPECT_EQ(MSUtility::sdkName(), "zerevuzev.macos");
  EXPECT_EQ(MSUtility::sdkVersion(), "2.1.0");
  const auto section = sectionOfSelf("__ms_ios");
  ASSERT_TRUE(section);
  ASSERT_EQ(section->size(), 97u);
  EXPECT_EQ((*section)[0], 1);
  EXPECT_STREQ(section->data() + 1, "zerevuzev.macos");
  EXPECT_STREQ(section->data() + 33, "2.1.0");
  EXPECT_STREQ(section->data() + 65, "1");
  EXPECT_EQ(MSUtility::currentAppEnvironment(), MSAppEnvironment::Other);
  EXPECT_EQ(MSUtility::applicationState(), MSApplicationState::Active);
}

TEST(MSUtilityStringTest, CredentialsAreSplitIntoSecretAndTargetToken) {
  struct Case {
    std::string credentials;
    std::optional<std::string> secret, token;
  };
  const std::vector<Case> table = {
      {"appsecret=abc;target=def-123", "abc", "def-123"},
      {"target=def-123;appsecret=abc", "abc", "def-123"},
      {"plainsecret", "plainsecret", std::nullopt},
      {"target=only", std::nullopt, "only"},
      {"", std::nullopt, std::nullopt},
      {";;target=;", std::nullopt, std::nullopt},
  };
  for (const auto& c : table) {
    EXPECT_EQ(MSUtility::appSecretFrom(c.credentials), c.secret) << c.credentials;
    EXPECT_EQ(MSUtility::transmissionTargetTokenFrom(c.credentials), c.token) << c.credentials;
  }
}

TEST(MSUtilityStringTest, TargetKeyAndIKeyComeFromTheTokenBeforeItsFirstDash) {
  EXPECT_EQ(MSUtility::targetKeyFromTargetToken("abc-def-ghi"), "abc");
  EXPECT_EQ(MSUtility::iKeyFromTargetToken("abc-def-ghi"), "o:abc");
  EXPECT_EQ(MSUtility::iKeyFromTargetToken("nodash"), "o:nodash");
  EXPECT_EQ(MSUtility::targetKeyFromTargetToken("-abc"), std::nullopt);
  EXPECT_EQ(MSUtility::iKeyFromTargetToken(""), std::nullopt);
}

TEST(MSUtilityStringTest, Sha256IsLowerCaseHex) {
  EXPECT_EQ(MSUtility::sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(MSUtilityJsonTest, PrettyPrintUsesBlankColonBlankAndTwoSpaceIndent) {
  const auto pretty = MSUtility::prettyPrintJson(bytesOf(R"({"a":1,"b":[true,null],"c":{},"d":[],"e":{"f":"g\/h"}})"));
  ASSERT_TRUE(pretty);
  EXPECT_EQ(*pretty,
            "{\n"
            "  \"a\" : 1,\n"
            "  \"b\" : [\n"
            "    true,\n"
            "    null\n"
            "  ],\n"
            "  \"c\" : {},\n"
            "  \"d\" : [],\n"
            "  \"e\" : {\n"
            "    \"f\" : \"g/h\"\n"
            "  }\n"
            "}");
  EXPECT_EQ(MSUtility::prettyPrintJson(std::optional<vx::Bytes>()), std::nullopt);
  EXPECT_EQ(MSUtility::prettyPrintJson(bytesOf("not json")), "not json");
  EXPECT_EQ(MSUtility::prettyPrintJson(bytesOf("\xff\xfe")), std::nullopt);
}

TEST(MSUtilityJsonTest, TokenInAPrettyPrintedReplyIsMaskedByTheIngestionPattern) {
  // The reply as a service sends it: compact, with escaped slashes and a mixed-case key.
  const std::string reply =
      R"({"token":"eyJhbGci.secret\/part","Token":"second","expiry":"2030-01-01","name":"token"})";
  const auto pretty = MSUtility::prettyPrintJson(bytesOf(reply));
  ASSERT_TRUE(pretty);
  const auto masked = MSUtility::obfuscateString(pretty, R"("token" : "[^"]+")", R"("token" : "***")");
  ASSERT_TRUE(masked);
  EXPECT_EQ(masked->find("secret"), std::string::npos) << *masked;
  EXPECT_EQ(masked->find("second"), std::string::npos) << *masked;
  EXPECT_NE(masked->find("\"token\" : \"***\""), std::string::npos) << *masked;
  EXPECT_NE(masked->find("\"expiry\" : \"2030-01-01\""), std::string::npos);
  EXPECT_NE(masked->find("\"name\" : \"token\""), std::string::npos);
}

TEST(MSUtilityJsonTest, ObfuscateUsesCaptureGroupsAndRejectsBadPatterns) {
  EXPECT_EQ(MSUtility::obfuscateString(std::string("key=abc, KEY=def"), "(key)=[a-z]+", "$1=***"), "key=***, KEY=***");
  EXPECT_EQ(MSUtility::obfuscateString(std::nullopt, "x", "y"), std::nullopt);
  EXPECT_EQ(MSUtility::obfuscateString(std::string("abc"), "x*", "-"), "-a-b-c-");
  EXPECT_EQ(MSUtility::obfuscateString(std::string("cost: 5"), "[0-9]", "\\$$0"), "cost: $5");
  MSLogRecorder log;
  EXPECT_EQ(MSUtility::obfuscateString(std::string("text"), "([a-z", "y"), std::nullopt);
  EXPECT_EQ(log.count("Couldn't create regular expression with pattern\"([a-z\": "), 1u);
}

TEST(MSUtilityJsonTest, BackslashFollowedBySlashSurvivesWritingAndPrettyPrinting) {
  MSJson json = MSJson::object();
  json["path"] = "a\\/b and http://host/x";
  const auto compact = MSJsonWriter::write(json, false);
  ASSERT_TRUE(compact);
  EXPECT_EQ(*compact, R"({"path":"a\\/b and http://host/x"})");
  EXPECT_EQ(MSJson::parse(*compact)["path"], "a\\/b and http://host/x");
  const auto pretty = MSUtility::prettyPrintJson(*compact);
  ASSERT_TRUE(pretty);
  EXPECT_EQ(MSJson::parse(*pretty)["path"], "a\\/b and http://host/x");
}

TEST(MSUtilityJsonTest, WriterRepairsTextThatIsNotUtf8InValuesAndKeys) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  struct Case {
    const char* name;
    std::string bytes;
    std::string repaired;
  } cases[] = {
      {"invalid", "caf\xE9.svg", "caf" + r + ".svg"},
      {"overlong", "\xC0\xAF", r + r},
      {"truncated", "x\xF0\x9F\x98", "x" + r},
      {"cut_pair", "\xC3\x28", r + "("},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MSJson json = MSJson::object();
    json["name"] = c.bytes;
    json[c.bytes] = MSJson::array({c.bytes, 1});
    json["good"] = "caf\xC3\xA9";
    for (const bool pretty : {false, true}) {
      const auto text = MSJsonWriter::write(json, pretty);
      ASSERT_TRUE(text);
      const auto back = MSJson::parse(*text);
      EXPECT_EQ(back["name"], c.repaired);
      EXPECT_EQ(back[c.repaired], MSJson::array({c.repaired, 1}));
      EXPECT_EQ(back["good"], "caf\xC3\xA9");
      EXPECT_EQ(back.begin().key(), "name") << "key order is kept";
    }
  }
}

// Replies nested far deeper than any real one (50,000 levels): printed as received with a
// warning, never parsed or written by recursion.
TEST(MSUtilityJsonTest, PrettyPrintGivesDeepJsonBackAsReceivedWithAWarning) {
  const std::size_t deep = 50'000;
  const std::string arrays = std::string(deep, '[') + std::string(deep, ']');
  std::string objects;
  for (std::size_t i = 0; i < deep; ++i) objects += R"({"a":)";
  objects += "1" + std::string(deep, '}');
  struct Case {
    const char* name;
    std::string text;
    std::optional<std::string> expected;
  } cases[] = {
      {"arrays", arrays, arrays},
      {"objects", objects, objects},
      {"unclosed", std::string(deep, '['), std::string(deep, '[')},
      {"deep inside a member", R"({"token":"t","x":)" + arrays + "}", R"({"token":"t","x":)" + arrays + "}"},
      {"not UTF-8", std::string(deep, '[') + "\xFF" + std::string(deep, ']'), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MSLogRecorder log;
    EXPECT_EQ(MSUtility::prettyPrintJson(bytesOf(c.text)), c.expected);
    EXPECT_EQ(log.count("JSON nests deeper than " + std::to_string(vx::kMaxJSONNesting) + " levels"), 1u);
  }
  // At the limit the reply is still pretty-printed, without a warning.
  MSLogRecorder log;
  const std::size_t most = vx::kMaxJSONNesting;
  const auto pretty = MSUtility::prettyPrintJson(bytesOf(std::string(most, '[') + std::string(most, ']')));
  ASSERT_TRUE(pretty);
  EXPECT_EQ(pretty->substr(0, 4), "[\n  ");
  EXPECT_EQ(log.count("nests deeper"), 0u);
}

// A value nested `levels` deep around the number 1, built without recursion.
MSJson nestedValue(std::size_t levels, bool objects) {
  MSJson value = 1;
  for (std::size_t i = 0; i < levels; ++i) {
    MSJson wrapper = objects ? MSJson::object() : MSJson::array();
    if (objects) {
      wrapper["a"] = std::move(value);
    } else {
      wrapper.push_back(std::move(value));
    }
    value = std::move(wrapper);
  }
  return value;
}

TEST(MSUtilityJsonTest, WriterRefusesValuesNestedBeyondTheLimit) {
  struct Case {
    std::size_t levels;
    bool objects;
    bool written;
  } cases[] = {
      {vx::kMaxJSONNesting, false, true},
      {vx::kMaxJSONNesting, true, true},
      {vx::kMaxJSONNesting + 1, false, false},
      {vx::kMaxJSONNesting + 1, true, false},
      {50'000, false, false},
      {50'000, true, false},
  };
  for (const auto& c : cases) {
    const MSJson value = nestedValue(c.levels, c.objects);
    for (const bool pretty : {false, true}) {
      SCOPED_TRACE(std::to_string(c.levels) + (c.objects ? " objects" : " arrays") + (pretty ? " pretty" : ""));
      const auto text = MSJsonWriter::write(value, pretty);
      ASSERT_EQ(static_cast<bool>(text), c.written);
      if (c.written) {
        EXPECT_EQ(MSJson::parse(*text), value);
      } else {
        EXPECT_EQ(text.error().domain, MSJsonWriter::kErrorDomain);
        EXPECT_EQ(text.error().code, 1);
        EXPECT_NE(text.error().description.find("nests deeper than"), std::string::npos) << text.error().description;
      }
    }
  }
  // Width is not depth: many shallow members are written.
  MSJson wide = MSJson::array();
  for (int i = 0; i < 10'000; ++i) wide.push_back(nestedValue(3, i % 2 == 0));
  EXPECT_TRUE(MSJsonWriter::write(wide, true));
}

// The one character counter and cutter every length limit of the SDK uses (event names,
// property keys and values, custom properties, user ids, account ids in logs). Characters are
// counted by their first byte, so hostile bytes never fail and a sequence is never split.
struct Utf8Case {
  const char* name;
  std::string text;
  std::size_t length;      // utf8Length(text)
  std::size_t characters;  // asked of utf8Prefix
  std::string prefix;      // utf8Prefix(text, characters)
};

TEST(MSUtilityStringTest, Utf8LengthAndPrefixCountCharactersAndNeverSplitASequence) {
  const Utf8Case cases[] = {
      {"empty", "", 0, 0, ""},
      {"empty, any limit", "", 0, 5, ""},
      {"ascii cut", "abc", 3, 2, "ab"},
      {"ascii shorter than the limit", "abc", 3, 10, "abc"},
      {"zero characters", "abc", 3, 0, ""},
      {"two-byte character kept whole", "a\xC3\xA9z", 3, 2, "a\xC3\xA9"},
      {"cut before a two-byte character", "a\xC3\xA9z", 3, 1, "a"},
      {"three-byte character", "\xE2\x82\xACx", 2, 1, "\xE2\x82\xAC"},
      {"four-byte character",
       "\xF0\x9F\x98\x80"
       "b",
       2, 1, "\xF0\x9F\x98\x80"},
      {"sequence cut off at the end", "a\xE2\x82", 2, 1, "a"},
      {"sequence cut off at the end, kept", "a\xE2\x82", 2, 2, "a\xE2\x82"},
      {"overlong form counts once", "\xC0\xAFz", 2, 1, "\xC0\xAF"},
      {"five-byte form counts once", "\xF8\x88\x80\x80\x80z", 2, 1, "\xF8\x88\x80\x80\x80"},
      {"surrogate counts once", "\xED\xA0\x80z", 2, 1, "\xED\xA0\x80"},
      {"invalid bytes count one each", "\xFF\xFE\xFD", 3, 2, "\xFF\xFE"},
      {"stray continuation bytes stay with what precedes",
       "a\x80\x80"
       "b",
       2, 1, "a\x80\x80"},
      {"stray continuation bytes at the start",
       "\x80\x80"
       "a",
       1, 0, "\x80\x80"},
      {"only continuation bytes", "\x80\xBF", 0, 0, "\x80\xBF"},
      {"NUL is a character", std::string("a\0b", 3), 3, 2, std::string("a\0", 2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MSUtility::utf8Length(c.text), c.length);
    const std::string prefix = MSUtility::utf8Prefix(c.text, c.characters);
    EXPECT_EQ(prefix, c.prefix);
    EXPECT_EQ(c.text.compare(0, prefix.size(), prefix), 0) << "always a prefix of the text";
    EXPECT_LE(MSUtility::utf8Length(prefix), c.characters);
  }
}

TEST(MSUtilityStringTest, Utf8LengthAndPrefixHandleHugeText) {
  std::string huge;
  for (int i = 0; i < 1'000'000; ++i) huge += "\xC3\xA9";
  EXPECT_EQ(MSUtility::utf8Length(huge), 1'000'000u);
  const std::string cut = MSUtility::utf8Prefix(huge, 999'999);
  EXPECT_EQ(cut.size(), 1'999'998u);
  EXPECT_EQ(MSUtility::utf8Prefix(huge, 1'000'000), huge);
  EXPECT_EQ(MSUtility::utf8Prefix(huge, static_cast<std::size_t>(-1)), huge);
  EXPECT_EQ(MSUtility::utf8Prefix(huge, 125).size(), 250u);
}

TEST(MSUtilityPropertiesTest, KeepsTheFirstTwentyAndWarnsOnce) {
  MSLogRecorder log;
  vx::ValueMap properties;
  for (int i = 0; i < 21; ++i) properties.set("key" + std::to_string(100 + i), vx::Value("v"));
  const auto valid = MSUtility::validateProperties(properties, "myEvent", "Event");
  ASSERT_EQ(valid.size(), 20u);
  EXPECT_TRUE(valid.contains("key119"));
  EXPECT_FALSE(valid.contains("key120"));
  EXPECT_EQ(log.count("Event 'myEvent' : properties cannot contain more than 20 items. Skipping other properties."),
            1u);
}

TEST(MSUtilityPropertiesTest, CutsLongKeysAndValuesAndSkipsBadEntries) {
  MSLogRecorder log;
  const std::string longKey(200, 'k');
  const std::string longValue(200, 'v');
  vx::ValueMap properties;
  properties.set(longKey, vx::Value(longValue));
  properties.set("", vx::Value("empty key"));
  properties.set("number", vx::Value(5));
  properties.set("ok", vx::Value("fine"));
  const auto valid = MSUtility::validateProperties(properties, "name", "Event");
  ASSERT_EQ(valid.size(), 2u);
  EXPECT_EQ(valid.at(std::string(125, 'k')), std::string(125, 'v'));
  EXPECT_EQ(valid.at("ok"), "fine");
  EXPECT_EQ(log.count("property key length cannot be longer than 125 characters"), 1u);
  EXPECT_EQ(log.count("property value cannot be longer than 125 characters"), 1u);
  EXPECT_EQ(log.count("a property key cannot be null or empty"), 1u);
}

TEST(MSUtilityFileTest, FilesLiveInTheSdkFolderUnderApplicationSupport) {
  const auto folder = MSUtility::zerEvuzevDirectoryURL();
  EXPECT_EQ(folder.filename(), MSUtility::kSdkFolderName);
  EXPECT_EQ(folder.parent_path().parent_path(), std::filesystem::path(std::getenv("XDG_DATA_HOME")));
  EXPECT_TRUE(std::filesystem::is_directory(folder));

  const auto url = MSUtility::createFileAtPathComponent("logs/one.bin", bytesOf("first"), true, false);
  ASSERT_TRUE(url);
  EXPECT_EQ(*url, folder / "logs/one.bin");
  // Without forcing, an existing file is left alone and its path still returned.
  EXPECT_EQ(MSUtility::createFileAtPathComponent("logs/one.bin", bytesOf("second"), false, false), url);
  EXPECT_EQ(MSUtility::loadDataForPathComponent("logs/one.bin"), bytesOf("first"));
  EXPECT_TRUE(MSUtility::createFileAtPathComponent("logs/one.bin", bytesOf("second"), false, true));
  EXPECT_EQ(MSUtility::loadDataForPathComponent("logs/one.bin"), bytesOf("second"));
  EXPECT_TRUE(MSUtility::createFileAtPathComponent("logs/empty.bin", std::nullopt, false, true));
  EXPECT_EQ(MSUtility::loadDataForPathComponent("logs/empty.bin"), vx::Bytes());

  const auto entries = MSUtility::contentsOfDirectory("logs");
  ASSERT_TRUE(entries);
  EXPECT_EQ(entries->size(), 2u);
  EXPECT_TRUE(MSUtility::fileExistsForPathComponent("logs/one.bin"));
  EXPECT_TRUE(MSUtility::deleteItemForPathComponent("logs"));
  EXPECT_FALSE(MSUtility::fileExistsForPathComponent("logs/one.bin"));
  EXPECT_FALSE(MSUtility::deleteItemForPathComponent("logs"));
  EXPECT_EQ(MSUtility::contentsOfDirectory("logs"), std::nullopt);
  EXPECT_EQ(MSUtility::contentsOfDirectory(""), std::nullopt);
  EXPECT_TRUE(MSUtility::createDirectoryForPathComponent("a/b"));
  EXPECT_TRUE(std::filesystem::is_directory(folder / "a/b"));
}

TEST(MSUtilityFileTest, ComponentsThatLeaveTheSdkFolderAreRefused) {
  for (const char* component : {"../escape.txt", "/tmp/absolute.txt", "a/../../b", ""}) {
    EXPECT_EQ(MSUtility::createFileAtPathComponent(component, bytesOf("x"), false, true), std::nullopt) << component;
    EXPECT_EQ(MSUtility::fullURLForPathComponent(component), std::nullopt) << component;
    EXPECT_FALSE(MSUtility::deleteItemForPathComponent(component)) << component;
  }
  EXPECT_FALSE(std::filesystem::exists(MSUtility::zerEvuzevDirectoryURL().parent_path() / "escape.txt"));
}

}  // namespace
