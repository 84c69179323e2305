#include "app/service/Color.h"
#include "app/service/Palette.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace Vexelworks {
namespace {

TEST(ColorTest, HexStringTable) {
  struct Case {
    Color color;
    std::string six;
    std::string eight;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Case> cases = {
      {Color::rgb(1, 1, 1), "FFFFFF", "FFFFFFFF"},
      {Color::white(), "FFFFFF", "FFFFFFFF"},
      {Color::black(), "000000", "FF000000"},
      {Color::rgb(0.2, 0.4, 0.6), "336699", "FF336699"},
      {Color::rgb(1, 0.5, 0), "FF8000", "FFFF8000"},  // 127.5 rounds half away from zero
      {Color::rgb(0, 0, 0, 0.5), "000000", "80000000"},
      {Color::grey(0.5), "808080", "FF808080"},  // grey converts to sRGB before reading
      {Color::unconvertible(), "000000", "00000000"},
      {Color::rgb(1.5, -0.2, 0.999), "FF00FF", "FFFF00FF"},  // clamped, never three digits
      {Color::rgb(nan, 0, 0, 1), "000000", "FF000000"},
      {Color::rgb(10.0 / 255, 171.0 / 255, 205.0 / 255), "0AABCD", "FF0AABCD"},  // upper case
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.color.hexString(), c.six) << c.six;
    EXPECT_EQ(c.color.hexStringWithAlpha(), c.eight) << c.eight;
  }
}

TEST(ColorTest, PreferredFormFollowsExactOpacity) {
  EXPECT_EQ(Color::rgb(0.2, 0.4, 0.6).preferredHexString(), "336699");
  EXPECT_EQ(Color::rgb(0.2, 0.4, 0.6, 0.5).preferredHexString(), "80336699");
  // Nearly opaque is not opaque: it still needs the alpha digits.
  EXPECT_EQ(Color::rgb(0.2, 0.4, 0.6, 0.9999).preferredHexString(), "FF336699");
}

TEST(ColorTest, RgbaByModel) {
  EXPECT_EQ(Color::rgb(0.1, 0.2, 0.3, 0.4).rgba(), (RGBA{0.1, 0.2, 0.3, 0.4}));
  EXPECT_EQ(Color::grey(0.25, 0.5).rgba(), (RGBA{0.25, 0.25, 0.25, 0.5}));
  EXPECT_EQ(Color::unconvertible().rgba(), (RGBA{0, 0, 0, 0}));
}

TEST(ColorTest, FromHexTable) {
  struct Case {
    std::string text;
    int red, green, blue;
  };
  const std::vector<Case> cases = {
      {"336699", 0x33, 0x66, 0x99},
      {"ff8000", 0xFF, 0x80, 0x00},
      {"80336699", 0x33, 0x66, 0x99},  // eight digits, alpha first: alpha dropped
      {"#336699", 0, 0, 0},            // the scanner does not take "#"
      {"xyz", 0, 0, 0},
      {"", 0, 0, 0},
      {"  336699", 0x33, 0x66, 0x99},    // leading blanks skipped
      {"0x336699", 0x33, 0x66, 0x99},    // "0x" prefix taken
      {"3366zz", 0x00, 0x33, 0x66},      // reads the digits up to the first non-digit
      {"FFFFFFFFFF", 0xFF, 0xFF, 0xFF},  // beyond 32 bits saturates
      {"123", 0x00, 0x01, 0x23},
  };
  for (const auto& c : cases) {
    const Color color = Color::fromHex(c.text);
    const RGBA rgba = color.rgba();
    EXPECT_DOUBLE_EQ(rgba.red, c.red / 255.0) << c.text;
    EXPECT_DOUBLE_EQ(rgba.green, c.green / 255.0) << c.text;
    EXPECT_DOUBLE_EQ(rgba.blue, c.blue / 255.0) << c.text;
    EXPECT_EQ(rgba.alpha, 1.0) << c.text;
    EXPECT_EQ(color.model(), Color::Model::rgb);
  }
  EXPECT_DOUBLE_EQ(Color::fromHex("336699").rgba().red, 0.2);
  EXPECT_DOUBLE_EQ(Color::fromHex("336699").rgba().green, 0.4);
  EXPECT_DOUBLE_EQ(Color::fromHex("336699").rgba().blue, 0.6);
}

TEST(ColorTest, HexRoundTripsForEveryChannelValue) {
  for (int v = 0; v < 256; ++v) {
    char text[7];
    std::snprintf(text, sizeof text, "%02X%02X%02X", v, 255 - v, (v * 7) & 0xFF);
    EXPECT_EQ(Color::fromHex(text).hexString(), text);
  }
}

TEST(ColorTest, PaletteValues) {
  struct Case {
    const char* name;
    Color color;
    std::string hex;
    double alpha;
  };
  const std::vector<Case> cases = {
      {"placeholderTextGrey", Palette::placeholderTextGrey, "BABABA", 1},
      {"buttonTextWhite", Palette::buttonTextWhite, "FFFFFF", 1},
      {"buttonBlue", Palette::buttonBlue, "45ABF2", 1},
      {"buttonBlueTranslucent", Palette::buttonBlueTranslucent, "45ABF2", 0.7},
      {"sliderBlack", Palette::sliderBlack, "000000", 1},
      {"sliderTickGrey", Palette::sliderTickGrey, "6E6E6E", 1},
      {"sliderKnobGrey", Palette::sliderKnobGrey, "F2F2F2", 1},
      {"darkGrey", Palette::darkGrey, "6D6D6D", 1},
      {"placeholderGrey", Palette::placeholderGrey, "BABABA", 1},
      {"backgroundGrey", Palette::backgroundGrey, "F2F2F2", 1},
      {"selectionLightGrey", Palette::selectionLightGrey, "D8D8D8", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.color.hexString(), c.hex) << c.name;
    EXPECT_DOUBLE_EQ(c.color.rgba().alpha, c.alpha) << c.name;
  }
  // Fractions and steps of 255 are kept apart even where their hex text agrees.
  EXPECT_DOUBLE_EQ(Palette::placeholderTextGrey.rgba().red, 0.73);
  EXPECT_NE(Palette::placeholderTextGrey.rgba().red, Palette::placeholderGrey.rgba().red);
  EXPECT_DOUBLE_EQ(Palette::sliderKnobGrey.rgba().red, 0.95);
  EXPECT_DOUBLE_EQ(Palette::backgroundGrey.rgba().red, 242.0 / 255);
  EXPECT_DOUBLE_EQ(Palette::buttonBlue.rgba().green, 0.67);
}

}  // namespace
}  // namespace Vexelworks
