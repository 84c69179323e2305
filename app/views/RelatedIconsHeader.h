// The header of the related-icons section: one line of text that the related-icons data source
// writes. Built from the interface "RelatedIconsHeader" (CellInterfaces.h).
#pragma once

#include "app/views/CollectionReusableView.h"

#include <QLabel>
#include <QPointer>

namespace Vexelworks {

class RelatedIconsHeader : public CollectionReusableView {
 public:
  static inline const std::string nibName = "RelatedIconsHeader";

  explicit RelatedIconsHeader(QWidget* parent = nullptr);

  // Outlet, set by the interface builder.
  QPointer<QLabel> headerField;
};

}  // namespace Vexelworks
