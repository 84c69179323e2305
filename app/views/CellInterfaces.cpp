#include "app/views/CellInterfaces.h"

#include "app/qt/InterfaceRegistry.h"
#include "app/views/IconCollectionFooterView.h"
#include "app/views/LoadingCell.h"
#include "app/views/LoadingViewController.h"
#include "app/views/NotFoundViewController.h"
#include "app/views/RelatedIconsHeader.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>

namespace Vexelworks {

namespace {

// A layout that keeps `child` at its fixed size in the middle of `parent`.
void centre(QWidget* parent, QWidget* child) {
  auto* layout = new QGridLayout(parent);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(child, 0, 0, Qt::AlignCenter);
}

QLabel* plainLabel(QWidget* parent) {
  auto* label = new QLabel(parent);
  // Search terms and names come from outside: never read them as markup.
  label->setTextFormat(Qt::PlainText);
  return label;
}

}  // namespace

void registerCellInterfaces() {
  auto& registry = vx::InterfaceRegistry::shared();

  registry.registerInterface(IconCollectionFooterView::nibName, [](QObject*) -> QWidget* {
    auto* footer = new IconCollectionFooterView;
    auto* dots = new DotProgressIndicator(footer);
    dots->setFixedSize(60, 20);
    centre(footer, dots);
    footer->progressIndicator = dots;
    return footer;
  });

  registry.registerInterface(RelatedIconsHeader::nibName, [](QObject*) -> QWidget* {
    auto* header = new RelatedIconsHeader;
    auto* field = plainLabel(header);
    QFont font = field->font();
    font.setBold(true);
    field->setFont(font);
    auto* layout = new QHBoxLayout(header);
    layout->setContentsMargins(10, 0, 10, 0);
    layout->addWidget(field, 1, Qt::AlignVCenter | Qt::AlignLeft);
    header->headerField = field;
    return header;
  });

  registry.registerInterface(LoadingCell::nibName, [](QObject*) -> QWidget* {
    auto* cell = new LoadingCell;
    auto* ring = new CBProgressView(cell);
    ring->setFixedSize(32, 32);
    centre(cell, ring);
    cell->progressView = ring;
    return cell;
  });

  registry.registerInterface(LoadingViewController::nibName, [](QObject* owner) -> QWidget* {
    auto* view = new QWidget;
    auto* ring = new CBProgressView(view);
    ring->setFixedSize(48, 48);
    centre(view, ring);
    if (auto* controller = dynamic_cast<LoadingViewController*>(owner)) controller->progressView = ring;
    return view;
  });

  registry.registerInterface(NotFoundViewController::nibName, [](QObject* owner) -> QWidget* {
    auto* view = new QWidget;
    auto* field = plainLabel(view);
    field->setAlignment(Qt::AlignCenter);
    field->setWordWrap(true);
    QFont font = field->font();
    font.setPixelSize(18);
    field->setFont(font);
    centre(view, field);
    if (auto* controller = dynamic_cast<NotFoundViewController*>(owner)) controller->textField = field;
    return view;
  });
}

}  // namespace Vexelworks
