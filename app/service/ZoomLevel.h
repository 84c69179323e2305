// The fixed steps of the icon grid's zoom. The sizes are not proportional to the titles:
// "200%" is 150 points and "300%" is 300.
#pragma once

#include <array>
#include <string_view>

namespace Vexelworks {

struct ZoomLevel {
  std::string_view title;  // shown in the zoom pop-up, "100%"
  double size = 0;         // the grid's icon cell edge in points
  double spacing = 0;      // points between cells

  // The six steps, smallest first.
  static const std::array<ZoomLevel, 6>& all();
  // The "100%" step, entry 2 of all(). (`default` is a keyword.)
  static const ZoomLevel& defaultLevel();
  static constexpr std::size_t kDefaultIndex = 2;

  bool operator==(const ZoomLevel&) const = default;
};

}  // namespace Vexelworks
