// The grid's icon cell: one icon drawn black and tinted when drawn. Unselected, the icon is a
// black silhouette on a clear tile; selected, it is drawn in the export colour on a grey tile
// that contrasts with that colour (dark grey for a light colour, light grey for a dark one).
// Without artwork (not yet downloaded) it shows a faint placeholder circle.
#pragma once

#include "app/service/Color.h"
#include "app/service/Images/ImageStore.h"
#include "app/views/CollectionReusableView.h"

#include <QColor>
#include <QImage>

#include <optional>

namespace Vexelworks {

class IconCollectionViewCell : public CollectionViewCell {
 public:
  // The reuse identifier the grids register this class under.
  static inline const std::string reuseIdentifier = "IconCollectionViewCell";
  // Space between the cell's edge and the icon, on every side.
  static constexpr double kIconInset = 10;
  // Corner radius of the selection tile.
  static constexpr double kCornerRadius = 4;

  explicit IconCollectionViewCell(QWidget* parent = nullptr);

  // The export colour: the selected icon is drawn in it and the tile chosen against it.
  const Color& iconColor() const { return iconColor_; }
  void setIconColor(const Color& color);

  // The artwork, black, or none while it is not stored.
  const std::optional<IconImage>& image() const { return image_; }
  void setImage(std::optional<IconImage> image);

  // The tile behind the icon: none (clear) unless selected.
  std::optional<QColor> backgroundColor() const { return background_; }
  // Where the icon (or the placeholder) is drawn: the bounds inset by kIconInset.
  QRectF iconRect() const;

  // The tile for a selected cell with this export colour: brightness (2R + 3G + B) / 6 on the
  // 0-255 scale above 200 gives dark grey, otherwise light grey.
  static QColor selectionBackground(const Color& iconColor);

  // Draws the cell as paintEvent does, into any painter (an image in tests and benchmarks).
  void drawCell(QPainter& painter);

  void prepareForReuse() override;
  void setSelected(bool selected, bool animated) override;
  using CollectionViewCell::setSelected;
  void apply(const CollectionViewLayoutAttributes& attributes, bool animated) override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void updateBackground();
  // The artwork rendered at `pixels`, kept until the image or the size changes.
  const QImage& artwork(int pixels);

  Color iconColor_ = Color::black();
  std::optional<IconImage> image_;
  std::optional<QColor> background_;
  QImage artwork_;
};

}  // namespace Vexelworks
