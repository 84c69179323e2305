// The flat controls: buttons, pop-ups, the colour swatch and the slider, drawn by their cells
// and driven with QTest mouse and keyboard events.
#include "app/service/Palette.h"
#include "app/views/ButtonCells.h"
#include "app/views/ColorSwatch.h"
#include "app/views/Drawing.h"
#include "app/views/PopUpButtonCells.h"
#include "app/views/SliderCell.h"
#include "support/Screenshot.h"

#include <QApplication>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace Vexelworks;

namespace {

bool sameRgb(const QColor& a, const QColor& b, int tolerance = 1) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

QImage blank(int w, int h) {
  QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

TEST(ButtonCellsTest, FlatAndRoundedButtonsShowWhiteTitlesOnBlueAndTranslucentBlueWhilePressed) {
  for (int rounded = 0; rounded < 2; ++rounded) {
    SCOPED_TRACE(rounded ? "rounded" : "flat");
    ButtonCell* cell = rounded ? static_cast<ButtonCell*>(new RoundedButtonCell) : new FlatButtonCell;
    Button button(cell, "Sign In");
    button.resize(120, 36);
    button.show();
    QSignalSpy clicked(&button, &QAbstractButton::clicked);

    EXPECT_EQ(cell->property("textColor").value<QColor>(), QColor(Qt::white));
    EXPECT_EQ(cell->property("buttonColor").value<QColor>(), toQColor(Palette::buttonBlue));
    EXPECT_EQ(cell->property("buttonHighlightColor").value<QColor>(), toQColor(Palette::buttonBlueTranslucent));
    EXPECT_FALSE(button.drawState().highlighted);

    QImage up = button.grab().toImage();
    EXPECT_TRUE(sameRgb(up.pixelColor(60, 3), toQColor(Palette::buttonBlue)));
    // Square corners for the flat tile; the rounded one leaves its corner pixel unfilled.
    EXPECT_EQ(sameRgb(up.pixelColor(0, 0), toQColor(Palette::buttonBlue)), rounded == 0);
    EXPECT_FALSE(button.lastTitleRect().isEmpty());
    EXPECT_TRUE(vx::test::saveScreenshot(&button, rounded ? "rounded-button" : "flat-button").size() > 0);

    QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(60, 18));
    EXPECT_TRUE(button.drawState().highlighted);
    const QColor pressedFill = rounded ? static_cast<RoundedButtonCell*>(cell)->bezelColor(button.drawState())
                                       : static_cast<FlatButtonCell*>(cell)->bezelColor(button.drawState());
    EXPECT_EQ(pressedFill, toQColor(Palette::buttonBlueTranslucent));
    EXPECT_TRUE(vx::test::saveScreenshot(&button, rounded ? "rounded-button-pressed" : "flat-button-pressed").size() >
                0);
    QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(60, 18));
    EXPECT_FALSE(button.drawState().highlighted);
    EXPECT_EQ(clicked.count(), 1);

    // The keyboard presses it too, and a colour set by name is used.
    button.setFocus();
    QTest::keyClick(&button, Qt::Key_Space);
    EXPECT_EQ(clicked.count(), 2);
    cell->setProperty("buttonColor", QColor(Qt::red));
    EXPECT_TRUE(sameRgb(button.grab().toImage().pixelColor(60, 3), Qt::red));
  }
}

TEST(ButtonCellsTest, UnderlineButtonsDrawNoTileAndLookTheSamePressedByDefault) {
  auto* cell = new UnderlineButtonCell;
  Button button(cell, "Forgot?");
  button.resize(100, 30);
  button.show();
  EXPECT_EQ(cell->titleColor({false, true}), systemLightGrey());
  EXPECT_EQ(cell->titleColor({true, true}), systemLightGrey());
  QImage image = blank(100, 30);
  {
    QPainter painter(&image);
    cell->drawBezel(painter, QRectF(0, 0, 100, 30), {false, true});
  }
  EXPECT_EQ(image.pixelColor(50, 2).alpha(), 0);  // no tile
  cell->setProperty("highlightedTextColor", QColor(Qt::red));
  EXPECT_EQ(cell->titleColor({true, true}), QColor(Qt::red));
  EXPECT_EQ(cell->titleColor({false, true}), systemLightGrey());
  QSignalSpy clicked(&button, &QAbstractButton::clicked);
  QTest::mouseClick(&button, Qt::LeftButton);
  EXPECT_EQ(clicked.count(), 1);
  EXPECT_TRUE(vx::test::saveScreenshot(&button, "underline-button").size() > 0);
}

TEST(PopUpButtonCellsTest, ToolbarPopUpsCentreTheirTitleWhiteWhileEnabledAndGreyWhileDisabled) {
  EXPECT_EQ(ToolbarPopupButtonCell::titleColor({false, true}), QColor(Qt::white));
  EXPECT_EQ(ToolbarPopupButtonCell::titleColor({false, false}), systemLightGrey());

  PopUpButton popUp(new ToolbarPopupButtonCell);
  popUp.addItems({"50%", "75%", "100%", "150%"});
  popUp.setCurrentIndex(2);
  popUp.resize(120, 30);
  popUp.show();
  const QImage shown = popUp.grab().toImage();
  EXPECT_TRUE(sameRgb(shown.pixelColor(10, 5), toQColor(Palette::darkGrey)));  // inside the tile
  EXPECT_EQ(shown.pixelColor(1, 1).alpha() == 255 && sameRgb(shown.pixelColor(1, 1), toQColor(Palette::darkGrey)),
            false);  // the 3-point inset stays outside the tile
  const QRectF title = popUp.lastTitleRect();
  EXPECT_NEAR(title.center().x(), popUp.titleFrame().center().x(), 1.0);
  EXPECT_TRUE(vx::test::saveScreenshot(&popUp, "toolbar-popup-enabled").size() > 0);
  popUp.setEnabled(false);
  EXPECT_FALSE(popUp.drawState().enabled);
  EXPECT_TRUE(vx::test::saveScreenshot(&popUp, "toolbar-popup-disabled").size() > 0);
  popUp.setEnabled(true);

  // Keys move the selection and report it as the user's choice.
  QSignalSpy activated(&popUp, &QComboBox::activated);
  popUp.setFocus();
  QTest::keyClick(&popUp, Qt::Key_Down);
  EXPECT_EQ(popUp.currentIndex(), 3);
  EXPECT_EQ(popUp.currentText(), "150%");
  EXPECT_EQ(activated.count(), 1);
  QTest::keyClick(&popUp, Qt::Key_Up);
  EXPECT_EQ(popUp.currentIndex(), 2);

  // Opening the list shows the pressed state until it closes.
  popUp.showPopup();
  EXPECT_TRUE(popUp.drawState().highlighted);
  popUp.hidePopup();
  EXPECT_FALSE(popUp.drawState().highlighted);
}

TEST(PopUpButtonCellsTest, TheColourPopUpMovesOnlyTheExactChooseTitleAside) {
  const QRectF frame(4, 0, 112, 30);
  struct Case {
    QString title;
    QRectF frame;
    Qt::Alignment alignment;
  } cases[] = {
      {"Choose...", QRectF(24, 0, 112, 30), Qt::AlignLeft},
      {QString::fromUtf8("Choose\u2026"), frame, Qt::AlignHCenter},  // an ellipsis character
      {"choose...", frame, Qt::AlignHCenter},
      {"#FF8000", frame, Qt::AlignHCenter},
      {"", frame, Qt::AlignHCenter},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title.toStdString());
    const auto [shifted, alignment] = ColorPopupButtonCell::titleLayout(c.title, frame);
    EXPECT_EQ(shifted, c.frame);
    EXPECT_EQ(alignment, c.alignment);
  }

  PopUpButton popUp(new ColorPopupButtonCell);
  QPixmap swatch(13, 13);
  swatch.fill(Qt::red);
  popUp.addItem("Black");
  popUp.addItem(QIcon(swatch), "#FF0000");
  popUp.addItem("Choose...");
  popUp.resize(120, 30);
  popUp.show();
  popUp.setCurrentIndex(1);
  const QImage withImage = popUp.grab().toImage();
  // The item's image is never drawn in the button: no red anywhere.
  bool red = false;
  for (int y = 0; y < withImage.height(); ++y) {
    for (int x = 0; x < withImage.width(); ++x) red = red || sameRgb(withImage.pixelColor(x, y), Qt::red, 30);
  }
  EXPECT_FALSE(red);
  popUp.setCurrentIndex(2);
  popUp.grab();
  EXPECT_NEAR(popUp.lastTitleRect().left(), popUp.titleFrame().left() + 20, 1.0);
  EXPECT_TRUE(vx::test::saveScreenshot(&popUp, "color-popup-choose").size() > 0);
}

TEST(ColorSwatchTest, RoundedOnTheLeftSquareOnTheRight) {
  ColorSwatch swatch;
  EXPECT_EQ(swatch.selectedColor(), QColor(Qt::black));
  swatch.setProperty("selectedColor", QColor(Qt::blue));
  swatch.resize(30, 20);
  QImage image = blank(30, 20);
  {
    QPainter painter(&image);
    swatch.draw(painter, QRectF(0, 0, 30, 20));
  }
  EXPECT_EQ(image.pixelColor(29, 0), QColor(Qt::blue));  // square right corners
  EXPECT_EQ(image.pixelColor(29, 19), QColor(Qt::blue));
  EXPECT_EQ(image.pixelColor(27, 10), QColor(Qt::blue));
  EXPECT_LT(image.pixelColor(0, 0).alpha(), 128);  // rounded left corners
  EXPECT_LT(image.pixelColor(0, 19).alpha(), 128);
  EXPECT_EQ(image.pixelColor(15, 10), QColor(Qt::blue));
  swatch.show();
  EXPECT_TRUE(vx::test::saveScreenshot(&swatch, "color-swatch").size() > 0);
}

TEST(SliderCellTest, TheBarIsWidenedAndInsetAsDrawn) {
  SliderCell cell;
  QImage image = blank(210, 12);
  {
    QPainter painter(&image);
    cell.drawBar(painter, QRectF(0, 0, 200, 4), true);
  }
  // (0, 0, 200, 4) is filled as (6, 0, 188, 6).
  EXPECT_EQ(image.pixelColor(6, 0), QColor(Qt::black));
  EXPECT_EQ(image.pixelColor(193, 5), QColor(Qt::black));
  EXPECT_EQ(image.pixelColor(5, 2).alpha(), 0);
  EXPECT_EQ(image.pixelColor(194, 2).alpha(), 0);
  EXPECT_EQ(image.pixelColor(100, 6).alpha(), 0);
}

TEST(SliderCellTest, TheKnobIsAFixedFiveSidedShapePointingUp) {
  const QPolygonF shape = SliderCell::knobShape(QRectF(10, 20, 40, 40));
  const QPolygonF expected({QPointF(12, 39), QPointF(12, 32), QPointF(19.5, 25), QPointF(27, 32), QPointF(27, 39)});
  EXPECT_EQ(shape, expected);
  EXPECT_EQ(shape.boundingRect().size(), QSizeF(15, 14));
}

TEST(SliderCellTest, OnlyTickMarksTheSliderHasAreDrawnAndAtMostFour) {
  struct Case {
    int ticks;
    int drawn;
  } cases[] = {{0, 0}, {1, 1}, {2, 2}, {4, 4}, {7, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ticks);
    Slider slider;
    slider.resize(200, 30);
    slider.setNumberOfTickMarks(c.ticks);
    QImage image = blank(200, 30);
    {
      QPainter painter(&image);
      slider.cell()->drawTickMarks(painter);
    }
    int drawn = 0;
    for (int i = 0; i < c.ticks; ++i) {
      const QRectF tick = slider.rectOfTickMark(i);
      ASSERT_FALSE(tick.isEmpty());
      const QColor colour = image.pixelColor(tick.center().toPoint());
      if (colour.alpha() == 255 && sameRgb(colour, toQColor(Palette::sliderTickGrey))) ++drawn;
    }
    EXPECT_EQ(drawn, c.drawn);
    EXPECT_TRUE(slider.rectOfTickMark(c.ticks).isEmpty());
    EXPECT_TRUE(slider.rectOfTickMark(-1).isEmpty());
  }
  Slider negative;
  negative.setNumberOfTickMarks(-3);
  EXPECT_EQ(negative.numberOfTickMarks(), 0);
}

TEST(SliderCellTest, TheSliderFollowsThePointerAndTheArrowKeys) {
  Slider slider;
  slider.setRange(0, 100);
  slider.setNumberOfTickMarks(5);
  slider.resize(219, 30);  // 200 points of travel for the knob's centre
  slider.show();
  QSignalSpy changed(&slider, &QSlider::valueChanged);
  QTest::mousePress(&slider, Qt::LeftButton, {}, QPoint(static_cast<int>(Slider::kKnobWidth / 2) + 150, 15));
  EXPECT_EQ(slider.value(), 75);
  EXPECT_TRUE(slider.isSliderDown());
  QTest::mouseMove(&slider, QPoint(static_cast<int>(Slider::kKnobWidth / 2) + 50, 15));
  EXPECT_EQ(slider.value(), 25);
  QTest::mouseRelease(&slider, Qt::LeftButton, {}, QPoint(static_cast<int>(Slider::kKnobWidth / 2) + 50, 15));
  EXPECT_FALSE(slider.isSliderDown());
  EXPECT_EQ(slider.value(), 25);
  EXPECT_NEAR(slider.knobRect().center().x(), Slider::kKnobWidth / 2 + 50, 0.5);
  slider.setFocus();
  QTest::keyClick(&slider, Qt::Key_Right);
  EXPECT_EQ(slider.value(), 26);
  QTest::mousePress(&slider, Qt::LeftButton, {}, QPoint(-40, 15));  // beyond the start: the minimum
  EXPECT_EQ(slider.value(), 0);
  QTest::mouseRelease(&slider, Qt::LeftButton, {}, QPoint(-40, 15));
  EXPECT_GE(changed.count(), 3);
  slider.setValue(50);
  EXPECT_TRUE(vx::test::saveScreenshot(&slider, "slider").size() > 0);
}

}  // namespace
