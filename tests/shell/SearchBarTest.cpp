#include "app/shell/AutocompleteViewController.h"
#include "app/shell/SearchBarViewController.h"

#include "support/Screenshot.h"
#include "shell/SearchTestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

namespace Vexelworks {
namespace {

using namespace std::chrono_literals;
using test::CompletionActions;
using vx::devservice::Fault;

const std::vector<std::string> kCaCompletions = {"camera", "car", "carrot", "cat"};

class SearchBarTest : public test::SearchFixture {
 protected:
  SearchField& field() { return *standIn->bar.searchField; }
  AutocompleteViewController& list() { return standIn->list; }
  // One key press per character, each carrying its text, as a keyboard (or an input method)
  // delivers them; this also takes characters beyond ASCII.
  void type(const char* text) {
    for (const QChar c : QString::fromUtf8(text)) {
      QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
      QApplication::sendEvent(&field(), &press);
      QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
      QApplication::sendEvent(&field(), &release);
    }
  }
  void key(Qt::Key k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) { QTest::keyClick(&field(), k, modifiers); }
  bool waitForList(const std::vector<std::string>& expected) {
    return QTest::qWaitFor([&] { return list().completions == expected; }, 10000);
  }
  // Lets every reply still under way arrive, so a later check sees the settled state.
  void settle() {
    ASSERT_TRUE(QTest::qWaitFor([&] { return store->autocompleteQueue().operationCount() == 0; }, 10000));
    QTest::qWait(0);
    QCoreApplication::processEvents();
  }
};

TEST_F(SearchBarTest, TypingAsksForCompletionsOfEachEditAndShowsTheListInPlaceOfTheGrid) {
  type("ca");
  EXPECT_EQ(CompletionActions::shared().queries(), (std::vector<std::string>{"c", "ca"}));
  EXPECT_TRUE(standIn->listShown());
  ASSERT_TRUE(waitForList(kCaCompletions));
  settle();
  EXPECT_EQ(list().completions, kCaCompletions) << "a late reply to \"c\" must not replace these";
  ASSERT_EQ(list().tableView->rowCount(), 4);
  EXPECT_EQ(list().tableView->item(1, 0)->text(), "car");
  const auto requests = service.requests("/search/autocomplete");
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().queryValue("query"), "ca");
  key(Qt::Key_Down);
  key(Qt::Key_Down);
  EXPECT_FALSE(vx::test::saveScreenshot(&standIn->window, "search-completion-list-open").isEmpty());

  // Deleting back to an empty field asks for nothing, shows the grid and empties the list.
  key(Qt::Key_Backspace);
  key(Qt::Key_Backspace);
  EXPECT_EQ(CompletionActions::shared().queries(), (std::vector<std::string>{"c", "ca", "c"}));
  EXPECT_TRUE(standIn->gridIsShown());
  EXPECT_TRUE(list().completions.empty());
  EXPECT_EQ(list().tableView->rowCount(), 0);
  settle();
  EXPECT_TRUE(list().completions.empty()) << "the reply to \"c\" came after the field was emptied";
}

TEST_F(SearchBarTest, TextSetByCodeAsksForNothing) {
  field().setText(QStringLiteral("dog"));
  field().setText(QStringLiteral("dogs"));
  standIn->bar.cancelSearch(nullptr);
  EXPECT_TRUE(CompletionActions::shared().queries().empty());
  EXPECT_TRUE(field().text().isEmpty());
  EXPECT_EQ(standIn->freeIconsShown, 1);
  EXPECT_GE(standIn->gridShown, 1);
  settle();
  EXPECT_TRUE(service.requests("/search/autocomplete").empty());
}

TEST_F(SearchBarTest, AReplyToEarlierTextIsDropped) {
  // The first request hangs until the second keystroke cancels it; its (empty) reply arrives
  // while "ca" is the text.
  Fault slow = Fault::withDelay(3s);
  slow.times = 1;
  service.setFault("/search/autocomplete", slow);
  type("c");
  ASSERT_TRUE(service.waitForRequests(1));
  type("a");
  ASSERT_TRUE(waitForReplies(2));
  settle();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].query, "c");
  EXPECT_FALSE(replies[0].applied);
  EXPECT_EQ(replies[1].query, "ca");
  EXPECT_TRUE(replies[1].applied);
  EXPECT_EQ(list().completions, kCaCompletions);

  // A reply for older text that did carry suggestions is dropped as well.
  store->notify(IconStoreChanges::LoadedCompletions{{"cobra", "cup"}, "c"});
  ASSERT_TRUE(waitForReplies(3));
  EXPECT_FALSE(replies[2].applied);
  EXPECT_EQ(list().completions, kCaCompletions);
}

TEST_F(SearchBarTest, ArrowKeysWalkTheListWithinItsEnds) {
  type("ca");
  ASSERT_TRUE(waitForList(kCaCompletions));
  settle();
  struct Step {
    Qt::Key key;
    int expectedRow;
  };
  // Up with no selection does nothing; Down selects row 0; Up on row 0 stays; Down stops at
  // the last row.
  const std::vector<Step> steps = {{Qt::Key_Up, -1},  {Qt::Key_Down, 0}, {Qt::Key_Up, 0},   {Qt::Key_Down, 1},
                                   {Qt::Key_Down, 2}, {Qt::Key_Down, 3}, {Qt::Key_Down, 3}, {Qt::Key_Up, 2}};
  for (std::size_t i = 0; i < steps.size(); ++i) {
    key(steps[i].key);
    EXPECT_EQ(list().selectedRow(), steps[i].expectedRow) << "step " << i;
  }
  EXPECT_EQ(field().text(), "ca") << "the arrows do not change the text";
  EXPECT_EQ(CompletionActions::shared().queries().size(), 2u);

  // An empty list: neither arrow selects anything.
  list().completions.clear();
  list().reloadData();
  key(Qt::Key_Down);
  key(Qt::Key_Up);
  EXPECT_EQ(list().selectedRow(), -1);
  EXPECT_EQ(list().selectedCompletion(), std::nullopt);
}

TEST_F(SearchBarTest, ReturnSearchesTheSelectedCompletionAndEscapeOnlyDismisses) {
  type("ca");
  ASSERT_TRUE(waitForList(kCaCompletions));
  settle();
  key(Qt::Key_Escape);
  EXPECT_TRUE(standIn->gridIsShown());
  EXPECT_TRUE(standIn->searches.empty()) << "Escape never searches";

  type("r");  // "car": the list is back
  ASSERT_TRUE(standIn->listShown());
  ASSERT_TRUE(waitForList({"car", "carrot"}));
  settle();
  key(Qt::Key_Down);
  key(Qt::Key_Down);
  key(Qt::Key_Return);
  EXPECT_EQ(standIn->searches, (std::vector<std::string>{"carrot"}));

  // Without a selection Return searches the text; Enter on the keypad does the same.
  list().completions.clear();
  list().reloadData();
  QTest::keyClick(&field(), Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(standIn->searches, (std::vector<std::string>{"carrot", "car"}));
}

TEST_F(SearchBarTest, OtherKeysBehaveAsInAPlainField) {
  type("cat");
  key(Qt::Key_Left);
  key(Qt::Key_Left);
  type("o");
  EXPECT_EQ(field().text(), "coat");
  key(Qt::Key_Right);
  key(Qt::Key_Backspace);
  EXPECT_EQ(field().text(), "cot");
  EXPECT_EQ(CompletionActions::shared().queries(), (std::vector<std::string>{"c", "ca", "cat", "coat", "cot"}));
  EXPECT_TRUE(standIn->searches.empty());
}

TEST_F(SearchBarTest, AFailedCompletionRequestLeavesTheFieldUsable) {
  struct Case {
    const char* name;
    Fault fault;
  };
  const std::vector<Case> cases = {{"HTTP 500", Fault::withStatus(500)},
                                   {"dropped connection", Fault::dropConnection()},
                                   {"malformed JSON", Fault::malformedBody()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standIn->bar.cancelSearch(nullptr);
    replies.clear();
    service.setFault("/search/autocomplete", c.fault);
    type("cl");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !replies.empty() && replies.back().query == "cl"; }, 10000));
    settle();
    EXPECT_TRUE(list().completions.empty());
    EXPECT_TRUE(field().isEnabled());
    EXPECT_FALSE(field().isReadOnly());
    EXPECT_TRUE(standIn->listShown());

    // Still usable: more typing asks again and gets an answer; Return still searches.
    service.clearFaults();
    type("o");
    EXPECT_EQ(field().text(), "clo");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !replies.empty() && replies.back().query == "clo" && replies.back().applied; }, 10000));
    EXPECT_EQ(list().completions, (std::vector<std::string>{"clock", "cloud"}));
    key(Qt::Key_Return);
    EXPECT_EQ(standIn->searches.back(), "clo");
  }
}

TEST_F(SearchBarTest, ClickingARowSearchesItAndPutsItInTheFieldWithoutAskingAgain) {
  type("ca");
  ASSERT_TRUE(waitForList(kCaCompletions));
  settle();
  QTableWidget& table = *list().tableView;
  const QRect cell = table.visualItemRect(table.item(3, 0));
  QTest::mouseClick(table.viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
  EXPECT_EQ(standIn->searches, (std::vector<std::string>{"cat"}));
  EXPECT_EQ(field().text(), "cat");
  EXPECT_EQ(CompletionActions::shared().queries(), (std::vector<std::string>{"c", "ca"}));
}

TEST_F(SearchBarTest, OddTextIsSentAsTypedAndAnswered) {
  // Text no icon begins with, with characters beyond ASCII and a query of 2000 letters.
  type("ümlaut ✓");
  const std::string longText(2000, 'x');
  ASSERT_TRUE(QTest::qWaitFor([&] { return !replies.empty() && replies.back().query == "ümlaut ✓"; }, 10000));
  settle();
  EXPECT_TRUE(list().completions.empty());
  const auto requests = service.requests("/search/autocomplete");
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().queryValue("query"), "ümlaut ✓");

  field().setText(QString::fromStdString(longText.substr(1)));
  type("x");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !replies.empty() && replies.back().query == longText; }, 10000));
  EXPECT_TRUE(field().isEnabled());
}

TEST_F(SearchBarTest, CanGoBackSwapsTheBackButtonForTheSearchButton) {
  SearchBarViewController& bar = standIn->bar;
  EXPECT_FALSE(bar.backButton->isEnabled()) << "hidden and disabled at load";
  EXPECT_TRUE(bar.backButton->isHidden());
  bar.setCanGoBack(true);
  EXPECT_TRUE(bar.backButton->isEnabled());
  EXPECT_FALSE(bar.backButton->isHidden());
  EXPECT_TRUE(bar.searchButton->isHidden());
  EXPECT_TRUE(bar.searchImage->isHidden());
  EXPECT_FALSE(vx::test::saveScreenshot(&standIn->window, "search-bar-can-go-back").isEmpty());
  bar.setCanGoBack(false);
  EXPECT_FALSE(bar.backButton->isEnabled());
  EXPECT_TRUE(bar.backButton->isHidden());
  EXPECT_FALSE(bar.searchButton->isHidden());
  EXPECT_TRUE(bar.searchButton->isEnabled());
  EXPECT_FALSE(bar.searchImage->isHidden());
}

TEST_F(SearchBarTest, ThePlaceholderIsTheLightGreyInvitation) {
  EXPECT_EQ(field().placeholderText(), "Search for anything");
  const QColor grey = field().palette().color(QPalette::PlaceholderText);
  EXPECT_NEAR(grey.redF(), 0.73, 0.002);
  EXPECT_NEAR(grey.greenF(), 0.73, 0.002);
  EXPECT_NEAR(grey.blueF(), 0.73, 0.002);
  EXPECT_FALSE(vx::test::saveScreenshot(&standIn->window, "search-bar-placeholder").isEmpty());
}

TEST(SearchBarWithoutDelegate, EditsAndCommandsChangeOnlyTheField) {
  registerSearchBarInterface();
  SearchBarViewController bar;
  bar.view()->show();
  QTest::keyClicks(bar.searchField, QStringLiteral("cat"));
  QTest::keyClick(bar.searchField, Qt::Key_Down);
  QTest::keyClick(bar.searchField, Qt::Key_Return);
  QTest::keyClick(bar.searchField, Qt::Key_Escape);
  EXPECT_EQ(bar.searchField->text(), "cat");
  EXPECT_TRUE(bar.lastCompletionQuery().empty());
  bar.cancelSearch(nullptr);
  EXPECT_TRUE(bar.searchField->text().isEmpty());
}

TEST(SearchFieldCommands, KeysMapToTheirCommands) {
  EXPECT_EQ(SearchField::commandForKey(Qt::Key_Up), "moveUp:");
  EXPECT_EQ(SearchField::commandForKey(Qt::Key_Down), "moveDown:");
  EXPECT_EQ(SearchField::commandForKey(Qt::Key_Escape), "cancelOperation:");
  EXPECT_EQ(SearchField::commandForKey(Qt::Key_Return), "insertNewline:");
  EXPECT_EQ(SearchField::commandForKey(Qt::Key_Enter), "insertNewline:");
  EXPECT_EQ(SearchField::commandForKey(Qt::Key_Tab), "");
  EXPECT_EQ(SearchField::commandForKey(Qt::Key_Left), "");
}

}  // namespace
}  // namespace Vexelworks
