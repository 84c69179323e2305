// The view the search window shows when a search found nothing: one line naming the search
// term. Its view comes from the interface "NotFoundView" (CellInterfaces.h).
#pragma once

#include "app/qt/ViewController.h"

#include <QLabel>
#include <QPointer>

#include <string>

namespace Vexelworks {

class NotFoundViewController : public vx::ViewController {
 public:
  static inline const std::string nibName = "NotFoundView";

  NotFoundViewController();

  // Outlet, set by the interface builder.
  QPointer<QLabel> textField;
  // The text searched for; the search window sets it, then calls updateText().
  std::string searchTerm;

  // Writes "We didn’t find any icons for “<term>”" (typographic apostrophe and quotes) into
  // the text field; the term is shown as plain text, never as markup.
  void updateText();
  // The line updateText() writes for a term.
  static QString notFoundText(const std::string& term);
};

}  // namespace Vexelworks
