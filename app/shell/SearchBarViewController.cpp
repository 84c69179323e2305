#include "app/shell/SearchBarViewController.h"

#include "app/qt/ActionRouter.h"
#include "app/qt/InterfaceRegistry.h"
#include "app/service/Action.h"
#include "app/service/Palette.h"
#include "app/shell/AutocompleteViewController.h"
#include "app/shell/ContentBox.h"
#include "app/views/CBProgressView.h"
#include "platform/foundation/Error.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QToolButton>

namespace Vexelworks {
namespace {

// The magnifier glass beside the field, drawn for the screen's pixel ratio.
QPixmap magnifierPixmap(qreal ratio) {
  const int side = 16;
  QPixmap pixmap(QSize(side, side) * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(0x6d, 0x6d, 0x6d), 2, Qt::SolidLine, Qt::RoundCap));
  painter.drawEllipse(QRectF(2, 2, 9, 9));
  painter.drawLine(QPointF(10, 10), QPointF(14, 14));
  return pixmap;
}

QWidget* buildSearchBar(QObject* owner) {
  auto* view = new QWidget;
  auto* layout = new QHBoxLayout(view);
  layout->setContentsMargins(8, 6, 8, 6);
  layout->setSpacing(6);

  auto* back = new QToolButton(view);
  back->setObjectName(QStringLiteral("backButton"));
  back->setText(QStringLiteral("‹"));
  back->setAutoRaise(true);
  QObject::connect(back, &QToolButton::clicked, back,
                   [back] { vx::ActionRouter::sendAction("closeIconDetail:", nullptr, back, back); });

  // The magnifier image lies on the search button: the image is what shows, the button takes
  // the clicks.
  auto* searchButton = new QToolButton(view);
  searchButton->setObjectName(QStringLiteral("searchButton"));
  searchButton->setAutoRaise(true);
  searchButton->setFixedSize(22, 22);
  auto* searchImage = new QLabel(searchButton);
  searchImage->setObjectName(QStringLiteral("searchImage"));
  searchImage->setPixmap(magnifierPixmap(view->devicePixelRatioF()));
  searchImage->setAlignment(Qt::AlignCenter);
  searchImage->setGeometry(0, 0, 22, 22);
  searchImage->setAttribute(Qt::WA_TransparentForMouseEvents);
  auto* field = new SearchField(view);
  field->setObjectName(QStringLiteral("searchField"));
  field->setFrame(false);
  field->setMinimumWidth(240);
  auto* progress = new CBProgressView(view);
  progress->setObjectName(QStringLiteral("searchProgress"));
  progress->setFixedSize(18, 18);
  progress->setHidesWhenStopped(true);
  auto* cancel = new QToolButton(view);
  cancel->setObjectName(QStringLiteral("cancelSearchButton"));
  cancel->setText(QStringLiteral("×"));
  cancel->setAutoRaise(true);

  layout->addWidget(back);
  layout->addWidget(searchButton);
  layout->addWidget(field, 1);
  layout->addWidget(progress);
  layout->addWidget(cancel);

  if (auto* controller = dynamic_cast<SearchBarViewController*>(owner)) {
    controller->backButton = back;
    controller->searchButton = searchButton;
    controller->searchImage = searchImage;
    controller->searchProgress = progress;
    controller->searchField = field;
    controller->cancelSearchButton = cancel;
    QObject::connect(searchButton, &QToolButton::clicked, controller,
                     [controller, searchButton] { controller->focusSearchField(searchButton); });
    QObject::connect(cancel, &QToolButton::clicked, controller,
                     [controller, cancel] { controller->cancelSearch(cancel); });
  }
  return view;
}

}  // namespace

// --- SearchField ---

SearchField::SearchField(QWidget* parent) : QLineEdit(parent) {}

std::string SearchField::commandForKey(int key) {
  switch (key) {
    case Qt::Key_Up:
      return "moveUp:";
    case Qt::Key_Down:
      return "moveDown:";
    case Qt::Key_Escape:
      return "cancelOperation:";
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return "insertNewline:";
    default:
      return {};
  }
}

void SearchField::keyPressEvent(QKeyEvent* event) {
  const std::string command = commandForKey(event->key());
  // With Shift or Control these keys keep their line-edit meaning (selection, history).
  const bool plain = (event->modifiers() & ~(Qt::KeypadModifier)) == Qt::NoModifier;
  if (!command.empty() && plain && commandHandler_ && commandHandler_(command)) {
    event->accept();
    return;
  }
  QLineEdit::keyPressEvent(event);
}

// --- SearchBarViewController ---

SearchBarViewController::SearchBarViewController(std::string nibName) : vx::ViewController(std::move(nibName)) {
  setActionHandler("focusSearchField:", [this](QObject* sender) { focusSearchField(sender); });
  setActionHandler("cancelSearch:", [this](QObject* sender) { cancelSearch(sender); });
}

void SearchBarViewController::viewDidLoad() {
  vx::ViewController::viewDidLoad();
  if (!backButton || !searchField || !searchButton || !searchImage) {
    vx::fatalError("The search bar's outlets are not connected");
  }
  backButton->setEnabled(false);
  backButton->hide();
  searchField->setCommandHandler([this](const std::string& selector) { return doCommandBySelector(selector); });
  // textEdited, unlike textChanged, fires for the user's edits only: text set by code (a
  // chosen completion, the cancel button) never asks for completions.
  QObject::connect(searchField, &QLineEdit::textEdited, this,
                   [this](const QString& text) { controlTextDidChange(text); });
  searchField->setPlaceholderText(QString::fromUtf8(kPlaceholder));
  QPalette palette = searchField->palette();
  const RGBA grey = Palette::placeholderTextGrey.rgba();
  palette.setColor(QPalette::PlaceholderText,
                   QColor::fromRgbF(static_cast<float>(grey.red), static_cast<float>(grey.green),
                                    static_cast<float>(grey.blue), static_cast<float>(grey.alpha)));
  searchField->setPalette(palette);
}

void SearchBarViewController::setCanGoBack(bool canGoBack) {
  canGoBack_ = canGoBack;
  updateButtons();
}

void SearchBarViewController::updateButtons() {
  loadViewIfNeeded();
  if (!backButton || !searchButton || !searchImage) {
    vx::fatalError("The search bar's outlets are not connected");
  }
  backButton->setEnabled(canGoBack_);
  backButton->setHidden(!canGoBack_);
  searchButton->setHidden(canGoBack_);
  searchButton->setEnabled(!canGoBack_);
  searchImage->setHidden(canGoBack_);
}

void SearchBarViewController::focusSearchField(QObject*) {
  if (!isViewLoaded() || !searchField) return;
  // A window exists once the view's top-level widget was shown.
  if (view()->window()->windowHandle() == nullptr) return;
  searchField->setFocus(Qt::OtherFocusReason);
}

void SearchBarViewController::cancelSearch(QObject*) {
  loadViewIfNeeded();
  if (!searchField) vx::fatalError("The search bar's outlets are not connected");
  searchField->clear();
  lastCompletionQuery_.clear();
  if (delegate == nullptr) return;
  delegate->showIconGrid();
  delegate->showFreeIcons(nullptr);
}

void SearchBarViewController::controlTextDidChange(const QString& text) {
  if (delegate == nullptr) return;
  if (text.isEmpty()) {
    lastCompletionQuery_.clear();
    delegate->showIconGrid();
    if (auto* list = delegate->autocompleteViewController()) {
      list->completions.clear();
      list->reloadData();
    }
    return;
  }
  if (ContentBox* box = delegate->box()) {
    auto* list = delegate->autocompleteViewController();
    box->setContentView(list != nullptr ? list->view() : nullptr);
  }
  lastCompletionQuery_ = text.toStdString();
  dispatch(Actions::LoadCompletions{lastCompletionQuery_});
}

bool SearchBarViewController::doCommandBySelector(const std::string& selector) {
  if (selector == "moveUp:" || selector == "moveDown:") {
    if (delegate != nullptr) {
      if (auto* list = delegate->autocompleteViewController()) {
        list->performAction(selector, nullptr);
      }
    }
  } else if (selector == "cancelOperation:") {
    if (delegate != nullptr) delegate->showIconGrid();
  } else if (selector == "insertNewline:") {
    if (delegate != nullptr) delegate->searchFromField();
  }
  // Other commands never reach here: the field keeps those keys and performs them itself.
  return true;
}

void registerSearchBarInterface() {
  vx::InterfaceRegistry::shared().registerInterface("SearchBarViewController", buildSearchBar);
}

}  // namespace Vexelworks
