#include "app/shell/ContentBox.h"

#include <QVBoxLayout>

namespace Vexelworks {

ContentBox::ContentBox(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
}

void ContentBox::setContentView(QWidget* view) {
  if (view == content_) return;
  if (content_) {
    layout()->removeWidget(content_);
    content_->hide();
    content_->setParent(nullptr);
  }
  content_ = view;
  if (view != nullptr) {
    view->setParent(this);
    layout()->addWidget(view);
    view->show();
  }
}

}  // namespace Vexelworks
