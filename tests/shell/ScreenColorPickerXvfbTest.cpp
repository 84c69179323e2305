// The screen colour picker against a real X server: windows painted in known colours, the real
// pointer moved and real keys pressed through the XTest extension, the screen read by the
// picker itself.
#include "app/shell/CBColorMagnifierWindow.h"

#include "support/Screenshot.h"

#include <QCursor>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "shell/XTestInput.h"

namespace Vexelworks {
namespace {

using Vexelworks::testing::XTestInput;

class SolidWindow : public QWidget {
 public:
  SolidWindow(QColor color, QRect geometry)
      : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint), color_(color) {
    setGeometry(geometry);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.fillRect(rect(), color_);
  }

 private:
  QColor color_;
};

struct RecordingDelegate : CBColorMagnifierWindowDelegate {
  std::vector<Color> colors;
  void applyExportColor(const Color& color) override { colors.push_back(color); }
};

const QColor kGreen(0x1e, 0x90, 0x5a);
const QColor kRust(0xd2, 0x3c, 0x14);
// The green window covers x 200...499, the rust one 500...799, both y 200...399.
const QRect kGreenRect(200, 200, 300, 200);
const QRect kRustRect(500, 200, 300, 200);

class ScreenColorPickerXvfbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(input.ok()) << "the X server has no XTest extension";
    green = std::make_unique<SolidWindow>(kGreen, kGreenRect);
    rust = std::make_unique<SolidWindow>(kRust, kRustRect);
    green->show();
    rust->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(green.get()));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(rust.get()));
    // Both windows are on the screen once a picture of it shows their colours.
    ASSERT_TRUE(QTest::qWaitFor(
        [] {
          const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
          return screen.pixelColor(kGreenRect.center()) == kGreen && screen.pixelColor(kRustRect.center()) == kRust;
        },
        10000));
    picker.pickerDelegate = &delegate;
  }
  void TearDown() override { picker.close(); }

  // Opens the picker and waits until it has the keyboard.
  void open() {
    picker.showWindow();
    ASSERT_NE(picker.window(), nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return picker.window() && picker.window()->isActiveWindow(); }, 10000));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return picker.window() && picker.window()->keyboardGrabber() == picker.window(); }, 10000));
  }
  bool windowCentredOn(QPoint p) {
    const int half = CBColorMagnifierWindow::kWindowSide / 2;
    return picker.window() != nullptr && picker.window()->geometry().topLeft() + QPoint(half, half) == p;
  }
  // Moves the pointer and waits until the magnifier followed it.
  void moveTo(QPoint p) {
    input.moveTo(p);
    ASSERT_TRUE(QTest::qWaitFor([&] { return QCursor::pos() == p && windowCentredOn(p); }, 10000))
        << "pointer at " << QCursor::pos().x() << "," << QCursor::pos().y() << ", window at "
        << (picker.window() ? picker.window()->geometry().x() : -1) << ","
        << (picker.window() ? picker.window()->geometry().y() : -1);
  }
  bool waitClosed() {
    return QTest::qWaitFor([&] { return !picker.isOpen(); }, 10000);
  }

  XTestInput input;
  std::unique_ptr<SolidWindow> green;
  std::unique_ptr<SolidWindow> rust;
  RecordingDelegate delegate;
  CBColorMagnifierWindowController picker;
};

TEST_F(ScreenColorPickerXvfbTest, ReturnPicksExactlyTheColourUnderThePointer) {
  input.moveTo(QPoint(100, 100));
  open();
  EXPECT_NE(QGuiApplication::overrideCursor(), nullptr) << "the pointer is hidden";
  ASSERT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BlankCursor);
  moveTo(QPoint(350, 300));
  CBColorMagnifierWindow* window = picker.window();
  const auto shown = window->centerColor();
  ASSERT_TRUE(shown.has_value());
  EXPECT_EQ(shown->hexString(), "1E905A") << "the magnifier shows the green window";
  EXPECT_FALSE(vx::test::saveScreenshot(window, "color-picker-magnifier").isEmpty());

  input.tap(XK_Return);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !delegate.colors.empty(); }, 10000));
  ASSERT_EQ(delegate.colors.size(), 1u);
  EXPECT_EQ(delegate.colors[0].hexString(), "1E905A");
  EXPECT_TRUE(delegate.colors[0].isOpaque());
  EXPECT_TRUE(waitClosed());
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "the pointer shows again";
}

TEST_F(ScreenColorPickerXvfbTest, TheMagnifierFollowsThePointer) {
  input.moveTo(QPoint(300, 300));
  open();
  // Each place shows a different neighbourhood: inside green, across the border of the two
  // windows, inside rust, across the windows' top edge, the empty screen.
  const std::vector<QPoint> path = {{490, 300}, {520, 300}, {600, 205}, {790, 390}, {10, 10}};
  QImage previous = picker.window()->displayImage();
  for (const QPoint p : path) {
    moveTo(p);
    const QImage image = picker.window()->displayImage();
    EXPECT_NE(image, previous) << "a new magnified picture at " << p.x() << "," << p.y();
    previous = image;
  }
  // At the screen's corner the window reaches past the screen's edges.
  moveTo(QPoint(0, 0));
  EXPECT_EQ(picker.window()->geometry().topLeft(), QPoint(-250, -250));
}

TEST_F(ScreenColorPickerXvfbTest, ArrowKeysNudgeThePointerOneOrFivePoints) {
  input.moveTo(QPoint(490, 300));
  open();
  moveTo(QPoint(490, 300));
  struct Step {
    KeySym key;
    bool shift;
    QPoint expected;
  };
  const std::vector<Step> steps = {
      {XK_Right, false, {491, 300}}, {XK_Left, false, {490, 300}}, {XK_Up, false, {490, 299}},
      {XK_Down, false, {490, 300}},  {XK_Right, true, {495, 300}}, {XK_Down, true, {495, 305}},
      {XK_Up, true, {495, 300}},     {XK_Left, true, {490, 300}},  {XK_Right, true, {495, 300}},
      {XK_Right, true, {500, 300}},  // the first column of the rust window
  };
  for (const auto& step : steps) {
    input.tap(step.key, step.shift ? XK_Shift_L : NoSymbol);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return QCursor::pos() == step.expected && windowCentredOn(step.expected); }, 10000))
        << "expected " << step.expected.x() << "," << step.expected.y() << ", pointer at " << QCursor::pos().x() << ","
        << QCursor::pos().y();
  }
  EXPECT_EQ(picker.window()->centerColor()->hexString(), "D23C14");
  EXPECT_FALSE(vx::test::saveScreenshot(picker.window(), "color-picker-magnifier-at-border").isEmpty());
  input.tap(XK_Left);  // back onto the green window's last column
  ASSERT_TRUE(QTest::qWaitFor([&] { return QCursor::pos() == QPoint(499, 300); }, 10000));
  input.tap(XK_Return);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !delegate.colors.empty(); }, 10000));
  EXPECT_EQ(delegate.colors[0].hexString(), "1E905A");
}

TEST_F(ScreenColorPickerXvfbTest, EscapeClosesWithoutAColour) {
  input.moveTo(QPoint(100, 100));
  open();
  moveTo(QPoint(600, 300));
  input.tap(XK_Escape);
  EXPECT_TRUE(waitClosed());
  QTest::qWait(0);
  EXPECT_TRUE(delegate.colors.empty());
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  // The next use opens a fresh picker that picks again.
  open();
  moveTo(QPoint(650, 250));
  input.tap(XK_space);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !delegate.colors.empty(); }, 10000));
  EXPECT_EQ(delegate.colors[0].hexString(), "D23C14");
}

TEST_F(ScreenColorPickerXvfbTest, AClickPicksAndWithoutADelegateNothingIsPicked) {
  picker.pickerDelegate = nullptr;
  input.moveTo(QPoint(300, 250));
  open();
  moveTo(QPoint(310, 260));
  input.tap(XK_Return);
  input.click();
  // The picker stays open: nothing to hand the colour to. An Escape afterwards still closes it.
  input.tap(XK_Right);
  ASSERT_TRUE(QTest::qWaitFor([&] { return QCursor::pos() == QPoint(311, 260); }, 10000));
  EXPECT_TRUE(picker.isOpen());
  picker.pickerDelegate = &delegate;
  input.click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !delegate.colors.empty(); }, 10000));
  EXPECT_EQ(delegate.colors[0].hexString(), "1E905A");
  EXPECT_TRUE(waitClosed());
}

}  // namespace
}  // namespace Vexelworks
