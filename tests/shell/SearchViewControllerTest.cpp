// The signed-in search window against the local service, inside the real main window: searches
// from the search bar, the starter set and the latest uploads, paging on scroll, the not-found
// view, the detail opened and closed, completions, colours from the toolbar, the colour dialog,
// the screen picker and pasted hex text, export options and zoom reaching the grid and the
// detail, a late page of a replaced list, and the service going away and coming back.
#include "app/qt/ActionRouter.h"
#include "app/service/Action.h"
#include "app/shell/AutocompleteViewController.h"
#include "app/shell/CBColorMagnifierWindow.h"
#include "app/views/ColorSwatch.h"
#include "app/views/Drawing.h"
#include "app/views/PopUpButtonCells.h"
#include "shell/SearchWindowTestSupport.h"
#include "support/Screenshot.h"

#include <QAction>
#include <QClipboard>
#include <QColorDialog>
#include <QScrollBar>
#include <QTableWidget>

#include <gtest/gtest.h>

namespace Vexelworks {
namespace {

using namespace std::chrono_literals;
using vx::devservice::Fault;

class SearchViewControllerTest : public test::SearchWindowFixture {
 protected:
  void TearDown() override {
    QGuiApplication::clipboard()->clear();
    test::SearchWindowFixture::TearDown();
    restarted_.reset();
  }

  SearchField& field() { return *search()->searchBarViewController()->searchField; }
  SearchBarViewController& bar() { return *search()->searchBarViewController(); }
  ToolbarViewController& toolbar() { return *search()->toolbarViewController(); }
  std::string exportHex() { return search()->exportOptions()->color().preferredHexString(); }

  // Types the text into the search field and presses Return, as the user does.
  void typeAndSearch(const char* text) {
    field().setFocus();
    field().clear();
    QTest::keyClicks(&field(), QString::fromUtf8(text));
    QTest::keyClick(&field(), Qt::Key_Return);
  }
  // Waits until every artwork of the list is in the image store, so pictures show the icons.
  bool waitForArtwork() {
    return QTest::qWaitFor(
        [&] {
          for (const auto& icon : search()->iconList()->icons()) {
            if (!imageStore_->pdfCache().object(icon->id)) return false;
          }
          return true;
        },
        20000);
  }
  std::vector<std::string> searchQueries() {
    std::vector<std::string> out;
    for (const auto& request : service_.requests("/macos/search/icons")) {
      out.push_back(request.queryValue("query").value_or("<none>"));
    }
    return out;
  }
  std::vector<std::string> pagesAsked(const std::string& path) {
    std::vector<std::string> out;
    for (const auto& request : service_.requests(path)) out.push_back(request.queryValue("page").value_or(""));
    return out;
  }
  // The toolbar shows the colour: its swatch and the colour pop-up's selected item.
  void expectToolbarShows(const std::string& hex) {
    EXPECT_EQ(fromQColor(toolbar().colorSwatch->selectedColor()).preferredHexString(), hex);
    EXPECT_EQ(toolbar().colorPopUp->currentText().toStdString(), "#" + hex);
    EXPECT_EQ(grid().exportOptions()->color().preferredHexString(), hex);
    EXPECT_EQ(search()->iconList()->exportOptions()->color().preferredHexString(), hex);
  }

  std::unique_ptr<vx::devservice::DevService> restarted_;
};

TEST_F(SearchViewControllerTest, LoadsTheStarterSetIntoTheGrid) {
  openSignedInWindow();
  const auto& list = search()->iconList();
  EXPECT_TRUE(std::holds_alternative<SearchTypes::StarterPack>(list->searchType()));
  EXPECT_EQ(grid().iconList(), list);
  EXPECT_EQ(pagesAsked("/macos/icons").front(), "1");
  EXPECT_FALSE(bar().canGoBack());
  EXPECT_FALSE(bar().backButton->isVisible());
  EXPECT_FALSE(search()->detailVisible());
  EXPECT_EQ(list->exportOptions(), search()->exportOptions());
  EXPECT_EQ(list->zoomLevel(), ZoomLevel::defaultLevel());
  ASSERT_TRUE(waitForArtwork());
  EXPECT_FALSE(vx::test::saveScreenshot(windowController_->window(), "search-view-results").isEmpty());
}

TEST_F(SearchViewControllerTest, SearchBarSearchesAndTheBackButtonReturnsToTheStarterSet) {
  openSignedInWindow();
  typeAndSearch("cup");
  EXPECT_TRUE(loadingShown()) << "the spinner until the first page";
  ASSERT_TRUE(waitForGrid());
  EXPECT_EQ(searchQueries().back(), "cup");
  ASSERT_EQ(search()->iconList()->icons().size(), 2u);
  EXPECT_EQ(grid().collectionView->numberOfItemsInSection(0), 2);
  EXPECT_TRUE(bar().canGoBack());
  EXPECT_TRUE(bar().backButton->isVisible());

  // The back button: the field empties and the starter set comes back.
  QTest::mouseClick(bar().backButton, Qt::LeftButton);
  EXPECT_EQ(field().text(), "");
  EXPECT_TRUE(std::holds_alternative<SearchTypes::StarterPack>(search()->iconList()->searchType()));
  ASSERT_TRUE(waitForGrid());
  EXPECT_FALSE(bar().canGoBack());
}

TEST_F(SearchViewControllerTest, EmptyTextShowsTheStarterSetAndBlanksAreSearchedUnchanged) {
  openSignedInWindow();
  service_.clearRequestLog();
  search()->search("");
  EXPECT_TRUE(std::holds_alternative<SearchTypes::StarterPack>(search()->iconList()->searchType()));
  ASSERT_TRUE(waitForGrid());
  EXPECT_TRUE(searchQueries().empty());

  search()->search("  ");
  const auto* type = std::get_if<SearchTypes::Search>(&search()->iconList()->searchType());
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(type->query, "  ");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !search()->iconList()->loading(); }, 20000));
  EXPECT_EQ(searchQueries(), std::vector<std::string>{"  "});
}

TEST_F(SearchViewControllerTest, LatestUploadsAndFreeIconsEmptyTheFieldAndCannotGoBack) {
  openSignedInWindow();
  typeAndSearch("cup");
  ASSERT_TRUE(waitForGrid());
  ASSERT_TRUE(vx::ActionRouter::sendAction("showRecentIcons:", nullptr, nullptr, &field()));
  EXPECT_EQ(field().text(), "");
  EXPECT_TRUE(std::holds_alternative<SearchTypes::LatestIcons>(search()->iconList()->searchType()));
  // The latest uploads have no end the service marks, so the list never settles: wait for icons.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !search()->iconList()->icons().empty() && gridShown(); }, 20000));
  EXPECT_EQ(pagesAsked("/icons/recent_uploads").front(), "1");
  EXPECT_FALSE(bar().canGoBack());

  field().setText(QStringLiteral("left over"));
  ASSERT_TRUE(vx::ActionRouter::sendAction("showFreeIcons:", nullptr, nullptr, &field()));
  EXPECT_EQ(field().text(), "");
  EXPECT_TRUE(std::holds_alternative<SearchTypes::StarterPack>(search()->iconList()->searchType()));
  ASSERT_TRUE(waitForGrid());
}

TEST_F(SearchViewControllerTest, ScrollingToTheEndLoadsTheNextPage) {
  openSignedInWindow(900, 640);
  // At 300% the first page is far taller than the window, so only scrolling asks for more.
  for (int i = 0; i < 3; ++i) windowController_->didClickZoomIn(nullptr);
  ASSERT_EQ(std::string(search()->zoomLevel().title), "300%");
  service_.clearRequestLog();
  search()->showFreeIcons(nullptr);
  ASSERT_TRUE(waitForGrid());
  const std::size_t firstPage = search()->iconList()->icons().size();
  ASSERT_GT(firstPage, 0u);
  EXPECT_EQ(pagesAsked("/macos/icons"), std::vector<std::string>{"1"});
  EXPECT_TRUE(search()->iconList()->hasMore());

  QScrollBar* bar = grid().collectionView->verticalScrollBar();
  ASSERT_GT(bar->maximum(), 0);
  bar->setValue(bar->maximum());
  ASSERT_TRUE(QTest::qWaitFor([&] { return search()->iconList()->icons().size() > firstPage; }, 20000));
  EXPECT_EQ(pagesAsked("/macos/icons"), (std::vector<std::string>{"1", "2"}));
  EXPECT_TRUE(gridShown()) << "later pages show no spinner";
}

TEST_F(SearchViewControllerTest, AQueryWithoutResultsShowsTheNotFoundView) {
  openSignedInWindow();
  typeAndSearch("zzqx");
  ASSERT_TRUE(waitForNotFound());
  EXPECT_EQ(search()->notFoundViewController()->searchTerm, "zzqx");
  EXPECT_EQ(search()->notFoundViewController()->textField->text(), NotFoundViewController::notFoundText("zzqx"));
  EXPECT_TRUE(bar().canGoBack());
  QCoreApplication::processEvents();  // the new sentence's layout
  EXPECT_FALSE(vx::test::saveScreenshot(windowController_->window(), "search-view-not-found").isEmpty());

  // A new request leaves the not-found view.
  typeAndSearch("cup");
  ASSERT_TRUE(waitForGrid());
}

TEST_F(SearchViewControllerTest, DetailOpensForTheSelectedIconAndClosesBackToTheGridOnIt) {
  openSignedInWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(windowController_->window()));
  // No selection: nothing opens.
  grid().collectionView->deselectAllItems(false);
  search()->showIconDetail(nullptr);
  EXPECT_TRUE(gridShown());
  EXPECT_EQ(search()->iconDetailViewController(), nullptr);

  grid().collectionView->selectItem({0, 3}, false, CollectionViewScrollPosition::noScroll);
  const IconPtr chosen = grid().selectedIcon();
  ASSERT_NE(chosen, nullptr);
  grid().collectionView->setFocus();
  QTest::keyClick(grid().collectionView, Qt::Key_Return);  // the grid sends showIconDetail:
  ASSERT_TRUE(detailShown());
  IconDetailViewController* detail = search()->iconDetailViewController();
  EXPECT_EQ(detail->selectedIcon(), chosen);
  EXPECT_EQ(detail->exportOptions(), search()->exportOptions());
  EXPECT_TRUE(search()->detailVisible());
  EXPECT_TRUE(bar().canGoBack());
  EXPECT_EQ(QApplication::focusWidget(), detail->collectionView.data());
  ASSERT_TRUE(QTest::qWaitFor([&] { return imageStore_->pdfCache().object(chosen->id).has_value(); }, 20000));
  QTest::qWait(0);
  EXPECT_FALSE(vx::test::saveScreenshot(windowController_->window(), "search-view-detail-open").isEmpty());

  // Escape in the detail: the grid again, with the keyboard and the same icon.
  const auto list = search()->iconList();
  QTest::keyClick(detail->collectionView, Qt::Key_Escape);
  EXPECT_TRUE(gridShown());
  EXPECT_FALSE(search()->detailVisible());
  EXPECT_FALSE(bar().canGoBack()) << "the starter set has nothing to go back to";
  EXPECT_EQ(QApplication::focusWidget(), grid().collectionView.data());
  EXPECT_EQ(grid().selectedIcon(), chosen);
  EXPECT_EQ(search()->iconList(), list);
  EXPECT_EQ(search()->iconDetailViewController(), detail) << "the closed detail stays referenced";

  // Back again with no detail: the starter set reloads from page 1.
  service_.clearRequestLog();
  search()->closeIconDetail(nullptr);
  EXPECT_NE(search()->iconList(), list);
  ASSERT_TRUE(waitForGrid());
  EXPECT_EQ(pagesAsked("/macos/icons").front(), "1");
}

TEST_F(SearchViewControllerTest, APageArrivingWhileTheDetailIsShownBringsTheGridBack) {
  openSignedInWindow(900, 300);
  for (int i = 0; i < 3; ++i) windowController_->didClickZoomIn(nullptr);
  search()->showFreeIcons(nullptr);
  ASSERT_TRUE(waitForGrid());
  ASSERT_TRUE(search()->iconList()->hasMore());
  grid().collectionView->selectItem({0, 0}, false, CollectionViewScrollPosition::noScroll);
  search()->showIconDetail(nullptr);
  ASSERT_TRUE(detailShown());
  const std::size_t before = search()->iconList()->icons().size();
  search()->iconList()->loadPage(search()->iconList()->nextPage());
  ASSERT_TRUE(QTest::qWaitFor([&] { return search()->iconList()->icons().size() > before; }, 20000));
  EXPECT_TRUE(gridShown());
  EXPECT_FALSE(search()->detailVisible());
}

TEST_F(SearchViewControllerTest, CompletionsFillTheListAndReturnSearchesTheSelectedOne) {
  openSignedInWindow();
  field().setFocus();
  QTest::keyClicks(&field(), QStringLiteral("ca"));
  AutocompleteViewController* list = search()->autocompleteViewController();
  EXPECT_EQ(boxContent(), list->view()) << "typing shows the completion list in the content area";
  ASSERT_TRUE(QTest::qWaitFor([&] { return list->numberOfRows() > 0 && bar().lastCompletionQuery() == "ca"; }, 20000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return list->tableView->rowCount() == list->numberOfRows(); }, 20000));
  const std::string second = list->completions.at(1);
  QTest::keyClick(&field(), Qt::Key_Down);
  QTest::keyClick(&field(), Qt::Key_Down);
  ASSERT_EQ(list->selectedCompletion(), second);
  QTest::keyClick(&field(), Qt::Key_Return);
  EXPECT_EQ(field().text().toStdString(), second);
  const auto* type = std::get_if<SearchTypes::Search>(&search()->iconList()->searchType());
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(type->query, second);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !search()->iconList()->loading(); }, 20000));
  EXPECT_EQ(searchQueries(), std::vector<std::string>{second});
  EXPECT_FALSE(boxContent() == list->view());

  // The find command selects the field's whole text.
  field().deselect();
  ASSERT_TRUE(vx::ActionRouter::sendAction("highlightSearch:", nullptr, nullptr, grid().collectionView));
  EXPECT_EQ(field().selectedText().toStdString(), second);
}

TEST_F(SearchViewControllerTest, ColoursFromTheToolbarTheDialogAndThePickerBecomeTheExportColour) {
  openSignedInWindow();
  // The toolbar's pop-up.
  const int white = toolbar().colorPopUp->findText(QStringLiteral("White"));
  toolbar().colorPopUp->setCurrentIndex(white);
  toolbar().didSelectColorOption(toolbar().colorPopUp);
  EXPECT_EQ(exportHex(), "FFFFFF");
  EXPECT_EQ(grid().exportOptions()->color().preferredHexString(), "FFFFFF");

  // "Choose..." opens the colour dialog; its confirmed colour becomes the export colour.
  const int choose = toolbar().colorPopUp->findText(QStringLiteral("Choose..."));
  toolbar().colorPopUp->setCurrentIndex(choose);
  toolbar().didSelectColorOption(toolbar().colorPopUp);
  QColorDialog* dialog = search()->colorPanel();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
  dialog->setCurrentColor(QColor(0x33, 0x66, 0xcc));
  EXPECT_EQ(exportHex(), "FFFFFF") << "moving the dialog's controls changes nothing yet";
  dialog->accept();
  EXPECT_EQ(exportHex(), "3366CC");
  expectToolbarShows("3366CC");
  EXPECT_EQ(recentIconColors().front().preferredHexString(), "3366CC");

  // The screen picker: the colour under its centre.
  search()->showColorMagnifier(nullptr);
  CBColorMagnifierWindowController* picker = search()->colorMagnifier();
  ASSERT_NE(picker, nullptr);
  ASSERT_TRUE(picker->isOpen());
  const auto centre = picker->window()->centerColor();
  ASSERT_TRUE(centre.has_value());
  picker->window()->pickColor();
  EXPECT_FALSE(picker->isOpen());
  EXPECT_EQ(exportHex(), centre->preferredHexString());
  if (centre->preferredHexString() != "000000" && centre->preferredHexString() != "FFFFFF") {
    expectToolbarShows(centre->preferredHexString());
  }
  // The same picker is used again.
  search()->showColorMagnifier(nullptr);
  EXPECT_EQ(search()->colorMagnifier(), picker);
  picker->close();
}

TEST_F(SearchViewControllerTest, PastedHexTextFollowsThePasteRules) {
  openSignedInWindow();
  struct Case {
    const char* text;
    const char* hex;  // nullptr: the colour stays
  };
  const std::vector<Case> cases = {
      {"a1b2c3", "A1B2C3"},
      {"#a1b2c4", "A1B2C4"},
      {"A1B2C5", "A1B2C5"},
      {"  #A1B2C6  ", "A1B2C6"},
      {"a1b2c7\n", "A1B2C7"},  // 7 characters: taken
      {"#a1b2c8\n", nullptr},  // 8 characters after trimming blanks
      {"a1b2c", nullptr},      // five digits
      {"orange", nullptr},     // a word without six hex digits
      {"", nullptr},
      {"\ta1b2c9", "A1B2C9"},  // only spaces are trimmed; the scan skips the tab
      {"#a1b2c3d4", nullptr},  // too long
      {"\xef\xbf\xbd\xc3\xa9"
       "abcdef",
       nullptr},                                                      // 8 characters
      {"\xd9\xa1\xd9\xa2\xd9\xa3\xd9\xa4\xd9\xa5\xd9\xa6", nullptr},  // digits of another script
  };
  // The command comes from the grid (a menu item or its shortcut while the grid has the keys).
  ASSERT_TRUE(QTest::qWaitForWindowActive(windowController_->window()));
  grid().collectionView->setFocus();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    search()->applyExportColor(Color::rgb(0.2, 0.4, 0.6));
    ASSERT_EQ(exportHex(), "336699");
    QGuiApplication::clipboard()->setText(QString::fromUtf8(c.text));
    ASSERT_TRUE(vx::ActionRouter::sendAction("paste:", nullptr, nullptr));
    if (c.hex != nullptr) {
      EXPECT_EQ(exportHex(), c.hex);
      expectToolbarShows(c.hex);
    } else {
      EXPECT_EQ(exportHex(), "336699");
    }
  }
  // With the search field holding the keyboard, the text goes into the field.
  field().setFocus();
  field().clear();
  QGuiApplication::clipboard()->setText(QStringLiteral("abcdef"));
  ASSERT_TRUE(vx::ActionRouter::sendAction("paste:", nullptr, nullptr));
  EXPECT_EQ(field().text(), "abcdef");
  EXPECT_EQ(exportHex(), "336699");

  // Nothing on the clipboard: nothing happens.
  grid().collectionView->setFocus();
  QGuiApplication::clipboard()->clear();
  search()->paste(nullptr);
  EXPECT_EQ(exportHex(), "336699");
}

TEST_F(SearchViewControllerTest, ExportOptionsAndZoomReachTheGridAndTheDetail) {
  openSignedInWindow();
  grid().collectionView->selectItem({0, 1}, false, CollectionViewScrollPosition::noScroll);
  search()->showIconDetail(nullptr);
  IconDetailViewController* detail = search()->iconDetailViewController();
  ASSERT_NE(detail, nullptr);

  QAction png(QStringLiteral("PNG"));
  toolbar().didSelectFileType(&png);
  toolbar().sizePopUp->setCurrentIndex(5);
  toolbar().didSelectSize(toolbar().sizePopUp);
  for (const auto* options : {search()->exportOptions().get(), grid().exportOptions().get(),
                              detail->exportOptions().get(), search()->iconList()->exportOptions().get()}) {
    EXPECT_EQ(options->type(), PasteboardType::png);
    EXPECT_EQ(options->size(), 1200);
  }

  // The closed detail keeps receiving them until the next one replaces it.
  search()->closeIconDetail(nullptr);
  search()->applyExportColor(Color::rgb(1, 0, 0));
  EXPECT_EQ(detail->exportOptions()->color().preferredHexString(), "FF0000");

  toolbar().zoomPopUp->setCurrentIndex(0);
  toolbar().didPickZoomLevel(toolbar().zoomPopUp);
  EXPECT_EQ(std::string(search()->zoomLevel().title), "50%");
  EXPECT_EQ(std::string(grid().zoomLevel().title), "50%");
  EXPECT_EQ(std::string(search()->iconList()->zoomLevel().title), "50%");
  // A new request keeps the options and the zoom.
  search()->search("cup");
  EXPECT_EQ(std::string(search()->iconList()->zoomLevel().title), "50%");
  EXPECT_EQ(search()->iconList()->exportOptions()->color().preferredHexString(), "FF0000");
  ASSERT_TRUE(waitForGrid());
}

TEST_F(SearchViewControllerTest, ALatePageOfAReplacedListIsNotTakenForTheNewSearch) {
  openSignedInWindow();
  Fault slow = Fault::withDelay(300ms);
  slow.times = 1;
  service_.setFault("/macos/search/icons", slow);
  service_.clearRequestLog();
  search()->search("cup");
  // Something still holds the first list (a copy or a drag under way), so its page arrives.
  const auto first = search()->iconList();
  ASSERT_TRUE(QTest::qWaitFor([&] { return searchQueries().size() == 1; }, 20000));

  Fault slower = Fault::withDelay(2s);
  slower.times = 1;
  service_.setFault("/macos/search/icons", slower);
  search()->search("weather");
  const auto second = search()->iconList();
  ASSERT_NE(first, second);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !first->loading(); }, 20000));
  ASSERT_EQ(first->icons().size(), 2u);
  QCoreApplication::processEvents();
  ASSERT_TRUE(second->loading()) << "the second reply must still be on its way for this test";
  EXPECT_TRUE(loadingShown()) << "the old page must not end the new search's spinner";
  EXPECT_FALSE(notFoundShown());
  EXPECT_EQ(grid().iconList(), second);

  ASSERT_TRUE(waitForGrid());
  EXPECT_EQ(search()->iconList(), second);
  EXPECT_FALSE(second->icons().empty());
  for (const auto& icon : second->icons()) {
    EXPECT_NE(icon->id, first->icons()[0]->id);
    EXPECT_NE(icon->id, first->icons()[1]->id);
  }
  EXPECT_EQ(grid().collectionView->numberOfItemsInSection(0), static_cast<int>(second->icons().size()));
}

TEST_F(SearchViewControllerTest, AStoppedServiceShowsTheFailedSearchAndASearchWorksOnceItIsBack) {
  openSignedInWindow();
  const int port = service_.port();
  service_.stop();
  typeAndSearch("cup");
  ASSERT_TRUE(waitForNotFound());
  EXPECT_EQ(search()->notFoundViewController()->searchTerm, "cup");
  EXPECT_TRUE(search()->iconList()->icons().empty());
  EXPECT_FALSE(search()->iconList()->hasMore()) << "a failed page asks for no more";

  vx::devservice::DevService::Options options;
  options.port = port;
  restarted_ = std::make_unique<vx::devservice::DevService>(options);
  ASSERT_TRUE(restarted_->start().ok());
  typeAndSearch("cup");
  ASSERT_TRUE(waitForGrid());
  EXPECT_EQ(search()->iconList()->icons().size(), 2u);
  EXPECT_EQ(restarted_->requests("/macos/search/icons").size(), 1u);
}

TEST_F(SearchViewControllerTest, WithoutATokenTheViewStaysEmptyAndTheUserIsLoggedOut) {
  TokenStore().deleteToken();
  test::ActionRecorder::shared().clear();
  SearchViewController controller;
  controller.imageStore = imageStore_;
  const std::size_t handlers = actionHandlers().size();
  controller.view();
  EXPECT_TRUE(logged("Access token was not available"));
  const auto messages = eventMessages();
  EXPECT_NE(std::find(messages.begin(), messages.end(), "Access token was not available"), messages.end());
  EXPECT_EQ(test::ActionRecorder::shared().actionsOf<Actions::LogOut>().size(), 1u);
  EXPECT_EQ(controller.iconStore(), nullptr);
  EXPECT_EQ(controller.searchBarViewController(), nullptr);
  EXPECT_EQ(controller.iconCollectionViewController(), nullptr);
  EXPECT_EQ(controller.box()->contentView(), nullptr);
  EXPECT_EQ(actionHandlers().size(), handlers);
}

TEST_F(SearchViewControllerTest, EachLoadedSearchViewAddsItsIconStoreToTheActionHandlers) {
  const std::size_t before = actionHandlers().size();
  SearchViewController one;
  one.imageStore = imageStore_;
  one.view();
  SearchViewController two;
  two.imageStore = imageStore_;
  two.view();
  EXPECT_EQ(actionHandlers().size(), before + 2);
  EXPECT_NE(one.iconStore(), two.iconStore());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !one.iconList()->loading() && !two.iconList()->loading(); }, 20000));
}

TEST(SearchViewControllerDeathTest, SearchingFromTheFieldWithoutASearchBarStops) {
  EXPECT_DEATH(
      {
        SearchViewController controller;
        controller.searchFromField();
      },
      "No query could be found");
}

}  // namespace
}  // namespace Vexelworks
