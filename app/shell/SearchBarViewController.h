// The search bar at the top of the signed-in window: the search field with its search button
// and magnifier, the back and cancel buttons and a progress ring. The controller turns the
// user's typing into completion requests and the field's keys into commands: Return searches,
// Escape returns to the grid, Up and Down walk the completion list.
#pragma once

#include "app/qt/ViewController.h"

#include <QLineEdit>
#include <QPointer>

#include <functional>
#include <string>

class QAbstractButton;
class QLabel;

namespace Vexelworks {

class AutocompleteViewController;
class CBProgressView;
class ContentBox;
class SearchBarViewController;

// What the search bar needs of the search window (which implements it).
class SearchBarViewControllerDelegate {
 public:
  virtual ~SearchBarViewControllerDelegate() = default;
  // Shows the icon grid again in place of the completion list.
  virtual void showIconGrid() = 0;
  // The Return search: the selected completion, else the field's text.
  virtual void searchFromField() = 0;
  // Searches for `text`.
  virtual void search(const std::string& text) = 0;
  // The starter set of free icons (the "showFreeIcons:" action).
  virtual void showFreeIcons(QObject* sender) = 0;
  // The content area, the completion list and the search bar; nullptr when not there.
  virtual ContentBox* box() = 0;
  virtual AutocompleteViewController* autocompleteViewController() = 0;
  virtual SearchBarViewController* searchBarViewController() = 0;
};

// The search field. Up, Down, Escape and Return (or Enter) become the commands "moveUp:",
// "moveDown:", "cancelOperation:" and "insertNewline:", handed to the command handler; every
// other key behaves as in a plain line edit.
class SearchField : public QLineEdit {
  Q_OBJECT

 public:
  using CommandHandler = std::function<bool(const std::string& selector)>;

  explicit SearchField(QWidget* parent = nullptr);

  void setCommandHandler(CommandHandler handler) { commandHandler_ = std::move(handler); }
  // The command a key stands for, or an empty text for keys the field keeps.
  static std::string commandForKey(int key);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  CommandHandler commandHandler_;
};

class SearchBarViewController : public vx::ViewController {
 public:
  explicit SearchBarViewController(std::string nibName = "SearchBarViewController");

  // Outlets, set by the "SearchBarViewController" interface.
  QPointer<QAbstractButton> backButton;
  QPointer<QAbstractButton> searchButton;
  QPointer<QLabel> searchImage;
  QPointer<CBProgressView> searchProgress;
  QPointer<SearchField> searchField;
  QPointer<QAbstractButton> cancelSearchButton;

  // Not owned: the search window owns this controller and outlives it.
  SearchBarViewControllerDelegate* delegate = nullptr;

  bool canGoBack() const { return canGoBack_; }
  // Every assignment updates the buttons.
  void setCanGoBack(bool canGoBack);
  // Back button enabled and shown exactly when canGoBack; search button and magnifier hidden then.
  void updateButtons();

  // Actions.
  void focusSearchField(QObject* sender);
  void cancelSearch(QObject* sender);

  // The user changed the field's text (never called for text set by code): an empty text
  // brings the grid back and empties the list; any other shows the completion list and asks
  // every action handler for completions of it.
  void controlTextDidChange(const QString& text);
  // A command of the field. Always true: the field never performs it a second time.
  bool doCommandBySelector(const std::string& selector);

  // The text the newest completion request was made for; empty once the field was emptied.
  // Replies to any other text are stale.
  const std::string& lastCompletionQuery() const { return lastCompletionQuery_; }

  // The placeholder of the field.
  static constexpr const char* kPlaceholder = "Search for anything";

 protected:
  void viewDidLoad() override;

 private:
  bool canGoBack_ = false;
  std::string lastCompletionQuery_;
};

// Registers the interface "SearchBarViewController" with the shared interface registry.
void registerSearchBarInterface();

}  // namespace Vexelworks
