#include "app/views/LoadingCell.h"

namespace Vexelworks {

LoadingCell::LoadingCell(QWidget* parent) : CollectionViewCell(parent) {}

void LoadingCell::viewWillDisplay() {
  CollectionViewCell::viewWillDisplay();
  if (progressView == nullptr) return;
  progressView->setHidesWhenStopped(true);
  progressView->startAnimating(true);
}

}  // namespace Vexelworks
