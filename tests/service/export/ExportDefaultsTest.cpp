#include "app/service/Export/ExportDefaults.h"
#include "app/service/Settings.h"

#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace Vexelworks {
namespace {

TEST(ExportDefaultsTest, MissingSettingsGiveAutoAt300InBlack) {
  vx::UserDefaults::standard().removeObject(SettingKeys::iconPasteboardType);
  vx::UserDefaults::standard().removeObject(SettingKeys::iconExportSize);
  const auto options = exportOptionsFromDefaults();
  EXPECT_EQ(options->type(), PasteboardType::auto_);
  EXPECT_EQ(options->size(), 300.0);
  EXPECT_EQ(options->color(), Color::black());
}

TEST(ExportDefaultsTest, StoredTypeMustMatchARawValueExactly) {
  const std::vector<std::pair<std::string, PasteboardType>> cases = {
      {"SVG", PasteboardType::svg},    {"PDF", PasteboardType::pdf},   {"PNG", PasteboardType::png},
      {"Auto", PasteboardType::auto_}, {"svg", PasteboardType::auto_}, {"Png", PasteboardType::auto_},
      {"tiff", PasteboardType::auto_}, {"", PasteboardType::auto_}};
  for (const auto& [stored, expected] : cases) {
    SCOPED_TRACE(stored);
    setSettingString(SettingKeys::iconPasteboardType, stored);
    EXPECT_EQ(exportOptionsFromDefaults()->type(), expected);
  }
  setSettingInt(SettingKeys::iconExportSize, 1200);
  EXPECT_EQ(exportOptionsFromDefaults()->size(), 1200.0);
}

}  // namespace
}  // namespace Vexelworks
