#include "app/service/ZoomLevel.h"

namespace Vexelworks {

const std::array<ZoomLevel, 6>& ZoomLevel::all() {
  static constexpr std::array<ZoomLevel, 6> levels{{
      {"50%", 40, 10},
      {"75%", 60, 10},
      {"100%", 80, 10},
      {"150%", 120, 10},
      {"200%", 150, 10},
      {"300%", 300, 10},
  }};
  return levels;
}

const ZoomLevel& ZoomLevel::defaultLevel() { return all()[kDefaultIndex]; }

}  // namespace Vexelworks
