// The sign-in prompt of the main window: a picture, a headline, a sentence and the button that
// opens the authorisation page in the browser; while a sign-in runs, a spinner and a label take
// the button's place.
#pragma once

#include "app/qt/ViewController.h"

#include <QPointer>

class QLabel;
class QPushButton;

namespace Vexelworks {

class CBProgressView;

class ConnectViewController : public vx::ViewController {
 public:
  explicit ConnectViewController(std::string nibName = "ConnectViewController");

  // First launch (or never signed in) or a returning user; chooses the texts.
  bool firstTime = true;
  // A sign-in is under way; the application delegate sets it, then calls updateConnectingState.
  bool connecting = false;

  // Outlets, set by the "ConnectViewController" interface.
  QPointer<QLabel> connectImage;
  QPointer<QLabel> connectHeadlineLabel;
  QPointer<QLabel> connectTextLabel;
  QPointer<CBProgressView> connectProgressIndicator;
  QPointer<QLabel> connectProgressLabel;
  QPointer<QPushButton> connectButton;

  // Sets the picture, headline, text and button title from firstTime. A missing outlet stops the
  // program: the interface is part of the application.
  void updateTexts();
  // Shows the connecting state from `connecting`.
  void updateConnectingState();
  // The connect button's action: the authorisation page ("?beta=true" outside the release build).
  void connect();

  // Whether the spinner runs (the indicator itself only animates).
  bool progressAnimating() const { return progressAnimating_; }
  // The asset name of the picture shown.
  const char* imageAssetName() const;

 protected:
  void loadView() override;

 private:
  bool progressAnimating_ = false;
};

// The view of one interface by name, with no behaviour of its own ("PoisonPill", "Tips").
class OverlayViewController : public vx::ViewController {
 public:
  explicit OverlayViewController(std::string nibName) : vx::ViewController(std::move(nibName)) {}
};

// Registers the interfaces of the connect view and the overlays ("ConnectViewController",
// "PoisonPill", "Tips") with the shared interface registry. Call once at start-up.
void registerConnectAndOverlayInterfaces();

}  // namespace Vexelworks
