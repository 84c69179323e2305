#include "app/service/ExportSettings.h"
#include "app/service/Images/PDFConverter.h"
#include "app/service/Images/SVGDocument.h"

#include "service/images/ImageTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

namespace Vexelworks {
namespace {

using namespace Vexelworks::testing;

struct SizeCase {
  const char* name;
  const char* svg;
  double width;
  double height;
};

class SVGDocumentSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(SVGDocumentSizeTest, IntrinsicSizeInPointsAndPDFMediaBoxAgree) {
  const auto& c = GetParam();
  const auto document = SVGDocument::make(bytesOf(c.svg));
  ASSERT_NE(document, nullptr);
  EXPECT_NEAR(document->size().width, c.width, 1e-4);
  EXPECT_NEAR(document->size().height, c.height, 1e-4);

  const auto pdf = PDFConverter().convert(bytesOf(c.svg));
  const auto info = pdfInfo(pdf);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->pages, 1);
  EXPECT_NEAR(info->width, c.width, 0.01);
  EXPECT_NEAR(info->height, c.height, 0.01);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SVGDocumentSizeTest,
    ::testing::Values(
        SizeCase{
            "WidthHeight",
            R"(<svg xmlns="http://www.w3.org/2000/svg" width="24" height="12"><rect width="24" height="12"/></svg>)",
            24, 12},
        SizeCase{
            "ViewBoxOnly",
            R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 100 50"><circle cx="50" cy="25" r="20"/></svg>)",
            100, 50},
        SizeCase{
            "PercentFallsBackToViewBox",
            R"(<svg xmlns="http://www.w3.org/2000/svg" width="100%" height="100%" viewBox="10 10 30 60"><rect x="10" y="10" width="5" height="5"/></svg>)",
            30, 60},
        SizeCase{
            "OneEdgeKeepsViewBoxProportions",
            R"(<svg xmlns="http://www.w3.org/2000/svg" width="40" viewBox="0 0 100 50"><rect width="5" height="5"/></svg>)",
            40, 20},
        SizeCase{
            "PhysicalUnitsAt72PerInch",
            R"(<svg xmlns="http://www.w3.org/2000/svg" width="1in" height="25.4mm"><rect width="5" height="5"/></svg>)",
            72, 72},
        SizeCase{
            "WidthOverridesViewBox",
            R"(<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 100 100"><rect width="5" height="5"/></svg>)",
            64, 64}),
    [](const ::testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.name); });

TEST(SVGDocumentTest, EPSHasTheDocumentsBoundingBox) {
  const auto document = SVGDocument::make(bytesOf(
      R"(<svg xmlns="http://www.w3.org/2000/svg" width="24" height="12"><rect width="24" height="12"/></svg>)"));
  ASSERT_NE(document, nullptr);
  const auto eps = textOf(document->epsData());
  EXPECT_TRUE(eps.starts_with("%!PS-Adobe-3.0 EPSF-3.0")) << eps.substr(0, 40);
  EXPECT_NE(eps.find("%%BoundingBox: 0 0 24 12"), std::string::npos);
  EXPECT_NE(eps.find("%%EOF"), std::string::npos);
}

TEST(SVGDocumentTest, PNGAtEveryExportSize) {
  const auto document = SVGDocument::make(bytesOf(kMarkerSVG));
  ASSERT_NE(document, nullptr);
  for (const auto& size : ExportSize::all()) {
    SCOPED_TRACE(size.pixels);
    const auto png = document->pngData(size.pixels, size.pixels);
    ASSERT_FALSE(png.empty());
    EXPECT_TRUE(textOf(Bytes(png.begin() + 1, png.begin() + 4)) == "PNG");
    const auto bitmap = decodePNG(png);
    ASSERT_TRUE(bitmap.has_value());
    EXPECT_EQ(bitmap->width, size.pixels);
    EXPECT_EQ(bitmap->height, size.pixels);
    const int p = size.pixels;
    // Inside the red square (the top-left tenth), inside the blue quarter, and empty paper.
    EXPECT_EQ(bitmap->pixel(p / 40, p / 40), 0xFFFF0000u);
    EXPECT_EQ(bitmap->pixel(p - 1 - p / 40, p - 1 - p / 40), 0xFF0000FFu);
    EXPECT_EQ(alphaOf(bitmap->pixel(p - 1, 0)), 0);
    EXPECT_EQ(alphaOf(bitmap->pixel(0, p - 1)), 0);
  }
}

TEST(SVGDocumentTest, WideArtworkIsFittedAndCentredInASquare) {
  const auto document = SVGDocument::make(bytesOf(
      R"(<svg xmlns="http://www.w3.org/2000/svg" width="200" height="100"><rect width="200" height="100" fill="#00FF00"/></svg>)"));
  ASSERT_NE(document, nullptr);
  const auto bitmap = document->render(100, 100);
  ASSERT_TRUE(bitmap.has_value());
  EXPECT_EQ(alphaOf(bitmap->pixel(50, 10)), 0);   // above the band
  EXPECT_EQ(bitmap->pixel(50, 50), 0xFF00FF00u);  // the band in the middle
  EXPECT_EQ(alphaOf(bitmap->pixel(50, 90)), 0);   // below it
}

TEST(SVGDocumentTest, BitmapSizeLimits) {
  const auto document = SVGDocument::make(bytesOf(kMarkerSVG));
  ASSERT_NE(document, nullptr);
  EXPECT_FALSE(document->render(0, 10).has_value());
  EXPECT_FALSE(document->render(10, -1).has_value());
  EXPECT_FALSE(document->render(SVGDocument::kMaxBitmapEdge + 1, 10).has_value());
  EXPECT_TRUE(document->pngData(0, 0).empty());
  EXPECT_TRUE(document->render(1, 1).has_value());
}

// 188 bytes that asked for a 10000 x 10000 point page blurred whole: tens of seconds and
// gigabytes before drawing was bounded.
constexpr const char* kBlurredGiantSVG =
    R"svg(<svg xmlns="http://www.w3.org/2000/svg" width="10000" height="10000"><filter id="b">)svg"
    R"svg(<feGaussianBlur stdDeviation="50"/></filter><rect width="10000" height="10000" filter="url(#b)"/></svg>)svg";

// An icon-sized document whose one filter chains `count` blurs.
std::string chainedBlurs(int edge, int count) {
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(edge) + "\" height=\"" +
                    std::to_string(edge) + "\"><filter id=\"f\">";
  for (int i = 0; i < count; ++i) svg += "<feGaussianBlur stdDeviation=\"2\"/>";
  svg += "</filter><circle cx=\"50%\" cy=\"50%\" r=\"40%\" filter=\"url(#f)\"/></svg>";
  return svg;
}

TEST(SVGDocumentBudgetTest, AGiantBlurredPageIsScaledDownBeforeItIsDrawn) {
  const auto document = SVGDocument::make(bytesOf(kBlurredGiantSVG));
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(document->size(), (SVGSize{10000, 10000}));
  EXPECT_EQ(document->filterFactor(), 1);
  EXPECT_EQ(document->pageSize(), (SVGSize{SVGDocument::kMaxPageEdge, SVGDocument::kMaxPageEdge}));

  const auto pdf = PDFConverter().convertOrError(bytesOf(kBlurredGiantSVG));
  ASSERT_TRUE(pdf.ok()) << pdf.error();
  const auto info = pdfInfo(*pdf);
  ASSERT_TRUE(info.has_value());
  EXPECT_NEAR(info->width, SVGDocument::kMaxPageEdge, 0.01);
  EXPECT_NEAR(info->height, SVGDocument::kMaxPageEdge, 0.01);

  // A bitmap that would blur 268 million pixels is refused before anything is drawn.
  const auto huge = document->renderOrError(SVGDocument::kMaxBitmapEdge, SVGDocument::kMaxBitmapEdge);
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().code, kSVGDocumentTooCostly);
  EXPECT_NE(huge.error().description.find("too costly"), std::string::npos) << huge.error();
  EXPECT_TRUE(document->pngData(SVGDocument::kMaxBitmapEdge, SVGDocument::kMaxBitmapEdge).empty());
  // Export sizes still draw.
  EXPECT_TRUE(document->render(1200, 1200).has_value());
}

TEST(SVGDocumentBudgetTest, PagesAndBitmapsFollowTheFilterBudget) {
  struct Case {
    const char* name;
    std::string svg;
    bool pdf;                // a PDF is made
    double longestPageEdge;  // expected when made
    int bitmapEdge;
    bool bitmap;  // that bitmap is drawn
  };
  const Case cases[] = {
      {"giant without filters keeps its proportions",
       R"(<svg xmlns="http://www.w3.org/2000/svg" width="20000" height="5000"><rect width="20000" height="5000"/></svg>)",
       true, SVGDocument::kMaxPageEdge, 1200, true},
      {"icon with a shadow is untouched", chainedBlurs(96, 3), true, 96, 1200, true},
      {"many primitives shrink a large page", chainedBlurs(1000, 64), true, std::sqrt(SVGDocument::kMaxFilterWork / 64),
       300, true},
      {"a small icon with thousands of primitives is refused", chainedBlurs(24, 20000), false, 0, 24, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto document = SVGDocument::make(bytesOf(c.svg));
    ASSERT_NE(document, nullptr);
    const auto pdf = document->pdfDataOrError();
    EXPECT_EQ(pdf.ok(), c.pdf);
    if (pdf.ok()) {
      const auto info = pdfInfo(*pdf);
      ASSERT_TRUE(info.has_value());
      EXPECT_NEAR(std::max(info->width, info->height), c.longestPageEdge, 0.5);
      EXPECT_NEAR(info->width / info->height, document->size().width / document->size().height, 0.01);
    } else {
      EXPECT_EQ(pdf.error().code, kSVGDocumentTooCostly);
      EXPECT_TRUE(PDFConverter().convert(bytesOf(c.svg)).empty());
      EXPECT_TRUE(document->epsData().empty());
    }
    const auto bitmap = document->renderOrError(c.bitmapEdge, c.bitmapEdge);
    EXPECT_EQ(bitmap.ok(), c.bitmap);
    if (!bitmap.ok()) {
      EXPECT_EQ(bitmap.error().code, kSVGDocumentTooCostly);
    }
  }
}

TEST(SVGDocumentBudgetTest, RefusalsSayWhy) {
  const auto empty = SVGDocument::load({});
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().code, kSVGDocumentUnreadable);
  const auto garbage = PDFConverter().convertOrError(bytesOf("not an svg"));
  ASSERT_FALSE(garbage.ok());
  EXPECT_EQ(garbage.error().code, kSVGDocumentUnreadable);
  const auto sizeless = SVGDocument::load(bytesOf(R"(<svg xmlns="http://www.w3.org/2000/svg" width="0" height="5"/>)"));
  ASSERT_FALSE(sizeless.ok());
  EXPECT_EQ(sizeless.error().code, kSVGDocumentNoUsableSize);
  const auto document = SVGDocument::make(bytesOf(kBlurredGiantSVG));
  ASSERT_NE(document, nullptr);
  const auto badSize = document->renderOrError(0, 10);
  ASSERT_FALSE(badSize.ok());
  EXPECT_EQ(badSize.error().code, kSVGDocumentBadBitmapSize);
}

TEST(SVGDocumentTest, OneDocumentDrawsOnSeveralThreadsAtOnce) {
  const auto document = SVGDocument::make(bytesOf(kMarkerSVG));
  ASSERT_NE(document, nullptr);
  const auto expected = document->pngData(64, 64);
  const auto expectedPDFSize = document->pdfData().size();
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        if (document->pngData(64, 64) != expected) ++mismatches;
        if (document->pdfData().size() != expectedPDFSize) ++mismatches;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(SVGDocumentTest, DecodePNGRefusesOtherBytes) {
  EXPECT_FALSE(decodePNG(bytesOf("not a png")).has_value());
  EXPECT_FALSE(decodePNG(Bytes{}).has_value());
}

}  // namespace
}  // namespace Vexelworks
