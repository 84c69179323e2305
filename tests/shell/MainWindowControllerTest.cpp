// The main window against the local service: the sign-in prompt, the search view and the
// overlays on one stack of pages (switching keeps the search window's state), the zoom commands,
// the forwards to the toolbar, the download page, the image caches, and the frame saved and
// restored across controllers.
#include "app/qt/ActionRouter.h"
#include "app/shell/ConnectViewController.h"
#include "app/shell/FileTypeMenu.h"
#include "app/views/PopUpButtonCells.h"
#include "shell/SearchWindowTestSupport.h"
#include "support/Screenshot.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

namespace Vexelworks {
namespace {

class MainWindowControllerTest : public test::SearchWindowFixture {
 protected:
  void makeWindow() {
    windowController_ = std::make_unique<MainWindowController>();
    windowController_->imageStore = imageStore_;
    windowController_->window()->resize(900, 640);
    windowController_->window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(windowController_->window()));
  }
  MainWindowController& controller() { return *windowController_; }
  QStackedWidget& stack() { return *controller().contentStack; }
  std::string zoomTitle() { return search()->zoomLevel().title.data(); }
};

TEST_F(MainWindowControllerTest, WindowIsTitledAndStartsWithoutContent) {
  makeWindow();
  EXPECT_EQ(controller().window()->windowTitle(), "Vexelworks");
  EXPECT_EQ(controller().currentContentView(), nullptr);
  EXPECT_EQ(controller().searchViewController(), nullptr);
  EXPECT_EQ(controller().connectViewController(), nullptr);
  EXPECT_TRUE(controller().appUpToDate);
  EXPECT_FALSE(controller().user.has_value());
  // The window answers its commands along the chain.
  EXPECT_EQ(vx::ActionRouter::targetForAction("didClickZoomIn:", controller().window()), &controller());
  EXPECT_EQ(vx::ActionRouter::targetForAction("downloadApp:", controller().window()), &controller());
}

TEST_F(MainWindowControllerTest, WithoutUserTheConnectViewShowsTextsChosenByFirstLogin) {
  makeWindow();
  controller().updateContent();
  ConnectViewController* connect = controller().connectViewController();
  ASSERT_NE(connect, nullptr);
  EXPECT_EQ(controller().currentContentView(), connect->view());
  EXPECT_TRUE(connect->firstTime) << "FirstLogin is absent";
  EXPECT_EQ(connect->connectHeadlineLabel->text(), "The final step");
  EXPECT_EQ(connect->connectButton->text(), "Connect My Account");
  EXPECT_FALSE(vx::test::saveScreenshot(controller().window(), "main-window-connect-view").isEmpty());

  // Shown again: the same controller, with "FirstLogin" read afresh.
  setSettingBool(SettingKeys::firstLogin, false);
  controller().showConnectView();
  EXPECT_EQ(controller().connectViewController(), connect);
  EXPECT_FALSE(connect->firstTime);
  EXPECT_EQ(connect->connectHeadlineLabel->text(), "Log In");
  EXPECT_EQ(connect->connectButton->text(), "Sounds good, log me in.");
  EXPECT_EQ(stack().count(), 1);

  // The connect button opens the sign-in page in the browser.
  QTest::mouseClick(connect->connectButton, Qt::LeftButton);
  ASSERT_EQ(openedURLs().size(), 1u);
  EXPECT_NE(openedURLs()[0].find("/for-mac/authorize/"), std::string::npos);
}

TEST_F(MainWindowControllerTest, SwitchingPagesKeepsTheSearchWindowAndItsState) {
  openSignedInWindow();
  SearchViewController* searchView = search();
  QPointer<QWidget> searchPage = searchView->view();
  EXPECT_EQ(controller().currentContentView(), searchPage.data());
  // The search field took the keyboard.
  EXPECT_EQ(QApplication::focusWidget(), searchView->searchBarViewController()->searchField.data());

  searchView->searchBarViewController()->searchField->setText(QStringLiteral("cup"));
  searchView->searchFromField();
  ASSERT_TRUE(waitForGrid());
  controller().didClickZoomIn(nullptr);
  const auto listBefore = searchView->iconList();
  ASSERT_EQ(listBefore->icons().size(), 2u);

  // Signed out: the prompt; then the user is back: the very same search window and state.
  controller().user.reset();
  controller().updateContent();
  EXPECT_EQ(controller().currentContentView(), controller().connectViewController()->view());
  ASSERT_FALSE(searchPage.isNull()) << "the search page must outlive a switch";
  EXPECT_FALSE(searchPage->isVisible());

  controller().user = VexelUser{};
  controller().updateContent();
  EXPECT_EQ(controller().searchViewController(), searchView);
  EXPECT_EQ(controller().currentContentView(), searchPage.data());
  EXPECT_TRUE(searchPage->isVisible());
  EXPECT_EQ(searchView->iconList(), listBefore);
  EXPECT_EQ(searchView->searchBarViewController()->searchField->text(), "cup");
  EXPECT_EQ(zoomTitle(), "150%");
  EXPECT_TRUE(gridShown());
  EXPECT_EQ(stack().count(), 2);

  // The out-of-date overlay and back (the overlay's page goes, the others stay).
  controller().showTips(nullptr);
  EXPECT_EQ(controller().currentContentView(), controller().overlayViewController()->view());
  controller().showMainView(nullptr);
  EXPECT_EQ(controller().currentContentView(), searchPage.data());
  EXPECT_EQ(searchView->iconList(), listBefore);
}

TEST_F(MainWindowControllerTest, OutOfDateShowsANewPoisonPillEachTimeAndItsButtonOpensTheDownloadPage) {
  makeWindow();
  controller().user = VexelUser{};
  controller().appUpToDate = false;
  controller().updateContent();
  OverlayViewController* first = controller().overlayViewController();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->nibName(), "PoisonPill");
  QPointer<QWidget> firstPage = first->view();
  EXPECT_EQ(controller().currentContentView(), firstPage.data());
  EXPECT_EQ(controller().searchViewController(), nullptr) << "an out-of-date build never searches";
  EXPECT_FALSE(vx::test::saveScreenshot(controller().window(), "main-window-out-of-date-overlay").isEmpty());

  controller().updateContent();
  ASSERT_NE(controller().overlayViewController(), nullptr);
  EXPECT_TRUE(firstPage.isNull()) << "the earlier overlay is replaced, not stacked";
  EXPECT_EQ(stack().count(), 1);

  auto* button = controller().currentContentView()->findChild<QPushButton*>(QStringLiteral("downloadApp:"));
  ASSERT_NE(button, nullptr);
  QTest::mouseClick(button, Qt::LeftButton);
  ASSERT_EQ(openedURLs().size(), 1u);
  EXPECT_EQ(openedURLs()[0], service_.baseURL() + "/for-mac/download/");
}

TEST_F(MainWindowControllerTest, ZoomCommandsStepThroughTheSixLevelsAndStopAtTheEnds) {
  openSignedInWindow();
  ToolbarViewController* toolbar = search()->toolbarViewController();
  ASSERT_NE(toolbar, nullptr);
  struct Step {
    const char* action;
    const char* level;
  };
  const std::vector<Step> steps = {
      {"didClickZoomIn:", "150%"},  {"didClickZoomIn:", "200%"},  {"didClickZoomIn:", "300%"},
      {"didClickZoomIn:", "300%"},  {"didClickZoomOut:", "200%"}, {"didClickZoomOut:", "150%"},
      {"didClickZoomOut:", "100%"}, {"didClickZoomOut:", "75%"},  {"didClickZoomOut:", "50%"},
      {"didClickZoomOut:", "50%"},  {"didClickZoomIn:", "75%"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.action) + " -> " + step.level);
    ASSERT_TRUE(vx::ActionRouter::sendAction(step.action, nullptr, nullptr, controller().window()));
    EXPECT_EQ(toolbar->zoomPopUp->currentText().toStdString(), step.level);
    EXPECT_EQ(zoomTitle(), step.level);
    EXPECT_EQ(std::string(grid().zoomLevel().title), step.level);
    EXPECT_EQ(std::string(search()->iconList()->zoomLevel().title), step.level);
  }
  // The grid lays itself out for the level: 75% is 60-point cells.
  const int width = grid().collectionView->viewport()->width();
  EXPECT_EQ(grid().numberOfColumns(), static_cast<int>(width / (60 + IconCollectionViewController::kSpacing)));
}

TEST_F(MainWindowControllerTest, CommandsWithoutSearchViewDoNothing) {
  makeWindow();
  controller().didClickZoomIn(nullptr);
  controller().didClickZoomOut(nullptr);
  QAction item(QStringLiteral("PDF"));
  controller().didSelectFileType(&item);
  controller().didSelectColorOption(&item);
  EXPECT_EQ(controller().searchViewController(), nullptr);
  EXPECT_EQ(iconPasteboardType(), PasteboardType::auto_);
}

TEST_F(MainWindowControllerTest, ExportMenuChoicesReachTheToolbarAndTheSearchWindow) {
  openSignedInWindow();
  QAction pdf(QStringLiteral("PDF"));
  ASSERT_TRUE(vx::ActionRouter::sendAction(FileTypeMenu::kAction, &controller(), &pdf));
  EXPECT_EQ(search()->toolbarViewController()->pasteboardType(), PasteboardType::pdf);
  EXPECT_EQ(search()->exportOptions()->type(), PasteboardType::pdf);
  EXPECT_EQ(grid().exportOptions()->type(), PasteboardType::pdf);
  EXPECT_EQ(iconPasteboardType(), PasteboardType::pdf);

  QAction white(QStringLiteral("White"));
  controller().didSelectColorOption(&white);
  EXPECT_EQ(search()->exportOptions()->color().preferredHexString(), "FFFFFF");
  EXPECT_EQ(search()->iconList()->exportOptions()->color().preferredHexString(), "FFFFFF");
}

TEST_F(MainWindowControllerTest, ClearImageCachesEmptiesTheThreeCaches) {
  makeWindow();
  imageStore_->svgCache().setObject("1", {1, 2});
  imageStore_->pdfCache().setObject("1", {3});
  imageStore_->epsCache().setObject("1", {4});
  ASSERT_TRUE(vx::ActionRouter::sendAction("clearImageCaches:", nullptr, nullptr, controller().window()));
  EXPECT_EQ(imageStore_->svgCache().count(), 0u);
  EXPECT_EQ(imageStore_->pdfCache().count(), 0u);
  EXPECT_EQ(imageStore_->epsCache().count(), 0u);
}

TEST_F(MainWindowControllerTest, TheImageStoreReachesTheSearchWindowOnlyAtCreation) {
  openSignedInWindow();
  EXPECT_EQ(search()->imageStore, imageStore_);
  controller().imageStore = ImageStore::make();
  controller().showSearchView();
  EXPECT_EQ(search()->imageStore, imageStore_);
}

TEST_F(MainWindowControllerTest, FrameIsRestoredByTheNextWindow) {
  makeWindow();
  const QRect frame(40, 30, 700, 500);
  controller().window()->setGeometry(frame);
  ASSERT_TRUE(QTest::qWaitFor([&] { return controller().window()->geometry() == frame; }));
  windowController_.reset();  // the frame is written as the window goes

  windowController_ = std::make_unique<MainWindowController>();
  EXPECT_EQ(controller().window()->geometry(), frame);
  ASSERT_TRUE(MainWindowController::savedWindowFrame().has_value());
  EXPECT_EQ(*MainWindowController::savedWindowFrame(), frame);
}

TEST_F(MainWindowControllerTest, AFrameOffEveryScreenComesBackOnTheScreenWithItsSize) {
  vx::UserDefaults::standard().setString("50000 50000 640 480", MainWindowController::frameDefaultsKey);
  windowController_ = std::make_unique<MainWindowController>();
  const QRect frame = controller().window()->geometry();
  EXPECT_EQ(frame.size(), QSize(640, 480));
  EXPECT_TRUE(QGuiApplication::primaryScreen()->availableGeometry().intersects(frame));
}

TEST_F(MainWindowControllerTest, SavedFramesThatCannotBeReadAreIgnored) {
  struct Case {
    const char* text;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"10 20 300 200", true},     {"  10  20 300 200 ", true},
      {"-10 -20 300 200", true},   {"", false},
      {"10 20 300", false},        {"10 20 300 200 5", false},
      {"10 20 0 200", false},      {"10 20 300 -1", false},
      {"a b c d", false},          {"10 20 300 200x", false},
      {"1e3 20 300 200", false},   {"10 20 300 99999999999999999999", false},
      {"10 20 100001 200", false}, {"\xff\xfe 1 2 3", false},
      {"10\t20 300 200", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(MainWindowController::parseFrame(c.text).has_value(), c.valid);
  }
  EXPECT_EQ(*MainWindowController::parseFrame("-10 -20 300 200"), QRect(-10, -20, 300, 200));

  // A bad stored value leaves the window at its default size.
  vx::UserDefaults::standard().setString("not a frame", MainWindowController::frameDefaultsKey);
  windowController_ = std::make_unique<MainWindowController>();
  EXPECT_EQ(controller().window()->size(),
            QSize(MainWindowController::kDefaultWidth, MainWindowController::kDefaultHeight));
  // A stored value of another type too.
  windowController_.reset();
  vx::UserDefaults::standard().setInteger(7, MainWindowController::frameDefaultsKey);
  windowController_ = std::make_unique<MainWindowController>();
  EXPECT_EQ(controller().window()->size(),
            QSize(MainWindowController::kDefaultWidth, MainWindowController::kDefaultHeight));
}

}  // namespace
}  // namespace Vexelworks
