#include "app/views/NotFoundViewController.h"

namespace Vexelworks {

NotFoundViewController::NotFoundViewController() : vx::ViewController(nibName) {}

QString NotFoundViewController::notFoundText(const std::string& term) {
  // QString::fromUtf8 turns bytes that are not UTF-8 into replacement characters, so a bad
  // term shows as such instead of ending anything.
  return QStringLiteral("We didn\u2019t find any icons for \u201C") +
         QString::fromUtf8(term.data(), static_cast<qsizetype>(term.size())) + QStringLiteral("\u201D");
}

void NotFoundViewController::updateText() {
  loadViewIfNeeded();
  if (textField == nullptr) return;
  textField->setText(notFoundText(searchTerm));
}

}  // namespace Vexelworks
