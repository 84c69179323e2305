// A widget that shows a layer tree. Once layer-backed (setWantsLayer), the widget owns a backing
// layer sized to its bounds and paints the tree's presentation at the current media time, with a
// timer that repaints about 60 times a second while any animation is running. A widget that
// wants updateLayer gets it on the first paint after setNeedsDisplay.
#pragma once

#include "app/views/Animation/Layer.h"

#include <QImage>
#include <QTimer>
#include <QWidget>

#include <memory>

namespace Vexelworks {

class LayerView : public QWidget {
 public:
  explicit LayerView(QWidget* parent = nullptr);
  ~LayerView() override;

  bool wantsLayer() const { return wantsLayer_; }
  void setWantsLayer(bool wants);
  // The backing layer; nullptr until the view is layer-backed.
  Layer* layer() const { return layer_.get(); }

  // Asks for updateLayer (when wanted) and a repaint.
  void setNeedsDisplay();
  bool needsDisplay() const { return needsDisplay_; }

  virtual bool wantsUpdateLayer() const { return false; }
  virtual void updateLayer() {}

  // Gives the backing layer the view's current size and lays the tree out where needed (the
  // paint path does this itself; a hidden view gets no resize events to do it earlier).
  void layoutIfNeeded();

  // Paints the layer tree at `time` into an image of the view's size (tests, drag images).
  QImage renderToImage(double time, const QColor& background = Qt::transparent);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  // The view's own layout step (after the backing layer took the new bounds).
  virtual void layout() {}

 private:
  void prepareForPainting();
  void paintLayers(QPainter& painter, double time);
  void layerChanged();
  void tick();

  std::shared_ptr<Layer> layer_;
  bool wantsLayer_ = false;
  bool needsDisplay_ = true;
  QTimer timer_;
};

}  // namespace Vexelworks
