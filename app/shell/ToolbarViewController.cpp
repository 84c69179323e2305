#include "app/shell/ToolbarViewController.h"

#include "app/qt/ActionRouter.h"
#include "app/qt/InterfaceRegistry.h"
#include "app/service/Export/ExportDefaults.h"
#include "app/service/Palette.h"
#include "app/service/Settings.h"
#include "app/shell/FileTypeMenu.h"
#include "app/views/ColorSwatch.h"
#include "app/views/Drawing.h"
#include "app/views/PopUpButtonCells.h"
#include "platform/foundation/Error.h"

#include <QAction>
#include <QComboBox>
#include <QHBoxLayout>
#include <QPainter>
#include <QRegularExpression>

#include <limits>
#include <optional>

namespace Vexelworks {
namespace {

PopUpButton* makePopUp(PopUpButtonCell* cell, const char* name, int width, QWidget* parent) {
  auto* popUp = new PopUpButton(cell, parent);
  popUp->setObjectName(QString::fromUtf8(name));
  popUp->setMinimumWidth(width);
  return popUp;
}

QWidget* buildToolbar(QObject* owner) {
  auto* view = new QWidget;
  view->setObjectName(QStringLiteral("toolbar"));
  auto* layout = new QHBoxLayout(view);
  layout->setContentsMargins(8, 4, 8, 4);
  layout->setSpacing(6);
  auto* zoom = makePopUp(new ToolbarPopupButtonCell, "zoomPopUp", 70, view);
  auto* fileType = makePopUp(new ToolbarPopupButtonCell, "fileTypePopUp", 70, view);
  fileType->addItems({QStringLiteral("Auto"), QStringLiteral("SVG"), QStringLiteral("PDF"), QStringLiteral("PNG")});
  auto* size = makePopUp(new ToolbarPopupButtonCell, "sizePopUp", 80, view);
  // The swatch and the colour pop-up meet: the swatch's square side touches the pop-up.
  auto* colorRow = new QHBoxLayout;
  colorRow->setSpacing(0);
  auto* swatch = new ColorSwatch(view);
  swatch->setObjectName(QStringLiteral("colorSwatch"));
  swatch->setFixedSize(22, 20);
  auto* color = makePopUp(new ColorPopupButtonCell, "colorPopUp", 110, view);
  // The fixed items: "Black" and "White" first, then (after the recent colours) a rule and
  // "Choose...".
  color->addItem(QString::fromUtf8(ToolbarViewController::kBlack));
  color->addItem(QString::fromUtf8(ToolbarViewController::kWhite));
  color->insertSeparator(color->count());
  color->addItem(QString::fromUtf8(ToolbarViewController::kChoose));
  color->setCurrentIndex(0);
  colorRow->addWidget(swatch);
  colorRow->addWidget(color);

  layout->addWidget(zoom);
  layout->addStretch(1);
  layout->addWidget(fileType);
  layout->addWidget(size);
  layout->addLayout(colorRow);

  if (auto* controller = dynamic_cast<ToolbarViewController*>(owner)) {
    controller->zoomPopUp = zoom;
    controller->fileTypePopUp = fileType;
    controller->sizePopUp = size;
    controller->colorPopUp = color;
    controller->colorSwatch = swatch;
    // A choice made by the user (activated), never a selection made by code.
    QObject::connect(zoom, &QComboBox::activated, controller,
                     [controller, zoom] { controller->didPickZoomLevel(zoom); });
    QObject::connect(fileType, &QComboBox::activated, controller,
                     [controller, fileType] { controller->didSelectFileType(fileType); });
    QObject::connect(size, &QComboBox::activated, controller, [controller, size] { controller->didSelectSize(size); });
    QObject::connect(color, &QComboBox::activated, controller,
                     [controller, color] { controller->didSelectColorOption(color); });
  }
  return view;
}

// The title of the item the sender chose: a pop-up's selected item, a menu item's own title;
// none for a pop-up without selection or any other sender.
std::optional<QString> chosenTitle(QObject* sender) {
  if (auto* popUp = qobject_cast<QComboBox*>(sender)) {
    if (popUp->currentIndex() >= 0) return popUp->currentText();
    return std::nullopt;
  }
  if (auto* item = qobject_cast<QAction*>(sender)) return item->text();
  return std::nullopt;
}

std::optional<PasteboardType> typeForTitle(const QString& title) {
  return pasteboardTypeFromRawValue(title.toStdString());
}

QString titleOf(PasteboardType type) {
  const std::string_view raw = rawValue(type);
  return QString::fromUtf8(raw.data(), static_cast<int>(raw.size()));
}

bool isBlack(const Color& color) { return color.preferredHexString() == "000000"; }
bool isWhite(const Color& color) { return color.preferredHexString() == "FFFFFF"; }

}  // namespace

ToolbarViewController::ToolbarViewController(std::string nibName)
    : vx::ViewController(std::move(nibName)),
      exportOptions_(exportOptionsFromDefaults()),
      pasteboardType_(iconPasteboardType()) {
  setActionHandler("didSelectColorOption:", [this](QObject* sender) { didSelectColorOption(sender); });
  setActionHandler(FileTypeMenu::kAction, [this](QObject* sender) { didSelectFileType(sender); });
  setActionHandler("didSelectSize:", [this](QObject* sender) { didSelectSize(sender); });
  setActionHandler("didPickZoomLevel:", [this](QObject* sender) { didPickZoomLevel(sender); });
}

void ToolbarViewController::requireOutlets() const {
  if (!zoomPopUp || !fileTypePopUp || !sizePopUp || !colorPopUp || !colorSwatch) {
    vx::fatalError("The toolbar's outlets are not connected");
  }
}

void ToolbarViewController::viewDidLoad() {
  vx::ViewController::viewDidLoad();
  setUpPopUps();
}

void ToolbarViewController::setUpPopUps() {
  requireOutlets();
  // Recent colours, oldest inserted first so the newest ends at the top. A settings file
  // holding more than the recent list keeps shows only the newest of them.
  std::vector<Color> recent = recentIconColors();
  if (recent.size() > kMaxRecentIconColors) recent.resize(kMaxRecentIconColors);
  const qreal ratio = colorPopUp->devicePixelRatioF();
  for (auto it = recent.rbegin(); it != recent.rend(); ++it) {
    colorPopUp->insertItem(kFirstRecentIndex, QIcon(colorImage(*it, ratio)), colorTitle(*it));
  }

  zoomPopUp->clear();
  for (const ZoomLevel& level : ZoomLevel::all()) {
    zoomPopUp->addItem(QString::fromUtf8(level.title.data(), static_cast<int>(level.title.size())));
  }
  zoomPopUp->setCurrentIndex(zoomPopUp->findText(QStringLiteral("100%")));

  setPasteboardType(iconPasteboardType());
  fileTypePopUp->setCurrentIndex(fileTypePopUp->findText(titleOf(pasteboardType_)));

  sizePopUp->clear();
  for (const ExportSize& size : ExportSize::all()) {
    sizePopUp->addItem(QString::fromUtf8(size.name.data(), static_cast<int>(size.name.size())));
  }
  const std::int64_t pixels = settingInt(SettingKeys::iconExportSize, SettingFallbacks::iconExportSize);
  std::optional<std::size_t> index;
  if (pixels >= 0 && pixels <= std::numeric_limits<int>::max()) index = ExportSize::index(static_cast<int>(pixels));
  sizePopUp->setCurrentIndex(index ? static_cast<int>(*index) : -1);
}

void ToolbarViewController::setPasteboardType(PasteboardType type) {
  pasteboardType_ = type;
  if (sizePopUp) sizePopUp->setEnabled(type == PasteboardType::auto_ || type == PasteboardType::png);
}

QString ToolbarViewController::colorTitle(const Color& color) {
  return QStringLiteral("#") + QString::fromStdString(color.preferredHexString());
}

QPixmap ToolbarViewController::colorImage(const Color& color, qreal devicePixelRatio) {
  const int side = kColorImageSide;
  QPixmap pixmap(QSize(side, side) * devicePixelRatio);
  pixmap.setDevicePixelRatio(devicePixelRatio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  const QRectF bounds(0, 0, side, side);
  const QColor fill = toQColor(color);
  painter.fillRect(bounds, fill);
  const RGBA rgba = color.rgba();
  // A light colour would vanish against the light menu: outline it in grey.
  const double lightness = (2 * rgba.red * 255 + 3 * rgba.green * 255 + rgba.blue * 255) / 6;
  const QColor outline = lightness > 200 ? toQColor(Palette::placeholderGrey) : fill;
  painter.setPen(QPen(outline, 1));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(bounds.adjusted(0.5, 0.5, -0.5, -0.5));
  return pixmap;
}

void ToolbarViewController::publishExportOptions() {
  if (delegate != nullptr) delegate->setExportOptions(exportOptions_);
}

void ToolbarViewController::selectColor(const Color& color) {
  loadViewIfNeeded();
  requireOutlets();
  const bool black = isBlack(color);
  const bool white = isWhite(color);
  if (!black && !white) saveIconColors(color);

  colorSwatch->setSelectedColor(toQColor(color));
  colorSwatch->update();

  if (black) {
    colorPopUp->setCurrentIndex(colorPopUp->findText(QString::fromUtf8(kBlack), Qt::MatchExactly));
  } else if (white) {
    colorPopUp->setCurrentIndex(colorPopUp->findText(QString::fromUtf8(kWhite), Qt::MatchExactly));
  } else {
    const QString title = colorTitle(color);
    const int existing = colorPopUp->findText(title, Qt::MatchExactly);
    if (existing >= 0) {
      colorPopUp->setCurrentIndex(existing);
    } else {
      colorPopUp->insertItem(kFirstRecentIndex, QIcon(colorImage(color, colorPopUp->devicePixelRatioF())), title);
      colorPopUp->setCurrentIndex(kFirstRecentIndex);
      // Five recent items at most: the oldest one goes.
      if (colorPopUp->count() >= kFullColorPopUpCount) {
        colorPopUp->removeItem(kFirstRecentIndex + static_cast<int>(kMaxRecentIconColors));
      }
    }
  }

  exportOptions_ = exportOptions_->withColor(color);
  publishExportOptions();
}

void ToolbarViewController::didSelectColorOption(QObject* sender) {
  const QString title = chosenTitle(sender).value_or(QString());
  static const QRegularExpression hex(QStringLiteral("#?[0-9ABCDEFabcdef]{6}"));
  if (hex.match(title).hasMatch()) {
    QString digits = title;
    digits.remove(QLatin1Char('#'));
    // The hex reader gives the red, green and blue of an eight-digit text at alpha 1.
    selectColor(Color::fromHex(digits.toStdString()));
  } else if (title == QLatin1String(kWhite)) {
    selectColor(Color::white());
  } else if (title == QLatin1String(kBlack)) {
    selectColor(Color::black());
  } else if (title == QLatin1String(kChoose)) {
    // The search window opens the colour dialog.
    vx::ActionRouter::sendAction("showColorPanel:", nullptr, this, isViewLoaded() ? view() : nullptr);
  }
}

void ToolbarViewController::didSelectFileType(QObject* sender) {
  const auto title = chosenTitle(sender);
  if (!title) return;
  const auto type = typeForTitle(*title);
  if (!type) vx::fatalError("Invalid selection " + title->toStdString());
  loadViewIfNeeded();
  requireOutlets();
  setPasteboardType(*type);
  saveIconPasteboardType(*type);
  fileTypePopUp->setCurrentIndex(fileTypePopUp->findText(*title, Qt::MatchExactly));
  exportOptions_ = exportOptions_->withType(*type);
  publishExportOptions();
}

void ToolbarViewController::didSelectSize(QObject* sender) {
  auto* popUp = qobject_cast<QComboBox*>(sender);
  if (popUp == nullptr) return;
  const int index = popUp->currentIndex();
  const auto& sizes = ExportSize::all();
  if (index < 0 || static_cast<std::size_t>(index) >= sizes.size()) return;
  const ExportSize& size = sizes[static_cast<std::size_t>(index)];
  setSettingInt(SettingKeys::iconExportSize, size.pixels);
  exportOptions_ = exportOptions_->withSize(static_cast<double>(size.pixels));
  publishExportOptions();
}

void ToolbarViewController::didPickZoomLevel(QObject* sender) {
  auto* popUp = qobject_cast<QComboBox*>(sender);
  if (popUp == nullptr) return;
  const int index = popUp->currentIndex();
  const auto& levels = ZoomLevel::all();
  if (index < 0 || static_cast<std::size_t>(index) >= levels.size()) return;
  if (delegate != nullptr) delegate->setZoomLevel(levels[static_cast<std::size_t>(index)]);
}

void registerToolbarInterface() {
  vx::InterfaceRegistry::shared().registerInterface("ToolbarViewController", buildToolbar);
}

}  // namespace Vexelworks
