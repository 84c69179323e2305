#include "app/service/Images/SVGDocument.h"

#include <cairo-pdf.h>
#include <cairo-ps.h>
#include <cairo.h>
#include <librsvg/rsvg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

namespace Vexelworks {

namespace {

// Physical units become points at this resolution: an inch is 72 points.
constexpr double kPointsPerInch = 72.0;
// Beyond this a page or bitmap size is not an icon: refuse it rather than ask cairo for it.
constexpr double kMaxPageEdge = 1.0e6;

struct SurfaceDeleter {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct ContextDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using ContextPtr = std::unique_ptr<cairo_t, ContextDeleter>;

cairo_status_t appendToBytes(void* closure, const unsigned char* data, unsigned int length) {
  auto* bytes = static_cast<Bytes*>(closure);
  bytes->insert(bytes->end(), data, data + length);
  return CAIRO_STATUS_SUCCESS;
}

struct ReadCursor {
  std::span<const std::uint8_t> bytes;
  std::size_t offset = 0;
};

cairo_status_t readFromBytes(void* closure, unsigned char* data, unsigned int length) {
  auto* cursor = static_cast<ReadCursor*>(closure);
  if (cursor->bytes.size() - cursor->offset < length) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(data, cursor->bytes.data() + cursor->offset, length);
  cursor->offset += length;
  return CAIRO_STATUS_SUCCESS;
}

// A length in points; none for relative or font-based units.
std::optional<double> points(const RsvgLength& length) {
  switch (length.unit) {
    case RSVG_UNIT_PX:
      return length.length;
    case RSVG_UNIT_IN:
      return length.length * kPointsPerInch;
    case RSVG_UNIT_CM:
      return length.length * kPointsPerInch / 2.54;
    case RSVG_UNIT_MM:
      return length.length * kPointsPerInch / 25.4;
    case RSVG_UNIT_PT:
      return length.length * kPointsPerInch / 72.0;
    case RSVG_UNIT_PC:
      return length.length * kPointsPerInch / 6.0;
    default:
      return std::nullopt;
  }
}

bool usable(double edge) { return std::isfinite(edge) && edge > 0 && edge <= kMaxPageEdge; }

std::optional<SVGSize> intrinsicSize(RsvgHandle* handle) {
  double width = 0;
  double height = 0;
  if (rsvg_handle_get_intrinsic_size_in_pixels(handle, &width, &height)) {
    if (usable(width) && usable(height)) return SVGSize{width, height};
    return std::nullopt;
  }
  gboolean hasWidth = FALSE;
  gboolean hasHeight = FALSE;
  gboolean hasViewBox = FALSE;
  RsvgLength w{};
  RsvgLength h{};
  RsvgRectangle viewBox{};
  rsvg_handle_get_intrinsic_dimensions(handle, &hasWidth, &w, &hasHeight, &h, &hasViewBox, &viewBox);
  if (!hasViewBox || !usable(viewBox.width) || !usable(viewBox.height)) return std::nullopt;
  // One absolute edge and a viewBox: the other edge follows the viewBox's proportions.
  SVGSize size{viewBox.width, viewBox.height};
  if (const auto width = hasWidth ? points(w) : std::nullopt) {
    size = {width.value(), width.value() * viewBox.height / viewBox.width};
  } else if (const auto height = hasHeight ? points(h) : std::nullopt) {
    size = {height.value() * viewBox.width / viewBox.height, height.value()};
  }
  if (!usable(size.width) || !usable(size.height)) return std::nullopt;
  return size;
}

vx::Error documentError(SVGDocumentErrorCode code, std::string description) {
  return vx::Error(kSVGDocumentErrorDomain, code, std::move(description));
}

bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Filter primitives ("<feGaussianBlur", "<svg:feFlood"), times the places that apply a filter
// (attribute or style property), times one plus the <use> instances that can repeat them: an
// upper bound of how often a drawn pixel goes through a primitive. Read from the text, before
// librsvg draws anything; 0 when the document has no filter primitive.
double filterFactorOf(std::string_view text) {
  double primitives = 0;
  double applications = 0;
  double uses = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if ((c == '<' || c == ':') && i + 3 < text.size()) {
      if (text[i + 1] == 'f' && text[i + 2] == 'e' && isUpper(text[i + 3])) primitives += 1;
      if (text.compare(i + 1, 3, "use") == 0 && i + 4 < text.size() && isSpace(text[i + 4])) uses += 1;
    }
    if (c == 'f' && text.compare(i, 6, "filter") == 0) {
      std::size_t j = i + 6;
      while (j < text.size() && isSpace(text[j])) ++j;
      if (j < text.size() && (text[j] == '=' || text[j] == ':')) applications += 1;
    }
  }
  if (primitives == 0) return 0;
  return std::min(primitives * std::max(1.0, applications) * (1 + uses), 1.0e15);
}

bool draw(RsvgHandle* handle, cairo_t* cr, double width, double height) {
  const RsvgRectangle viewport{0, 0, width, height};
  GError* error = nullptr;
  const bool ok = rsvg_handle_render_document(handle, cr, &viewport, &error);
  if (error != nullptr) g_error_free(error);
  return ok && cairo_status(cr) == CAIRO_STATUS_SUCCESS;
}

}  // namespace

std::uint32_t Bitmap::pixel(int x, int y) const {
  std::uint32_t value = 0;
  std::memcpy(&value, pixels.data() + static_cast<std::size_t>(y) * stride + x * 4, 4);
  return value;
}

std::shared_ptr<const SVGDocument> SVGDocument::make(std::span<const std::uint8_t> bytes) {
  auto document = load(bytes);
  return document.ok() ? std::move(*document) : nullptr;
}

vx::Result<std::shared_ptr<const SVGDocument>> SVGDocument::load(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return documentError(kSVGDocumentUnreadable, "The SVG is empty.");
  GError* error = nullptr;
  RsvgHandle* handle = rsvg_handle_new_from_data(bytes.data(), bytes.size(), &error);
  std::string reason = error != nullptr && error->message != nullptr ? error->message : "";
  if (error != nullptr) g_error_free(error);
  if (handle == nullptr) {
    return documentError(kSVGDocumentUnreadable, "The SVG cannot be read" + (reason.empty() ? "." : ": " + reason));
  }
  rsvg_handle_set_dpi(handle, kPointsPerInch);
  const auto size = intrinsicSize(handle);
  if (!size) {
    g_object_unref(handle);
    return documentError(kSVGDocumentNoUsableSize, "The SVG has no usable size.");
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return std::shared_ptr<const SVGDocument>(new SVGDocument(handle, *size, filterFactorOf(text)));
}

SVGDocument::SVGDocument(RsvgHandle* handle, SVGSize size, double filterFactor)
    : handle_(handle), size_(size), filterFactor_(filterFactor) {}

SVGDocument::~SVGDocument() { g_object_unref(handle_); }

vx::Result<SVGSize> SVGDocument::vectorPage() const {
  const double longer = std::max(size_.width, size_.height);
  double scale = std::min(1.0, kMaxPageEdge / longer);
  const double work = filterFactor_ * size_.width * size_.height * scale * scale;
  if (work > kMaxFilterWork) {
    scale *= std::sqrt(kMaxFilterWork / work);
    if (longer * scale < kMinPageEdge) {
      return documentError(kSVGDocumentTooCostly, "The SVG's filters are too costly to draw (" +
                                                      std::to_string(static_cast<long long>(filterFactor_)) +
                                                      " filter passes over each point).");
    }
  }
  return SVGSize{size_.width * scale, size_.height * scale};
}

SVGSize SVGDocument::pageSize() const {
  const auto page = vectorPage();
  return page.ok() ? *page : size_;
}

vx::Result<Bytes> SVGDocument::vectorData(bool eps) const {
  const auto page = vectorPage();
  if (!page.ok()) return page.error();
  Bytes out;
  {
    SurfacePtr surface(eps ? cairo_ps_surface_create_for_stream(appendToBytes, &out, page->width, page->height)
                           : cairo_pdf_surface_create_for_stream(appendToBytes, &out, page->width, page->height));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
      return documentError(kSVGDocumentDrawingFailed, "cairo cannot make the page.");
    }
    if (eps) cairo_ps_surface_set_eps(surface.get(), TRUE);
    ContextPtr cr(cairo_create(surface.get()));
    std::lock_guard lock(drawing_);
    if (!draw(handle_, cr.get(), page->width, page->height)) {
      return documentError(kSVGDocumentDrawingFailed, "The SVG cannot be drawn.");
    }
    cairo_show_page(cr.get());
    cr.reset();
    cairo_surface_finish(surface.get());
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
      return documentError(kSVGDocumentDrawingFailed, "cairo cannot finish the page.");
    }
  }
  return out;
}

vx::Result<Bytes> SVGDocument::pdfDataOrError() const { return vectorData(false); }
vx::Result<Bytes> SVGDocument::epsDataOrError() const { return vectorData(true); }

Bytes SVGDocument::pdfData() const {
  auto data = pdfDataOrError();
  return data.ok() ? std::move(*data) : Bytes{};
}

Bytes SVGDocument::epsData() const {
  auto data = epsDataOrError();
  return data.ok() ? std::move(*data) : Bytes{};
}

std::optional<Bitmap> SVGDocument::render(int width, int height) const {
  auto bitmap = renderOrError(width, height);
  if (!bitmap.ok()) return std::nullopt;
  return std::move(*bitmap);
}

vx::Result<Bitmap> SVGDocument::renderOrError(int width, int height) const {
  if (width < 1 || height < 1 || width > kMaxBitmapEdge || height > kMaxBitmapEdge) {
    return documentError(kSVGDocumentBadBitmapSize, "A bitmap of " + std::to_string(width) + "x" +
                                                        std::to_string(height) + " pixels cannot be drawn.");
  }
  if (filterFactor_ * width * height > kMaxFilterWork) {
    return documentError(kSVGDocumentTooCostly, "The SVG's filters are too costly to draw at " + std::to_string(width) +
                                                    "x" + std::to_string(height) + " pixels.");
  }
  SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
    return documentError(kSVGDocumentDrawingFailed, "cairo cannot make the bitmap.");
  }
  {
    ContextPtr cr(cairo_create(surface.get()));
    std::lock_guard lock(drawing_);
    if (!draw(handle_, cr.get(), width, height)) {
      return documentError(kSVGDocumentDrawingFailed, "The SVG cannot be drawn.");
    }
  }
  cairo_surface_flush(surface.get());
  Bitmap bitmap;
  bitmap.width = width;
  bitmap.height = height;
  bitmap.stride = cairo_image_surface_get_stride(surface.get());
  const auto* data = cairo_image_surface_get_data(surface.get());
  bitmap.pixels.assign(data, data + static_cast<std::size_t>(bitmap.stride) * height);
  return bitmap;
}

Bytes SVGDocument::pngData(int width, int height) const {
  const auto bitmap = render(width, height);
  return bitmap ? encodePNG(*bitmap) : Bytes{};
}

Bytes encodePNG(const Bitmap& bitmap) {
  if (bitmap.width < 1 || bitmap.height < 1 ||
      bitmap.pixels.size() < static_cast<std::size_t>(bitmap.stride) * bitmap.height) {
    return {};
  }
  // cairo reads the pixels in place; it never writes through this pointer when encoding.
  auto* data = const_cast<unsigned char*>(bitmap.pixels.data());
  SurfacePtr surface(
      cairo_image_surface_create_for_data(data, CAIRO_FORMAT_ARGB32, bitmap.width, bitmap.height, bitmap.stride));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return {};
  Bytes out;
  if (cairo_surface_write_to_png_stream(surface.get(), appendToBytes, &out) != CAIRO_STATUS_SUCCESS) {
    return {};
  }
  return out;
}

std::optional<Bitmap> decodePNG(std::span<const std::uint8_t> png) {
  ReadCursor cursor{png, 0};
  SurfacePtr surface(cairo_image_surface_create_from_png_stream(readFromBytes, &cursor));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  // PNGs without alpha decode as RGB24; hand every bitmap back in one format.
  const int width = cairo_image_surface_get_width(surface.get());
  const int height = cairo_image_surface_get_height(surface.get());
  SurfacePtr argb(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
  if (cairo_surface_status(argb.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  {
    ContextPtr cr(cairo_create(argb.get()));
    cairo_set_source_surface(cr.get(), surface.get(), 0, 0);
    cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr.get());
  }
  cairo_surface_flush(argb.get());
  Bitmap bitmap;
  bitmap.width = width;
  bitmap.height = height;
  bitmap.stride = cairo_image_surface_get_stride(argb.get());
  const auto* data = cairo_image_surface_get_data(argb.get());
  bitmap.pixels.assign(data, data + static_cast<std::size_t>(bitmap.stride) * height);
  return bitmap;
}

}  // namespace Vexelworks
