// IconPasteboardItem: what one icon puts on the clipboard or into a drag. It offers a set of
// types chosen by the export file type and makes the data for a type only when a receiver asks
// for it, from the image store's caches, in the item's colour and size. The toolkit's side (the
// clipboard and drag object that carries it) lives in app/pasteboard.
//
// Types offered, in order, by the item's type:
//   svg   public.svg-image, public.file-url, public.utf8-plain-text
//   pdf   com.adobe.pdf, public.file-url
//   png   public.png, public.file-url
//   auto  com.adobe.pdf, public.svg-image, com.adobe.encapsulated-postscript, public.png,
//         public.file-url, public.url, public.utf8-plain-text
// A file-URL answer is the URL of a temporary file holding the export (there are no promised
// files on this platform: a drop or paste receives the written file instead).
#pragma once

#include "app/service/Color.h"
#include "app/service/ExportSettings.h"
#include "app/service/Icon.h"
#include "app/service/Images/ImageStore.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Vexelworks {

namespace PasteboardTypeIdentifier {
inline constexpr std::string_view pdf = "com.adobe.pdf";
inline constexpr std::string_view svg = "public.svg-image";
inline constexpr std::string_view eps = "com.adobe.encapsulated-postscript";
inline constexpr std::string_view png = "public.png";
inline constexpr std::string_view tiff = "public.tiff";
inline constexpr std::string_view fileURL = "public.file-url";
inline constexpr std::string_view url = "public.url";
inline constexpr std::string_view utf8PlainText = "public.utf8-plain-text";
}  // namespace PasteboardTypeIdentifier

// Text from the service made safe as part of a file name: "/", "\" and control characters
// become "_", no ".." survives, and the text is cut (on a character boundary) to `maxBytes`.
std::string cleanFileNameComponent(std::string_view text, std::size_t maxBytes);

// The absolute file URL of a path ("file:///tmp/a%20b.png").
std::string fileURLText(const std::filesystem::path& path);

// Writes the data to `path` through a temporary file in the same folder and a rename, so a
// reader never sees half a file. False (and no file left behind) when any step fails.
bool writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> data);

class IconPasteboardItem {
 public:
  // `size` is the export edge length in pixels.
  IconPasteboardItem(std::shared_ptr<const Icon> icon, std::shared_ptr<ImageStore> imageStore, Color color,
                     PasteboardType type, double size);

  const std::shared_ptr<const Icon>& icon() const { return icon_; }
  const std::shared_ptr<ImageStore>& imageStore() const { return imageStore_; }
  const Color& color() const { return color_; }
  PasteboardType type() const { return type_; }
  double size() const { return size_; }

  // The type identifiers offered, in order (table above).
  std::vector<std::string_view> writableTypes() const;

  // The data for one type, made now; none when the image store has nothing for it or the type
  // is not one the item answers. Every answer uses the item's colour; text answers are UTF-8.
  //   com.adobe.pdf                      the PDF
  //   public.png                         the icon image at `size` pixels, as PNG
  //   com.adobe.encapsulated-postscript  the image store's EPS entry
  //   public.file-url                    the URL of a temporary file with the export
  //   public.url                         the icon's web page
  //   public.svg-image, public.utf8-plain-text   the SVG markup
  std::optional<Bytes> pasteboardPropertyList(std::string_view type) const;

  // The stem of every exported file: "vx_" + slug + "_" + id + "_" + colour hex, or without the
  // slug part when the slug is empty. The hex is the colour's upper-case text, six digits when
  // opaque, eight with alpha first otherwise. Slug and id are cleaned for use in a file name.
  std::string fileBaseName() const;

  // The export the file-URL type carries and its extension: svg gives the SVG, pdf the PDF, png
  // and auto the PNG. None when the image store has no data.
  std::optional<std::pair<Bytes, std::string>> temporaryFileContents() const;
  // Writes temporaryFileContents() into the temporary folder ($TMPDIR, else /tmp) under
  // fileBaseName() and the extension, and gives the file's path; none when there is no data or
  // the write fails.
  std::optional<std::filesystem::path> writeTemporaryFile() const;

 private:
  std::optional<Bytes> pngData() const;
  int pixelSize() const;

  std::shared_ptr<const Icon> icon_;
  std::shared_ptr<ImageStore> imageStore_;
  Color color_;
  PasteboardType type_;
  double size_;
};

}  // namespace Vexelworks
