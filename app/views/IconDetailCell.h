// The two cells of the icon detail view: IconDetailCell shows the chosen icon large, in the
// export colour, and IconInfoCell its name and creator with a button that opens its web page.
// Both are built from the interfaces "IconDetailCell" and "IconInfoCell"
// (IconDetailInterfaces.h), which connect the outlets below.
#pragma once

#include "app/qt/InterfaceRegistry.h"
#include "app/service/Color.h"
#include "app/service/Images/ImageStore.h"
#include "app/views/CollectionReusableView.h"

#include <QColor>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <optional>
#include <string>

namespace Vexelworks {

// Shows one icon image as large as fits, centred. The artwork is vector data, so it is drawn
// for the widget's real pixel size (its size in points times the screen's device pixel ratio)
// and stays sharp on a high-density screen. Without an image it draws nothing: the detail view's
// state for artwork not loaded yet, or artwork that failed to download or render.
class IconImageView : public QWidget {
 public:
  explicit IconImageView(QWidget* parent = nullptr);

  const std::optional<IconImage>& image() const { return image_; }
  void setImage(std::optional<IconImage> image);

  // Side in points of the square the artwork fills: the shorter of width and height.
  int side() const;
  // The artwork as drawn now: side() × devicePixelRatioF() pixels on a side, carrying that
  // ratio. Rendered on first use and kept until the image, the size or the ratio changes. A null
  // image when there is no artwork or it cannot be drawn.
  QImage renderedImage();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::optional<IconImage> image_;
  QImage rendered_;
  int renderedPixels_ = 0;
  double renderedRatio_ = 0;
};

class IconDetailCell : public CollectionViewCell, public vx::AwakeFromNib {
 public:
  static inline const std::string nibName = "IconDetailCell";

  explicit IconDetailCell(QWidget* parent = nullptr);

  // The export colour the large icon is drawn in; decides the cell's background.
  const Color& iconColor() const { return iconColor_; }
  void setIconColor(const Color& color) { iconColor_ = color; }

  // Outlets, set by the interface builder.
  QPointer<QWidget> imageContainer;
  QPointer<IconImageView> imageView;

  // The background behind the icon: dark grey when the export colour is light (so a white icon
  // shows), none (clear) otherwise.
  std::optional<QColor> backgroundColor() const { return background_; }
  // Applies iconColor: brightness (2R + 3G + B) / 6 on the 0-255 scale above 200 gives the dark
  // grey background; the image container stays fully opaque.
  void updateCell();

  void awakeFromNib() override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void layoutImage();

  Color iconColor_ = Color::black();
  std::optional<QColor> background_;
};

class IconInfoCell : public CollectionViewCell, public vx::AwakeFromNib {
 public:
  static inline const std::string nibName = "IconInfoCell";
  // The action the open button sends along the responder chain.
  static inline const std::string openAction = "openIconInBrowser:";

  explicit IconInfoCell(QWidget* parent = nullptr);

  // Outlets, set by the interface builder.
  QPointer<QLabel> nameField;
  QPointer<QLabel> creatorField;
  QPointer<QPushButton> openButton;
  QPointer<QPushButton> downloadButton;

  // The open button shows; the download button never does.
  void updateButtons();

  void awakeFromNib() override;
};

}  // namespace Vexelworks
