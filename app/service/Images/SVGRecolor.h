// Recolouring of icon SVG text for an export colour. Black stands for the artwork's own colours
// and leaves the bytes alone; any other colour is written over the artwork:
//   - every fill or stroke attribute whose value is "#" and three to six word characters, in
//     single or double quotes, becomes the colour in double quotes;
//   - every <svg> element gets fill set to the colour (an existing fill is replaced, never
//     doubled), so shapes without a fill of their own take it.
// SVG reads eight hex digits as RRGGBBAA, not alpha first, so a colour with alpha below 1 is
// written as "#RRGGBB" with fill-opacity / stroke-opacity beside each fill / stroke it sets,
// and every fill-opacity / stroke-opacity already in the artwork is multiplied by alpha. Colours in style sheets and
// style attributes, named colours, references ("url(#g)") and eight-digit values are left as they are.
#pragma once

#include "app/service/Color.h"
#include "app/service/Images/SVGDocument.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace Vexelworks {

// True for the black that means "the artwork's own colours": equal to Color::black(). A black
// made another way (Color::rgb(0, 0, 0)) is a colour like any other and is recoloured.
bool isArtworkBlack(const Color& color);

// "#" and six upper-case hex digits, red, green, blue.
std::string svgColorText(const Color& color);

// The opacity written beside the colour: none when alpha is 1 (or above), else alpha in 0...1.
std::optional<double> svgOpacity(const Color& color);

// The SVG text recoloured (unchanged for artwork black); none when it is not valid UTF-8.
std::optional<std::string> recoloredSVGText(std::string_view svg, const Color& color);
// The same over bytes; the bytes unchanged for artwork black; none when not valid UTF-8.
std::optional<Bytes> recoloredSVG(std::span<const std::uint8_t> svg, const Color& color);

bool isValidUTF8(std::string_view text);

}  // namespace Vexelworks
