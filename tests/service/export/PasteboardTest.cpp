#include "app/service/Export/Pasteboard.h"
#include "app/service/Logger.h"

#include "service/images/ImageTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace Vexelworks {
namespace {

using namespace Vexelworks::testing;
namespace T = PasteboardTypeIdentifier;

// ---------------------------------------------------------------------------------------------
// File names

TEST(PasteboardFileNameTest, BaseNames) {
  auto store = ImageStore::make();
  struct Case {
    std::string slug;
    std::string id;
    Color color;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"arrow", "123", Color::black(), "vx_arrow_123_000000"},
      {"", "123", Color::black(), "vx_123_000000"},
      {"arrow", "123", Color::rgb(1, 0.5, 0), "vx_arrow_123_FF8000"},
      // Half-transparent: eight digits, alpha first.
      {"arrow", "123", Color::rgb(1, 0, 0, 0.5), "vx_arrow_123_80FF0000"},
      // What the service sends is cleaned before it names a file.
      {"../../etc/passwd", "1", Color::black(), "vx__.__._etc_passwd_1_000000"},
      {"a/b", "..", Color::black(), "vx_a_b__._000000"},
      {"tab\there", "7\n8", Color::black(), "vx_tab_here_7_8_000000"},
      {"back\\slash", "9\x7f", Color::black(), "vx_back_slash_9__000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    const IconPasteboardItem item(makeIcon(c.id, c.slug, "http://127.0.0.1/x.svg"), store, c.color, PasteboardType::png,
                                  300);
    EXPECT_EQ(item.fileBaseName(), c.expected);
  }
}

TEST(PasteboardFileNameTest, CleaningLeavesNoPathPartsAndCutsOnCharacterBoundaries) {
  for (const std::string text : {"..", "...", "....", "a..b", "./..//../", "\x01\x1f/"}) {
    const auto clean = cleanFileNameComponent(text, 100);
    EXPECT_EQ(clean.find('/'), std::string::npos) << text;
    EXPECT_EQ(clean.find(".."), std::string::npos) << text;
    EXPECT_EQ(clean.size(), text.size()) << text;
  }
  // "é" is two bytes: a cut in its middle backs up to its start.
  EXPECT_EQ(cleanFileNameComponent("ab\xC3\xA9", 3), "ab");
  EXPECT_EQ(cleanFileNameComponent("ab\xC3\xA9", 4), "ab\xC3\xA9");
  const std::string longSlug(1000, 's');
  auto store = ImageStore::make();
  const IconPasteboardItem item(makeIcon("1", longSlug, "http://127.0.0.1/x.svg"), store, Color::black(),
                                PasteboardType::png, 300);
  EXPECT_LT(item.fileBaseName().size() + 4, 255u);
}

TEST(PasteboardFileNameTest, FileURLs) {
  EXPECT_EQ(fileURLText("/tmp/vx_a_1_000000.png"), "file:///tmp/vx_a_1_000000.png");
  EXPECT_EQ(fileURLText("/tmp/a b/c#d%.svg"), "file:///tmp/a%20b/c%23d%25.svg");
}

// ---------------------------------------------------------------------------------------------
// Types and data

class PasteboardItemTest : public MarkerIconTest {
 protected:
  IconPasteboardItem item(PasteboardType type, Color color = Color::white(), double size = 84) {
    return IconPasteboardItem(icon_, store_, color, type, size);
  }

  std::vector<std::filesystem::path> filesInTemporaryFolder() const {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder_->path())) {
      files.push_back(entry.path());
    }
    return files;
  }
};

TEST_F(PasteboardItemTest, TypesOfferedByFileType) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(item(PasteboardType::svg).writableTypes(), (V{T::svg, T::fileURL, T::utf8PlainText}));
  EXPECT_EQ(item(PasteboardType::pdf).writableTypes(), (V{T::pdf, T::fileURL}));
  EXPECT_EQ(item(PasteboardType::png).writableTypes(), (V{T::png, T::fileURL}));
  EXPECT_EQ(item(PasteboardType::auto_).writableTypes(),
            (V{T::pdf, T::svg, T::eps, T::png, T::fileURL, T::url, T::utf8PlainText}));
  EXPECT_EQ(T::svg, "public.svg-image");
  EXPECT_EQ(T::eps, "com.adobe.encapsulated-postscript");
  EXPECT_EQ(T::utf8PlainText, "public.utf8-plain-text");
}

TEST_F(PasteboardItemTest, EachTypeIsAnsweredInTheItemsColour) {
  const auto white = item(PasteboardType::auto_);
  const auto pdf = white.pasteboardPropertyList(T::pdf);
  ASSERT_TRUE(pdf.has_value());
  EXPECT_EQ(pdfInfo(*pdf)->pages, 1);
  EXPECT_NE(*pdf, *store_->pdfData(*icon_, Color::black()));

  const auto svg = white.pasteboardPropertyList(T::svg);
  ASSERT_TRUE(svg.has_value());
  EXPECT_EQ(svg, store_->svgData(*icon_, Color::white()));
  EXPECT_EQ(white.pasteboardPropertyList(T::utf8PlainText), svg);

  const auto png = white.pasteboardPropertyList(T::png);
  ASSERT_TRUE(png.has_value());
  const auto bitmap = decodePNG(*png);
  ASSERT_TRUE(bitmap.has_value());
  EXPECT_EQ(bitmap->width, 84);
  EXPECT_EQ(bitmap->height, 84);
  EXPECT_EQ(bitmap->pixel(2, 2), 0xFFFFFFFFu);
  EXPECT_EQ(alphaOf(bitmap->pixel(80, 2)), 0);

  EXPECT_EQ(textOf(*white.pasteboardPropertyList(T::url)), icon_->iconURL.string());
  EXPECT_FALSE(white.pasteboardPropertyList(T::eps).has_value());
  EXPECT_FALSE(white.pasteboardPropertyList(T::tiff).has_value());
}

TEST_F(PasteboardItemTest, EveryRequestIsLoggedAndUnknownTypesAreNamed) {
  std::vector<std::string> lines;
  const auto previous = setLogSink([&lines](std::string_view, std::string_view line) { lines.emplace_back(line); });
  ::testing::internal::CaptureStdout();
  const auto answer = item(PasteboardType::auto_).pasteboardPropertyList("public.jpeg");
  const auto output = ::testing::internal::GetCapturedStdout();
  setLogSink(previous);
  EXPECT_FALSE(answer.has_value());
  EXPECT_EQ(output, "No handler found for public.jpeg\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("[DEBUG] Pasteboard.")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with("] Providing data public.jpeg")) << lines[0];
}

TEST_F(PasteboardItemTest, FileURLCarriesAWrittenFileOfTheExport) {
  struct Case {
    PasteboardType type;
    std::string extension;
  };
  for (const auto& c : {Case{PasteboardType::png, "png"}, Case{PasteboardType::auto_, "png"},
                        Case{PasteboardType::svg, "svg"}, Case{PasteboardType::pdf, "pdf"}}) {
    SCOPED_TRACE(c.extension);
    const auto it = item(c.type, Color::white(), 150);
    const auto url = it.pasteboardPropertyList(T::fileURL);
    ASSERT_TRUE(url.has_value());
    const auto path = folder_->path() / ("vx_marker_42_FFFFFF." + c.extension);
    EXPECT_EQ(textOf(*url), fileURLText(path));
    ASSERT_TRUE(std::filesystem::exists(path));
    const auto contents = readFile(path);
    if (c.extension == "png") {
      const auto bitmap = decodePNG(contents);
      ASSERT_TRUE(bitmap.has_value());
      EXPECT_EQ(bitmap->width, 150);
      EXPECT_EQ(bitmap->pixel(3, 3), 0xFFFFFFFFu);
    } else if (c.extension == "svg") {
      EXPECT_EQ(contents, store_->svgData(*icon_, Color::white()));
    } else {
      EXPECT_EQ(pdfInfo(contents)->pages, 1);
    }
  }
  // Only the finished files: no half-written temporaries left behind.
  EXPECT_EQ(filesInTemporaryFolder().size(), 3u);
}

TEST_F(PasteboardItemTest, HostileSlugsAndIdsStayInTheTemporaryFolder) {
  const auto hostile = makeIcon("../../../x\n", "../../etc/cron.d/job", "http://127.0.0.1/a.svg");
  store_->svgCache().setObject(hostile->id, bytesOf(kMarkerSVG));
  const IconPasteboardItem it(hostile, store_, Color::black(), PasteboardType::svg, 24);
  const auto path = it.writeTemporaryFile();
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(path->parent_path(), folder_->path());
  EXPECT_EQ(path->filename().string().find(".."), std::string::npos);
  EXPECT_EQ(filesInTemporaryFolder(), std::vector<std::filesystem::path>{*path});
}

TEST_F(PasteboardItemTest, NothingIsAnsweredWithoutArtwork) {
  store_->clearCaches();
  const auto it = item(PasteboardType::auto_);
  for (const auto type : it.writableTypes()) {
    SCOPED_TRACE(type);
    if (type == T::url) continue;  // the web page needs no artwork
    EXPECT_FALSE(it.pasteboardPropertyList(type).has_value());
  }
  EXPECT_TRUE(filesInTemporaryFolder().empty());
}

TEST_F(PasteboardItemTest, UnreadableArtworkGivesNoPDFOrPNG) {
  store_->svgCache().setObject(icon_->id, bytesOf("<html>error</html>"));
  store_->pdfCache().setObject(icon_->id, {});
  for (const auto color : {Color::black(), Color::white()}) {
    const auto it = item(PasteboardType::auto_, color);
    EXPECT_FALSE(it.pasteboardPropertyList(T::pdf).has_value());
    EXPECT_FALSE(it.pasteboardPropertyList(T::png).has_value());
    EXPECT_FALSE(it.pasteboardPropertyList(T::fileURL).has_value());
  }
}

TEST_F(PasteboardItemTest, AFailedTemporaryWriteAnswersNothing) {
  // The temporary folder is a plain file: nothing can be written into it.
  const auto notAFolder = folder_->path() / "file";
  writeFile(notAFolder, bytesOf("x"));
  setenv("TMPDIR", notAFolder.c_str(), 1);
  EXPECT_FALSE(item(PasteboardType::png).pasteboardPropertyList(T::fileURL).has_value());
  EXPECT_FALSE(item(PasteboardType::svg).writeTemporaryFile().has_value());
  EXPECT_EQ(filesInTemporaryFolder().size(), 1u);
}

TEST(WriteFileAtomicallyTest, ReplacesAndCleansUp) {
  TemporaryFolder folder;
  const auto path = folder.path() / "out.bin";
  ASSERT_TRUE(writeFileAtomically(path, bytesOf("first")));
  ASSERT_TRUE(writeFileAtomically(path, bytesOf("second")));
  EXPECT_EQ(textOf(readFile(path)), "second");
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::others_read,
            std::filesystem::perms::others_read);
  EXPECT_FALSE(writeFileAtomically(folder.path() / "missing" / "out.bin", bytesOf("x")));
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder.path())) ++count;
  EXPECT_EQ(count, 1u);
}

}  // namespace
}  // namespace Vexelworks
