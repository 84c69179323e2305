// The application's fixed colours. Plain constants: made at compile time, shared by every
// thread. Greys given as fractions (0.73) and as steps of 255 (109/255) are kept as the design
// gives them; they are not interchangeable.
#pragma once

#include "app/service/Color.h"

namespace Vexelworks::Palette {

inline constexpr Color placeholderTextGrey = Color::rgb(0.73, 0.73, 0.73);
inline constexpr Color buttonTextWhite = Color::white();
inline constexpr Color buttonBlue = Color::rgb(0.27, 0.67, 0.95);
inline constexpr Color buttonBlueTranslucent = Color::rgb(0.27, 0.67, 0.95, 0.7);
inline constexpr Color sliderBlack = Color::black();
inline constexpr Color sliderTickGrey = Color::rgb(0.43, 0.43, 0.43);
inline constexpr Color sliderKnobGrey = Color::rgb(0.95, 0.95, 0.95);
inline constexpr Color darkGrey = Color::rgb(109.0 / 255, 109.0 / 255, 109.0 / 255);
inline constexpr Color placeholderGrey = Color::rgb(186.0 / 255, 186.0 / 255, 186.0 / 255);
inline constexpr Color backgroundGrey = Color::rgb(242.0 / 255, 242.0 / 255, 242.0 / 255);
inline constexpr Color selectionLightGrey = Color::rgb(216.0 / 255, 216.0 / 255, 216.0 / 255);

}  // namespace Vexelworks::Palette
