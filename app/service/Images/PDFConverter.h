// PDFConverter: the bytes of one SVG document to the bytes of a one-page vector PDF whose page
// is the document's size in points. The result is never absent: bytes that are not a readable
// SVG give empty bytes. Keeps no state; any thread may call it at any time.
#pragma once

#include "app/service/Images/SVGDocument.h"

#include <span>

namespace Vexelworks {

class PDFConverter {
 public:
  Bytes convert(std::span<const std::uint8_t> svg) const;
};

}  // namespace Vexelworks
