// Copies read by another program on a real X server: xclip asks the clipboard for the icon as
// SVG, PNG and a file URL. The bytes must be the image pipeline's own output for the same colour
// and size, and they are made only when xclip asks.
#include "IconMenuTestSupport.h"

#include "app/shell/IconMenu.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace Vexelworks {
namespace {

class IconMenuXvfbTest : public test::IconMenuFixture {
 protected:
  void SetUp() override {
    if (QGuiApplication::platformName() != "xcb") {
      GTEST_SKIP() << "needs the xcb platform, running on " << QGuiApplication::platformName().toStdString();
    }
    if (QStandardPaths::findExecutable("xclip").isEmpty()) GTEST_SKIP() << "xclip is not installed";
    IconMenuFixture::SetUp();
  }

  // What xclip reads from the clipboard as `target`. The event loop keeps running meanwhile,
  // so this process can answer xclip's request.
  QByteArray readClipboard(const QString& target) {
    QProcess xclip;
    xclip.start("xclip", {"-selection", "clipboard", "-o", "-t", target});
    EXPECT_TRUE(xclip.waitForStarted(5000));
    EXPECT_TRUE(waitFor([&] { return xclip.state() == QProcess::NotRunning; }, 20000))
        << "xclip did not finish for " << target.toStdString();
    EXPECT_EQ(xclip.exitCode(), 0) << xclip.readAllStandardError().toStdString();
    return xclip.readAllStandardOutput();
  }

  static QByteArray bytes(const std::optional<Bytes>& data) {
    if (!data) return {};
    return QByteArray(reinterpret_cast<const char*>(data->data()), static_cast<qsizetype>(data->size()));
  }
};

TEST_F(IconMenuXvfbTest, AnotherProgramReadsTheCopiedIconAsTheImagePipelineMadeIt) {
  const IconPtr icon = iconWithArtwork(0);
  const Color colour = Color::rgb(0.2, 0.4, 0.6);
  const double size = 84;
  auto actions = std::make_shared<IconActions>(
      icon, std::make_shared<const ExportOptions>(colour, PasteboardType::svg, size), imageStore_);
  const IconPasteboardItem svgItem(icon, imageStore_, colour, PasteboardType::svg, size);
  const IconPasteboardItem pngItem(icon, imageStore_, colour, PasteboardType::png, size);

  // Nothing is written before a receiver asks: the export file does not exist yet.
  const auto svgFile = std::filesystem::path(QDir::tempPath().toStdString()) / (svgItem.fileBaseName() + ".svg");
  std::filesystem::remove(svgFile);
  actions->copyAs(PasteboardType::svg);
  QApplication::processEvents();
  EXPECT_FALSE(std::filesystem::exists(svgFile));

  const QByteArray svg = readClipboard("image/svg+xml");
  const QByteArray expectedSvg = bytes(imageStore_->svgData(*icon, colour));
  ASSERT_FALSE(expectedSvg.isEmpty());
  EXPECT_EQ(svg, expectedSvg);
  EXPECT_TRUE(svg.contains("fill=\"#336699\""));

  const QByteArray uriList = readClipboard("text/uri-list");
  const QUrl url(QString::fromUtf8(uriList).trimmed());
  ASSERT_TRUE(url.isLocalFile()) << uriList.toStdString();
  const std::filesystem::path written = url.toLocalFile().toStdString();
  EXPECT_EQ(written, svgFile);
  ASSERT_TRUE(std::filesystem::exists(written));
  std::ifstream in(written, std::ios::binary);
  const std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(QByteArray::fromStdString(contents), expectedSvg);

  actions->copyAs(PasteboardType::png);
  const QByteArray png = readClipboard("image/png");
  const QByteArray expectedPng = bytes(pngItem.pasteboardPropertyList("public.png"));
  ASSERT_TRUE(expectedPng.startsWith("\x89PNG"));
  EXPECT_EQ(png, expectedPng);
  const QImage decoded = QImage::fromData(png, "PNG");
  EXPECT_EQ(decoded.size(), QSize(84, 84));

  // Every copy was recorded at the service.
  ASSERT_TRUE(waitFor([&] { return usageRequests() == 2; }));
}

}  // namespace
}  // namespace Vexelworks
