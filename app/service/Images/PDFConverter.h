// PDFConverter: the bytes of one SVG document to the bytes of a one-page vector PDF whose page
// is the document's size in points. The result is never absent: bytes that are not a readable
// SVG, or whose filters are beyond the drawing budget, give empty bytes (the reason logged). A
// document larger than SVGDocument::kMaxPageEdge gets a page scaled down to fit. Keeps no state;
// any thread may call it at any time.
#pragma once

#include "app/service/Images/SVGDocument.h"

#include <span>

namespace Vexelworks {

class PDFConverter {
 public:
  Bytes convert(std::span<const std::uint8_t> svg) const;
  // The same with the reason when there is no PDF (SVGDocumentErrorCode), not logged.
  vx::Result<Bytes> convertOrError(std::span<const std::uint8_t> svg) const;
};

}  // namespace Vexelworks
