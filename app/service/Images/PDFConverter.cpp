#include "app/service/Images/PDFConverter.h"

namespace Vexelworks {

Bytes PDFConverter::convert(std::span<const std::uint8_t> svg) const {
  const auto document = SVGDocument::make(svg);
  if (!document) return {};
  return document->pdfData();
}

}  // namespace Vexelworks
