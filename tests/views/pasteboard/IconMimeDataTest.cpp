#include "app/pasteboard/IconMimeData.h"

#include "service/images/ImageTestSupport.h"
#include "tools/devservice/DevService.h"

#include "platform/foundation/DispatchQueue.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QUrl>

#include <gtest/gtest.h>

#include <cstdlib>

namespace Vexelworks {
namespace {

using namespace Vexelworks::testing;

// One application object for the process, for the clipboard.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "pasteboard-test";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QGuiApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QGuiApplication> app_;
};
[[maybe_unused]] const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

class IconMimeDataTest : public MarkerIconTest {
 protected:
  std::unique_ptr<IconMimeData> mimeData(PasteboardType type, Color color = Color::white(), double size = 300) {
    return std::make_unique<IconMimeData>(icon_, store_, ExportOptions(color, type, size));
  }

  bool temporaryFolderIsEmpty() const { return std::filesystem::is_empty(folder_->path()); }

  static Bytes bytesOfArray(const QByteArray& array) { return Bytes(array.begin(), array.end()); }
};

TEST_F(IconMimeDataTest, FormatsFollowTheFileType) {
  const auto list = [](std::initializer_list<const char*> items) {
    QStringList out;
    for (const char* item : items) out.append(QString::fromLatin1(item));
    return out;
  };
  EXPECT_EQ(mimeData(PasteboardType::svg)->formats(), list({"image/svg+xml", "text/uri-list", "text/plain"}));
  EXPECT_EQ(mimeData(PasteboardType::pdf)->formats(), list({"application/pdf", "text/uri-list"}));
  EXPECT_EQ(mimeData(PasteboardType::png)->formats(), list({"image/png", "text/uri-list"}));
  EXPECT_EQ(
      mimeData(PasteboardType::auto_)->formats(),
      list({"application/pdf", "image/svg+xml", "application/postscript", "image/png", "text/uri-list", "text/plain"}));
  const auto png = mimeData(PasteboardType::png);
  EXPECT_TRUE(png->hasFormat("image/png"));
  EXPECT_FALSE(png->hasFormat("application/pdf"));
  EXPECT_FALSE(png->hasImage());  // Qt's own image type is not offered: PNG bytes are
}

TEST_F(IconMimeDataTest, DataIsMadeOnlyWhenAsked) {
  auto data = mimeData(PasteboardType::auto_, Color::rgb(0, 0, 1), 84);
  (void)data->formats();
  (void)data->hasFormat("text/uri-list");
  (void)data->hasUrls();
  EXPECT_TRUE(temporaryFolderIsEmpty());

  const auto urls = data->urls();
  ASSERT_EQ(urls.size(), 1);
  const auto path = folder_->path() / "vx_marker_42_0000FF.png";
  EXPECT_EQ(urls[0], QUrl::fromLocalFile(QString::fromStdString(path.string())));
  EXPECT_TRUE(std::filesystem::exists(path));

  const auto png = data->data("image/png");
  QImage image;
  ASSERT_TRUE(image.loadFromData(png, "PNG"));
  EXPECT_EQ(image.width(), 84);
  EXPECT_EQ(image.height(), 84);
  EXPECT_EQ(image.pixelColor(2, 2), QColor(0, 0, 255));
  EXPECT_EQ(image.pixelColor(80, 2).alpha(), 0);

  const auto pdf = data->data("application/pdf");
  EXPECT_EQ(pdfInfo(bytesOfArray(pdf))->pages, 1);
  EXPECT_EQ(bytesOfArray(data->data("image/svg+xml")), store_->svgData(*icon_, Color::rgb(0, 0, 1)));
  EXPECT_EQ(data->text().toStdString(), textOf(*store_->svgData(*icon_, Color::rgb(0, 0, 1))));
  EXPECT_TRUE(data->data("application/postscript").isEmpty());
  EXPECT_TRUE(data->data("image/tiff").isEmpty());
}

TEST_F(IconMimeDataTest, AMissIsAskedAgainLater) {
  store_->clearCaches();
  auto data = mimeData(PasteboardType::svg);
  EXPECT_TRUE(data->data("image/svg+xml").isEmpty());
  EXPECT_TRUE(data->urls().isEmpty());
  store_->svgCache().setObject(icon_->id, bytesOf(kMarkerSVG));
  EXPECT_FALSE(data->data("image/svg+xml").isEmpty());
  ASSERT_EQ(data->urls().size(), 1);
  EXPECT_TRUE(data->urls()[0].toLocalFile().endsWith("vx_marker_42_FFFFFF.svg"));
}

TEST_F(IconMimeDataTest, FromTheLocalServiceThroughTheClipboard) {
  vx::devservice::DevService service;
  ASSERT_TRUE(service.start().ok());
  const auto icon = makeIcon("30015", "anchor", service.url("/static/icons/anchor-30015.svg"));
  bool done = false;
  store_->fetch(icon, [&done] { done = true; });
  ASSERT_TRUE(vx::RunLoop::runUntil([&done] { return done; }));

  auto* clipboard = QGuiApplication::clipboard();
  clipboard->setMimeData(new IconMimeData(icon, store_, ExportOptions(Color::white(), PasteboardType::png, 150)));
  const QMimeData* pasted = clipboard->mimeData();
  ASSERT_NE(pasted, nullptr);
  EXPECT_TRUE(pasted->hasFormat("image/png"));
  QImage image;
  ASSERT_TRUE(image.loadFromData(pasted->data("image/png"), "PNG"));
  EXPECT_EQ(image.size(), QSize(150, 150));
  // The anchor's ring, top centre, in white.
  EXPECT_EQ(image.pixelColor(75, 21), QColor(255, 255, 255));
  ASSERT_EQ(pasted->urls().size(), 1);
  EXPECT_TRUE(pasted->urls()[0].toLocalFile().endsWith("vx_anchor_30015_FFFFFF.png"));
  clipboard->clear();
}

}  // namespace
}  // namespace Vexelworks
