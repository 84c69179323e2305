#include "app/service/Fonts.h"

#include <gtest/gtest.h>

#include <thread>

namespace Vexelworks {
namespace {

TEST(FontsTest, NamedFontsAsDesigned) {
  EXPECT_EQ(Fonts::titleFont().family, "Helvetica Neue");
  EXPECT_EQ(Fonts::titleFont().pointSize, 18);
  EXPECT_EQ(Fonts::buttonFont().family, "Helvetica Neue");
  EXPECT_EQ(Fonts::buttonFont().style, "Medium");
  EXPECT_EQ(Fonts::buttonFont().weight, 500);
  EXPECT_EQ(Fonts::buttonFont().pointSize, 14);
  EXPECT_TRUE(Fonts::popupFont().isSystemFont());
  EXPECT_EQ(Fonts::popupFont().pointSize, 12);
}

TEST(FontsTest, EveryNamedFontResolvesToAnInstalledFamily) {
  for (const FontDescription* font : {&Fonts::titleFont(), &Fonts::buttonFont(), &Fonts::popupFont()}) {
    const std::string family = font->resolvedFamily();
    EXPECT_FALSE(family.empty());
    EXPECT_TRUE(isFontFamilyInstalled(family)) << family;
    EXPECT_EQ(font->resolvedFamily(), family);  // cached, stable
  }
}

TEST(FontsTest, MissingFamilyFallsBackInsteadOfFailing) {
  const std::string missing = "No Such Family Vexelworks 7f3a";
  EXPECT_FALSE(isFontFamilyInstalled(missing));
  const std::string resolved = resolveFontFamily(missing);
  EXPECT_NE(resolved, missing);
  EXPECT_TRUE(isFontFamilyInstalled(resolved)) << resolved;
}

TEST(FontsTest, InstalledFamilyResolvesToItself) {
  // The test machines carry DejaVu (the project's set-up installs it).
  ASSERT_TRUE(isFontFamilyInstalled("DejaVu Sans"));
  EXPECT_EQ(resolveFontFamily("DejaVu Sans"), "DejaVu Sans");
}

TEST(FontsTest, ResolvingFromManyThreads) {
  std::vector<std::thread> threads;
  std::vector<std::string> results(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([i, &results] { results[i] = resolveFontFamily("Helvetica Neue"); });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_EQ(result, results[0]);
}

}  // namespace
}  // namespace Vexelworks
