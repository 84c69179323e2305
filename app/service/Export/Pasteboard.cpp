#include "app/service/Export/Pasteboard.h"

#include "platform/foundation/FileSystem.h"

#include "app/service/Logger.h"

#include "platform/foundation/URL.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

namespace Vexelworks {

namespace {

// Caps that keep "vx_<slug>_<id>_<hex>.<ext>" well below the 255 bytes a file name may have.
constexpr std::size_t kMaxSlugBytes = 120;
constexpr std::size_t kMaxIdBytes = 64;

void printLine(const std::string& line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::string_view extensionFor(PasteboardType type) {
  switch (type) {
    case PasteboardType::svg:
      return "svg";
    case PasteboardType::pdf:
      return "pdf";
    case PasteboardType::png:
    case PasteboardType::auto_:
      return "png";
  }
  return "png";
}

std::optional<std::filesystem::path> temporaryDirectory() {
  std::error_code error;
  auto directory = std::filesystem::temp_directory_path(error);
  if (error) return std::nullopt;
  return directory;
}

}  // namespace

std::string cleanFileNameComponent(std::string_view text, std::size_t maxBytes) {
  std::string clean;
  clean.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    clean += (c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F) ? '_' : c;
  }
  for (auto at = clean.find(".."); at != std::string::npos; at = clean.find("..")) {
    clean[at] = '_';
  }
  if (clean.size() > maxBytes) {
    std::size_t cut = maxBytes;
    // Back up to the first byte of a UTF-8 character.
    while (cut > 0 && (static_cast<unsigned char>(clean[cut]) & 0xC0) == 0x80) --cut;
    clean.resize(cut);
  }
  return clean;
}

std::string fileURLText(const std::filesystem::path& path) {
  std::string text = "file://";
  const auto absolute = path.is_absolute() ? path : std::filesystem::absolute(path);
  for (const auto& part : absolute.relative_path()) {
    text += '/';
    text += vx::URL::percentEncode(part.string(), vx::PercentEncoding::PathSegment);
  }
  if (text == "file://") text += '/';
  return text;
}

bool writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> data) {
  // Readable by the application that receives the drop, like any file the user saves; no disk
  // flush, since the file only has to outlive this process's own crash.
  const std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
  return vx::writeFileAtomically(path, bytes, 0644, vx::WriteDurability::unsynced).ok();
}

IconPasteboardItem::IconPasteboardItem(std::shared_ptr<const Icon> icon, std::shared_ptr<ImageStore> imageStore,
                                       Color color, PasteboardType type, double size)
    : icon_(std::move(icon)), imageStore_(std::move(imageStore)), color_(color), type_(type), size_(size) {}

std::vector<std::string_view> IconPasteboardItem::writableTypes() const {
  namespace T = PasteboardTypeIdentifier;
  switch (type_) {
    case PasteboardType::svg:
      return {T::svg, T::fileURL, T::utf8PlainText};
    case PasteboardType::pdf:
      return {T::pdf, T::fileURL};
    case PasteboardType::png:
      return {T::png, T::fileURL};
    case PasteboardType::auto_:
      return {T::pdf, T::svg, T::eps, T::png, T::fileURL, T::url, T::utf8PlainText};
  }
  return {};
}

int IconPasteboardItem::pixelSize() const {
  if (!std::isfinite(size_) || size_ < 1) return 1;
  return static_cast<int>(std::lround(std::min(size_, 1.0e6)));
}

std::optional<Bytes> IconPasteboardItem::pngData() const {
  const auto image = imageStore_->image(*icon_, size_, color_);
  if (!image) return std::nullopt;
  auto png = image->pngData(pixelSize());
  if (png.empty()) return std::nullopt;
  return png;
}

std::optional<Bytes> IconPasteboardItem::pasteboardPropertyList(std::string_view type) const {
  namespace T = PasteboardTypeIdentifier;
  VX_LOG("DEBUG", "Providing data " + std::string(type));
  if (type == T::pdf) {
    auto pdf = imageStore_->pdfData(*icon_, color_);
    // An empty PDF stands for artwork that could not be read: nothing to give.
    if (!pdf || pdf->empty()) return std::nullopt;
    return pdf;
  }
  if (type == T::tiff) {
    // Never offered; receivers here take PNG.
    return std::nullopt;
  }
  if (type == T::png) return pngData();
  if (type == T::eps) return imageStore_->epsData(*icon_);
  if (type == T::fileURL) {
    const auto path = writeTemporaryFile();
    if (!path) return std::nullopt;
    const auto url = fileURLText(*path);
    return Bytes(url.begin(), url.end());
  }
  if (type == T::url) {
    const auto& url = icon_->iconURL.string();
    return Bytes(url.begin(), url.end());
  }
  if (type == T::utf8PlainText || type == T::svg) return imageStore_->svgData(*icon_, color_);
  printLine("No handler found for " + std::string(type));
  return std::nullopt;
}

std::string IconPasteboardItem::fileBaseName() const {
  const auto slug = cleanFileNameComponent(icon_->termSlug, kMaxSlugBytes);
  const auto id = cleanFileNameComponent(icon_->id, kMaxIdBytes);
  const auto hex = color_.preferredHexString();
  if (slug.empty()) return "vx_" + id + "_" + hex;
  return "vx_" + slug + "_" + id + "_" + hex;
}

std::optional<std::pair<Bytes, std::string>> IconPasteboardItem::temporaryFileContents() const {
  std::optional<Bytes> data;
  switch (type_) {
    case PasteboardType::svg:
      data = imageStore_->svgData(*icon_, color_);
      break;
    case PasteboardType::pdf:
      data = imageStore_->pdfData(*icon_, color_);
      if (data && data->empty()) data.reset();
      break;
    case PasteboardType::png:
    case PasteboardType::auto_:
      data = pngData();
      break;
  }
  if (!data) return std::nullopt;
  return std::make_pair(std::move(*data), std::string(extensionFor(type_)));
}

std::optional<std::filesystem::path> IconPasteboardItem::writeTemporaryFile() const {
  auto contents = temporaryFileContents();
  if (!contents) return std::nullopt;
  const auto directory = temporaryDirectory();
  if (!directory) return std::nullopt;
  const auto path = *directory / (fileBaseName() + "." + contents->second);
  if (!writeFileAtomically(path, contents->first)) return std::nullopt;
  return path;
}

}  // namespace Vexelworks
