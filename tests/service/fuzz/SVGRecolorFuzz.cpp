// The image pipeline's recolouring of icon SVG text. The first bytes choose the colour (or the
// artwork black), the rest is the SVG. Artwork black leaves the bytes alone; any other colour
// gives valid UTF-8 for valid UTF-8, and nothing for anything else.
#include "app/service/Images/SVGRecolor.h"
#include "tests/service/fuzz/ServiceFuzz.h"

#include <cstdlib>
#include <span>
#include <string_view>

VX_FUZZ_DEFINE(vx_fuzz_svg_recolor) {
  using namespace Vexelworks;
  if (size < 5) return 0;
  const auto channel = [&](std::size_t i) { return data[i] / 255.0; };
  const Color color = (data[0] & 1) != 0   ? Color::black()
                      : (data[0] & 2) != 0 ? Color::grey(channel(1), channel(4))
                                           : Color::rgb(channel(1), channel(2), channel(3), channel(4));
  const std::span<const std::uint8_t> svg(data + 5, size - 5);
  const std::string_view text(reinterpret_cast<const char*>(svg.data()), svg.size());
  const bool valid = isValidUTF8(text);

  const auto recolored = recoloredSVG(svg, color);
  if (recolored.has_value() != (valid || isArtworkBlack(color))) std::abort();
  if (!recolored) return 0;
  if (isArtworkBlack(color) && !std::equal(recolored->begin(), recolored->end(), svg.begin(), svg.end())) {
    std::abort();
  }
  const std::string_view out(reinterpret_cast<const char*>(recolored->data()), recolored->size());
  if (valid && !isValidUTF8(out)) std::abort();
  // What was recoloured can be recoloured again.
  if (valid && !recoloredSVGText(out, color)) std::abort();
  return 0;
}
