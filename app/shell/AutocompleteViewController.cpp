#include "app/shell/AutocompleteViewController.h"

#include "app/qt/InterfaceRegistry.h"
#include "app/shell/SearchBarViewController.h"
#include "platform/foundation/Error.h"

#include <QHeaderView>
#include <QTableWidget>
#include <QVBoxLayout>

namespace Vexelworks {
namespace {

QWidget* buildAutocompleteView(QObject* owner) {
  auto* view = new QWidget;
  auto* layout = new QVBoxLayout(view);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* table = new QTableWidget(0, 1, view);
  table->setObjectName(QStringLiteral("tableView"));
  table->horizontalHeader()->hide();
  table->horizontalHeader()->setStretchLastSection(true);
  table->verticalHeader()->hide();
  table->setShowGrid(false);
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->setSelectionMode(QAbstractItemView::SingleSelection);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  // The search field keeps the keyboard while the list is shown.
  table->setFocusPolicy(Qt::NoFocus);
  layout->addWidget(table);
  if (auto* controller = dynamic_cast<AutocompleteViewController*>(owner)) {
    controller->tableView = table;
    QObject::connect(table, &QTableWidget::clicked, controller, [controller, table] { controller->selectRow(table); });
  }
  return view;
}

}  // namespace

AutocompleteViewController::AutocompleteViewController(std::string nibName) : vx::ViewController(std::move(nibName)) {
  setActionHandler("moveUp:", [this](QObject* sender) { moveUp(sender); });
  setActionHandler("moveDown:", [this](QObject* sender) { moveDown(sender); });
  setActionHandler("selectRow:", [this](QObject* sender) { selectRow(sender); });
}

QTableWidget& AutocompleteViewController::table() const {
  const_cast<AutocompleteViewController*>(this)->loadViewIfNeeded();
  if (!tableView) vx::fatalError("The completion list's table is not connected");
  return *tableView;
}

void AutocompleteViewController::reloadData() {
  QTableWidget& t = table();
  t.clearSelection();
  t.setRowCount(numberOfRows());
  for (int row = 0; row < numberOfRows(); ++row) {
    auto* item = new QTableWidgetItem(QString::fromStdString(completions[static_cast<std::size_t>(row)]));
    t.setItem(row, 0, item);
  }
  t.setCurrentItem(nullptr);
  t.clearSelection();
}

int AutocompleteViewController::selectedRow() const {
  const auto rows = table().selectionModel()->selectedRows();
  if (rows.isEmpty()) return -1;
  int first = rows.front().row();
  for (const auto& index : rows) first = std::min(first, index.row());
  return first;
}

void AutocompleteViewController::selectOnly(int row) {
  QTableWidget& t = table();
  t.clearSelection();
  t.selectRow(row);
  t.scrollToItem(t.item(row, 0));
}

void AutocompleteViewController::moveUp(QObject*) {
  const int r = selectedRow();
  if (r <= 0) return;
  selectOnly(r - 1);
}

void AutocompleteViewController::moveDown(QObject*) {
  const int r = selectedRow();
  if (r + 1 >= numberOfRows()) return;
  selectOnly(r + 1);
}

void AutocompleteViewController::selectRow(QObject*) {
  const int row = selectedRow();
  if (row < 0 || row >= numberOfRows()) return;
  const std::string completion = completions[static_cast<std::size_t>(row)];
  if (delegate == nullptr) return;
  delegate->search(completion);
  if (SearchBarViewController* bar = delegate->searchBarViewController()) {
    bar->loadViewIfNeeded();
    // Set by code: this asks for no completions.
    if (bar->searchField) bar->searchField->setText(QString::fromStdString(completion));
  }
}

std::optional<std::string> AutocompleteViewController::selectedCompletion() const {
  const int row = selectedRow();
  if (row < 0 || row >= numberOfRows()) return std::nullopt;
  return completions[static_cast<std::size_t>(row)];
}

void registerAutocompleteInterface() {
  vx::InterfaceRegistry::shared().registerInterface("AutocompleteView", buildAutocompleteView);
}

}  // namespace Vexelworks
