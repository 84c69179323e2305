// SVGDocument: one parsed SVG document and the forms it is exported in. Parsing and drawing are
// librsvg's; the PDF, EPS and bitmap surfaces are cairo's. The document's size is its intrinsic
// size in points (a CSS pixel is one point; physical units are taken at 72 per inch), falling
// back to the viewBox when width and height are relative or missing.
//
// A document is immutable once made and may be shared between threads: drawing takes a lock,
// because one librsvg handle must not draw on two threads at once.
#pragma once

#include "platform/foundation/Error.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

using RsvgHandle = struct _RsvgHandle;

namespace Vexelworks {

using Bytes = std::vector<std::uint8_t>;

// Why a document was not made or not drawn.
inline constexpr const char* kSVGDocumentErrorDomain = "Vexelworks.SVGDocument";
enum SVGDocumentErrorCode : std::int64_t {
  kSVGDocumentUnreadable = 1,     // not a readable SVG
  kSVGDocumentNoUsableSize = 2,   // zero, negative, not finite or beyond any page
  kSVGDocumentTooCostly = 3,      // its filters would cost too much at the size asked
  kSVGDocumentBadBitmapSize = 4,  // a bitmap edge below 1 or above kMaxBitmapEdge
  kSVGDocumentDrawingFailed = 5,  // librsvg or cairo failed
};

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

// Drawing is bounded before librsvg draws: vector pages are at most kMaxPageEdge points (a larger
// document is scaled down to fit, keeping its proportions), and filter effects, whose cost grows
// with the pixels they cover, get a budget of kMaxFilterWork (pixels drawn times filter
// primitives, times the times they are applied). A page over budget is scaled down further; a
// bitmap over budget, or a page that would have to shrink below kMinPageEdge, is refused.
class SVGDocument {
 public:
  // The largest edge drawn into a bitmap, so a hostile size cannot ask for gigabytes.
  static constexpr int kMaxBitmapEdge = 16384;
  // The largest edge of a vector page, in points (about 71 cm): an icon is far smaller.
  static constexpr double kMaxPageEdge = 2048;
  // The smallest longer page edge a page is scaled down to for its filters' sake.
  static constexpr double kMinPageEdge = 64;
  // Filter work allowed for one drawing (about a second of blurring).
  static constexpr double kMaxFilterWork = 8.0 * 1024 * 1024;

  // A parsed document, or nullptr when the bytes are not a readable SVG or have no usable size
  // (zero, negative, not finite).
  static std::shared_ptr<const SVGDocument> make(std::span<const std::uint8_t> bytes);
  // The same with the reason for a refusal (kSVGDocumentUnreadable, kSVGDocumentNoUsableSize).
  static vx::Result<std::shared_ptr<const SVGDocument>> load(std::span<const std::uint8_t> bytes);

  ~SVGDocument();
  SVGDocument(const SVGDocument&) = delete;
  SVGDocument& operator=(const SVGDocument&) = delete;

  // The intrinsic size in points.
  SVGSize size() const { return size_; }
  // The size of the PDF and EPS page: the intrinsic size, scaled down to the drawing bounds.
  SVGSize pageSize() const;
  // Filter primitives times the times they may be applied (0 without filters): the factor that
  // multiplies the pixels a drawing covers.
  double filterFactor() const { return filterFactor_; }

  // One vector page of pageSize(), top-left origin: the document fills the page. Empty when
  // drawing fails or is refused.
  Bytes pdfData() const;
  vx::Result<Bytes> pdfDataOrError() const;
  // The same page as Encapsulated PostScript (bounding box of pageSize()).
  Bytes epsData() const;
  vx::Result<Bytes> epsDataOrError() const;
  // The whole document fitted into a `width` by `height` pixel bitmap (its own aspect rules,
  // centred by default), on a transparent background. None for an edge below 1 or above
  // kMaxBitmapEdge, filters over budget at that size, or when drawing fails.
  std::optional<Bitmap> render(int width, int height) const;
  vx::Result<Bitmap> renderOrError(int width, int height) const;
  // render() encoded as PNG; empty when render() gives none.
  Bytes pngData(int width, int height) const;

 private:
  SVGDocument(RsvgHandle* handle, SVGSize size, double filterFactor);
  // The page for vector output, or why there is none.
  vx::Result<SVGSize> vectorPage() const;
  vx::Result<Bytes> vectorData(bool eps) const;

  RsvgHandle* handle_;
  SVGSize size_;
  double filterFactor_ = 0;
  mutable std::mutex drawing_;
};

// A bitmap as PNG bytes (empty when encoding fails).
Bytes encodePNG(const Bitmap& bitmap);
// PNG bytes back to a bitmap; none when they are not a readable PNG.
std::optional<Bitmap> decodePNG(std::span<const std::uint8_t> png);

}  // namespace Vexelworks
