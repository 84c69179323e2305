#include "app/views/IconCollectionFooterView.h"

namespace Vexelworks {

IconCollectionFooterView::IconCollectionFooterView(QWidget* parent) : CollectionReusableView(parent) {}

}  // namespace Vexelworks
