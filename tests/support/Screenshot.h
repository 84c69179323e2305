#pragma once
// Saves what a widget shows as a PNG under <build>/artifacts/screenshots/, so a reader can see
// each state a UI test checked. Returns the path written, or an empty string when the grab or the
// write failed (the test decides whether that matters).
#include <QDir>
#include <QPixmap>
#include <QString>
#include <QWidget>

namespace vx::test {

inline QString screenshotFolder() {
#ifdef VX_ARTIFACTS_DIR
  QString root = QStringLiteral(VX_ARTIFACTS_DIR);
#else
  QString root = QDir::currentPath() + QStringLiteral("/artifacts");
#endif
  QString folder = root + QStringLiteral("/screenshots");
  QDir().mkpath(folder);
  return folder;
}

inline QString saveScreenshot(QWidget* widget, const QString& name) {
  if (widget == nullptr) return {};
  QPixmap picture = widget->grab();
  if (picture.isNull()) return {};
  QString path = screenshotFolder() + QLatin1Char('/') + name + QStringLiteral(".png");
  return picture.save(path, "PNG") ? path : QString();
}

}  // namespace vx::test
