#include "app/service/Images/SVGDocument.h"

#include <cairo-pdf.h>
#include <cairo-ps.h>
#include <cairo.h>
#include <librsvg/rsvg.h>

#include <cmath>
#include <cstring>

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
    case RSVG_UNIT_PX: return length.length;
    case RSVG_UNIT_IN: return length.length * kPointsPerInch;
    case RSVG_UNIT_CM: return length.length * kPointsPerInch / 2.54;
    case RSVG_UNIT_MM: return length.length * kPointsPerInch / 25.4;
    case RSVG_UNIT_PT: return length.length * kPointsPerInch / 72.0;
    case RSVG_UNIT_PC: return length.length * kPointsPerInch / 6.0;
    default: return std::nullopt;
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
  rsvg_handle_get_intrinsic_dimensions(handle, &hasWidth, &w, &hasHeight, &h, &hasViewBox,
                                       &viewBox);
  if (!hasViewBox || !usable(viewBox.width) || !usable(viewBox.height)) return std::nullopt;
  // One absolute edge and a viewBox: the other edge follows the viewBox's proportions.
  const auto absoluteWidth = hasWidth ? points(w) : std::nullopt;
  const auto absoluteHeight = hasHeight ? points(h) : std::nullopt;
  SVGSize size{viewBox.width, viewBox.height};
  if (absoluteWidth) {
    size = {*absoluteWidth, *absoluteWidth * viewBox.height / viewBox.width};
  } else if (absoluteHeight) {
    size = {*absoluteHeight * viewBox.width / viewBox.height, *absoluteHeight};
  }
  if (!usable(size.width) || !usable(size.height)) return std::nullopt;
  return size;
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
  if (bytes.empty()) return nullptr;
  GError* error = nullptr;
  RsvgHandle* handle = rsvg_handle_new_from_data(bytes.data(), bytes.size(), &error);
  if (error != nullptr) g_error_free(error);
  if (handle == nullptr) return nullptr;
  rsvg_handle_set_dpi(handle, kPointsPerInch);
  const auto size = intrinsicSize(handle);
  if (!size) {
    g_object_unref(handle);
    return nullptr;
  }
  return std::shared_ptr<const SVGDocument>(new SVGDocument(handle, *size));
}

SVGDocument::SVGDocument(RsvgHandle* handle, SVGSize size) : handle_(handle), size_(size) {}

SVGDocument::~SVGDocument() { g_object_unref(handle_); }

Bytes SVGDocument::pdfData() const {
  Bytes out;
  {
    SurfacePtr surface(cairo_pdf_surface_create_for_stream(appendToBytes, &out, size_.width,
                                                           size_.height));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return {};
    ContextPtr cr(cairo_create(surface.get()));
    std::lock_guard lock(drawing_);
    if (!draw(handle_, cr.get(), size_.width, size_.height)) return {};
    cairo_show_page(cr.get());
    cr.reset();
    cairo_surface_finish(surface.get());
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return {};
  }
  return out;
}

Bytes SVGDocument::epsData() const {
  Bytes out;
  {
    SurfacePtr surface(cairo_ps_surface_create_for_stream(appendToBytes, &out, size_.width,
                                                          size_.height));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return {};
    cairo_ps_surface_set_eps(surface.get(), TRUE);
    ContextPtr cr(cairo_create(surface.get()));
    std::lock_guard lock(drawing_);
    if (!draw(handle_, cr.get(), size_.width, size_.height)) return {};
    cairo_show_page(cr.get());
    cr.reset();
    cairo_surface_finish(surface.get());
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return {};
  }
  return out;
}

std::optional<Bitmap> SVGDocument::render(int width, int height) const {
  if (width < 1 || height < 1 || width > kMaxBitmapEdge || height > kMaxBitmapEdge) {
    return std::nullopt;
  }
  SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  {
    ContextPtr cr(cairo_create(surface.get()));
    std::lock_guard lock(drawing_);
    if (!draw(handle_, cr.get(), width, height)) return std::nullopt;
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
  SurfacePtr surface(cairo_image_surface_create_for_data(data, CAIRO_FORMAT_ARGB32, bitmap.width,
                                                         bitmap.height, bitmap.stride));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return {};
  Bytes out;
  if (cairo_surface_write_to_png_stream(surface.get(), appendToBytes, &out) !=
      CAIRO_STATUS_SUCCESS) {
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
