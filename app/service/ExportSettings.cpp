#include "app/service/ExportSettings.h"

namespace Vexelworks {

std::string_view rawValue(PasteboardType type) {
  switch (type) {
    case PasteboardType::auto_:
      return "Auto";
    case PasteboardType::svg:
      return "SVG";
    case PasteboardType::pdf:
      return "PDF";
    case PasteboardType::png:
      return "PNG";
  }
  return "Auto";
}

std::optional<PasteboardType> pasteboardTypeFromRawValue(std::string_view raw) {
  for (PasteboardType type : {PasteboardType::auto_, PasteboardType::svg, PasteboardType::pdf, PasteboardType::png}) {
    if (raw == rawValue(type)) return type;
  }
  return std::nullopt;
}

const std::array<ExportSize, 6>& ExportSize::all() {
  static constexpr std::array<ExportSize, 6> sizes{{
      {"24px", 24},
      {"84px", 84},
      {"150px", 150},
      {"300px", 300},
      {"600px", 600},
      {"1200px", 1200},
  }};
  return sizes;
}

std::optional<std::size_t> ExportSize::index(int pixels) {
  const auto& sizes = all();
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    if (sizes[i].pixels == pixels) return i;
  }
  return std::nullopt;
}

}  // namespace Vexelworks
