// A grid cell that only spins the progress ring: the related-icons section shows it while its
// icons load. Built from the interface "LoadingCell" (CellInterfaces.h).
#pragma once

#include "app/views/CBProgressView.h"
#include "app/views/CollectionReusableView.h"

#include <QPointer>

namespace Vexelworks {

class LoadingCell : public CollectionViewCell {
 public:
  static inline const std::string nibName = "LoadingCell";

  explicit LoadingCell(QWidget* parent = nullptr);

  // Outlet, set by the interface builder.
  QPointer<CBProgressView> progressView;

  // Starts the indeterminate spin each time the cell is shown (the ring hides when stopped).
  void viewWillDisplay() override;
};

}  // namespace Vexelworks
