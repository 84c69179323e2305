// The search window's content area: it shows exactly one view at a time (the loading view, the
// icon grid, the completion list, the not-found view or the icon detail), filling the box.
#pragma once

#include <QPointer>
#include <QWidget>

namespace Vexelworks {

class ContentBox : public QWidget {
  Q_OBJECT

 public:
  explicit ContentBox(QWidget* parent = nullptr);

  // The view shown now, or nullptr.
  QWidget* contentView() const { return content_; }
  // Shows `view` in place of the current one (nullptr: an empty box). The view replaced is
  // hidden and let go of (no parent), so its controller keeps owning it; it is not deleted.
  void setContentView(QWidget* view);

 private:
  QPointer<QWidget> content_;
};

}  // namespace Vexelworks
