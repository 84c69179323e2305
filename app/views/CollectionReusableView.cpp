#include "app/views/CollectionReusableView.h"

namespace Vexelworks {

CollectionReusableView::CollectionReusableView(QWidget* parent) : QWidget(parent) {}

void CollectionReusableView::apply(const CollectionViewLayoutAttributes&, bool) {}

CollectionViewCell::CollectionViewCell(QWidget* parent) : CollectionReusableView(parent) {}

void CollectionViewCell::setSelected(bool selected, bool) { selected_ = selected; }

}  // namespace Vexelworks
