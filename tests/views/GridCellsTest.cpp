// The grid's small views: the icon cell's tile colours, tint and placeholder, drawn with real
// SVG artwork; the footer, header, loading cell and views built from their interfaces; the
// not-found text.
#include "app/qt/InterfaceRegistry.h"
#include "app/service/Palette.h"
#include "app/views/CellInterfaces.h"
#include "app/views/Drawing.h"
#include "app/views/IconCollectionFooterView.h"
#include "app/views/IconCollectionViewCell.h"
#include "app/views/LoadingCell.h"
#include "app/views/LoadingViewController.h"
#include "app/views/NotFoundViewController.h"
#include "app/views/RelatedIconsHeader.h"
#include "support/Screenshot.h"

#include <QApplication>
#include <QPainter>
#include <gtest/gtest.h>

#include <string>

using namespace Vexelworks;

namespace {

// Artwork whose left half is opaque black and whose right half is empty.
IconImage halfArtwork(double size) {
  const std::string svg =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"100\">"
      "<rect x=\"0\" y=\"0\" width=\"50\" height=\"100\" fill=\"#000000\"/></svg>";
  auto document = SVGDocument::make(std::span(reinterpret_cast<const std::uint8_t*>(svg.data()), svg.size()));
  EXPECT_NE(document, nullptr);
  return IconImage(document, size);
}

// The cell drawn into an image that starts out green, so what the cell leaves alone shows.
QImage drawOnGreen(IconCollectionViewCell& cell) {
  QImage image(cell.size(), QImage::Format_ARGB32_Premultiplied);
  image.fill(QColor(0, 255, 0));
  QPainter painter(&image);
  cell.drawCell(painter);
  painter.end();
  return image;
}

QColor at(const QImage& image, int x, int y) { return image.pixelColor(x, y); }

// Component-wise closeness (anti-aliasing and 8-bit rounding).
::testing::AssertionResult near(const QColor& actual, const QColor& expected, int tolerance = 2) {
  if (std::abs(actual.red() - expected.red()) <= tolerance &&
      std::abs(actual.green() - expected.green()) <= tolerance &&
      std::abs(actual.blue() - expected.blue()) <= tolerance) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "got " << actual.name().toStdString() << ", expected "
                                       << expected.name().toStdString();
}

class GridCellsTest : public ::testing::Test {
 protected:
  void SetUp() override { registerCellInterfaces(); }
};

TEST_F(GridCellsTest, TheSelectionTileContrastsWithTheExportColour) {
  struct Case {
    const char* name;
    Color color;
    Color tile;
  } cases[] = {
      {"black", Color::black(), Palette::selectionLightGrey},
      {"white", Color::white(), Palette::darkGrey},
      {"brightness exactly 200", Color::grey(200.0 / 255), Palette::selectionLightGrey},
      {"brightness just above 200", Color::grey(201.0 / 255), Palette::darkGrey},
      {"pure green (brightness 127.5)", Color::rgb(0, 1, 0), Palette::selectionLightGrey},
      {"yellow (brightness 212.5)", Color::rgb(1, 1, 0), Palette::darkGrey},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IconCollectionViewCell::selectionBackground(c.color), toQColor(c.tile));
    IconCollectionViewCell cell;
    cell.setIconColor(c.color);
    EXPECT_FALSE(cell.backgroundColor().has_value());
    cell.setSelected(true);
    ASSERT_TRUE(cell.backgroundColor().has_value());
    EXPECT_EQ(*cell.backgroundColor(), toQColor(c.tile));
    cell.setSelected(false);
    EXPECT_FALSE(cell.backgroundColor().has_value());
  }
}

TEST_F(GridCellsTest, SelectedIconsAreTintedInTheExportColourOverTheirTileUnselectedOnesBlack) {
  IconCollectionViewCell cell;
  cell.resize(100, 100);
  cell.setImage(halfArtwork(80));
  cell.setIconColor(Color::rgb(1, 0, 0));
  EXPECT_EQ(cell.iconRect(), QRectF(10, 10, 80, 80));

  const QImage unselected = drawOnGreen(cell);
  EXPECT_TRUE(near(at(unselected, 30, 50), Qt::black));          // the artwork's opaque half
  EXPECT_TRUE(near(at(unselected, 70, 50), QColor(0, 255, 0)));  // its empty half: untouched
  EXPECT_TRUE(near(at(unselected, 5, 5), QColor(0, 255, 0)));    // outside the icon square

  cell.setSelected(true);
  const QImage selected = drawOnGreen(cell);
  const QColor tile = toQColor(Palette::selectionLightGrey);
  EXPECT_TRUE(near(at(selected, 30, 50), Qt::red));
  // The tint is made offscreen: where the artwork is empty the tile behind it survives. A
  // destination-in drawn on the target itself would have cleared it.
  EXPECT_TRUE(near(at(selected, 70, 50), tile));
  EXPECT_TRUE(near(at(selected, 5, 50), tile));
  EXPECT_TRUE(near(at(selected, 95, 95), tile));

  cell.setSelected(false);
  const QImage again = drawOnGreen(cell);
  EXPECT_TRUE(near(at(again, 30, 50), Qt::black));
  EXPECT_TRUE(near(at(again, 70, 50), QColor(0, 255, 0)));

  QWidget host;
  host.setAutoFillBackground(true);
  host.setPalette(QPalette(toQColor(Palette::backgroundGrey)));
  host.resize(220, 110);
  auto* a = new IconCollectionViewCell(&host);
  a->setGeometry(5, 5, 100, 100);
  a->setImage(halfArtwork(80));
  auto* b = new IconCollectionViewCell(&host);
  b->setGeometry(115, 5, 100, 100);
  b->setImage(halfArtwork(80));
  b->setIconColor(Color::rgb(1, 0, 0));
  b->setSelected(true);
  EXPECT_FALSE(vx::test::saveScreenshot(&host, "icon-cells-unselected-and-selected").isEmpty());
}

TEST_F(GridCellsTest, ACellWithoutArtworkDrawsOnlyTheFaintPlaceholderAndReuseDropsTheArtwork) {
  IconCollectionViewCell cell;
  cell.resize(100, 100);
  const QImage placeholder = drawOnGreen(cell);
  // Grey 186 at a quarter over green.
  const double g = 186.0;
  const QColor expected(static_cast<int>(std::lround(0.25 * g)), static_cast<int>(std::lround(0.25 * g + 0.75 * 255)),
                        static_cast<int>(std::lround(0.25 * g)));
  EXPECT_TRUE(near(at(placeholder, 50, 50), expected, 3));
  EXPECT_TRUE(near(at(placeholder, 12, 12), QColor(0, 255, 0)));  // the circle's corner
  EXPECT_TRUE(near(at(placeholder, 5, 50), QColor(0, 255, 0)));

  cell.setImage(halfArtwork(80));
  EXPECT_TRUE(cell.image().has_value());
  cell.prepareForReuse();
  EXPECT_FALSE(cell.image().has_value());
  EXPECT_TRUE(near(at(drawOnGreen(cell), 50, 50), expected, 3));

  QWidget host;
  host.setAutoFillBackground(true);
  host.setPalette(QPalette(toQColor(Palette::backgroundGrey)));
  host.resize(110, 110);
  auto* shown = new IconCollectionViewCell(&host);
  shown->setGeometry(5, 5, 100, 100);
  EXPECT_FALSE(vx::test::saveScreenshot(&host, "icon-cell-loading-placeholder").isEmpty());
}

TEST_F(GridCellsTest, NothingIsDrawnWithoutAnActivePainter) {
  IconCollectionViewCell cell;
  cell.resize(100, 100);
  cell.setImage(halfArtwork(80));
  QPainter inactive;
  cell.drawCell(inactive);  // must simply return
  QImage target(10, 10, QImage::Format_ARGB32_Premultiplied);
  target.fill(Qt::green);
  QPainter painter(&target);
  drawTintedArtwork(painter, QRectF(0, 0, 10, 10), QImage(), Qt::red);  // no artwork: nothing
  painter.end();
  EXPECT_EQ(target.pixelColor(5, 5), QColor(Qt::green));
}

TEST_F(GridCellsTest, InterfacesConnectTheirOutletsAndTheLoadingViewsSpin) {
  auto& registry = vx::InterfaceRegistry::shared();
  std::unique_ptr<QWidget> footerWidget(registry.instantiate("IconCollectionFooterView"));
  auto* footer = dynamic_cast<IconCollectionFooterView*>(footerWidget.get());
  ASSERT_NE(footer, nullptr);
  EXPECT_NE(footer->progressIndicator, nullptr);

  std::unique_ptr<QWidget> headerWidget(registry.instantiate("RelatedIconsHeader"));
  auto* header = dynamic_cast<RelatedIconsHeader*>(headerWidget.get());
  ASSERT_NE(header, nullptr);
  ASSERT_NE(header->headerField, nullptr);
  EXPECT_EQ(header->headerField->textFormat(), Qt::PlainText);

  std::unique_ptr<QWidget> cellWidget(registry.instantiate("LoadingCell"));
  auto* loading = dynamic_cast<LoadingCell*>(cellWidget.get());
  ASSERT_NE(loading, nullptr);
  ASSERT_NE(loading->progressView, nullptr);
  loading->progressView->setHidesWhenStopped(false);
  loading->viewWillDisplay();
  EXPECT_TRUE(loading->progressView->hidesWhenStopped());
  EXPECT_LT(loading->progressView->progress(), 0);  // indeterminate: spinning

  LoadingViewController controller;
  ASSERT_NE(controller.view(), nullptr);
  ASSERT_NE(controller.progressView, nullptr);
  EXPECT_TRUE(controller.progressView->hidesWhenStopped());
  EXPECT_LT(controller.progressView->progress(), 0);
  controller.view()->resize(200, 150);
  EXPECT_FALSE(vx::test::saveScreenshot(controller.view(), "loading-view").isEmpty());
}

TEST_F(GridCellsTest, TheNotFoundViewNamesTheTermWithTypographicQuotes) {
  NotFoundViewController controller;
  controller.searchTerm = "cat";
  controller.updateText();
  ASSERT_NE(controller.textField, nullptr);
  EXPECT_EQ(controller.textField->text().toStdString(),
            "We didn\xE2\x80\x99t find any icons for \xE2\x80\x9C"
            "cat"
            "\xE2\x80\x9D");
  controller.view()->resize(400, 200);
  EXPECT_FALSE(vx::test::saveScreenshot(controller.view(), "not-found-view").isEmpty());

  // Terms come from the user: markup stays text, bytes that are not UTF-8 become replacement
  // characters, an empty term gives empty quotes.
  controller.searchTerm = "<b>bold</b>";
  controller.updateText();
  EXPECT_EQ(controller.textField->textFormat(), Qt::PlainText);
  EXPECT_TRUE(controller.textField->text().contains("\u201C<b>bold</b>\u201D"));
  controller.searchTerm = std::string(
      "a\xff\xfe"
      "b");
  controller.updateText();
  EXPECT_TRUE(controller.textField->text().contains(QChar(0xFFFD)));
  controller.searchTerm.clear();
  controller.updateText();
  EXPECT_TRUE(controller.textField->text().endsWith("\u201C\u201D"));
}

}  // namespace
