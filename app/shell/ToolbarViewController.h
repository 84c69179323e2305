// The export toolbar of the signed-in window: pop-ups for the zoom, the file type, the export
// size and the colour, and a swatch of the current colour. Every choice becomes new export
// options (or a zoom level) for the delegate, the search window; the file type and size are
// stored in the user settings, and the recent colours are kept there and listed in the colour
// pop-up, newest first. The colour itself is not stored: every start begins with black.
#pragma once

#include "app/qt/ViewController.h"
#include "app/service/Color.h"
#include "app/service/ExportSettings.h"
#include "app/service/ZoomLevel.h"

#include <QPixmap>
#include <QPointer>
#include <QString>

#include <memory>

class QObject;

namespace Vexelworks {

class ColorSwatch;
class PopUpButton;

// The search window's side of the toolbar: it reacts to each assignment.
class ToolbarViewControllerDelegate {
 public:
  virtual ~ToolbarViewControllerDelegate() = default;
  virtual void setExportOptions(std::shared_ptr<const ExportOptions> options) = 0;
  virtual void setZoomLevel(const ZoomLevel& level) = 0;
};

class ToolbarViewController : public vx::ViewController {
 public:
  // Colour pop-up titles of the interface's fixed items.
  static constexpr const char* kBlack = "Black";
  static constexpr const char* kWhite = "White";
  static constexpr const char* kChoose = "Choose...";
  // Recent-colour items start here, newest first.
  static constexpr int kFirstRecentIndex = 2;
  // With the four fixed items, a pop-up of this many items holds one recent colour too many.
  static constexpr int kFullColorPopUpCount = 10;
  static constexpr int kColorImageSide = 13;

  explicit ToolbarViewController(std::string nibName = "ToolbarViewController");

  // Outlets, set by the "ToolbarViewController" interface.
  QPointer<PopUpButton> zoomPopUp;
  QPointer<PopUpButton> fileTypePopUp;
  QPointer<PopUpButton> sizePopUp;
  QPointer<PopUpButton> colorPopUp;
  QPointer<ColorSwatch> colorSwatch;

  // Not owned: the search window owns this controller and outlives it.
  ToolbarViewControllerDelegate* delegate = nullptr;

  // The toolbar's copy of the export options; starts from the stored settings with black.
  const std::shared_ptr<const ExportOptions>& exportOptions() const { return exportOptions_; }

  PasteboardType pasteboardType() const { return pasteboardType_; }
  // The size pop-up is enabled exactly for auto and PNG.
  void setPasteboardType(PasteboardType type);

  // Actions: the pop-ups send them when the user chooses an item (and, for the file type, the
  // items of the "File Type" menu). A sender that is neither a pop-up nor a menu item is ignored
  // where the choice needs a title or an item.
  void didSelectColorOption(QObject* sender);
  void didSelectFileType(QObject* sender);
  void didSelectSize(QObject* sender);
  void didPickZoomLevel(QObject* sender);

  // A colour chosen anywhere (here, the colour dialog, the screen picker, pasted hex text).
  void selectColor(const Color& color);

  // The 13 × 13 picture of a recent-colour item: filled with the colour, outlined in the
  // placeholder grey when the colour is light, else in the colour itself.
  static QPixmap colorImage(const Color& color, qreal devicePixelRatio = 1);
  // "#" and the colour's hex text (six digits when opaque, eight with alpha first otherwise).
  static QString colorTitle(const Color& color);

 protected:
  void viewDidLoad() override;

 private:
  void setUpPopUps();
  void requireOutlets() const;
  void publishExportOptions();

  std::shared_ptr<const ExportOptions> exportOptions_;
  PasteboardType pasteboardType_;
};

// Registers the interface "ToolbarViewController" with the shared interface registry.
void registerToolbarInterface();

}  // namespace Vexelworks
