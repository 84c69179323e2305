// The application's one window. Its content is a stack of three kinds of page: the sign-in
// prompt, the signed-in search view, and a full-window overlay ("PoisonPill" when this build is
// out of date, "Tips"). Switching only changes which page the stack shows, so the connect and
// search controllers, made at most once each, keep their state (search text, list, zoom) across
// switches. The controller also answers the window-level commands that menu items and the
// overlays' buttons send along the responder chain: zoom in and out, the two export-menu
// forwards to the toolbar, the download page, and emptying the image caches. The window's
// frame is saved under the autosave name "MainWindow" and restored on the next start.
//
// Threads: main thread only.
#pragma once

#include "app/qt/ViewController.h"
#include "app/service/Images/ImageStore.h"
#include "app/service/VexelUser.h"

#include <QPointer>
#include <QRect>
#include <QStackedWidget>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>

namespace Vexelworks {

class ConnectViewController;
class OverlayViewController;
class SearchViewController;

class MainWindowController : public vx::WindowController {
 public:
  static inline const std::string windowNibName = "MainWindow";
  static inline const std::string frameAutosaveName = "MainWindow";
  // The user-defaults key the frame is kept under: "x y width height" in whole points.
  static inline const std::string frameDefaultsKey = "Window Frame MainWindow";
  static constexpr const char* kTitle = "Vexelworks";
  static constexpr const char* kDownloadPath = "/for-mac/download/";

  // Builds the window from the "MainWindow" interface (register it first) and restores its
  // saved frame. The window is not shown: the application delegate shows it.
  MainWindowController();
  // Saves the frame.
  ~MainWindowController() override;

  // Registers "MainWindow", the connect view and overlays, and everything the search view
  // loads. Call once on the main thread at start-up.
  static void registerInterfaces();

  // Outlet, set by the "MainWindow" interface: the pages of the window.
  QPointer<QStackedWidget> contentStack;

  // Set by the application delegate at launch; handed to the search view when it is made.
  std::shared_ptr<ImageStore> imageStore;
  // Set to false by the version check; it never goes back to true.
  bool appUpToDate = true;
  // Kept in step with the application delegate's user.
  std::optional<VexelUser> user;

  OverlayViewController* overlayViewController() const { return overlay_.get(); }
  ConnectViewController* connectViewController() const { return connect_.get(); }
  SearchViewController* searchViewController() const { return search_.get(); }
  // The page the window shows now, or nullptr before the first switch.
  QWidget* currentContentView() const;

  // No user: the sign-in prompt. A user and an up-to-date build: the search view. A user and
  // an out-of-date build: a new "PoisonPill" overlay.
  void updateContent();
  // The search view (made at first use), with the search field taking the keyboard.
  void showSearchView();
  // The sign-in prompt (made at first use), its texts chosen by "FirstLogin".
  void showConnectView();
  // A new overlay from the interface `nibName`, replacing the one shown before.
  void showOverlay(const std::string& nibName);
  void showPoisonPill();

  // --- actions (the sender is ignored unless said otherwise) ---
  void showMainView(QObject* sender);
  void showTips(QObject* sender);
  // Handed on to the toolbar, with the sender, when the search view has one.
  void didSelectColorOption(QObject* sender);
  void didSelectFileType(QObject* sender);
  // One step through the six zoom levels; at either end it stays (and reapplies the level).
  void didClickZoomIn(QObject* sender);
  void didClickZoomOut(QObject* sender);
  void downloadApp(QObject* sender);
  // Empties the image store's PDF, EPS and SVG caches.
  void clearImageCaches(QObject* sender);

  // Writes the window's frame to the user defaults now (it is also written, coalesced, after
  // every move or resize, and when this controller goes).
  void saveWindowFrame() const;
  // The frame kept in the user defaults, if one was saved and can be read.
  static std::optional<QRect> savedWindowFrame();
  // The frame a saved text stands for: four whole numbers, a width and height of at least 1
  // and no more than kMaxFrameSide; none for anything else.
  static std::optional<QRect> parseFrame(const std::string& text);
  static constexpr int kMaxFrameSide = 100000;
  // The size of a window that has no saved frame.
  static constexpr int kDefaultWidth = 900;
  static constexpr int kDefaultHeight = 640;

 private:
  class FrameWatcher;
  void showPage(QWidget* page);
  void zoomStep(int delta);
  void restoreWindowFrame();

  std::unique_ptr<OverlayViewController> overlay_;
  std::unique_ptr<ConnectViewController> connect_;
  std::unique_ptr<SearchViewController> search_;
  std::unique_ptr<FrameWatcher> frameWatcher_;
};

}  // namespace Vexelworks
