#include "app/service/ExportSettings.h"
#include "app/service/ZoomLevel.h"

#include <gtest/gtest.h>

namespace Vexelworks {
namespace {

TEST(PasteboardTypeTest, RawValuesAreExactAndCaseSensitive) {
  struct Case {
    std::string raw;
    std::optional<PasteboardType> type;
  };
  const std::vector<Case> cases = {
      {"Auto", PasteboardType::auto_}, {"SVG", PasteboardType::svg}, {"PDF", PasteboardType::pdf},
      {"PNG", PasteboardType::png},    {"auto", std::nullopt},       {"svg", std::nullopt},
      {"Svg", std::nullopt},           {"SVG ", std::nullopt},       {"", std::nullopt},
      {"EPS", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(pasteboardTypeFromRawValue(c.raw), c.type) << c.raw;
  for (auto type : {PasteboardType::auto_, PasteboardType::svg, PasteboardType::pdf, PasteboardType::png}) {
    EXPECT_EQ(pasteboardTypeFromRawValue(rawValue(type)), type);
  }
}

TEST(ExportSizeTest, FixedTableInOrder) {
  const std::vector<std::pair<std::string, int>> expected = {{"24px", 24},   {"84px", 84},   {"150px", 150},
                                                             {"300px", 300}, {"600px", 600}, {"1200px", 1200}};
  ASSERT_EQ(ExportSize::all().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(ExportSize::all()[i].name, expected[i].first);
    EXPECT_EQ(ExportSize::all()[i].pixels, expected[i].second);
  }
}

TEST(ExportSizeTest, IndexOfPixels) {
  struct Case {
    int pixels;
    std::optional<std::size_t> index;
  };
  for (const auto& c : {Case{24, 0}, Case{300, 3}, Case{1200, 5}, Case{301, std::nullopt}, Case{0, std::nullopt},
                        Case{-300, std::nullopt}}) {
    EXPECT_EQ(ExportSize::index(c.pixels), c.index) << c.pixels;
  }
}

TEST(ExportOptionsTest, ChangesMakeNewOptionsAndCopyTheRest) {
  const ExportOptions options(Color::black(), PasteboardType::png, 300);
  auto recoloured = options.withColor(Color::rgb(0.2, 0.4, 0.6));
  EXPECT_EQ(recoloured->color(), Color::rgb(0.2, 0.4, 0.6));
  EXPECT_EQ(recoloured->type(), PasteboardType::png);
  EXPECT_EQ(recoloured->size(), 300);
  auto retyped = recoloured->withType(PasteboardType::svg);
  EXPECT_EQ(retyped->type(), PasteboardType::svg);
  EXPECT_EQ(retyped->color(), recoloured->color());
  auto resized = retyped->withSize(1200);
  EXPECT_EQ(resized->size(), 1200);
  EXPECT_EQ(resized->type(), PasteboardType::svg);
  // The original is untouched.
  EXPECT_EQ(options.color(), Color::black());
  EXPECT_EQ(options.type(), PasteboardType::png);
}

TEST(ZoomLevelTest, FixedTable) {
  struct Row {
    std::string title;
    double size;
  };
  const std::vector<Row> expected = {{"50%", 40},   {"75%", 60},   {"100%", 80},
                                     {"150%", 120}, {"200%", 150}, {"300%", 300}};
  ASSERT_EQ(ZoomLevel::all().size(), 6u);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(ZoomLevel::all()[i].title, expected[i].title);
    EXPECT_EQ(ZoomLevel::all()[i].size, expected[i].size);
    EXPECT_EQ(ZoomLevel::all()[i].spacing, 10);
  }
  EXPECT_EQ(ZoomLevel::defaultLevel().title, "100%");
  EXPECT_EQ(ZoomLevel::defaultLevel().size, 80);
  EXPECT_EQ(&ZoomLevel::defaultLevel(), &ZoomLevel::all()[2]);
}

}  // namespace
}  // namespace Vexelworks
