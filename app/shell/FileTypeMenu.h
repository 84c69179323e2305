// The "File Type" menu item: a submenu of the four export file types ("Auto", a separator, "SVG",
// "PDF", "PNG") whose stored choice carries the check mark. The submenu is made afresh from the
// user settings every time it is read or about to show, so it always shows the current choice.
// Its items send "didSelectFileType:" along the responder chain (no target); the export toolbar
// answers it.
#pragma once

#include <QAction>
#include <QMenu>
#include <QPointer>

namespace Vexelworks {

class FileTypeMenu : public QAction {
  Q_OBJECT

 public:
  static constexpr const char* kAction = "didSelectFileType:";

  explicit FileTypeMenu(const QString& title = QStringLiteral("File Type"), QObject* parent = nullptr);
  ~FileTypeMenu() override;

  bool hasSubmenu() const { return true; }
  // Rebuilds the submenu from the stored file type and returns it (kept as cachedSubMenu).
  QMenu* submenu();
  // The submenu is always this item's own; another one is ignored.
  void setSubmenu(QMenu*) {}
  QMenu* cachedSubMenu() const { return cachedSubMenu_; }

 private:
  void rebuild();

  QPointer<QMenu> cachedSubMenu_;
};

}  // namespace Vexelworks
