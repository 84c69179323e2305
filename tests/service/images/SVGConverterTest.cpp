// The SVG converter, and every sample icon of the local service through every export form.
#include "app/service/Images/PDFConverter.h"
#include "app/service/Images/SVGConverter.h"
#include "app/service/Images/SVGDocument.h"
#include "app/service/Images/SVGRecolor.h"

#include "service/images/ImageTestSupport.h"
#include "tools/devservice/DevService.h"

#include <gtest/gtest.h>

namespace Vexelworks {
namespace {

using namespace Vexelworks::testing;

std::vector<std::filesystem::path> sampleIcons() {
  std::vector<std::filesystem::path> paths;
  const auto folder = vx::devservice::defaultDataDirectory() / "icons";
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".svg") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST(SampleIconsTest, EveryIconConvertsToEveryForm) {
  const auto icons = sampleIcons();
  ASSERT_GE(icons.size(), 10u);
  const PDFConverter converter;
  for (const auto& path : icons) {
    SCOPED_TRACE(path.filename().string());
    const auto svg = readFile(path);
    const auto document = SVGDocument::make(svg);
    ASSERT_NE(document, nullptr);
    const auto size = document->size();

    // SVG in a colour: still a readable document of the same size.
    for (const auto& color : {Color::white(), Color::rgb(0.2, 0.4, 0.8, 0.5)}) {
      const auto recolored = recoloredSVG(svg, color);
      ASSERT_TRUE(recolored.has_value());
      const auto recoloredDocument = SVGDocument::make(*recolored);
      ASSERT_NE(recoloredDocument, nullptr) << textOf(*recolored);
      EXPECT_EQ(recoloredDocument->size(), size);
    }

    const auto pdf = converter.convert(svg);
    ASSERT_FALSE(pdf.empty());
    const auto info = pdfInfo(pdf);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->pages, 1);
    EXPECT_NEAR(info->width, size.width, 0.01);
    EXPECT_NEAR(info->height, size.height, 0.01);

    const auto eps = textOf(document->epsData());
    EXPECT_TRUE(eps.starts_with("%!PS-Adobe-3.0 EPSF-3.0"));

    const auto png = document->pngData(300, 300);
    const auto bitmap = decodePNG(png);
    ASSERT_TRUE(bitmap.has_value());
    EXPECT_EQ(bitmap->width, 300);
    EXPECT_EQ(bitmap->height, 300);
    // Something was drawn.
    bool inked = false;
    for (int y = 0; y < 300 && !inked; y += 3) {
      for (int x = 0; x < 300 && !inked; x += 3) inked = alphaOf(bitmap->pixel(x, y)) > 0;
    }
    EXPECT_TRUE(inked);
  }
}

TEST(SVGConverterTest, DeliversBothFormsOnTheMainQueueThenFinishes) {
  SVGConverter converter;
  EXPECT_EQ(converter.queue().maxConcurrentOperationCount(), 1);
  const auto svg = readFile(sampleIcons().front());
  std::optional<SVGConverterResult> result;
  bool finishedBeforeDelivery = true;
  std::shared_ptr<ConvertOperation> operation;
  operation = converter.convert(svg, [&](const SVGConverterResult& r) {
    EXPECT_TRUE(vx::DispatchQueue::isMainThread());
    finishedBeforeDelivery = operation->isFinished();
    result = r;
  });
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return result.has_value() && operation->isFinished(); }));
  EXPECT_FALSE(finishedBeforeDelivery);
  ASSERT_TRUE(result->pdfData.has_value());
  ASSERT_TRUE(result->epsData.has_value());
  EXPECT_EQ(pdfInfo(*result->pdfData)->pages, 1);
  EXPECT_TRUE(textOf(*result->epsData).starts_with("%!PS-Adobe-3.0 EPSF-3.0"));
}

TEST(SVGConverterTest, UnreadableBytesGiveNeitherForm) {
  SVGConverter converter;
  std::optional<SVGConverterResult> result;
  converter.convert(bytesOf("<html>nope</html>"), [&](const SVGConverterResult& r) { result = r; });
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return result.has_value(); }));
  EXPECT_FALSE(result->pdfData.has_value());
  EXPECT_FALSE(result->epsData.has_value());
}

}  // namespace
}  // namespace Vexelworks
