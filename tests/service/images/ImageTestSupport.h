// Helpers shared by the image, export and pasteboard tests: sample artwork, running the PDF tools
// from poppler-utils on bytes, icons pointing at the local service, and a fixture with the marker
// icon's artwork in an image store and TMPDIR pointed at a folder of the test's own.
#pragma once

#include "app/service/Icon.h"
#include "app/service/Images/ImageStore.h"
#include "app/service/Images/PDFConverter.h"
#include "app/service/Images/SVGDocument.h"

#include "platform/foundation/URL.h"

#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace Vexelworks::testing {

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

using vx::test::TemporaryFolder;

inline void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Standard output of a shell command, and its exit status.
struct CommandResult {
  int status = -1;
  std::string output;
};

inline CommandResult run(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 4096> buffer{};
  std::size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.output.append(buffer.data(), n);
  result.status = pclose(pipe);
  return result;
}

// What pdfinfo reads from a PDF.
struct PDFInfo {
  int pages = 0;
  double width = 0;  // media box of page 1, points
  double height = 0;
};

inline std::optional<PDFInfo> pdfInfo(const Bytes& pdf) {
  TemporaryFolder folder;
  const auto path = folder.path() / "doc.pdf";
  writeFile(path, pdf);
  const auto result = run("pdfinfo -box '" + path.string() + "'");
  if (result.status != 0) return std::nullopt;
  PDFInfo info;
  std::smatch match;
  if (std::regex_search(result.output, match, std::regex(R"(Pages:\s+(\d+))"))) {
    info.pages = std::stoi(match[1]);
  }
  if (std::regex_search(result.output, match,
                        std::regex(R"(MediaBox:\s+([-\d.]+)\s+([-\d.]+)\s+([-\d.]+)\s+([-\d.]+))"))) {
    info.width = std::stod(match[3]) - std::stod(match[1]);
    info.height = std::stod(match[4]) - std::stod(match[2]);
  }
  return info;
}

// Page 1 of a PDF rasterised by pdftoppm at `dpi`, decoded back.
inline std::optional<Bitmap> rasterisePDF(const Bytes& pdf, int dpi = 72) {
  TemporaryFolder folder;
  const auto path = folder.path() / "doc.pdf";
  writeFile(path, pdf);
  const auto out = folder.path() / "page";
  const auto result =
      run("pdftoppm -png -singlefile -r " + std::to_string(dpi) + " '" + path.string() + "' '" + out.string() + "'");
  if (result.status != 0) return std::nullopt;
  const auto png = readFile(folder.path() / "page.png");
  return decodePNG(png);
}

// Alpha and colour channels of a premultiplied 0xAARRGGBB pixel.
inline int alphaOf(std::uint32_t pixel) { return static_cast<int>(pixel >> 24); }
inline int redOf(std::uint32_t pixel) { return static_cast<int>((pixel >> 16) & 0xFF); }
inline int greenOf(std::uint32_t pixel) { return static_cast<int>((pixel >> 8) & 0xFF); }
inline int blueOf(std::uint32_t pixel) { return static_cast<int>(pixel & 0xFF); }

inline std::shared_ptr<const Icon> makeIcon(std::string id, std::string slug, std::string svgURL) {
  auto page =
      vx::URL::parse("http://127.0.0.1/term/sample/" + vx::URL::percentEncode(id, vx::PercentEncoding::PathSegment))
          .value();
  return std::make_shared<const Icon>(Icon{std::move(id), std::move(slug), "Sample", vx::URL::parse(svgURL).value(),
                                           std::move(page), Creator::defaultCreator(), nullptr});
}

// A square icon: a red 10x10 square at the top left of a 100x100 canvas, blue elsewhere in
// the bottom right quarter; nothing else.
inline constexpr std::string_view kMarkerSVG =
    R"(<svg xmlns="http://www.w3.org/2000/svg" width="100" height="100" viewBox="0 0 100 100">)"
    R"(<rect x="0" y="0" width="10" height="10" fill="#FF0000"/>)"
    R"(<rect x="50" y="50" width="50" height="50" fill="#0000FF"/>)"
    R"(</svg>)";

// The marker icon with its SVG and PDF already in a fresh image store, and TMPDIR pointed at a
// temporary folder of the test's own (exports write their files there), put back afterwards.
class MarkerIconTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TMPDIR");
    if (old != nullptr) oldTmp_ = old;
    folder_ = std::make_unique<TemporaryFolder>("vx-export");
    setenv("TMPDIR", folder_->path().c_str(), 1);
    store_ = ImageStore::make();
    icon_ = makeIcon("42", "marker", "http://127.0.0.1/marker.svg");
    store_->svgCache().setObject(icon_->id, bytesOf(kMarkerSVG));
    store_->pdfCache().setObject(icon_->id, PDFConverter().convert(bytesOf(kMarkerSVG)));
  }
  void TearDown() override {
    if (oldTmp_) {
      setenv("TMPDIR", oldTmp_->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

  std::optional<std::string> oldTmp_;
  std::unique_ptr<TemporaryFolder> folder_;
  std::shared_ptr<ImageStore> store_;
  std::shared_ptr<const Icon> icon_;
};

}  // namespace Vexelworks::testing
