#include "app/service/Images/PDFConverter.h"

#include "app/service/Logger.h"

namespace Vexelworks {

Bytes PDFConverter::convert(std::span<const std::uint8_t> svg) const {
  auto pdf = convertOrError(svg);
  if (!pdf.ok()) {
    // Unreadable bytes are the caller's to report; a refused or failed drawing is ours.
    if (pdf.error().code != kSVGDocumentUnreadable && pdf.error().code != kSVGDocumentNoUsableSize) {
      VX_LOG("ERROR", "Cannot convert the SVG to PDF: " + pdf.error().description);
    }
    return {};
  }
  return std::move(*pdf);
}

vx::Result<Bytes> PDFConverter::convertOrError(std::span<const std::uint8_t> svg) const {
  auto document = SVGDocument::load(svg);
  if (!document.ok()) return document.error();
  return (*document)->pdfDataOrError();
}

}  // namespace Vexelworks
