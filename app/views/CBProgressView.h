// The circular progress ring: a track and an arc stroked along one circle that starts at the
// top centre and runs clockwise. With a progress of 0..1 the arc shows that fraction; a negative
// progress is the indeterminate mode, where a short arc spins (startAnimating) or is hidden or
// frozen (stopAnimating).
#pragma once

#include "app/qt/InterfaceRegistry.h"
#include "app/views/Animation/Layer.h"
#include "app/views/Animation/LayerView.h"

#include <QColor>

#include <functional>
#include <memory>
#include <optional>

namespace Vexelworks {

class CBProgressLayer : public Layer {
 public:
  CBProgressLayer();

  const std::shared_ptr<ShapeLayer>& foregroundLayer() const { return foregroundLayer_; }
  const std::shared_ptr<ShapeLayer>& backgroundLayer() const { return backgroundLayer_; }

  double lineWidth() const { return lineWidth_; }
  void setLineWidth(double width);
  double startPosition() const { return startPosition_; }
  void setStartPosition(double position);
  double progress() const { return progress_; }
  void setProgress(double progress) { setProgress(progress, false); }
  std::optional<QColor> progressTint() const { return progressTint_; }
  void setProgressTint(const std::optional<QColor>& tint);
  std::optional<QColor> indeterminateTint() const { return indeterminateTint_; }
  void setIndeterminateTint(const std::optional<QColor>& tint);
  // The track's stroke colour (none when it has none); setting none strokes it clear.
  std::optional<QColor> trackColor() const;
  void setTrackColor(const std::optional<QColor>& color) { setTrackColor(color, false); }
  void setTrackColor(const std::optional<QColor>& color, bool animated);

  void setLineWidth(double width, bool animated);
  void setProgress(double progress, bool animated);

  double indeterminateRotateDuration() const { return indeterminateRotateDuration_; }
  void setIndeterminateRotateDuration(double seconds);
  double indeterminateIndicatorSize() const { return indeterminateIndicatorSize_; }
  void setIndeterminateIndicatorSize(double size);

  // Spins the arc (progress becomes -1); with `animated` and hidesWhenStopped it grows in.
  void startAnimating(bool animated);
  // Stops spinning: hides the arc (hidesWhenStopped) or freezes it at its angle. `completion`
  // runs on the main queue once the stop has finished showing.
  void stopAnimating(bool animated, std::function<void()> completion = {});

  bool hidesWhenStopped = true;

  void layoutSublayers() override;

 private:
  void configureLayers();
  void updatePath(bool animated);
  void applyLineWidth(ShapeLayer& shape);

  std::shared_ptr<ShapeLayer> foregroundLayer_ = std::make_shared<ShapeLayer>();
  std::shared_ptr<ShapeLayer> backgroundLayer_ = std::make_shared<ShapeLayer>();
  double lineWidth_ = 2.0;
  double startPosition_ = 0;
  double progress_ = 0;
  std::optional<QColor> progressTint_ = QColor(0, 0, 255);
  std::optional<QColor> indeterminateTint_ = QColor(0, 0, 255);
  double indeterminateRotateDuration_ = 1.0;
  double indeterminateIndicatorSize_ = 0.5;
};

// A view hosting one ring that fills its bounds. Every property can be set by name
// (QObject::setProperty), which is how interface builders configure it; colours use an invalid
// QColor for none.
class CBProgressView : public LayerView, public vx::AwakeFromNib {
  Q_OBJECT
  Q_PROPERTY(double lineWidth READ lineWidth WRITE setLineWidth)
  Q_PROPERTY(QColor trackColor READ trackColorValue WRITE setTrackColorValue)
  Q_PROPERTY(double startPosition READ startPosition WRITE setStartPosition)
  Q_PROPERTY(double progress READ progress WRITE setProgress)
  Q_PROPERTY(QColor progressTint READ progressTintValue WRITE setProgressTintValue)
  Q_PROPERTY(QColor indeterminateTint READ indeterminateTintValue WRITE setIndeterminateTintValue)
  Q_PROPERTY(double indeterminateRotateDuration READ indeterminateRotateDuration WRITE setIndeterminateRotateDuration)
  Q_PROPERTY(double indeterminateIndicatorSize READ indeterminateIndicatorSize WRITE setIndeterminateIndicatorSize)
  Q_PROPERTY(bool hidesWhenStopped READ hidesWhenStopped WRITE setHidesWhenStopped)

 public:
  explicit CBProgressView(QWidget* parent = nullptr);

  CBProgressLayer& ringLayer() const { return *layer_; }

  double lineWidth() const { return layer_->lineWidth(); }
  void setLineWidth(double width) { layer_->setLineWidth(width); }
  std::optional<QColor> trackColor() const { return layer_->trackColor(); }
  void setTrackColor(const std::optional<QColor>& color) { layer_->setTrackColor(color); }
  double startPosition() const { return layer_->startPosition(); }
  void setStartPosition(double position) { layer_->setStartPosition(position); }
  double progress() const { return layer_->progress(); }
  void setProgress(double progress) { layer_->setProgress(progress, false); }
  std::optional<QColor> progressTint() const { return layer_->progressTint(); }
  void setProgressTint(const std::optional<QColor>& tint) { layer_->setProgressTint(tint); }
  std::optional<QColor> indeterminateTint() const { return layer_->indeterminateTint(); }
  void setIndeterminateTint(const std::optional<QColor>& tint) { layer_->setIndeterminateTint(tint); }
  double indeterminateRotateDuration() const { return layer_->indeterminateRotateDuration(); }
  void setIndeterminateRotateDuration(double seconds) { layer_->setIndeterminateRotateDuration(seconds); }
  double indeterminateIndicatorSize() const { return layer_->indeterminateIndicatorSize(); }
  void setIndeterminateIndicatorSize(double size) { layer_->setIndeterminateIndicatorSize(size); }
  bool hidesWhenStopped() const { return layer_->hidesWhenStopped; }
  void setHidesWhenStopped(bool hides) { layer_->hidesWhenStopped = hides; }

  void setLineWidth(double width, bool animated) { layer_->setLineWidth(width, animated); }
  void setTrackColor(const std::optional<QColor>& color, bool animated) { layer_->setTrackColor(color, animated); }
  void setProgress(double progress, bool animated) { layer_->setProgress(progress, animated); }
  void startAnimating(bool animated) { layer_->startAnimating(animated); }
  void stopAnimating(bool animated) { layer_->stopAnimating(animated); }

  // A ring woken with a negative progress starts spinning at once.
  void awakeFromNib() override;

 protected:
  void layout() override;

 private:
  QColor trackColorValue() const { return trackColor().value_or(QColor()); }
  void setTrackColorValue(const QColor& c) { setTrackColor(c.isValid() ? std::optional(c) : std::nullopt); }
  QColor progressTintValue() const { return progressTint().value_or(QColor()); }
  void setProgressTintValue(const QColor& c) { setProgressTint(c.isValid() ? std::optional(c) : std::nullopt); }
  QColor indeterminateTintValue() const { return indeterminateTint().value_or(QColor()); }
  void setIndeterminateTintValue(const QColor& c) {
    setIndeterminateTint(c.isValid() ? std::optional(c) : std::nullopt);
  }

  std::shared_ptr<CBProgressLayer> layer_;
};

}  // namespace Vexelworks
