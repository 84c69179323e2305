// The icon grid's footer: the dot indicator shown below the icons while more pages may come.
// Built from the interface "IconCollectionFooterView" (CellInterfaces.h); the grid's data
// source configures the indicator.
#pragma once

#include "app/views/CollectionReusableView.h"
#include "app/views/DotProgressIndicator.h"

#include <QPointer>

namespace Vexelworks {

class IconCollectionFooterView : public CollectionReusableView {
 public:
  static inline const std::string nibName = "IconCollectionFooterView";

  explicit IconCollectionFooterView(QWidget* parent = nullptr);

  // Outlet, set by the interface builder.
  QPointer<DotProgressIndicator> progressIndicator;
};

}  // namespace Vexelworks
