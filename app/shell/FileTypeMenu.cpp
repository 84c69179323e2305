#include "app/shell/FileTypeMenu.h"

#include "app/qt/ActionRouter.h"
#include "app/service/ExportSettings.h"
#include "app/service/Settings.h"

namespace Vexelworks {

FileTypeMenu::FileTypeMenu(const QString& title, QObject* parent) : QAction(title, parent) {
  auto* menu = new QMenu(QStringLiteral("File Type"));
  cachedSubMenu_ = menu;
  setMenu(menu);
  // Each showing reflects the stored choice, whoever changed it since.
  connect(menu, &QMenu::aboutToShow, this, &FileTypeMenu::rebuild);
  rebuild();
}

FileTypeMenu::~FileTypeMenu() { delete cachedSubMenu_.data(); }

QMenu* FileTypeMenu::submenu() {
  rebuild();
  return cachedSubMenu_;
}

void FileTypeMenu::rebuild() {
  QMenu* menu = cachedSubMenu_;
  if (menu == nullptr) return;
  const PasteboardType current = iconPasteboardType();
  menu->clear();
  menu->setTitle(QStringLiteral("File Type"));
  // Enabled only while some responder takes the choice, as menus enable their items.
  const bool answered = vx::ActionRouter::targetForAction(kAction) != nullptr;
  for (PasteboardType type : {PasteboardType::auto_, PasteboardType::svg, PasteboardType::pdf, PasteboardType::png}) {
    QAction* item = menu->addAction(QString::fromUtf8(rawValue(type).data(), static_cast<int>(rawValue(type).size())));
    item->setShortcut(QKeySequence());
    item->setCheckable(true);
    item->setChecked(type == current);
    item->setEnabled(answered);
    connect(item, &QAction::triggered, item, [item] { vx::ActionRouter::sendAction(kAction, nullptr, item); });
    if (type == PasteboardType::auto_) menu->addSeparator();
  }
}

}  // namespace Vexelworks
