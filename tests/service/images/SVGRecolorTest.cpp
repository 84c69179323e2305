#include "app/service/Images/SVGRecolor.h"

#include "service/images/ImageTestSupport.h"

#include <gtest/gtest.h>

namespace Vexelworks {
namespace {

using namespace Vexelworks::testing;

constexpr Color kWhite = Color::white();
constexpr Color kHalfRed = Color::rgb(1, 0, 0, 0.5);

struct RecolorCase {
  const char* name;
  Color color;
  const char* input;
  const char* expected;
};

class SVGRecolorTableTest : public ::testing::TestWithParam<RecolorCase> {};

TEST_P(SVGRecolorTableTest, Recolours) {
  const auto& c = GetParam();
  const auto result = recoloredSVGText(c.input, c.color);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, c.expected);
}

#define NS R"(xmlns="http://www.w3.org/2000/svg")"

INSTANTIATE_TEST_SUITE_P(
    Table, SVGRecolorTableTest,
    ::testing::Values(
        RecolorCase{"BlackLeavesTheArtwork", Color::black(), "<svg " NS "><path fill='#123' d='M0 0h1'/></svg>",
                    "<svg " NS "><path fill='#123' d='M0 0h1'/></svg>"},
        RecolorCase{"OpaqueWhiteReplacesShortHexInEitherQuote", kWhite,
                    "<svg " NS "><path fill=\"#000\" stroke='#12abEF'/></svg>",
                    "<svg fill=\"#FFFFFF\" " NS "><path fill=\"#FFFFFF\" stroke=\"#FFFFFF\"/></svg>"},
        RecolorCase{"EightDigitValueIsLeftAlone", kWhite, "<svg " NS "><path fill=\"#FF000000\"/></svg>",
                    "<svg fill=\"#FFFFFF\" " NS "><path fill=\"#FF000000\"/></svg>"},
        RecolorCase{"NamesReferencesAndNoneAreLeftAlone", kWhite,
                    "<svg " NS "><path fill=\"none\"/><path fill=\"url(#g)\"/><path stroke=\"red\"/></svg>",
                    "<svg fill=\"#FFFFFF\" " NS
                    "><path fill=\"none\"/><path fill=\"url(#g)\"/><path stroke=\"red\"/></svg>"},
        RecolorCase{"StylesAndLookalikeAttributesAreLeftAlone", kWhite,
                    "<svg " NS "><path style=\"fill:#000\" data-fill=\"#000\"/></svg>",
                    "<svg fill=\"#FFFFFF\" " NS "><path style=\"fill:#000\" data-fill=\"#000\"/></svg>"},
        RecolorCase{"RootFillIsReplacedNotDoubled", kWhite, "<svg " NS " fill=\"none\"><path d=\"M0 0\"/></svg>",
                    "<svg " NS " fill=\"#FFFFFF\"><path d=\"M0 0\"/></svg>"},
        RecolorCase{"RootShortHexFillIsSetOnce", kWhite, "<svg fill='#000' " NS "/>", "<svg fill=\"#FFFFFF\" " NS "/>"},
        RecolorCase{"RootFollowedByALineBreakGetsTheFill", kWhite, "<svg\n  " NS "><path/></svg>",
                    "<svg fill=\"#FFFFFF\"\n  " NS "><path/></svg>"},
        RecolorCase{"NestedSvgGetsTheFillToo", kWhite, "<svg " NS "><svg x=\"1\"><path/></svg></svg>",
                    "<svg fill=\"#FFFFFF\" " NS "><svg fill=\"#FFFFFF\" x=\"1\"><path/></svg></svg>"},
        RecolorCase{"BlackMadeAnotherWayIsAColour", Color::rgb(0, 0, 0), "<svg " NS "><path fill=\"#fff\"/></svg>",
                    "<svg fill=\"#000000\" " NS "><path fill=\"#000000\"/></svg>"},
        RecolorCase{"TranslucentColourUsesOpacityBesideSixDigits", kHalfRed,
                    "<svg " NS "><path fill=\"#abc\" stroke=\"#def\"/></svg>",
                    "<svg fill=\"#FF0000\" fill-opacity=\"0.5\" " NS "><path fill=\"#FF0000\" "
                    "fill-opacity=\"0.5\" stroke=\"#FF0000\" stroke-opacity=\"0.5\"/></svg>"},
        RecolorCase{"TranslucentColourMultipliesAnExistingOpacity", kHalfRed,
                    "<svg " NS " fill-opacity=\"0.5\"><path fill=\"#abc\" fill-opacity='bad'/></svg>",
                    "<svg fill=\"#FF0000\" " NS " fill-opacity=\"0.25\"><path fill=\"#FF0000\" "
                    "fill-opacity=\"0.5\"/></svg>"},
        RecolorCase{"EveryOpacityInTheArtworkIsMultiplied", kHalfRed,
                    "<svg " NS "><path stroke=\"none\" stroke-opacity=\"0.3\" fill-opacity=\"1\"/></svg>",
                    "<svg fill=\"#FF0000\" fill-opacity=\"0.5\" " NS "><path stroke=\"none\" "
                    "stroke-opacity=\"0.15\" fill-opacity=\"0.5\"/></svg>"},
        RecolorCase{"OpaqueColourAddsNoOpacity", kWhite, "<svg " NS "><path fill=\"#000\" fill-opacity=\"0.3\"/></svg>",
                    "<svg fill=\"#FFFFFF\" " NS "><path fill=\"#FFFFFF\" fill-opacity=\"0.3\"/></svg>"},
        RecolorCase{"CommentsCDATAAndDeclarationsAreLeftAlone", kWhite,
                    "<?xml version=\"1.0\"?><!DOCTYPE svg [<!ENTITY a \"<svg fill='#000'>\">]>"
                    "<!-- <svg fill=\"#000\"> --><svg " NS "><style><![CDATA[ <path fill=\"#000\"/> ]]></style></svg>",
                    "<?xml version=\"1.0\"?><!DOCTYPE svg [<!ENTITY a \"<svg fill='#000'>\">]>"
                    "<!-- <svg fill=\"#000\"> --><svg fill=\"#FFFFFF\" " NS
                    "><style><![CDATA[ <path fill=\"#000\"/> ]]></style></svg>"},
        RecolorCase{"QuotedGreaterThanInsideATag", kWhite,
                    "<svg " NS "><text title=\"a>b\" fill=\"#000\">x</text></svg>",
                    "<svg fill=\"#FFFFFF\" " NS "><text title=\"a>b\" fill=\"#FFFFFF\">x</text></svg>"},
        RecolorCase{"AnUnfinishedTagIsCopied", kWhite, "<svg " NS "><path fill=\"#000",
                    "<svg fill=\"#FFFFFF\" " NS "><path fill=\"#000"}),
    [](const ::testing::TestParamInfo<RecolorCase>& info) { return std::string(info.param.name); });

TEST(SVGRecolorTest, ColourTextIsSixUpperCaseDigits) {
  EXPECT_EQ(svgColorText(Color::rgb(1, 0.5, 0)), "#FF8000");
  EXPECT_EQ(svgColorText(Color::rgb(1, 0.5, 0, 0.25)), "#FF8000");
  EXPECT_EQ(svgOpacity(Color::rgb(1, 0.5, 0)), std::nullopt);
  EXPECT_EQ(svgOpacity(Color::rgb(1, 0.5, 0, 0.25)), 0.25);
  EXPECT_TRUE(isArtworkBlack(Color::black()));
  EXPECT_FALSE(isArtworkBlack(Color::rgb(0, 0, 0)));
  EXPECT_FALSE(isArtworkBlack(Color::grey(0, 0.5)));
}

TEST(SVGRecolorTest, BlackReturnsTheBytesUnchangedEvenWhenNotUTF8) {
  const Bytes bytes = {'<', 's', 'v', 'g', ' ', 0xFF, 0xFE, '>'};
  EXPECT_EQ(recoloredSVG(bytes, Color::black()), bytes);
  EXPECT_EQ(recoloredSVG(bytes, kWhite), std::nullopt);
  EXPECT_EQ(recoloredSVGText("<svg \xC0\xAF>", kWhite), std::nullopt);  // overlong form
  EXPECT_TRUE(isValidUTF8("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"));
  EXPECT_FALSE(isValidUTF8("\xED\xA0\x80"));  // a surrogate
}

TEST(SVGRecolorTest, RecolouredArtworkStaysReadableAndDrawsInTheColour) {
  // A root that already has a fill: doubling it would make the document unreadable.
  const std::string svg = R"(<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10" fill="#000">)"
                          R"(<rect width="10" height="10" fill-opacity="1"/></svg>)";
  for (const auto& color : {kWhite, kHalfRed, Color::rgb(0, 0.5, 1)}) {
    const auto recolored = recoloredSVG(bytesOf(svg), color);
    ASSERT_TRUE(recolored.has_value());
    const auto document = SVGDocument::make(*recolored);
    ASSERT_NE(document, nullptr) << textOf(*recolored);
    const auto bitmap = document->render(10, 10);
    ASSERT_TRUE(bitmap.has_value());
    const auto rgba = color.rgba();
    const auto pixel = bitmap->pixel(5, 5);
    EXPECT_NEAR(alphaOf(pixel), rgba.alpha * 255, 1.5);
    // Premultiplied channels.
    EXPECT_NEAR(redOf(pixel), rgba.red * rgba.alpha * 255, 1.5);
    EXPECT_NEAR(greenOf(pixel), rgba.green * rgba.alpha * 255, 1.5);
    EXPECT_NEAR(blueOf(pixel), rgba.blue * rgba.alpha * 255, 1.5);
  }
}

}  // namespace
}  // namespace Vexelworks
