// Color: the export colour and the palette's colours as plain values, with the hex text forms
// the rest of the system stores, sends and shows. It knows no toolkit: the views convert to and
// from their own colour type at their edge.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Vexelworks {

// The components of a colour: red, green, blue and alpha, each nominally 0...1.
struct RGBA {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 0;
  bool operator==(const RGBA&) const = default;
};

class Color {
 public:
  // How the colour's components are held. Grey colours keep one white level; `unconvertible`
  // stands for colours that have no components of their own (a pattern or image colour).
  enum class Model { rgb, grey, unconvertible };

  // Opaque black.
  constexpr Color() = default;
  static constexpr Color rgb(double red, double green, double blue, double alpha = 1.0) {
    return Color(Model::rgb, red, green, blue, alpha);
  }
  static constexpr Color grey(double white, double alpha = 1.0) {
    return Color(Model::grey, white, white, white, alpha);
  }
  static constexpr Color unconvertible() { return Color(Model::unconvertible, 0, 0, 0, 0); }
  static constexpr Color black() { return grey(0.0); }
  static constexpr Color white() { return grey(1.0); }

  // The colour from hex text: one unsigned 32-bit hex number read from the start of the text
  // (leading blanks and a "0x" prefix are skipped, as the platform's hex scanner does; digits
  // beyond 32 bits saturate to FFFFFFFF); 0 when nothing can be read, so "#336699" and "xyz"
  // give opaque black. Bits 16-23 are red, 8-15 green, 0-7 blue; alpha is always 1, so the
  // eight-digit alpha-first form gives its red, green and blue, opaque.
  static Color fromHex(std::string_view text);

  Model model() const { return model_; }

  // Red, green, blue and alpha in the sRGB space. An RGB colour gives its own components, a grey
  // one its white level in each; an unconvertible colour gives all four as 0.
  RGBA rgba() const;

  // Six upper-case hex digits, red, green, blue ("FF8000"). Each component is scaled by 255 and
  // rounded half away from zero; components outside 0...1 are clamped so the text always has
  // two digits per component.
  std::string hexString() const;
  // Eight upper-case hex digits, alpha first ("80000000" for black at alpha 0.5).
  std::string hexStringWithAlpha() const;
  // The form the system stores and sends: six digits when alpha is exactly 1, eight otherwise.
  std::string preferredHexString() const;

  // Alpha exactly 1.
  bool isOpaque() const { return rgba().alpha == 1.0; }

  bool operator==(const Color&) const = default;

 private:
  constexpr Color(Model model, double r, double g, double b, double a)
      : model_(model), red_(r), green_(g), blue_(b), alpha_(a) {}

  Model model_ = Model::grey;
  double red_ = 0;
  double green_ = 0;
  double blue_ = 0;
  double alpha_ = 1.0;
};

// The platform hex scanner's reading of text: leading blanks skipped, optional "0x"/"0X",
// then hex digits; saturates at 0xFFFFFFFF. 0 when no digit can be read.
std::uint32_t scanHexInt(std::string_view text);

}  // namespace Vexelworks
