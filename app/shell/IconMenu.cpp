#include "app/shell/IconMenu.h"

#include "app/pasteboard/IconMimeData.h"
#include "app/service/Action.h"
#include "app/service/Helpers.h"
#include "app/service/Logger.h"
#include "app/service/Settings.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QMenu>
#include <QStringDecoder>

#include <iostream>
#include <string>

namespace Vexelworks {

namespace {
constexpr const char* kFile = "IconActions";

std::string describe(const std::shared_ptr<const Collection>& collection) {
  if (!collection) return "nil";
  return "Collection(id: \"" + collection->id + "\", name: \"" + collection->name + "\")";
}
}  // namespace

IconActions::IconActions(std::shared_ptr<const Icon> icon, std::shared_ptr<const ExportOptions> defaultOptions,
                         std::shared_ptr<ImageStore> imageStore, std::shared_ptr<SharingServiceProvider> sharing)
    : icon_(std::move(icon)),
      defaultOptions_(std::move(defaultOptions)),
      imageStore_(std::move(imageStore)),
      sharing_(std::move(sharing)) {
  if (!icon_) vx::fatalError("IconActions: no icon");
  if (!defaultOptions_)
    defaultOptions_ = std::make_shared<const ExportOptions>(Color::black(), PasteboardType::auto_, 300);
}

void IconActions::install() {
  setIconActionsFactory([](std::shared_ptr<const Icon> icon, std::shared_ptr<const ExportOptions> options,
                           std::shared_ptr<ImageStore> store) -> std::shared_ptr<IconActionsInterface> {
    return std::make_shared<IconActions>(std::move(icon), std::move(options), std::move(store));
  });
}

std::unique_ptr<QMenu> IconActions::menu() {
  auto menu = std::make_unique<QMenu>();
  auto add = [this](QMenu* into, const QString& title, void (IconActions::*handler)(QObject*)) {
    QAction* action = into->addAction(title);
    action->setShortcut(QKeySequence());
    if (handler != nullptr) {
      connect(action, &QAction::triggered, this, [this, handler, action] { (this->*handler)(action); });
    } else {
      action->setEnabled(false);
    }
    return action;
  };
  add(menu.get(), QString::fromStdString(icon_->title()), nullptr);
  menu->addSeparator();
  add(menu.get(), QStringLiteral("Copy"), &IconActions::copy);
  auto* copyAs = new QMenu(QStringLiteral("Copy As"), menu.get());
  add(copyAs, QStringLiteral("SVG"), &IconActions::copyAsSVG);
  add(copyAs, QStringLiteral("PDF"), &IconActions::copyAsPDF);
  add(copyAs, QStringLiteral("PNG"), &IconActions::copyAsPNG);
  menu->addMenu(copyAs);
  add(menu.get(), QStringLiteral("Copy Attribution"), &IconActions::copyAttribution);
  menu->addSeparator();
  add(menu.get(), QStringLiteral("View on the Web..."), &IconActions::openIconInBrowser);
  QMenu* share = shareMenu().release();
  share->setParent(menu.get(), share->windowFlags());
  share->setTitle(QStringLiteral("Share"));
  menu->addMenu(share);
  if (settingBool(SettingKeys::debugEnabled, false)) {
    menu->addSeparator();
    add(menu.get(), QStringLiteral("Log SVG"), &IconActions::logSVG);
    add(menu.get(), QStringLiteral("Log Info"), &IconActions::logInfo);
  }
  return menu;
}

std::unique_ptr<QMenu> IconActions::shareMenu() {
  auto menu = std::make_unique<QMenu>(QStringLiteral("Share"));
  if (!sharing_) return menu;
  const SharedItems items{pasteboardItem(defaultOptions_->type())};
  for (const auto& service : sharing_->sharingServicesForItems(items)) {
    if (!service) continue;
    QAction* action = menu->addAction(service->image(), service->menuItemTitle());
    action->setShortcut(QKeySequence());
    action->setData(QVariant::fromValue(service));
    connect(action, &QAction::triggered, this, [this, action] { shareIcon(action); });
  }
  return menu;
}

std::shared_ptr<const IconPasteboardItem> IconActions::pasteboardItem(PasteboardType type) const {
  return std::make_shared<const IconPasteboardItem>(icon_, imageStore_, defaultOptions_->color(), type,
                                                    defaultOptions_->size());
}

void IconActions::copyAs(PasteboardType type) {
  if (QClipboard* clipboard = QGuiApplication::clipboard()) {
    clipboard->clear();
    clipboard->setMimeData(new IconMimeData(pasteboardItem(type)));
  }
  dispatch(Actions::RecordIconUsage{icon_, type, defaultOptions_->color()});
  Vexelworks::log("Copied icon " + icon_->id, "DEBUG", "copyAs(type:)", kFile, 118);
}

void IconActions::copy(QObject*) { copyAs(defaultOptions_->type()); }
void IconActions::copyAsSVG(QObject*) { copyAs(PasteboardType::svg); }
void IconActions::copyAsPDF(QObject*) { copyAs(PasteboardType::pdf); }
void IconActions::copyAsPNG(QObject*) { copyAs(PasteboardType::png); }

void IconActions::copyAttribution(QObject*) {
  const std::string title = icon_->title();
  if (QClipboard* clipboard = QGuiApplication::clipboard()) {
    clipboard->clear();
    clipboard->setText(QString::fromStdString(title));
  }
  Vexelworks::log("Copied attribtuion for " + icon_->id + ": " + title, "DEBUG", "copyAttribution(_:)", kFile, 141);
}

void IconActions::openIconInBrowser(QObject*) { openWebPage(icon_->iconURL.string()); }

void IconActions::shareIcon(QObject* sender) {
  std::shared_ptr<SharingService> service;
  if (auto* action = qobject_cast<QAction*>(sender)) service = action->data().value<std::shared_ptr<SharingService>>();
  if (!service) {
    std::cout << "No service found attached to sender" << std::endl;
    return;
  }
  const SharedItems items{pasteboardItem(defaultOptions_->type())};
  // The service holds this object until the share ends, whatever happens to the menu.
  service->setDelegate(shared_from_this());
  service->perform(items);
}

void IconActions::sharingServiceDidShareItems(SharingService&, const SharedItems&) {
  dispatch(Actions::RecordIconUsage{icon_, defaultOptions_->type(), defaultOptions_->color()});
  Vexelworks::log("Shared icon " + icon_->id, "DEBUG", "sharingService(_:didShareItems:)", kFile, 204);
}

void IconActions::printHeading() const {
  std::cout << "icon id: " << icon_->id << " " << std::string(55, '-') << std::endl;
}

void IconActions::logSVG(QObject*) {
  printHeading();
  const auto svg = imageStore_ ? imageStore_->svgData(*icon_, Color::black()) : std::nullopt;
  if (!svg) {
    std::cout << "No svg data found" << std::endl;
    return;
  }
  const QByteArray bytes(reinterpret_cast<const char*>(svg->data()), static_cast<qsizetype>(svg->size()));
  QStringDecoder decoder(QStringDecoder::Utf8);
  const QString text = decoder.decode(bytes);
  if (decoder.hasError()) {
    std::cout << "Couldn't decode svg data" << std::endl;
    return;
  }
  std::cout << text.toStdString() << std::endl;
}

void IconActions::logInfo(QObject*) {
  printHeading();
  std::cout << "url: " << icon_->iconURL.string() << std::endl;
  std::cout << "creator: " << icon_->creator->name << " <" << icon_->creator->id << ">" << std::endl;
  std::cout << "collection: " << describe(icon_->collection) << std::endl;
}

}  // namespace Vexelworks
