// SVGDocument: one parsed SVG document and the forms it is exported in. Parsing and drawing are
// librsvg's; the PDF, EPS and bitmap surfaces are cairo's. The document's size is its intrinsic
// size in points (a CSS pixel is one point; physical units are taken at 72 per inch), falling
// back to the viewBox when width and height are relative or missing.
//
// A document is immutable once made and may be shared between threads: drawing takes a lock,
// because one librsvg handle must not draw on two threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

using RsvgHandle = struct _RsvgHandle;

namespace Vexelworks {

using Bytes = std::vector<std::uint8_t>;

struct SVGSize {
  double width = 0;
  double height = 0;
  bool operator==(const SVGSize&) const = default;
};

// Pixels as cairo and Qt both hold them: 32 bits per pixel, premultiplied alpha, native-endian
// 0xAARRGGBB words, rows `stride` bytes apart, top row first.
struct Bitmap {
  int width = 0;
  int height = 0;
  int stride = 0;
  std::vector<std::uint8_t> pixels;

  // The pixel at (x, y) as 0xAARRGGBB, premultiplied.
  std::uint32_t pixel(int x, int y) const;
};

class SVGDocument {
 public:
  // The largest edge drawn into a bitmap, so a hostile size cannot ask for gigabytes.
  static constexpr int kMaxBitmapEdge = 16384;

  // A parsed document, or nullptr when the bytes are not a readable SVG or have no usable size
  // (zero, negative, not finite).
  static std::shared_ptr<const SVGDocument> make(std::span<const std::uint8_t> bytes);

  ~SVGDocument();
  SVGDocument(const SVGDocument&) = delete;
  SVGDocument& operator=(const SVGDocument&) = delete;

  // The intrinsic size in points.
  SVGSize size() const { return size_; }

  // One vector page of the document's size, top-left origin: the document fills the page.
  // Empty when drawing fails.
  Bytes pdfData() const;
  // The same page as Encapsulated PostScript (bounding box of the document's size).
  Bytes epsData() const;
  // The whole document fitted into a `width` by `height` pixel bitmap (its own aspect rules,
  // centred by default), on a transparent background. None for an edge below 1 or above
  // kMaxBitmapEdge, or when drawing fails.
  std::optional<Bitmap> render(int width, int height) const;
  // render() encoded as PNG; empty when render() gives none.
  Bytes pngData(int width, int height) const;

 private:
  SVGDocument(RsvgHandle* handle, SVGSize size);

  RsvgHandle* handle_;
  SVGSize size_;
  mutable std::mutex drawing_;
};

// A bitmap as PNG bytes (empty when encoding fails).
Bytes encodePNG(const Bitmap& bitmap);
// PNG bytes back to a bitmap; none when they are not a readable PNG.
std::optional<Bitmap> decodePNG(std::span<const std::uint8_t> png);

}  // namespace Vexelworks
