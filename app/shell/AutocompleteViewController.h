// The completion list: the suggestions for the text typed so far, in a one-column table shown
// in place of the icon grid. The search bar moves its selection with the arrow keys; clicking a
// row searches for that suggestion.
#pragma once

#include "app/qt/ViewController.h"

#include <QPointer>

#include <optional>
#include <string>
#include <vector>

class QTableWidget;

namespace Vexelworks {

class SearchBarViewController;

// What the completion list needs of the search window (which implements it).
class AutocompleteDelegate {
 public:
  virtual ~AutocompleteDelegate() = default;
  virtual void search(const std::string& text) = 0;
  virtual SearchBarViewController* searchBarViewController() = 0;
};

class AutocompleteViewController : public vx::ViewController {
 public:
  explicit AutocompleteViewController(std::string nibName = "AutocompleteView");

  // The rows of the table, in order. Call reloadData after changing them.
  std::vector<std::string> completions;
  // Not owned: the search window owns this controller and outlives it.
  AutocompleteDelegate* delegate = nullptr;
  // Outlet, set by the "AutocompleteView" interface.
  QPointer<QTableWidget> tableView;

  // Shows `completions` in the table; no row stays selected.
  void reloadData();
  int numberOfRows() const { return static_cast<int>(completions.size()); }

  // Actions. Up on the first row or with no selection does nothing; Down selects the first row
  // when none is selected and stays on the last.
  void moveUp(QObject* sender);
  void moveDown(QObject* sender);
  // The table's action (a click on a row): searches for that row's completion and puts it in
  // the search field. A row outside the completions does nothing.
  void selectRow(QObject* sender);

  // The completion of the selected row; none when the list is empty or nothing is selected.
  std::optional<std::string> selectedCompletion() const;
  // The selected row, -1 when none.
  int selectedRow() const;

 private:
  void selectOnly(int row);
  QTableWidget& table() const;
};

// Registers the interface "AutocompleteView" with the shared interface registry.
void registerAutocompleteInterface();

}  // namespace Vexelworks
