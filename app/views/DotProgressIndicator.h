// A row of dots whose opacity pulses one after the other: one animated dot repeated by a
// replicator layer. The view does not make itself layer-backed; whoever creates it calls
// setWantsLayer(true), and every display after setNeedsDisplay rebuilds the dots and starts the
// pulse from the beginning.
#pragma once

#include "app/views/Animation/Layer.h"
#include "app/views/Animation/LayerView.h"

#include <QColor>

#include <memory>

namespace Vexelworks {

class DotProgressIndicator : public LayerView {
  Q_OBJECT
  Q_PROPERTY(QColor dotColor READ dotColor WRITE setDotColor)
  Q_PROPERTY(double dotSize READ dotSize WRITE setDotSize)
  Q_PROPERTY(double dotMargin READ dotMargin WRITE setDotMargin)
  Q_PROPERTY(qint64 dotCount READ dotCount WRITE setDotCount)
  Q_PROPERTY(float minOpacity READ minOpacity WRITE setMinOpacity)
  Q_PROPERTY(float maxOpacity READ maxOpacity WRITE setMaxOpacity)
  Q_PROPERTY(double duration READ duration WRITE setDuration)

 public:
  explicit DotProgressIndicator(QWidget* parent = nullptr);

  QColor dotColor() const { return dotColor_; }
  void setDotColor(const QColor& color) { dotColor_ = color; }
  double dotSize() const { return dotSize_; }
  void setDotSize(double size) { dotSize_ = size; }
  double dotMargin() const { return dotMargin_; }
  void setDotMargin(double margin) { dotMargin_ = margin; }
  qint64 dotCount() const { return dotCount_; }
  void setDotCount(qint64 count) { dotCount_ = count; }
  float minOpacity() const { return minOpacity_; }
  void setMinOpacity(float opacity) { minOpacity_ = opacity; }
  float maxOpacity() const { return maxOpacity_; }
  void setMaxOpacity(float opacity) { maxOpacity_ = opacity; }
  double duration() const { return duration_; }
  void setDuration(double seconds) { duration_ = seconds; }

  const std::shared_ptr<ReplicatorLayer>& replicatorLayer() const { return replicatorLayer_; }

  bool wantsUpdateLayer() const override { return true; }
  void updateLayer() override { rebuildLayers(); }
  void rebuildLayers();

 private:
  QColor dotColor_ = Qt::black;
  double dotSize_ = 8.0;
  double dotMargin_ = 8.0;
  qint64 dotCount_ = 3;
  float minOpacity_ = 0.1f;
  float maxOpacity_ = 0.9f;
  double duration_ = 3.0;
  std::shared_ptr<ReplicatorLayer> replicatorLayer_;
};

}  // namespace Vexelworks
