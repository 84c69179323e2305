#include "app/shell/ConnectViewController.h"

#include "app/qt/ActionRouter.h"
#include "app/qt/InterfaceRegistry.h"
#include "app/service/Helpers.h"
#include "app/shell/AppIdentity.h"
#include "app/views/CBProgressView.h"
#include "platform/foundation/Error.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

namespace Vexelworks {
namespace {

constexpr const char* kFirstTimeAsset = "VX-final-step";
constexpr const char* kReturningAsset = "VX-enter-through-door";

// The two pictures of the prompt, drawn at the device pixel ratio of the screen they go to.
QPixmap connectAsset(const char* name, qreal ratio) {
  const int side = 96;
  QPixmap pixmap(QSize(side, side) * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const QColor accent(0x33, 0x99, 0xff);
  painter.setPen(QPen(accent, 4));
  if (std::string_view(name) == kFirstTimeAsset) {
    // Steps leading up to a flag: the last step before using the app.
    QPainterPath steps;
    steps.moveTo(12, 84);
    steps.lineTo(12, 64);
    steps.lineTo(36, 64);
    steps.lineTo(36, 44);
    steps.lineTo(60, 44);
    steps.lineTo(60, 24);
    steps.lineTo(84, 24);
    steps.lineTo(84, 84);
    painter.drawPath(steps);
    painter.drawLine(72, 24, 72, 6);
    painter.fillRect(QRectF(72, 6, 14, 9), accent);
  } else {
    // An open door.
    painter.drawRect(QRectF(24, 10, 48, 76));
    QPainterPath leaf;
    leaf.moveTo(24, 10);
    leaf.lineTo(50, 18);
    leaf.lineTo(50, 80);
    leaf.lineTo(24, 86);
    painter.setBrush(accent.lighter(160));
    painter.drawPath(leaf);
  }
  return pixmap;
}

QWidget* buildConnectView(QObject* owner) {
  auto* view = new QWidget;
  auto* layout = new QVBoxLayout(view);
  layout->setAlignment(Qt::AlignCenter);
  layout->setSpacing(12);
  auto* image = new QLabel(view);
  image->setAlignment(Qt::AlignCenter);
  auto* headline = new QLabel(view);
  headline->setAlignment(Qt::AlignCenter);
  QFont headlineFont = headline->font();
  headlineFont.setPointSizeF(headlineFont.pointSizeF() * 1.6);
  headlineFont.setBold(true);
  headline->setFont(headlineFont);
  auto* text = new QLabel(view);
  text->setAlignment(Qt::AlignCenter);
  auto* progress = new CBProgressView(view);
  progress->setFixedSize(32, 32);
  progress->setIndeterminateTint(QColor(0x33, 0x99, 0xff));
  auto* progressLabel = new QLabel(QStringLiteral("Connecting…"), view);
  progressLabel->setAlignment(Qt::AlignCenter);
  progressLabel->hide();
  auto* button = new QPushButton(view);
  button->setObjectName(QStringLiteral("connectButton"));
  button->setDefault(true);
  for (QWidget* widget :
       {static_cast<QWidget*>(image), static_cast<QWidget*>(headline), static_cast<QWidget*>(text),
        static_cast<QWidget*>(progress), static_cast<QWidget*>(progressLabel), static_cast<QWidget*>(button)}) {
    layout->addWidget(widget, 0, Qt::AlignHCenter);
  }
  if (auto* controller = dynamic_cast<ConnectViewController*>(owner)) {
    controller->connectImage = image;
    controller->connectHeadlineLabel = headline;
    controller->connectTextLabel = text;
    controller->connectProgressIndicator = progress;
    controller->connectProgressLabel = progressLabel;
    controller->connectButton = button;
    QObject::connect(button, &QPushButton::clicked, controller, [controller] { controller->connect(); });
  }
  return view;
}

// A full-window overlay: a sentence and one button that sends `action` along the responder chain.
QWidget* buildOverlay(const QString& headline, const QString& text, const QString& buttonTitle, std::string action) {
  auto* view = new QWidget;
  view->setAutoFillBackground(true);
  auto* layout = new QVBoxLayout(view);
  layout->setAlignment(Qt::AlignCenter);
  auto* title = new QLabel(headline, view);
  QFont font = title->font();
  font.setPointSizeF(font.pointSizeF() * 1.6);
  font.setBold(true);
  title->setFont(font);
  auto* body = new QLabel(text, view);
  body->setAlignment(Qt::AlignCenter);
  auto* button = new QPushButton(buttonTitle, view);
  button->setObjectName(QString::fromStdString(action));
  QObject::connect(button, &QPushButton::clicked, button,
                   [button, action] { vx::ActionRouter::sendAction(action, nullptr, button, button); });
  layout->addWidget(title, 0, Qt::AlignHCenter);
  layout->addWidget(body, 0, Qt::AlignHCenter);
  layout->addWidget(button, 0, Qt::AlignHCenter);
  return view;
}

}  // namespace

ConnectViewController::ConnectViewController(std::string nibName) : vx::ViewController(std::move(nibName)) {}

void ConnectViewController::loadView() {
  vx::ViewController::loadView();
  updateTexts();
}

const char* ConnectViewController::imageAssetName() const { return firstTime ? kFirstTimeAsset : kReturningAsset; }

void ConnectViewController::updateTexts() {
  if (!connectImage || !connectHeadlineLabel || !connectTextLabel || !connectButton) {
    vx::fatalError("The connect view's outlets are not connected");
  }
  const qreal ratio = connectImage->devicePixelRatioF();
  connectImage->setPixmap(connectAsset(imageAssetName(), ratio));
  if (firstTime) {
    connectHeadlineLabel->setText(QStringLiteral("The final step"));
    connectTextLabel->setText(QStringLiteral("To begin, you need to connect the\napp to your Vexelworks account."));
    connectButton->setText(QStringLiteral("Connect My Account"));
  } else {
    connectHeadlineLabel->setText(QStringLiteral("Log In"));
    connectTextLabel->setText(QStringLiteral("You must log in with The Vexelworks\nto access the app."));
    connectButton->setText(QStringLiteral("Sounds good, log me in."));
  }
}

void ConnectViewController::updateConnectingState() {
  if (!connectProgressIndicator || !connectProgressLabel || !connectButton) {
    vx::fatalError("The connect view's outlets are not connected");
  }
  if (connecting) {
    connectProgressIndicator->startAnimating(true);
    connectProgressLabel->show();
    connectButton->hide();
  } else {
    connectProgressIndicator->stopAnimating(true);
    connectProgressLabel->hide();
    connectButton->show();
  }
  progressAnimating_ = connecting;
}

void ConnectViewController::connect() {
  openWebPage(isReleaseBundle() ? "/for-mac/authorize/" : "/for-mac/authorize/?beta=true");
}

void registerConnectAndOverlayInterfaces() {
  auto& registry = vx::InterfaceRegistry::shared();
  registry.registerInterface("ConnectViewController", buildConnectView);
  registry.registerInterface("PoisonPill", [](QObject*) {
    return buildOverlay(QStringLiteral("This version is out of date"),
                        QStringLiteral("Please download the latest version of Vexelworks\nto keep using the app."),
                        QStringLiteral("Download the Latest Version"), "downloadApp:");
  });
  registry.registerInterface("Tips", [](QObject*) {
    return buildOverlay(QStringLiteral("Tips"),
                        QStringLiteral("Drag an icon into any app, or copy it with the keyboard.\n"
                                       "Pick a colour and a size in the toolbar before you export."),
                        QStringLiteral("Got it"), "showMainView:");
  });
}

}  // namespace Vexelworks
