#include "app/service/Images/PDFConverter.h"
#include "app/service/Images/SVGDocument.h"

#include "service/images/ImageTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace Vexelworks {
namespace {

using namespace Vexelworks::testing;

TEST(PDFConverterTest, UnreadableBytesGiveEmptyBytes) {
  const PDFConverter converter;
  for (const char* text : {
           "",
           "<html><body><h1>404 Not Found</h1></body></html>",
           "{\"error\":\"not found\"}",
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\"><rect",
           // No size and no viewBox: nothing to make a page of.
           "<svg xmlns=\"http://www.w3.org/2000/svg\"><rect width=\"5\" height=\"5\"/></svg>",
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"0\" height=\"10\"/>",
       }) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(converter.convert(bytesOf(text)).empty());
    EXPECT_EQ(SVGDocument::make(bytesOf(text)), nullptr);
  }
}

TEST(PDFConverterTest, PageIsNotMirrored) {
  const auto pdf = PDFConverter().convert(bytesOf(kMarkerSVG));
  const auto page = rasterisePDF(pdf);
  ASSERT_TRUE(page.has_value());
  ASSERT_EQ(page->width, 100);
  ASSERT_EQ(page->height, 100);
  // Red square at the top left, blue quarter at the bottom right, white paper elsewhere.
  const auto topLeft = page->pixel(3, 3);
  EXPECT_EQ(redOf(topLeft), 255);
  EXPECT_EQ(blueOf(topLeft), 0);
  const auto bottomRight = page->pixel(90, 90);
  EXPECT_EQ(blueOf(bottomRight), 255);
  EXPECT_EQ(redOf(bottomRight), 0);
  const auto bottomLeft = page->pixel(3, 95);
  EXPECT_EQ(redOf(bottomLeft), 255);
  EXPECT_EQ(greenOf(bottomLeft), 255);
  EXPECT_EQ(blueOf(bottomLeft), 255);
}

TEST(PDFConverterTest, PDFIsVector) {
  // A vector page holds drawing operators, not an image of the artwork.
  const auto pdf = PDFConverter().convert(bytesOf(kMarkerSVG));
  TemporaryFolder folder;
  writeFile(folder.path() / "doc.pdf", pdf);
  const auto images = run("pdfimages -list '" + (folder.path() / "doc.pdf").string() + "'");
  ASSERT_EQ(images.status, 0) << images.output;
  // Header and separator line only: no embedded image.
  EXPECT_EQ(std::count(images.output.begin(), images.output.end(), '\n'), 2) << images.output;
}

}  // namespace
}  // namespace Vexelworks
