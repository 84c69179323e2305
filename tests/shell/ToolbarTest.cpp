#include "app/shell/FileTypeMenu.h"
#include "app/shell/ToolbarViewController.h"

#include "app/qt/Responder.h"
#include "app/service/Settings.h"
#include "app/views/ColorSwatch.h"
#include "app/views/PopUpButtonCells.h"
#include "platform/foundation/UserDefaults.h"
#include "support/ChildRerun.h"
#include "support/Screenshot.h"

#include <QAbstractItemView>
#include <QMenu>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace Vexelworks {
namespace {

struct RecordingToolbarDelegate : ToolbarViewControllerDelegate {
  std::vector<std::shared_ptr<const ExportOptions>> options;
  std::vector<ZoomLevel> zoomLevels;
  void setExportOptions(std::shared_ptr<const ExportOptions> o) override { options.push_back(std::move(o)); }
  void setZoomLevel(const ZoomLevel& level) override { zoomLevels.push_back(level); }
};

// Stands in for the search window's controller at the end of the chain.
struct WindowResponder : vx::Responder {
  int colorPanelRequests = 0;
  WindowResponder() {
    setActionHandler("showColorPanel:", [this](QObject*) { ++colorPanelRequests; });
  }
};

std::vector<QString> itemTitles(const QComboBox& popUp) {
  std::vector<QString> titles;
  for (int i = 0; i < popUp.count(); ++i) titles.push_back(popUp.itemText(i));
  return titles;
}

class ToolbarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A child re-run of the restart test reads what its parent left.
    if (vx::test::rerunValue("VX_TOOLBAR_CHILD") == nullptr) {
      for (const char* key : {SettingKeys::iconPasteboardType, SettingKeys::iconExportSize, SettingKeys::iconColors}) {
        vx::UserDefaults::standard().removeObject(key);
      }
    }
    registerToolbarInterface();
  }

  // A toolbar as the search window makes it: the delegate first, then the view, in a window.
  ToolbarViewController& makeToolbar() {
    toolbar = std::make_unique<ToolbarViewController>();
    toolbar->delegate = &delegate;
    window = std::make_unique<QWidget>();
    auto* layout = new QVBoxLayout(window.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(toolbar->view());
    window->resize(560, 36);
    responder.attachToWidget(window.get());
    window->show();
    window->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
    toolbar->zoomPopUp->setFocus();
    return *toolbar;
  }
  void TearDown() override {
    if (window) responder.detachFromWidget(window.get());
    window.reset();
    toolbar.reset();
  }

  // The user opens the pop-up, moves to the item and presses Return (a click right after the
  // list opens is ignored by the list, as the release of the opening click would be).
  void choose(PopUpButton& popUp, const QString& title, const char* screenshot = nullptr) {
    const int index = popUp.findText(title, Qt::MatchExactly);
    ASSERT_GE(index, 0) << title.toStdString();
    popUp.showPopup();
    QAbstractItemView* list = popUp.view();
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->isVisible(); }));
    list->setCurrentIndex(list->model()->index(index, popUp.modelColumn()));
    if (screenshot != nullptr) {
      EXPECT_FALSE(vx::test::saveScreenshot(list->window(), screenshot).isEmpty());
    }
    QTest::keyClick(list, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !list->isVisible(); }));
  }

  static std::vector<std::string> storedColors() { return settingStrings(SettingKeys::iconColors, {}); }

  RecordingToolbarDelegate delegate;
  WindowResponder responder;
  std::unique_ptr<ToolbarViewController> toolbar;
  std::unique_ptr<QWidget> window;
};

TEST_F(ToolbarTest, TheFileTypeStartsFromItsSetting) {
  struct Case {
    const char* name;
    std::optional<vx::Value> stored;
    const char* shown;
    bool sizeEnabled;
  };
  const std::vector<Case> cases = {
      {"missing", std::nullopt, "Auto", true},        {"the fallback text", vx::Value("auto"), "Auto", true},
      {"lower case", vx::Value("svg"), "Auto", true}, {"other text", vx::Value("TIFF"), "Auto", true},
      {"a number", vx::Value(3), "Auto", true},       {"SVG", vx::Value("SVG"), "SVG", false},
      {"PDF", vx::Value("PDF"), "PDF", false},        {"PNG", vx::Value("PNG"), "PNG", true},
      {"Auto", vx::Value("Auto"), "Auto", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.stored) {
      vx::UserDefaults::standard().setObject(*c.stored, SettingKeys::iconPasteboardType);
    } else {
      vx::UserDefaults::standard().removeObject(SettingKeys::iconPasteboardType);
    }
    ToolbarViewController& bar = makeToolbar();
    EXPECT_EQ(bar.fileTypePopUp->currentText(), c.shown);
    EXPECT_EQ(bar.sizePopUp->isEnabled(), c.sizeEnabled);
    EXPECT_EQ(QString::fromUtf8(rawValue(bar.pasteboardType()).data()), c.shown);
    EXPECT_EQ(bar.exportOptions()->type(), bar.pasteboardType());
    EXPECT_TRUE(delegate.options.empty()) << "starting tells the delegate nothing";
  }
}

TEST_F(ToolbarTest, TheSizeStartsFromItsSettingAndAnUnlistedSizeSelectsNothing) {
  struct Case {
    const char* name;
    std::optional<vx::Value> stored;
    int index;
    double optionsSize;
  };
  const std::vector<Case> cases = {
      {"missing", std::nullopt, 3, 300},
      {"1200", vx::Value(1200), 5, 1200},
      {"24", vx::Value(24), 0, 24},
      {"500", vx::Value(500), -1, 500},
      {"text", vx::Value("600"), 3, 300},
      {"negative", vx::Value(-24), -1, -24},
      {"beyond int", vx::Value(std::int64_t{1} << 40), -1, static_cast<double>(std::int64_t{1} << 40)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.stored) {
      vx::UserDefaults::standard().setObject(*c.stored, SettingKeys::iconExportSize);
    } else {
      vx::UserDefaults::standard().removeObject(SettingKeys::iconExportSize);
    }
    ToolbarViewController& bar = makeToolbar();
    EXPECT_EQ(itemTitles(*bar.sizePopUp), (std::vector<QString>{"24px", "84px", "150px", "300px", "600px", "1200px"}));
    EXPECT_EQ(bar.sizePopUp->currentIndex(), c.index);
    EXPECT_EQ(bar.exportOptions()->size(), c.optionsSize);
  }
}

TEST_F(ToolbarTest, ChoosingAFileTypeStoresItSwitchesTheSizePopUpAndReachesTheSearchWindow) {
  vx::UserDefaults::standard().setInteger(600, SettingKeys::iconExportSize);
  ToolbarViewController& bar = makeToolbar();
  EXPECT_FALSE(vx::test::saveScreenshot(window.get(), "toolbar").isEmpty());
  struct Step {
    const char* title;
    PasteboardType type;
    bool sizeEnabled;
  };
  const std::vector<Step> steps = {{"SVG", PasteboardType::svg, false},
                                   {"PNG", PasteboardType::png, true},
                                   {"PDF", PasteboardType::pdf, false},
                                   {"Auto", PasteboardType::auto_, true}};
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    SCOPED_TRACE(step.title);
    choose(*bar.fileTypePopUp, QString::fromUtf8(step.title), i == 0 ? "toolbar-file-type-popup" : nullptr);
    EXPECT_EQ(settingString(SettingKeys::iconPasteboardType, "auto"), step.title);
    EXPECT_EQ(bar.sizePopUp->isEnabled(), step.sizeEnabled);
    EXPECT_EQ(bar.fileTypePopUp->currentText(), step.title);
    ASSERT_EQ(delegate.options.size(), i + 1);
    EXPECT_EQ(delegate.options.back()->type(), step.type);
    EXPECT_EQ(delegate.options.back()->size(), 600) << "the other choices stay";
    EXPECT_EQ(delegate.options.back()->color().hexString(), "000000");
  }
}

TEST_F(ToolbarTest, TheFileTypeMenuShowsTheStoredChoiceAndSetsTheToolbarsType) {
  saveIconPasteboardType(PasteboardType::svg);
  FileTypeMenu item;
  QMenu* menu = item.submenu();
  ASSERT_NE(menu, nullptr);
  EXPECT_TRUE(item.hasSubmenu());
  EXPECT_EQ(menu->title(), "File Type");
  for (QAction* action : menu->actions()) {
    if (!action->isSeparator()) {
      EXPECT_FALSE(action->isEnabled()) << "nobody takes the choice yet";
    }
  }

  ToolbarViewController& bar = makeToolbar();
  menu = item.submenu();
  const QList<QAction*> actions = menu->actions();
  ASSERT_EQ(actions.size(), 5);
  std::vector<QString> titles;
  int checked = 0;
  for (QAction* action : actions) {
    titles.push_back(action->isSeparator() ? QStringLiteral("-") : action->text());
    if (action->isChecked()) {
      ++checked;
      EXPECT_EQ(action->text(), "SVG");
    }
    if (!action->isSeparator()) {
      EXPECT_TRUE(action->isEnabled());
      EXPECT_TRUE(action->shortcut().isEmpty());
    }
  }
  EXPECT_EQ(titles, (std::vector<QString>{"Auto", "-", "SVG", "PDF", "PNG"}));
  EXPECT_EQ(checked, 1);

  menu->popup(window->mapToGlobal(QPoint(10, 30)));
  ASSERT_TRUE(QTest::qWaitFor([&] { return menu->isVisible(); }));
  EXPECT_FALSE(vx::test::saveScreenshot(menu, "file-type-menu").isEmpty());
  // Showing rebuilt the items.
  const QList<QAction*> shown = menu->actions();
  ASSERT_EQ(shown.size(), 5);
  ASSERT_EQ(shown[3]->text(), "PDF");
  shown[3]->trigger();
  menu->hide();
  EXPECT_EQ(bar.fileTypePopUp->currentText(), "PDF");
  EXPECT_EQ(bar.pasteboardType(), PasteboardType::pdf);
  EXPECT_FALSE(bar.sizePopUp->isEnabled());
  EXPECT_EQ(settingString(SettingKeys::iconPasteboardType, "auto"), "PDF");
  ASSERT_EQ(delegate.options.size(), 1u);
  EXPECT_EQ(delegate.options[0]->type(), PasteboardType::pdf);

  // Read again, the submenu is rebuilt with the new choice checked.
  for (QAction* action : item.submenu()->actions()) {
    EXPECT_EQ(action->isChecked(), action->text() == "PDF") << action->text().toStdString();
  }
  item.setSubmenu(nullptr);
  EXPECT_EQ(item.submenu(), item.cachedSubMenu()) << "another submenu is ignored";
}

TEST_F(ToolbarTest, ChoosingASizeStoresItsPixels) {
  saveIconPasteboardType(PasteboardType::png);
  ToolbarViewController& bar = makeToolbar();
  choose(*bar.sizePopUp, QStringLiteral("1200px"), "toolbar-size-popup");
  EXPECT_EQ(settingInt(SettingKeys::iconExportSize, 0), 1200);
  ASSERT_EQ(delegate.options.size(), 1u);
  EXPECT_EQ(delegate.options[0]->size(), 1200);
  EXPECT_EQ(delegate.options[0]->type(), PasteboardType::png);
  choose(*bar.sizePopUp, QStringLiteral("24px"));
  EXPECT_EQ(settingInt(SettingKeys::iconExportSize, 0), 24);
  EXPECT_EQ(bar.exportOptions()->size(), 24);

  // Senders that are not a pop-up with a selection change nothing.
  bar.didSelectSize(nullptr);
  QComboBox empty;
  bar.didSelectSize(&empty);
  EXPECT_EQ(delegate.options.size(), 2u);
}

TEST_F(ToolbarTest, ChoosingAZoomLevelReachesTheSearchWindow) {
  ToolbarViewController& bar = makeToolbar();
  EXPECT_EQ(itemTitles(*bar.zoomPopUp), (std::vector<QString>{"50%", "75%", "100%", "150%", "200%", "300%"}));
  EXPECT_EQ(bar.zoomPopUp->currentText(), "100%");
  choose(*bar.zoomPopUp, QStringLiteral("200%"), "toolbar-zoom-popup");
  ASSERT_EQ(delegate.zoomLevels.size(), 1u);
  EXPECT_EQ(delegate.zoomLevels[0].title, "200%");
  EXPECT_EQ(delegate.zoomLevels[0].size, 150);
  EXPECT_TRUE(delegate.options.empty());
  QComboBox empty;
  bar.didPickZoomLevel(&empty);
  EXPECT_EQ(delegate.zoomLevels.size(), 1u);
}

TEST_F(ToolbarTest, RecentColoursAreNewestFirstAndKeepTheFiveNewest) {
  ToolbarViewController& bar = makeToolbar();
  const std::vector<std::string> hexes = {"112233", "445566", "778899", "AABBCC", "DDEEF0", "123456"};
  for (const auto& hex : hexes) bar.selectColor(Color::fromHex(hex));
  EXPECT_EQ(storedColors(), (std::vector<std::string>{"123456", "DDEEF0", "AABBCC", "778899", "445566"}));
  EXPECT_EQ(itemTitles(*bar.colorPopUp), (std::vector<QString>{"Black", "White", "#123456", "#DDEEF0", "#AABBCC",
                                                               "#778899", "#445566", "", "Choose..."}));
  EXPECT_EQ(bar.colorPopUp->currentText(), "#123456");
  EXPECT_EQ(bar.colorSwatch->selectedColor(), QColor(0x12, 0x34, 0x56));
  EXPECT_EQ(bar.exportOptions()->color().hexString(), "123456");
  EXPECT_EQ(delegate.options.size(), hexes.size());

  // A recent colour chosen again is selected where it is; nothing moves.
  choose(*bar.colorPopUp, QStringLiteral("#778899"), "toolbar-color-popup");
  EXPECT_EQ(bar.colorPopUp->currentText(), "#778899");
  EXPECT_EQ(bar.colorPopUp->findText(QStringLiteral("#778899")), 5);
  EXPECT_EQ(storedColors(), (std::vector<std::string>{"123456", "DDEEF0", "AABBCC", "778899", "445566"}));
  EXPECT_EQ(delegate.options.back()->color().hexString(), "778899");
  EXPECT_EQ(bar.colorSwatch->selectedColor(), QColor(0x77, 0x88, 0x99));
  EXPECT_FALSE(vx::test::saveScreenshot(window.get(), "toolbar-recent-colour-chosen").isEmpty());

  // Black and white select their items and store nothing.
  choose(*bar.colorPopUp, QStringLiteral("White"));
  EXPECT_EQ(bar.colorPopUp->currentText(), "White");
  EXPECT_EQ(delegate.options.back()->color().hexString(), "FFFFFF");
  bar.selectColor(Color::rgb(0, 0, 0));
  EXPECT_EQ(bar.colorPopUp->currentText(), "Black");
  EXPECT_EQ(storedColors().size(), 5u);
  EXPECT_EQ(bar.colorPopUp->count(), 9);
}

TEST_F(ToolbarTest, ColourTitlesWithEightDigitsGiveTheColourOpaque) {
  ToolbarViewController& bar = makeToolbar();
  bar.selectColor(Color::rgb(0.2, 0.4, 0.6, 0.5));
  EXPECT_EQ(storedColors(), (std::vector<std::string>{"80336699"}));
  EXPECT_EQ(bar.colorPopUp->currentText(), "#80336699");
  EXPECT_FALSE(bar.exportOptions()->color().isOpaque());

  choose(*bar.colorPopUp, QStringLiteral("#80336699"));
  const Color chosen = delegate.options.back()->color();
  EXPECT_TRUE(chosen.isOpaque());
  EXPECT_EQ(chosen.hexString(), "336699");
  EXPECT_EQ(bar.colorPopUp->currentText(), "#336699");
  EXPECT_EQ(storedColors(), (std::vector<std::string>{"336699", "80336699"}));
}

TEST_F(ToolbarTest, ChooseAsksTheSearchWindowForTheColourPanel) {
  ToolbarViewController& bar = makeToolbar();
  choose(*bar.colorPopUp, QStringLiteral("Choose..."));
  EXPECT_EQ(responder.colorPanelRequests, 1);
  EXPECT_TRUE(delegate.options.empty()) << "no colour was chosen yet";
  EXPECT_TRUE(storedColors().empty());
  // Other senders and titles do nothing.
  bar.didSelectColorOption(nullptr);
  QAction other(QStringLiteral("Mauve"));
  bar.didSelectColorOption(&other);
  EXPECT_TRUE(delegate.options.empty());
  QAction hex(QStringLiteral("#C0FFEE"));
  bar.didSelectColorOption(&hex);
  ASSERT_EQ(delegate.options.size(), 1u);
  EXPECT_EQ(delegate.options[0]->color().hexString(), "C0FFEE");
}

TEST_F(ToolbarTest, StoredColoursBeyondTheRecentListAreNotAllShown) {
  vx::UserDefaults::standard().setArray(
      vx::ValueArray{"010101", "020202", "030303", "040404", "050505", "060606", "070707"}, SettingKeys::iconColors);
  ToolbarViewController& bar = makeToolbar();
  EXPECT_EQ(itemTitles(*bar.colorPopUp), (std::vector<QString>{"Black", "White", "#010101", "#020202", "#030303",
                                                               "#040404", "#050505", "", "Choose..."}));
  bar.selectColor(Color::fromHex("0A0B0C"));
  EXPECT_EQ(bar.colorPopUp->count(), 9);
  EXPECT_EQ(bar.colorPopUp->itemText(2), "#0A0B0C");
}

TEST(ToolbarColorImageTest, LightColoursAreOutlinedInGreyAndDarkOnesInThemselves) {
  struct Case {
    const char* hex;
    QColor border;
  };
  const QColor grey(186, 186, 186);
  for (const Case& c : std::vector<Case>{{"FFFFFF", grey},
                                         {"EEEEEE", grey},
                                         {"C8C8C8", QColor(0xc8, 0xc8, 0xc8)},
                                         {"FFFF00", grey},
                                         {"0000FF", QColor(0, 0, 255)},
                                         {"1E905A", QColor(0x1e, 0x90, 0x5a)}}) {
    const QImage image = ToolbarViewController::colorImage(Color::fromHex(c.hex)).toImage();
    ASSERT_EQ(image.size(), QSize(13, 13)) << c.hex;
    EXPECT_EQ(image.pixelColor(0, 6), c.border) << c.hex;
    EXPECT_EQ(image.pixelColor(6, 0), c.border) << c.hex;
    EXPECT_EQ(image.pixelColor(6, 6), QColor(QString("#") + c.hex)) << c.hex;
  }
}

TEST_F(ToolbarTest, ChoicesSurviveARestartButTheColourStartsBlack) {
  if (const char* out = vx::test::rerunValue("VX_TOOLBAR_CHILD")) {
    // The restarted application: a new toolbar from the settings the parent left.
    ToolbarViewController& bar = makeToolbar();
    std::ofstream file(out);
    file << bar.fileTypePopUp->currentText().toStdString() << '|' << bar.sizePopUp->currentText().toStdString() << '|'
         << bar.sizePopUp->isEnabled() << '|' << bar.zoomPopUp->currentText().toStdString() << '|'
         << bar.colorPopUp->currentText().toStdString() << '|';
    for (const auto& title : itemTitles(*bar.colorPopUp)) file << title.toStdString() << ',';
    file << '|' << rawValue(bar.exportOptions()->type()) << ' ' << bar.exportOptions()->size() << ' '
         << bar.exportOptions()->color().hexString() << '\n';
    return;
  }
  ToolbarViewController& bar = makeToolbar();
  choose(*bar.fileTypePopUp, QStringLiteral("PNG"));
  choose(*bar.sizePopUp, QStringLiteral("84px"));
  choose(*bar.zoomPopUp, QStringLiteral("300%"));
  bar.selectColor(Color::fromHex("1E905A"));
  bar.selectColor(Color::fromHex("D23C14"));
  choose(*bar.colorPopUp, QStringLiteral("#1E905A"));

  const std::string out = std::string(std::getenv("VX_TEST_HOME")) + "/toolbar-child.txt";
  ASSERT_TRUE(vx::test::rerunCurrentTestInChild("VX_TOOLBAR_CHILD", out));
  std::ifstream file(out);
  std::string line;
  std::getline(file, line);
  EXPECT_EQ(line, "PNG|84px|1|100%|Black|Black,White,#D23C14,#1E905A,,Choose...,|PNG 84 000000");
}

TEST(ToolbarDeathTest, AFileTypeTitleOutsideTheFourStopsTheProgram) {
  registerToolbarInterface();
  EXPECT_DEATH(
      {
        ToolbarViewController bar;
        QAction item(QStringLiteral("TIFF"));
        bar.didSelectFileType(&item);
      },
      "Invalid selection TIFF");
}

}  // namespace
}  // namespace Vexelworks
