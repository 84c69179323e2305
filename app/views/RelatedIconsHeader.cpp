#include "app/views/RelatedIconsHeader.h"

namespace Vexelworks {

RelatedIconsHeader::RelatedIconsHeader(QWidget* parent) : CollectionReusableView(parent) {}

}  // namespace Vexelworks
