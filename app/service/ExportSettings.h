// How an icon is exported: the file type, the pixel size, and the options that bundle them with
// the colour. Views, pasteboard items, the usage record and the user settings share these.
#pragma once

#include "app/service/Color.h"

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace Vexelworks {

// The export file type. `auto_` carries a trailing underscore because `auto` is a keyword.
enum class PasteboardType { auto_, svg, pdf, png };

// "Auto", "SVG", "PDF", "PNG".
std::string_view rawValue(PasteboardType type);
// Exact, case-sensitive match of a raw value; std::nullopt for anything else ("svg", "").
std::optional<PasteboardType> pasteboardTypeFromRawValue(std::string_view raw);

// One of the fixed export sizes.
struct ExportSize {
  std::string_view name;  // shown to the user, "300px"
  int pixels = 0;         // edge length

  // The fixed list, smallest first: 24, 84, 150, 300, 600, 1200 pixels.
  static const std::array<ExportSize, 6>& all();
  // Index in all() of the first entry with these pixels; std::nullopt when none has them.
  static std::optional<std::size_t> index(int pixels);

  bool operator==(const ExportSize&) const = default;
};

// The current export settings. Immutable: to change one setting, make new options with that
// field changed and the others copied, and pass them on.
class ExportOptions {
 public:
  ExportOptions(Color color, PasteboardType type, double size) : color_(color), type_(type), size_(size) {}

  const Color& color() const { return color_; }
  PasteboardType type() const { return type_; }
  // Edge length in pixels.
  double size() const { return size_; }

  std::shared_ptr<const ExportOptions> withColor(Color color) const {
    return std::make_shared<const ExportOptions>(color, type_, size_);
  }
  std::shared_ptr<const ExportOptions> withType(PasteboardType type) const {
    return std::make_shared<const ExportOptions>(color_, type, size_);
  }
  std::shared_ptr<const ExportOptions> withSize(double size) const {
    return std::make_shared<const ExportOptions>(color_, type_, size);
  }

 private:
  Color color_;
  PasteboardType type_;
  double size_;
};

}  // namespace Vexelworks
