// The mapped top-level windows of an X display: how many there are, and where the one with a
// given title is on the screen. Xlib only, so the Xvfb tests (through shell/XTestInput.h) and the
// application benchmarks share it; code using Qt includes it after the Qt headers.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <optional>
#include <string>

namespace vx::test {

struct XWindowGeometry {
  int x = 0, y = 0, width = 0, height = 0;
};

// Calls visit(window, attributes) for each mapped top-level window until it returns true.
template <typename Visit>
void forEachViewableTopLevelWindow(Display* display, Visit visit) {
  Window root = DefaultRootWindow(display);
  Window parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  if (XQueryTree(display, root, &root, &parent, &children, &count) == 0) return;
  for (unsigned int i = 0; i < count; ++i) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, children[i], &attributes) == 0 || attributes.map_state != IsViewable) continue;
    if (visit(children[i], attributes)) break;
  }
  if (children != nullptr) XFree(children);
}

// How many top-level windows are mapped; a menu or pop-up that opens adds one.
inline int viewableTopLevelWindowCount(Display* display) {
  int viewable = 0;
  forEachViewableTopLevelWindow(display, [&](Window, const XWindowAttributes&) {
    ++viewable;
    return false;
  });
  return viewable;
}

// The mapped top-level window titled `title`, in screen coordinates.
inline std::optional<XWindowGeometry> topLevelWindow(Display* display, const std::string& title) {
  std::optional<XWindowGeometry> found;
  forEachViewableTopLevelWindow(display, [&](Window window, const XWindowAttributes& attributes) {
    char* name = nullptr;
    if (XFetchName(display, window, &name) != 0 && name != nullptr) {
      if (title == name) {
        int x = 0, y = 0;
        Window child = 0;
        XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child);
        found = XWindowGeometry{x, y, attributes.width, attributes.height};
      }
      XFree(name);
    }
    return found.has_value();
  });
  return found;
}

}  // namespace vx::test
