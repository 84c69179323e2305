#include "platform/foundation/UserDefaults.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/JSONLimits.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace vx {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream buffer;
  buffer << file.rdbuf();
  return buffer.str();
}

// Each test writes under its own XDG_CONFIG_HOME inside the process's temporary home.
class UserDefaultsTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    configHome_ = fs::path(std::getenv("VX_TEST_HOME")) / "defaults" / info->name();
    fs::create_directories(configHome_);
    saved_ = std::getenv("XDG_CONFIG_HOME");
    setenv("XDG_CONFIG_HOME", configHome_.c_str(), 1);
  }
  void TearDown() override { setenv("XDG_CONFIG_HOME", saved_.c_str(), 1); }

  fs::path suiteFile(const std::string& suite) const {
    return configHome_ / Bundle::main().bundleIdentifier() / (suite + ".json");
  }

  fs::path configHome_;
  std::string saved_;
};

TEST_F(UserDefaultsTest, FreshInstanceReadsEveryTypeAnEarlierOneWrote) {
  const auto date = system_clock::now();
  const auto uuid = UUID::make();
  const ValueMap dictionary{{"nested", ValueArray{1, "two", ValueMap{{"three", 3.5}}}}, {"when", date}};
  {
    auto defaults = UserDefaults::make("roundtrip");
    ASSERT_NE(defaults, nullptr);
    EXPECT_EQ(defaults->filePath(), suiteFile("roundtrip"));
    defaults->setBool(true, "bool");
    defaults->setInteger(-(std::int64_t{1} << 53) - 1, "integer");
    defaults->setDouble(0.1, "double");
    defaults->setDouble(std::nan(""), "nan");
    defaults->setDouble(-INFINITY, "negativeInfinity");
    defaults->setString("héllo \"world\"", "string");
    defaults->setDate(date, "date");
    defaults->setData(Bytes{0, 255, 10, 13}, "data");
    defaults->setObject(Value(uuid), "uuid");
    defaults->setArray(ValueArray{true, 1, 1.0, "x", nullptr}, "array");
    defaults->setDictionary(dictionary, "dictionary");
    // A map that looks like one of the file's type tags stays a map.
    defaults->setDictionary(ValueMap{{"$date", "not a date"}}, "lookalike");
  }
  ASSERT_TRUE(fs::exists(suiteFile("roundtrip")));
  // Settings are private to the user.
  EXPECT_EQ(fs::status(suiteFile("roundtrip")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(suiteFile("roundtrip").parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
  auto defaults = UserDefaults::make("roundtrip");
  EXPECT_TRUE(defaults->boolForKey("bool"));
  EXPECT_EQ(defaults->integerForKey("integer"), -(std::int64_t{1} << 53) - 1);
  EXPECT_EQ(defaults->doubleForKey("double"), 0.1);
  EXPECT_TRUE(std::isnan(defaults->doubleForKey("nan")));
  EXPECT_EQ(defaults->doubleForKey("negativeInfinity"), -INFINITY);
  EXPECT_EQ(defaults->stringForKey("string"), "héllo \"world\"");
  EXPECT_EQ(defaults->dateForKey("date"), date);
  EXPECT_EQ(defaults->dataForKey("data"), (Bytes{0, 255, 10, 13}));
  EXPECT_EQ(defaults->uuidForKey("uuid"), uuid);
  EXPECT_EQ(defaults->arrayForKey("array"), (ValueArray{true, 1, 1.0, "x", nullptr}));
  ASSERT_TRUE(defaults->arrayForKey("array").has_value());
  EXPECT_TRUE((*defaults->arrayForKey("array"))[2].isDouble());
  EXPECT_EQ(defaults->dictionaryForKey("dictionary"), dictionary);
  EXPECT_EQ(defaults->dictionaryForKey("lookalike"), (ValueMap{{"$date", "not a date"}}));
  // The file is plain JSON a person can read.
  const auto json = nlohmann::json::parse(readFile(suiteFile("roundtrip")));
  EXPECT_EQ(json["bool"], true);
  EXPECT_EQ(json["string"], "héllo \"world\"");
}

TEST_F(UserDefaultsTest, AnotherProcessReadsWhatThisOneWroteAndBack) {
  // The child is a fresh process: it shares nothing with this one but the file.
  EXPECT_EXIT(
      {
        auto defaults = UserDefaults::make("crossprocess");
        defaults->setString("from the child", "message");
        defaults->setDate(Date{} + std::chrono::nanoseconds(1234567891), "when");
        std::exit(defaults->objectForKey("parent").has_value() ? 3 : 0);
      },
      testing::ExitedWithCode(0), "");
  auto defaults = UserDefaults::make("crossprocess");
  EXPECT_EQ(defaults->stringForKey("message"), "from the child");
  EXPECT_EQ(defaults->dateForKey("when"), Date{} + std::chrono::nanoseconds(1234567891));
  defaults->setBool(true, "parent");
  defaults.reset();
  EXPECT_EXIT(
      {
        auto child = UserDefaults::make("crossprocess");
        std::exit(child->boolForKey("parent") && child->stringForKey("message") == "from the child" ? 0 : 4);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(UserDefaultsTest, WrongTypesGiveTheFallbackAndRegisteredValuesFillGaps) {
  auto defaults = UserDefaults::make("types");
  defaults->setString("yes", "flag");
  defaults->setBool(true, "number");
  defaults->setInteger(7, "count");
  EXPECT_FALSE(defaults->boolForKey("flag"));
  EXPECT_TRUE(defaults->boolForKey("flag", true));
  EXPECT_EQ(defaults->integerForKey("number", 42), 42);  // a bool is not a number
  EXPECT_EQ(defaults->doubleForKey("count"), 7.0);       // an integer reads as a double
  EXPECT_FALSE(defaults->stringForKey("count").has_value());
  EXPECT_FALSE(defaults->dateForKey("flag").has_value());
  EXPECT_FALSE(defaults->dataForKey("flag").has_value());
  EXPECT_FALSE(defaults->arrayForKey("flag").has_value());
  EXPECT_FALSE(defaults->dictionaryForKey("flag").has_value());
  EXPECT_FALSE(defaults->objectForKey("absent").has_value());

  defaults->registerDefaults({{"enabled", true}, {"count", 1}, {"name", "fallback"}});
  EXPECT_TRUE(defaults->boolForKey("enabled"));
  EXPECT_EQ(defaults->integerForKey("count"), 7);  // stored value wins
  defaults->removeObject("count");
  EXPECT_EQ(defaults->integerForKey("count"), 1);  // registered value shows again
  defaults->setBool(false, "enabled");
  EXPECT_FALSE(defaults->boolForKey("enabled", true));
  EXPECT_EQ(defaults->dictionaryRepresentation().find("name")->stringValue()[0], "fallback");

  // The registration domain is never written to the file.
  const auto json = nlohmann::json::parse(readFile(suiteFile("types")));
  EXPECT_FALSE(json.contains("name"));
  EXPECT_FALSE(json.contains("count"));
  defaults->setObject(Value(), "flag");  // null removes
  EXPECT_FALSE(defaults->objectForKey("flag").has_value());
  defaults->removeAll();
  EXPECT_EQ(nlohmann::json::parse(readFile(suiteFile("types"))), nlohmann::json::object());
}

TEST_F(UserDefaultsTest, InstancesOfOneSuiteShareValuesAndSuitesStayApart) {
  auto first = UserDefaults::make("shared");
  auto second = UserDefaults::make("shared");
  auto other = UserDefaults::make("other");
  first->setInteger(5, "value");
  EXPECT_EQ(second->integerForKey("value"), 5);
  EXPECT_FALSE(other->objectForKey("value").has_value());
  for (const char* bad : {"", ".", "..", "a/b", "/abs"}) EXPECT_EQ(UserDefaults::make(bad), nullptr) << bad;
}

TEST_F(UserDefaultsTest, ReadsTheEnvironmentForEachNewInstanceAndFallsBackToHome) {
  auto here = UserDefaults::make("placed");
  here->setString("here", "where");
  const auto elsewhere = configHome_ / "elsewhere";
  setenv("XDG_CONFIG_HOME", elsewhere.c_str(), 1);
  auto there = UserDefaults::make("placed");
  EXPECT_FALSE(there->objectForKey("where").has_value());
  there->setString("there", "where");
  EXPECT_TRUE(fs::exists(elsewhere / Bundle::main().bundleIdentifier() / "placed.json"));
  EXPECT_EQ(here->stringForKey("where"), "here");

  const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  const auto home = configHome_ / "home";
  setenv("HOME", home.c_str(), 1);
  for (const char* value : {"", "relative/path"}) {
    setenv("XDG_CONFIG_HOME", value, 1);
    auto fallback = UserDefaults::make("fallback");
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(fallback->filePath(), home / ".config" / Bundle::main().bundleIdentifier() / "fallback.json");
  }
  unsetenv("XDG_CONFIG_HOME");
  auto fallback = UserDefaults::make("fallback");
  fallback->setBool(true, "written");
  EXPECT_TRUE(fs::exists(home / ".config" / Bundle::main().bundleIdentifier() / "fallback.json"));
  setenv("HOME", savedHome.c_str(), 1);
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNothingAndReadersSeeWholeFiles) {
  constexpr int kThreads = 4;
  constexpr int kKeys = 25;
  const auto path = suiteFile("concurrent");
  {
    auto defaults = UserDefaults::make("concurrent");
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
      // Every version of the file on disk is complete JSON: replace is atomic.
      while (!done) {
        std::ifstream file(path);
        if (!file) continue;
        std::stringstream buffer;
        buffer << file.rdbuf();
        ++reads;
        if (!nlohmann::json::accept(buffer.str())) ++badReads;
      }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&, t] {
        auto own = UserDefaults::make("concurrent");
        for (int k = 0; k < kKeys; ++k) {
          own->setInteger(t * 1000 + k, "key-" + std::to_string(t) + "-" + std::to_string(k));
          (void)own->integerForKey("key-0-0");
        }
      });
    }
    for (auto& writer : writers) writer.join();
    done = true;
    reader.join();
    EXPECT_EQ(badReads.load(), 0);
    EXPECT_GT(reads.load(), 0);
  }
  auto fresh = UserDefaults::make("concurrent");
  EXPECT_EQ(fresh->dictionaryRepresentation().size(), static_cast<std::size_t>(kThreads * kKeys));
  for (int t = 0; t < kThreads; ++t) {
    for (int k = 0; k < kKeys; ++k) {
      EXPECT_EQ(fresh->integerForKey("key-" + std::to_string(t) + "-" + std::to_string(k), -1), t * 1000 + k);
    }
  }
  // No temporary files are left behind.
  for (const auto& entry : fs::directory_iterator(path.parent_path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
  }
}

TEST_F(UserDefaultsTest, CorruptFileIsSetAsideAndTheSuiteStartsEmpty) {
  const auto path = suiteFile("corrupt");
  fs::create_directories(path.parent_path());
  for (const std::string& garbage : {std::string("{\"truncated\": tr"), std::string("[1,2]"), std::string(""),
                                     std::string("{\"d\": {\"$date\": \"not a date\"}}")}) {
    std::ofstream(path, std::ios::binary) << garbage;
    testing::internal::CaptureStderr();
    auto defaults = UserDefaults::make("corrupt");
    const auto log = testing::internal::GetCapturedStderr();
    ASSERT_NE(defaults, nullptr);
    EXPECT_TRUE(defaults->dictionaryRepresentation().empty());
    EXPECT_NE(log.find("not a valid settings file"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(path));
    int asideCount = 0;
    for (const auto& entry : fs::directory_iterator(path.parent_path())) {
      if (entry.path().filename().string().starts_with("corrupt.json.corrupt-")) {
        ++asideCount;
        EXPECT_EQ(readFile(entry.path()), garbage);
        fs::remove(entry.path());
      }
    }
    EXPECT_EQ(asideCount, 1);
    defaults->setBool(true, "recovered");
    defaults.reset();
    EXPECT_TRUE(UserDefaults::make("corrupt")->boolForKey("recovered"));
    fs::remove(path);
  }
}

// Settings nest no deeper than the system's JSON limit (the settings object counts as one
// level); a hostile file far deeper is set aside like any unreadable one, and never overflows
// the stack.
TEST_F(UserDefaultsTest, FileNestedBeyondTheJsonLimitIsSetAside) {
  const auto path = suiteFile("deep");
  fs::create_directories(path.parent_path());
  const auto nested = [](std::size_t arrays) {
    return R"({"deep":)" + std::string(arrays, '[') + "1" + std::string(arrays, ']') + "}";
  };
  struct Case {
    std::size_t arrays;
    bool loads;
  };
  for (const Case c : {Case{kMaxJSONNesting - 1, true}, Case{kMaxJSONNesting, false}, Case{50'000, false}}) {
    std::ofstream(path, std::ios::binary) << nested(c.arrays);
    testing::internal::CaptureStderr();
    auto defaults = UserDefaults::make("deep");
    const auto log = testing::internal::GetCapturedStderr();
    ASSERT_NE(defaults, nullptr) << c.arrays;
    if (c.loads) {
      const auto value = defaults->objectForKey("deep");
      ASSERT_TRUE(value.has_value()) << c.arrays;
      std::size_t depth = 0;
      const Value* inner = &*value;
      while (inner->isArray() && inner->arrayValue()->size() == 1) {
        inner = &inner->arrayValue()->front();
        ++depth;
      }
      EXPECT_EQ(depth, c.arrays);
      EXPECT_TRUE(fs::exists(path));
      EXPECT_EQ(log, "");
    } else {
      EXPECT_TRUE(defaults->dictionaryRepresentation().empty()) << c.arrays;
      EXPECT_NE(log.find("not a valid settings file"), std::string::npos) << log;
      EXPECT_FALSE(fs::exists(path)) << c.arrays;
    }
    defaults.reset();
    std::vector<fs::path> left;
    for (const auto& entry : fs::directory_iterator(path.parent_path())) left.push_back(entry.path());
    for (const auto& file : left) fs::remove(file);
  }
}

TEST_F(UserDefaultsTest, FailedWriteKeepsTheValueAndSynchronizeRetries) {
  // Where the bundle's folder should be there is a file, so nothing can be written.
  const auto folder = configHome_ / Bundle::main().bundleIdentifier();
  std::ofstream(folder) << "in the way";
  auto defaults = UserDefaults::make("blocked");
  testing::internal::CaptureStderr();
  defaults->setInteger(3, "kept");
  const auto log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("could not save"), std::string::npos) << log;
  EXPECT_EQ(defaults->integerForKey("kept"), 3);
  EXPECT_FALSE(defaults->synchronize().ok());

  fs::remove(folder);
  EXPECT_TRUE(defaults->synchronize().ok());
  defaults.reset();
  EXPECT_EQ(UserDefaults::make("blocked")->integerForKey("kept"), 3);
}

TEST_F(UserDefaultsTest, TextThatIsNotUtf8IsSavedRepairedAndNothingElseIsLost) {
  const std::string r = "\xEF\xBF\xBD";
  {
    auto defaults = UserDefaults::make("bytes");
    ASSERT_NE(defaults, nullptr);
    defaults->setString("caf\xE9.svg", "file");
    defaults->setDictionary(ValueMap{{"k\xC0\xAF", "ab\xE2\x82"}}, "map");
    defaults->setString("fine", "other");
    EXPECT_TRUE(defaults->synchronize());
  }
  // What is on disk is valid JSON holding every value, the bad bytes as U+FFFD.
  std::ifstream in(suiteFile("bytes"));
  std::stringstream text;
  text << in.rdbuf();
  const auto json = nlohmann::json::parse(text.str(), nullptr, false);
  ASSERT_FALSE(json.is_discarded()) << text.str();
  EXPECT_NE(text.str().find("caf" + r + ".svg"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("\"k" + r + r + "\""), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("ab" + r), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("fine"), std::string::npos);
}

TEST_F(UserDefaultsTest, StandardSuiteIsNamedAfterTheBundle) {
  auto& standard = UserDefaults::standard();
  EXPECT_EQ(&standard, &UserDefaults::standard());
  EXPECT_EQ(standard.suiteName(), Bundle::main().bundleIdentifier());
  EXPECT_EQ(standard.filePath().filename(), Bundle::main().bundleIdentifier() + ".json");
  standard.setString("value", "standardKey");
  EXPECT_EQ(UserDefaults::make(standard.suiteName())->stringForKey("standardKey").value_or(""), "value");
}

}  // namespace
}  // namespace vx
