// Layer trees that the progress indicators draw with: a layer has a frame in its superlayer
// (y grows upwards, origin at the bottom left, as the views' own layers), model values by key
// path, animations by key, and sublayers drawn above it. Changing a value of a layer below a
// shown root animates implicitly unless the current transaction disables actions.
#pragma once

#include "app/views/Animation/Animation.h"

#include <QPainter>
#include <QPointF>
#include <QRectF>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Vexelworks {

namespace KeyPath {
inline const std::string opacity = "opacity";
inline const std::string backgroundColor = "backgroundColor";
inline const std::string rotationZ = "transform.rotation.z";
inline const std::string path = "path";
inline const std::string strokeStart = "strokeStart";
inline const std::string strokeEnd = "strokeEnd";
inline const std::string strokeColor = "strokeColor";
inline const std::string fillColor = "fillColor";
inline const std::string lineWidth = "lineWidth";
}  // namespace KeyPath

class Layer : public std::enable_shared_from_this<Layer> {
 public:
  Layer() = default;
  virtual ~Layer();
  Layer(const Layer&) = delete;
  Layer& operator=(const Layer&) = delete;

  // --- tree ---
  void addSublayer(const std::shared_ptr<Layer>& layer);
  void removeFromSuperlayer();
  const std::vector<std::shared_ptr<Layer>>& sublayers() const { return sublayers_; }
  Layer* superlayer() const { return superlayer_; }

  // --- geometry ---
  QRectF frame() const { return frame_; }
  // A new size marks the layer as needing layout.
  void setFrame(const QRectF& frame);
  QRectF bounds() const { return QRectF(QPointF(0, 0), frame_.size()); }

  // --- values ---
  // The model value (the default for the key path when never set).
  AnimationValue value(const std::string& keyPath) const;
  // Sets the model value; animates from the current presentation value when the layer sits
  // below a shown root (one with a change handler) and actions are enabled.
  void setValue(const std::string& keyPath, const AnimationValue& value);
  // The value shown at `time`: the model value run through the animations in the order added.
  AnimationValue presentationValue(const std::string& keyPath, double time) const;
  AnimationValue presentationValue(const std::string& keyPath) const { return presentationValue(keyPath, mediaTime()); }

  double opacity() const { return numberOr(value(KeyPath::opacity), 1); }
  void setOpacity(double opacity) { setValue(KeyPath::opacity, opacity); }
  void setBackgroundColor(const std::optional<QColor>& color);

  // --- animations ---
  // Adds a copy started now under `key`, replacing any animation of that key.
  void addAnimation(const Animation& animation, const std::string& key);
  void removeAnimation(const std::string& key);
  void removeAllAnimations();
  // The animation under `key` unless it ended and was removed on completion (at `time`).
  const Animation* animation(const std::string& key, double time) const;
  const Animation* animation(const std::string& key) const { return animation(key, mediaTime()); }
  std::vector<std::string> animationKeys(double time) const;
  std::vector<std::string> animationKeys() const { return animationKeys(mediaTime()); }
  // Whether this layer or one below has an animation still changing things at `time`.
  bool hasRunningAnimations(double time) const;

  // --- layout and drawing ---
  void setNeedsLayout() { needsLayout_ = true; }
  // Runs layoutSublayers where needed, from this layer down.
  void layoutIfNeeded();
  virtual void layoutSublayers() {}
  // Draws this layer and its sublayers at `time` into `painter`, whose coordinates are those of
  // the superlayer (y upwards).
  virtual void render(QPainter& painter, double time) const;
  // Called (on the tree's root) whenever something shown may have changed.
  void setChangeHandler(std::function<void()> handler) { changeHandler_ = std::move(handler); }

 protected:
  virtual AnimationValue defaultValue(const std::string& keyPath) const;
  // Draws the layer's own content inside bounds().
  virtual void drawContent(QPainter&, double) const {}
  void renderSublayers(QPainter& painter, double time) const;
  void notifyChanged();

 private:
  Layer* superlayer_ = nullptr;
  std::vector<std::shared_ptr<Layer>> sublayers_;
  QRectF frame_;
  bool needsLayout_ = true;
  std::map<std::string, AnimationValue> model_;
  std::vector<std::pair<std::string, std::unique_ptr<Animation>>> animations_;
  std::function<void()> changeHandler_;
  std::uint64_t nextAnonymousKey_ = 0;
};

enum class LineCap { butt, round, square };

class ShapeLayer : public Layer {
 public:
  QPainterPath path() const;
  void setPath(const QPainterPath& path) { setValue(KeyPath::path, path); }
  double strokeStart() const { return numberOr(value(KeyPath::strokeStart), 0); }
  void setStrokeStart(double v) { setValue(KeyPath::strokeStart, v); }
  double strokeEnd() const { return numberOr(value(KeyPath::strokeEnd), 1); }
  void setStrokeEnd(double v) { setValue(KeyPath::strokeEnd, v); }
  double lineWidth() const { return numberOr(value(KeyPath::lineWidth), 1); }
  void setLineWidth(double v) { setValue(KeyPath::lineWidth, v); }
  std::optional<QColor> strokeColor() const;
  void setStrokeColor(const std::optional<QColor>& color);
  std::optional<QColor> fillColor() const;
  void setFillColor(const std::optional<QColor>& color);
  LineCap lineCap() const { return lineCap_; }
  void setLineCap(LineCap cap) { lineCap_ = cap; }

  // Path helpers of the indicators: set the path, animated from the presentation path when
  // asked (key "animatePath"); always animated with a duration; one straight segment, not
  // animated.
  void setPath(const QPainterPath& path, bool animated);
  void setPathAnimated(const QPainterPath& path, double duration);
  void setPathFromPoint(const QPointF& from, const QPointF& to);

  // The part of `path` between the fractions `start` and `end` of its length, as a polyline.
  static QPainterPath strokedPart(const QPainterPath& path, double start, double end);

 protected:
  AnimationValue defaultValue(const std::string& keyPath) const override;
  void drawContent(QPainter& painter, double time) const override;

 private:
  void addPathAnimation(const QPainterPath& path, double duration);
  LineCap lineCap_ = LineCap::butt;
};

// Draws its sublayers `instanceCount` times, each copy moved by the instance offset from the
// one before and its animations running `instanceDelay` seconds later.
class ReplicatorLayer : public Layer {
 public:
  int instanceCount = 1;
  QPointF instanceOffset;  // translation between neighbouring copies
  double instanceDelay = 0;

  void render(QPainter& painter, double time) const override;
};

// A path along the tangent arc of radius `radius` from the current point of `path` through the
// corner `corner` towards `towards` (a straight piece to the arc's start, then the arc).
void addTangentArc(QPainterPath& path, const QPointF& corner, const QPointF& towards, double radius);

}  // namespace Vexelworks
