#include "app/shell/CBColorMagnifierWindow.h"

#include "support/Screenshot.h"

#include <QAbstractButton>
#include <QColorDialog>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

namespace Vexelworks {
namespace {

struct RecordingDelegate : CBColorMagnifierWindowDelegate {
  std::vector<Color> colors;
  void applyExportColor(const Color& color) override { colors.push_back(color); }
};

TEST(ColorPickerPlatformTest, OnlyWaylandForbidsReadingTheScreen) {
  struct Case {
    const char* platform;
    bool canRead;
  };
  for (const Case& c :
       std::vector<Case>{{"xcb", true}, {"offscreen", true}, {"wayland", false}, {"wayland-egl", false}}) {
    EXPECT_EQ(CBColorMagnifierWindowController::canReadScreen(QString::fromUtf8(c.platform)), c.canRead) << c.platform;
  }
}

QAbstractButton* buttonTitled(QMessageBox& box, const QString& title) {
  for (QAbstractButton* button : box.buttons()) {
    if (button->text() == title) return button;
  }
  return nullptr;
}

TEST(ColorPickerWaylandTest, SaysItCannotReadTheScreenAndOffersTheColourDialog) {
  RecordingDelegate delegate;
  CBColorMagnifierWindowController picker(QStringLiteral("wayland"));
  picker.pickerDelegate = &delegate;
  QSignalSpy closed(&picker, &CBColorMagnifierWindowController::closed);
  picker.showWindow();
  EXPECT_EQ(picker.window(), nullptr) << "no magnifier, no screen picture";
  QMessageBox* message = picker.unavailableMessage();
  ASSERT_NE(message, nullptr);
  EXPECT_TRUE(message->isVisible());
  EXPECT_TRUE(message->text().contains("cannot read the screen under Wayland"));
  EXPECT_FALSE(vx::test::saveScreenshot(message, "color-picker-wayland-message").isEmpty());

  // Asking again while the message shows makes no second one.
  picker.showWindow();
  EXPECT_EQ(picker.unavailableMessage(), message);

  QAbstractButton* choose = buttonTitled(*message, QStringLiteral("Choose..."));
  ASSERT_NE(choose, nullptr);
  choose->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return picker.colorDialog() != nullptr; }));
  QColorDialog* dialog = picker.colorDialog();
  EXPECT_TRUE(dialog->isVisible());
  dialog->setCurrentColor(QColor(0x33, 0x66, 0x99));
  dialog->accept();
  ASSERT_EQ(delegate.colors.size(), 1u);
  EXPECT_EQ(delegate.colors[0].hexString(), "336699");
  EXPECT_TRUE(delegate.colors[0].isOpaque());
  EXPECT_EQ(closed.count(), 1);
}

TEST(ColorPickerWaylandTest, CancellingTheMessageGivesNoColour) {
  RecordingDelegate delegate;
  CBColorMagnifierWindowController picker(QStringLiteral("wayland"));
  picker.pickerDelegate = &delegate;
  QSignalSpy closed(&picker, &CBColorMagnifierWindowController::closed);
  picker.showWindow();
  ASSERT_NE(picker.unavailableMessage(), nullptr);
  picker.unavailableMessage()->button(QMessageBox::Cancel)->click();
  EXPECT_EQ(picker.colorDialog(), nullptr);
  EXPECT_TRUE(delegate.colors.empty());
  EXPECT_EQ(closed.count(), 1);
}

}  // namespace
}  // namespace Vexelworks
