// The application's named fonts, described without a toolkit: the views turn a FontDescription into
// their own font object. A named family that is not installed is never fatal: it resolves to
// the family the system's font configuration (fontconfig) substitutes for it, so the program
// draws with a present font instead of stopping.
#pragma once

#include <string>
#include <string_view>

namespace Vexelworks {

struct FontDescription {
  std::string family;  // as designed, "Helvetica Neue"; empty for the system font
  std::string style;   // "Medium", or empty for the regular face
  int weight = 400;    // CSS-style weight: 400 regular, 500 medium
  double pointSize = 12;

  bool isSystemFont() const { return family.empty(); }
  // The installed family to draw with: `family` itself when installed, otherwise its
  // substitute; for the system font, the desktop's default sans-serif family. Worked out once
  // per family and cached; safe from any thread.
  std::string resolvedFamily() const;
};

namespace Fonts {
// Flat button titles: "Helvetica Neue", 18 points.
const FontDescription& titleFont();
// Rounded button titles: "Helvetica Neue Medium", 14 points.
const FontDescription& buttonFont();
// Pop-up button titles: the system font, 12 points.
const FontDescription& popupFont();
}  // namespace Fonts

// Whether a font of this family is installed.
bool isFontFamilyInstalled(std::string_view family);
// The family itself when installed, else the installed family fontconfig matches for it
// ("sans-serif" when fontconfig is unavailable or finds nothing at all).
std::string resolveFontFamily(std::string_view family);

}  // namespace Vexelworks
