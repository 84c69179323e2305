#include "app/service/Settings.h"

#include "app/service/Logger.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "support/ChildRerun.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <functional>
#include <limits>
#include <cmath>
#include <utility>
#include <thread>

namespace Vexelworks {
namespace {

const std::vector<std::string> kAllKeys = {SettingKeys::iconPasteboardType, SettingKeys::iconExportSize,
                                           SettingKeys::iconColors,         SettingKeys::statusItemEnabled,
                                           SettingKeys::debugEnabled,       SettingKeys::firstLogin,
                                           SettingKeys::timeOffset};

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A child re-run of ValuesSurviveANewProcess reads what its parent left.
    if (vx::test::rerunValue("VX_SETTINGS_CHILD") != nullptr) return;
    for (const auto& key : kAllKeys) vx::UserDefaults::standard().removeObject(key);
  }
  static void store(std::string_view key, vx::Value value) { vx::UserDefaults::standard().setObject(value, key); }
};

TEST_F(SettingsTest, MissingKeysGiveTheTablesFallbacks) {
  EXPECT_EQ(settingString(SettingKeys::iconPasteboardType, SettingFallbacks::iconPasteboardType), "auto");
  EXPECT_EQ(iconPasteboardType(), PasteboardType::auto_);
  EXPECT_EQ(settingInt(SettingKeys::iconExportSize, SettingFallbacks::iconExportSize), 300);
  EXPECT_EQ(settingStrings(SettingKeys::iconColors, {}), std::vector<std::string>{});
  EXPECT_FALSE(settingBool(SettingKeys::statusItemEnabled, SettingFallbacks::statusItemEnabled));
  EXPECT_FALSE(settingBool(SettingKeys::debugEnabled, SettingFallbacks::debugEnabled));
  EXPECT_TRUE(settingBool(SettingKeys::firstLogin, SettingFallbacks::firstLogin));
  EXPECT_EQ(settingDouble(SettingKeys::timeOffset, SettingFallbacks::timeOffset), 0.0);
  EXPECT_TRUE(recentIconColors().empty());
}

TEST_F(SettingsTest, WrongTypesReadAsTheFallback) {
  const std::string key = "Probe";
  struct Case {
    const char* name;
    vx::Value stored;
    std::string asString;
    std::int64_t asInt;
    bool asBool;
    double asDouble;
    std::vector<std::string> asStrings;
  };
  // Fallbacks used below: "fb", -1, true, -2.5, {"fb"}.
  const std::vector<std::string> fb = {"fb"};
  const std::vector<Case> cases = {
      {"text", vx::Value("300"), "300", -1, true, -2.5, fb},
      {"integer", vx::Value(300), "fb", 300, true, 300.0, fb},
      {"whole double", vx::Value(300.0), "fb", 300, true, 300.0, fb},
      {"fractional double", vx::Value(2.5), "fb", -1, true, 2.5, fb},
      {"huge double", vx::Value(1e300), "fb", -1, true, 1e300, fb},
      {"bool false", vx::Value(false), "fb", -1, false, -2.5, fb},
      {"list of text", vx::Value(vx::ValueArray{"a", "b"}), "fb", -1, true, -2.5, {"a", "b"}},
      {"mixed list", vx::Value(vx::ValueArray{"a", 1}), "fb", -1, true, -2.5, fb},
      {"empty list", vx::Value(vx::ValueArray{}), "fb", -1, true, -2.5, {}},
      {"map", vx::Value(vx::ValueMap{{"a", 1}}), "fb", -1, true, -2.5, fb},
      {"data", vx::Value(vx::Bytes{1, 2}), "fb", -1, true, -2.5, fb},
  };
  for (const auto& c : cases) {
    store(key, c.stored);
    EXPECT_EQ(settingString(key, "fb"), c.asString) << c.name;
    EXPECT_EQ(settingInt(key, -1), c.asInt) << c.name;
    EXPECT_EQ(settingBool(key, true), c.asBool) << c.name;
    EXPECT_EQ(settingDouble(key, -2.5), c.asDouble) << c.name;
    EXPECT_EQ(settingStrings(key, fb), c.asStrings) << c.name;
  }
  vx::UserDefaults::standard().removeObject(key);
}

TEST_F(SettingsTest, TextUnderExportSizeReadsAsTheFallback) {
  store(SettingKeys::iconExportSize, vx::Value("600"));
  EXPECT_EQ(settingInt(SettingKeys::iconExportSize, SettingFallbacks::iconExportSize), 300);
  setSettingInt(SettingKeys::iconExportSize, 600);
  EXPECT_EQ(settingInt(SettingKeys::iconExportSize, SettingFallbacks::iconExportSize), 600);
}

TEST_F(SettingsTest, PasteboardTypeRoundTripAndUnknownTextMeansAuto) {
  struct Case {
    PasteboardType type;
    std::string stored;
  };
  for (const auto& c : {Case{PasteboardType::auto_, "Auto"}, Case{PasteboardType::svg, "SVG"},
                        Case{PasteboardType::pdf, "PDF"}, Case{PasteboardType::png, "PNG"}}) {
    saveIconPasteboardType(c.type);
    EXPECT_EQ(settingString(SettingKeys::iconPasteboardType, ""), c.stored);
    EXPECT_EQ(iconPasteboardType(), c.type);
  }
  for (const char* text : {"auto", "svg", "EPS", ""}) {
    store(SettingKeys::iconPasteboardType, vx::Value(text));
    EXPECT_EQ(iconPasteboardType(), PasteboardType::auto_) << text;
  }
  store(SettingKeys::iconPasteboardType, vx::Value(2));
  EXPECT_EQ(iconPasteboardType(), PasteboardType::auto_);
}

std::vector<std::string> storedColors() { return settingStrings(SettingKeys::iconColors, {}); }

TEST_F(SettingsTest, RecentColoursKeepFiveNewestWithoutRepeats) {
  const std::vector<std::string> hexes = {"111111", "222222", "333333", "444444", "555555"};
  for (const auto& hex : hexes) saveIconColors(Color::fromHex(hex));
  EXPECT_EQ(storedColors(), (std::vector<std::string>{"555555", "444444", "333333", "222222", "111111"}));

  saveIconColors(Color::fromHex("333333"));  // already there: nothing moves
  EXPECT_EQ(storedColors(), (std::vector<std::string>{"555555", "444444", "333333", "222222", "111111"}));

  saveIconColors(Color::fromHex("666666"));  // a sixth: the oldest goes
  EXPECT_EQ(storedColors(), (std::vector<std::string>{"666666", "555555", "444444", "333333", "222222"}));

  saveIconColors(Color::black());  // never kept
  saveIconColors(Color::white());
  saveIconColors(Color::rgb(1, 1, 1));
  EXPECT_EQ(storedColors().front(), "666666");
  EXPECT_EQ(storedColors().size(), 5u);
}

TEST_F(SettingsTest, ConcurrentSavesLoseNothingAndKeepTheLimit) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 5; ++t) {
    threads.emplace_back([t] {
      char hex[7];
      std::snprintf(hex, sizeof hex, "%02X%02X%02X", 16 * (t + 1), 16 * (t + 1), 16 * (t + 1));
      saveIconColors(Color::fromHex(hex));
    });
  }
  for (auto& thread : threads) thread.join();
  auto stored = storedColors();
  std::sort(stored.begin(), stored.end());
  EXPECT_EQ(stored, (std::vector<std::string>{"101010", "202020", "303030", "404040", "505050"}));
}

TEST_F(SettingsTest, AnOverlongStoredListIsBroughtBackToFive) {
  setSettingStrings(SettingKeys::iconColors, {"A1A1A1", "B1B1B1", "C1C1C1", "D1D1D1", "E1E1E1", "F1F1F1", "010101"});
  saveIconColors(Color::fromHex("123456"));
  EXPECT_EQ(storedColors(), (std::vector<std::string>{"123456", "A1A1A1", "B1B1B1", "C1C1C1", "D1D1D1"}));
}

TEST_F(SettingsTest, TranslucentColourStoresEightDigitsAndReadsBackOpaque) {
  saveIconColors(Color::rgb(0.2, 0.4, 0.6, 0.5));
  EXPECT_EQ(storedColors(), std::vector<std::string>{"80336699"});
  const auto colors = recentIconColors();
  ASSERT_EQ(colors.size(), 1u);
  EXPECT_EQ(colors[0].hexString(), "336699");
  EXPECT_EQ(colors[0].rgba().alpha, 1.0);
  // Half-transparent black is not black.
  saveIconColors(Color::rgb(0, 0, 0, 0.5));
  EXPECT_EQ(storedColors().front(), "80000000");
}

TEST_F(SettingsTest, RecentColoursReadEveryStoredText) {
  setSettingStrings(SettingKeys::iconColors, {"336699", "zz", "#123456"});
  const auto colors = recentIconColors();
  ASSERT_EQ(colors.size(), 3u);
  EXPECT_EQ(colors[0].hexString(), "336699");
  EXPECT_EQ(colors[1].hexString(), "000000");  // nothing readable: black
  EXPECT_EQ(colors[2].hexString(), "000000");
}

TEST_F(SettingsTest, StatusItemSwitchPostsAfterTheValueIsWritten) {
  std::vector<bool> seenInObserver;
  auto& center = vx::NotificationCenter::defaultCenter();
  vx::ScopedObserver observer(
      center,
      center.addObserver(kStatusItemEnabledDidChangeNotification, nullptr, nullptr, [&](const vx::Notification& note) {
        EXPECT_EQ(note.object, nullptr);
        seenInObserver.push_back(settingBool(SettingKeys::statusItemEnabled, false));
      }));
  setStatusItemEnabled(true);
  setStatusItemEnabled(false);
  EXPECT_EQ(seenInObserver, (std::vector<bool>{true, false}));
}

TEST_F(SettingsTest, WritersOfEachKind) {
  setSettingBool(SettingKeys::debugEnabled, true);
  setSettingBool(SettingKeys::firstLogin, false);
  setSettingDouble(SettingKeys::timeOffset, -12.5);
  EXPECT_TRUE(settingBool(SettingKeys::debugEnabled, false));
  EXPECT_FALSE(settingBool(SettingKeys::firstLogin, true));
  EXPECT_EQ(settingDouble(SettingKeys::timeOffset, 0), -12.5);
}

// The values survive a new process: this binary re-runs one test as a child, which reads what
// the parent wrote from the settings file.
TEST_F(SettingsTest, ValuesSurviveANewProcess) {
  if (const char* out = vx::test::rerunValue("VX_SETTINGS_CHILD")) {
    std::ofstream file(out);
    file << settingInt(SettingKeys::iconExportSize, -1) << ' ' << rawValue(iconPasteboardType()) << ' '
         << settingBool(SettingKeys::debugEnabled, false) << ' ' << settingDouble(SettingKeys::timeOffset, 0) << ' ';
    for (const auto& hex : storedColors()) file << hex << ',';
    file << '\n';
    return;
  }
  setSettingInt(SettingKeys::iconExportSize, 1200);
  saveIconPasteboardType(PasteboardType::pdf);
  setSettingBool(SettingKeys::debugEnabled, true);
  setSettingDouble(SettingKeys::timeOffset, 42.25);
  saveIconColors(Color::fromHex("ABCDEF"));
  saveIconColors(Color::rgb(0, 0, 1, 0.5));

  const std::string out = std::string(std::getenv("VX_TEST_HOME")) + "/settings-child.txt";
  ASSERT_TRUE(vx::test::rerunCurrentTestInChild("VX_SETTINGS_CHILD", out));
  std::ifstream file(out);
  std::string line;
  std::getline(file, line);
  EXPECT_EQ(line, "1200 PDF 1 42.25 800000FF,ABCDEF,");
}

// Every row of the table: nothing stored gives the default quietly; a value of another type or
// one the check refuses gives the default with a warning naming the key; a good value reads back.
struct TableCase {
  const char* name;
  const char* key;
  std::function<std::string()> read;  // the row's value, as text
  std::string expectedDefault;
  std::vector<vx::Value> refused;
  vx::Value good;
  std::string expectedGood;
};

std::string text(const std::string& value) { return value; }
std::string text(std::int64_t value) { return std::to_string(value); }
std::string text(bool value) { return value ? "true" : "false"; }
std::string text(double value) { return std::to_string(value); }
std::string text(const std::vector<std::string>& value) {
  std::string joined;
  for (const auto& element : value) joined += element + ",";
  return joined;
}

template <class T>
std::function<std::string()> reader(const Setting<T>& row) {
  return [&row] { return text(setting(row)); };
}

const std::vector<TableCase>& tableCases() {
  static const std::vector<TableCase> cases = {
      {"pasteboardType",
       SettingTable::iconPasteboardType.key,
       reader(SettingTable::iconPasteboardType),
       "auto",
       {vx::Value(2), vx::Value("svg"), vx::Value("TIFF"), vx::Value("")},
       vx::Value("PNG"),
       "PNG"},
      {"exportSize",
       SettingTable::iconExportSize.key,
       reader(SettingTable::iconExportSize),
       "300",
       {vx::Value("600"), vx::Value(true), vx::Value(0), vx::Value(-24), vx::Value(2.5)},
       vx::Value(1200.0),
       "1200"},
      {"colors",
       SettingTable::iconColors.key,
       reader(SettingTable::iconColors),
       "",
       {vx::Value("336699"), vx::Value(vx::ValueArray{vx::Value("336699"), vx::Value(1)})},
       vx::Value(vx::ValueArray{vx::Value("336699"), vx::Value("zz")}),
       "336699,zz,"},
      {"statusItem",
       SettingTable::statusItemEnabled.key,
       reader(SettingTable::statusItemEnabled),
       "false",
       {vx::Value(1), vx::Value("true")},
       vx::Value(true),
       "true"},
      {"debug",
       SettingTable::debugEnabled.key,
       reader(SettingTable::debugEnabled),
       "false",
       {vx::Value("yes")},
       vx::Value(true),
       "true"},
      {"firstLogin",
       SettingTable::firstLogin.key,
       reader(SettingTable::firstLogin),
       "true",
       {vx::Value(0)},
       vx::Value(false),
       "false"},
      {"timeOffset",
       SettingTable::timeOffset.key,
       reader(SettingTable::timeOffset),
       text(0.0),
       {vx::Value("1.5"), vx::Value(false), vx::Value(std::numeric_limits<double>::infinity()),
        vx::Value(std::nan(""))},
       vx::Value(-7),
       text(-7.0)},
  };
  return cases;
}

class SettingTableTest : public SettingsTest, public ::testing::WithParamInterface<TableCase> {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    previous_ = setLogSink([this](std::string_view, std::string_view line) { lines_.emplace_back(line); });
  }
  void TearDown() override { setLogSink(previous_); }
  std::vector<std::string> takeLines() { return std::exchange(lines_, {}); }

 private:
  LogSink previous_;
  std::vector<std::string> lines_;
};

TEST_P(SettingTableTest, BadStoredValuesFallBackToTheDefaultWithAWarning) {
  const TableCase& c = GetParam();
  EXPECT_EQ(c.read(), c.expectedDefault);
  EXPECT_TRUE(takeLines().empty()) << "nothing stored is no fault";
  for (const auto& value : c.refused) {
    store(c.key, value);
    EXPECT_EQ(c.read(), c.expectedDefault) << value.toJson().dump();
    const auto lines = takeLines();
    ASSERT_EQ(lines.size(), 1u) << value.toJson().dump();
    EXPECT_NE(lines[0].find("[WARN]"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(std::string("\"") + c.key + "\""), std::string::npos) << lines[0];
  }
  store(c.key, c.good);
  EXPECT_EQ(c.read(), c.expectedGood);
  EXPECT_TRUE(takeLines().empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, SettingTableTest, ::testing::ValuesIn(tableCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsTest, TheTableWritersStoreWhatTheKeyReadersRead) {
  setSetting(SettingTable::iconExportSize, std::int64_t{600});
  setSetting(SettingTable::iconPasteboardType, std::string("SVG"));
  setSetting(SettingTable::timeOffset, 2.5);
  setSetting(SettingTable::debugEnabled, true);
  setSetting(SettingTable::iconColors, std::vector<std::string>{"ABCDEF"});
  EXPECT_EQ(settingInt(SettingKeys::iconExportSize, 0), 600);
  EXPECT_EQ(settingString(SettingKeys::iconPasteboardType, ""), "SVG");
  EXPECT_EQ(settingDouble(SettingKeys::timeOffset, 0), 2.5);
  EXPECT_TRUE(settingBool(SettingKeys::debugEnabled, false));
  EXPECT_EQ(settingStrings(SettingKeys::iconColors, {}), std::vector<std::string>{"ABCDEF"});
}

TEST(BuildNumberTest, ReadsTheBundlesBuildNumber) {
  const std::string text = vx::Bundle::main().buildNumber();
  EXPECT_EQ(buildNumber(), std::stoll(text));
  vx::Bundle::main().setInfoValue("CFBundleVersion", "4711");
  EXPECT_EQ(buildNumber(), 4711);
  vx::Bundle::main().resetInfoDictionary();
}

TEST(BuildNumberDeathTest, BrokenBuildNumbersStopTheProgram) {
  struct Case {
    const char* name;
    vx::Value value;
  };
  const std::vector<Case> cases = {{"missing", vx::Value()},
                                   {"not text", vx::Value(100)},
                                   {"not decimal", vx::Value("12a")},
                                   {"empty", vx::Value("")},
                                   {"beyond 64 bits", vx::Value("99999999999999999999")}};
  for (const auto& c : cases) {
    EXPECT_DEATH(
        {
          vx::Bundle::main().setInfoValue("CFBundleVersion", c.value);
          (void)buildNumber();
        },
        "CFBundleVersion")
        << c.name;
  }
}

}  // namespace
}  // namespace Vexelworks
