// The pointer and keyboard of the X server, driven as a user drives them through the XTest
// extension, and where a program's window is on the screen. Xlib's macros (None, Bool, KeyPress,
// ...) clash with Qt's names: include this header after the Qt headers; it undefines them.
#pragma once

#include <QPoint>
#include <QTest>

#include <optional>
#include <string>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "support/XTopLevelWindows.h"

namespace Vexelworks::testing {

class XTestInput {
 public:
  XTestInput() : display_(XOpenDisplay(nullptr)) {}
  ~XTestInput() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  XTestInput(const XTestInput&) = delete;
  XTestInput& operator=(const XTestInput&) = delete;

  // An X server with the XTest extension is there.
  bool ok() const {
    int event = 0, error = 0, major = 0, minor = 0;
    return display_ != nullptr && XTestQueryExtension(display_, &event, &error, &major, &minor);
  }
  void moveTo(QPoint p) {
    XTestFakeMotionEvent(display_, -1, p.x(), p.y(), 0);
    XSync(display_, 0);
  }
  // Presses and releases the left button where the pointer is.
  void click() {
    XTestFakeButtonEvent(display_, 1, 1, 0);
    XTestFakeButtonEvent(display_, 1, 0, 0);
    XSync(display_, 0);
  }
  void clickAt(QPoint p) {
    moveTo(p);
    QTest::qWait(50);  // lets the program see the pointer arrive before the press
    click();
  }
  // Presses and releases the key, with `modifier` (a key such as XK_Shift_L) held when given.
  void tap(KeySym symbol, KeySym modifier = NoSymbol) {
    const KeyCode code = XKeysymToKeycode(display_, symbol);
    const KeyCode mod = modifier == NoSymbol ? 0 : XKeysymToKeycode(display_, modifier);
    if (mod != 0) XTestFakeKeyEvent(display_, mod, 1, 0);
    XTestFakeKeyEvent(display_, code, 1, 0);
    XTestFakeKeyEvent(display_, code, 0, 0);
    if (mod != 0) XTestFakeKeyEvent(display_, mod, 0, 0);
    XSync(display_, 0);
  }
  void type(const std::string& text) {
    for (char c : text) tap(static_cast<KeySym>(c));
  }
  // How many top-level windows are mapped; a menu or pop-up that opens adds one.
  int viewableWindowCount() { return vx::test::viewableTopLevelWindowCount(display_); }
  // The top-left corner on the screen of the mapped top-level window titled `title`.
  std::optional<QPoint> windowOrigin(const char* title) {
    const auto window = vx::test::topLevelWindow(display_, title);
    if (!window) return std::nullopt;
    return QPoint(window->x, window->y);
  }

 private:
  Display* display_;
};

}  // namespace Vexelworks::testing

#undef None
#undef Bool
#undef Status
#undef KeyPress
#undef KeyRelease
#undef FocusIn
#undef FocusOut
#undef Expose
#undef Unsorted
#undef Always
#undef Success
#undef True
#undef False
