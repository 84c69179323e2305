// The icon detail view against the local service and real rendering: the chosen icon large with
// its name and creator, the sizes of its rows, the layout's size-only invalidation, Escape and
// Space closing it, the web page, copying, the context menu, dragging, new export options, and
// the state shown when the artwork fails to download or to render.
#include "IconDetailTestSupport.h"

#include "app/service/Helpers.h"
#include "app/views/IconActionsProvider.h"
#include "app/views/IconDetailCell.h"
#include "app/views/Drawing.h"
#include "app/service/Palette.h"

#include <QDrag>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>

#include <cmath>

namespace Vexelworks {
namespace {

using test::IconDetailFixture;

constexpr const char* kCoffeeCup = "30001";  // in a collection, with related icons
constexpr const char* kAnchor = "30015";

class IconDetailViewTest : public IconDetailFixture {
 protected:
  IconDetailCell* iconCell() { return dynamic_cast<IconDetailCell*>(grid().cellForItem({0, 0})); }
  IconInfoCell* infoCell() { return dynamic_cast<IconInfoCell*>(grid().cellForItem({1, 0})); }

  void sendMouse(QEvent::Type type, const QPoint& at, Qt::MouseButton button, Qt::MouseButtons buttons) {
    QWidget* viewport = grid().viewport();
    QMouseEvent event(type, QPointF(at), viewport->mapToGlobal(QPointF(at)), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(viewport, &event);
  }

  // Presses on the item and moves past the drag distance (the grid's drag runner answers).
  void dragItem(const IndexPath& path) {
    CollectionViewCell* cell = grid().cellForItem(path);
    ASSERT_NE(cell, nullptr);
    const QPoint start = cell->geometry().center();
    sendMouse(QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
    sendMouse(QEvent::MouseMove, start + QPoint(30, 30), Qt::NoButton, Qt::LeftButton);
    sendMouse(QEvent::MouseButtonRelease, start + QPoint(30, 30), Qt::LeftButton, Qt::NoButton);
  }
};

TEST_F(IconDetailViewTest, ShowsTheChosenIconLargeWithItsNameAndCreator) {
  const IconPtr icon = iconWithID(kCoffeeCup);
  ASSERT_NE(icon, nullptr);
  fetchArtwork(icon);
  auto& detail = openDetail(icon);

  EXPECT_EQ(detail.selectedIcon(), icon);
  EXPECT_EQ(grid().numberOfSections(), 2) << "the related-icons section is switched off";
  EXPECT_FALSE(detail.relatedIconsEnabled());
  ASSERT_NE(detail.relatedIconsDataSource(), nullptr) << "made all the same, and never asked";
  EXPECT_EQ(detail.relatedIconsDataSource()->api(), nullptr) << "load() never ran";
  EXPECT_TRUE(service_.requests("/icon/.*/more-like-this").empty());

  IconDetailCell* cell = iconCell();
  ASSERT_NE(cell, nullptr);
  ASSERT_NE(cell->imageView, nullptr);
  ASSERT_TRUE(cell->imageView->image().has_value());
  const QImage rendered = cell->imageView->renderedImage();
  ASSERT_FALSE(rendered.isNull());
  EXPECT_EQ(rendered.width(), cell->imageView->side());
  EXPECT_EQ(cell->imageView->side(), 500) << "min(600 - 100, 800 - 40)";
  // Black artwork on a clear cell: some pixels are opaque black, the corners are empty.
  EXPECT_EQ(qAlpha(rendered.pixel(0, 0)), 0);
  bool inked = false;
  for (int y = 0; y < rendered.height() && !inked; y += 5) {
    for (int x = 0; x < rendered.width() && !inked; x += 5) inked = qAlpha(rendered.pixel(x, y)) == 255;
  }
  EXPECT_TRUE(inked);
  EXPECT_FALSE(cell->backgroundColor().has_value());

  IconInfoCell* info = infoCell();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->nameField->text().toStdString(), icon->name);
  EXPECT_EQ(info->creatorField->text().toStdString(), "By " + icon->creator->name);
  EXPECT_FALSE(info->openButton->isHidden());
  EXPECT_TRUE(info->downloadButton->isHidden());
  screenshot("icon-detail");
}

TEST_F(IconDetailViewTest, TheLargeIconFollowsTheContentSizeAndIsNeverNegative) {
  openDetail(iconWithID(kAnchor));
  // Let the window become smaller than a grid would ask for.
  controller_->view()->setMinimumSize(1, 1);
  grid().setMinimumSize(1, 1);
  struct Case {
    QSize size;
    double iconHeight;
  } cases[] = {
      {{800, 600}, 500},  // min(600 - 100, 800 - 40)
      {{300, 600}, 260},  // min(500, 300 - 40)
      {{300, 80}, 0},     // 80 - 100 would be negative: the row is empty instead
      {{30, 400}, 0},     // 30 - 40 likewise
  };
  for (const auto& c : cases) {
    host_->resize(c.size);
    QCoreApplication::processEvents();
    ASSERT_EQ(host_->size(), c.size);
    EXPECT_EQ(controller_->contentSize(), QSizeF(c.size)) << "no frame, no insets, no leading view";
    const QRectF large = frameOf({0, 0});
    EXPECT_DOUBLE_EQ(large.height(), c.iconHeight) << c.size.width() << "x" << c.size.height();
    const QRectF info = frameOf({1, 0});
    EXPECT_DOUBLE_EQ(info.height(), 50);
    EXPECT_DOUBLE_EQ(info.top(), large.bottom()) << "the next section starts right below";
  }
}

TEST_F(IconDetailViewTest, TheLayoutIsRecomputedForANewSizeNotForAScroll) {
  DetailViewLayout layout;
  EXPECT_TRUE(layout.shouldInvalidateLayout(QRectF(0, 0, 800, 600)));
  EXPECT_FALSE(layout.shouldInvalidateLayout(QRectF(0, 120, 800, 600))) << "scrolled";
  EXPECT_TRUE(layout.shouldInvalidateLayout(QRectF(0, 120, 700, 600))) << "new width";
  EXPECT_FALSE(layout.shouldInvalidateLayout(QRectF(0, 0, 700, 600)));
  EXPECT_TRUE(layout.shouldInvalidateLayout(QRectF(0, 0, 700, 650))) << "new height";
  EXPECT_DOUBLE_EQ(layout.cvWidth(), 700);
  EXPECT_DOUBLE_EQ(layout.cvWHeight(), 650);

  // In place: a taller window gives a taller icon without any other reload.
  openDetail(iconWithID(kAnchor), QSize(800, 500));
  EXPECT_DOUBLE_EQ(frameOf({0, 0}).height(), 400);
  host_->resize(800, 700);
  QCoreApplication::processEvents();
  EXPECT_DOUBLE_EQ(frameOf({0, 0}).height(), 600);
}

TEST_F(IconDetailViewTest, EscapeAndSpaceAskTheWindowToCloseItOtherKeysGoOn) {
  const IconPtr icon = iconWithID(kAnchor);
  auto& detail = openDetail(icon);
  grid().setFocus();
  struct Case {
    Qt::Key key;
    bool closes;
  } cases[] = {{Qt::Key_Escape, true}, {Qt::Key_Space, true}, {Qt::Key_Return, false}, {Qt::Key_A, false}};
  for (const auto& c : cases) {
    host_->closeSenders.clear();
    QKeyEvent press(QEvent::KeyPress, c.key, Qt::NoModifier, c.key == Qt::Key_Space ? QStringLiteral(" ") : QString());
    QApplication::sendEvent(&grid(), &press);
    if (c.closes) {
      ASSERT_EQ(host_->closeSenders.size(), 1u) << c.key;
      EXPECT_EQ(host_->closeSenders[0], &detail) << "sent from the controller";
      EXPECT_TRUE(press.isAccepted());
    } else {
      EXPECT_TRUE(host_->closeSenders.empty()) << c.key;
    }
  }
  EXPECT_EQ(detail.selectedIcon(), icon);
}

TEST_F(IconDetailViewTest, TheOpenButtonOpensTheIconsWebPageThroughTheURLOpener) {
  const IconPtr icon = iconWithID(kCoffeeCup);
  openDetail(icon);
  std::vector<std::string> opened;
  const URLOpener previous = setURLOpener([&](const vx::URL& url) { opened.push_back(url.string()); });
  ASSERT_NE(infoCell(), nullptr);
  QTest::mouseClick(infoCell()->openButton, Qt::LeftButton);
  setURLOpener(previous);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], icon->iconURL.string());
  EXPECT_NE(opened[0].find("/term/"), std::string::npos) << opened[0];
}

// A stand-in for the shell's icon actions (tested with the shell): it records what the detail
// view asks of it.
struct RecordedActions {
  std::vector<std::string> copiedIcons;
  std::vector<std::string> menuIcons;
  std::vector<std::string> shownMenus;
};

class RecordingActions : public IconActionsInterface {
 public:
  RecordingActions(IconPtr icon, RecordedActions& record) : icon_(std::move(icon)), record_(record) {}
  void copy(QObject*) override { record_.copiedIcons.push_back(icon_->id); }
  std::unique_ptr<QMenu> menu() override {
    record_.menuIcons.push_back(icon_->id);
    auto menu = std::make_unique<QMenu>();
    menu->addAction(QString::fromStdString(icon_->title()))->setEnabled(false);
    return menu;
  }

 private:
  IconPtr icon_;
  RecordedActions& record_;
};

TEST_F(IconDetailViewTest, CopyAndTheContextMenuActOnTheShownIcon) {
  RecordedActions record;
  setIconActionsFactory([&record](IconPtr icon, std::shared_ptr<const ExportOptions>, std::shared_ptr<ImageStore>) {
    return std::make_shared<RecordingActions>(std::move(icon), record);
  });
  const IconPtr icon = iconWithID(kCoffeeCup);
  fetchArtwork(icon);
  auto& detail = openDetail(icon);
  detail.setMenuPresenter([&](QMenu& menu, QWidget& cell, const QPoint&) {
    record.shownMenus.push_back(menu.actions().value(0)->text().toStdString());
    EXPECT_EQ(&cell, grid().cellForItem({0, 0}));
  });

  EXPECT_TRUE(vx::ActionRouter::sendAction("copy:", nullptr, nullptr, &grid()));
  QKeyEvent copyKey(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier, QStringLiteral("c"));
  QApplication::sendEvent(&grid(), &copyKey);
  EXPECT_EQ(record.copiedIcons, (std::vector<std::string>{kCoffeeCup, kCoffeeCup}));

  // Right click on the large icon: its menu, in its cell; on the info row: nothing.
  const QPoint onIcon = grid().cellForItem({0, 0})->geometry().center();
  sendMouse(QEvent::MouseButtonPress, onIcon, Qt::RightButton, Qt::RightButton);
  const QPoint onInfo = grid().cellForItem({1, 0})->geometry().center();
  sendMouse(QEvent::MouseButtonPress, onInfo, Qt::RightButton, Qt::RightButton);
  EXPECT_EQ(record.menuIcons, std::vector<std::string>{kCoffeeCup});
  ASSERT_EQ(record.shownMenus.size(), 1u);
  EXPECT_EQ(record.shownMenus[0], icon->title());
  EXPECT_EQ(grid().sortedIndexPathsForSelectedItems(), (std::vector<IndexPath>{{0, 0}}));
  setIconActionsFactory(nullptr);
}

TEST_F(IconDetailViewTest, DraggingTheLargeIconCarriesItInTheExportOptionsAndRecordsUsage) {
  const IconPtr icon = iconWithID(kCoffeeCup);
  fetchArtwork(icon);
  const auto options = std::make_shared<const ExportOptions>(Color::rgb(1, 0, 0), PasteboardType::png, 84);
  openDetail(icon, QSize(800, 600), false, options);

  QStringList formats;
  QSize pixmap;
  QByteArray png;
  Qt::DropAction answer = Qt::CopyAction;
  grid().setDragRunner([&](QDrag& drag) {
    formats = drag.mimeData()->formats();
    png = drag.mimeData()->data(QStringLiteral("image/png"));
    pixmap = drag.pixmap().size();
    return answer;
  });

  dragItem({0, 0});
  EXPECT_EQ(formats, (QStringList{QStringLiteral("image/png"), QStringLiteral("text/uri-list")}));
  const QImage dropped = QImage::fromData(png, "PNG");
  EXPECT_EQ(dropped.size(), QSize(84, 84));
  EXPECT_EQ(pixmap, QSize(300, 300)) << "a 500-high picture becomes a 300 square";
  auto usage = test::ActionRecorder::shared().actionsOf<Actions::RecordIconUsage>();
  ASSERT_EQ(usage.size(), 1u);
  EXPECT_EQ(usage[0].icon, icon);
  EXPECT_EQ(usage[0].type, PasteboardType::png);
  EXPECT_EQ(usage[0].color, Color::rgb(1, 0, 0));
  EXPECT_TRUE(logged("Dragged icon " + icon->id));

  // A drag that ends with no drop records nothing; the info row never drags.
  test::ActionRecorder::shared().clear();
  answer = Qt::IgnoreAction;
  dragItem({0, 0});
  EXPECT_TRUE(test::ActionRecorder::shared().actionsOf<Actions::RecordIconUsage>().empty());
  EXPECT_TRUE(logged("Icon not found or drag aborted"));
  formats.clear();
  dragItem({1, 0});
  EXPECT_TRUE(formats.isEmpty());
}

TEST_F(IconDetailViewTest, DragRectanglesTallerThan200BecomeCentredSquares) {
  openDetail(iconWithID(kAnchor));
  struct Case {
    QRectF in;
    QRectF out;
  } cases[] = {
      {{0, 0, 800, 250}, {275, 0, 250, 250}},
      {{0, 0, 800, 400}, {250, 50, 300, 300}},
      {{10, 20, 800, 150}, {10, 20, 800, 150}},
      {{0, 0, 100, 200}, {0, 0, 100, 200}},
  };
  for (const auto& c : cases) {
    QRectF rect = c.in;
    controller_->dragRectForItemAt(grid(), {0, 0}, rect);
    EXPECT_EQ(rect, c.out) << c.in.height();
  }
}

TEST_F(IconDetailViewTest, NewExportOptionsRedrawInTheColourAndKeepTheSelection) {
  const IconPtr icon = iconWithID(kCoffeeCup);
  fetchArtwork(icon);
  auto& detail = openDetail(icon);
  // With no selection the first visible item becomes selected.
  EXPECT_EQ(grid().sortedIndexPathsForSelectedItems(), (std::vector<IndexPath>{{0, 0}}));
  grid().selectItem({1, 0}, false, CollectionViewScrollPosition::noScroll);

  struct Case {
    Color color;
    bool darkBackground;
  } cases[] = {
      {Color::white(), true},                                      // brightness 255
      {Color::black(), false},                                     // 0
      {Color::rgb(200 / 255.0, 200 / 255.0, 200 / 255.0), false},  // exactly 200
      {Color::rgb(1, 1, 0), true},                                 // (2*255 + 3*255) / 6 = 212.5
  };
  for (const auto& c : cases) {
    detail.setExportOptions(std::make_shared<const ExportOptions>(c.color, PasteboardType::auto_, 300));
    EXPECT_EQ(grid().sortedIndexPathsForSelectedItems(), (std::vector<IndexPath>{{1, 0}})) << "kept";
    IconDetailCell* cell = iconCell();
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->iconColor(), c.color);
    EXPECT_EQ(cell->backgroundColor().has_value(), c.darkBackground) << c.color.hexString();
    if (c.darkBackground) {
      EXPECT_EQ(*cell->backgroundColor(), toQColor(Palette::darkGrey));
    }
  }
  // The large icon is drawn in the export colour, the last one yellow.
  const QImage yellow = iconCell()->imageView->renderedImage();
  bool sawYellow = false;
  for (int y = 0; y < yellow.height() && !sawYellow; y += 5) {
    for (int x = 0; x < yellow.width() && !sawYellow; x += 5) {
      const QColor pixel = yellow.pixelColor(x, y);
      sawYellow = pixel.alpha() == 255 && pixel.red() == 255 && pixel.green() == 255 && pixel.blue() == 0;
    }
  }
  EXPECT_TRUE(sawYellow);
  screenshot("icon-detail-yellow");
}

TEST_F(IconDetailViewTest, ArtworkThatFailsToDownloadOrRenderShowsTheEmptyImageNeverACrash) {
  struct Case {
    const char* name;
    int status;
    std::string body;
  } cases[] = {
      {"missing", 404, "{\"error\":\"gone\"}"},
      {"server-error", 500, "oops"},
      {"not-svg", 200, "this is not an SVG document"},
      {"cut-svg", 200, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"24\" height=\"24\"><path d=\"M0 0L24"},
      {"non-utf8", 200, std::string("\xff\xfe<svg\x80\x81", 8)},
  };
  const IconPtr original = iconWithID(kAnchor);
  for (const auto& c : cases) {
    const std::string path = std::string("/broken/") + c.name + ".svg";
    service_.addRoute("GET", path, [c](const vx::devservice::Request&, vx::devservice::Response& response) {
      response.status = c.status;
      response.body = c.body;
      response.contentType = "image/svg+xml";
    });
    auto broken = std::make_shared<Icon>(*original);
    broken->id = std::string("9") + std::to_string(static_cast<int>(&c - cases));
    broken->svgURL = *vx::URL::parse(service_.url(path));
    const IconPtr icon = broken;
    imageStore_->fetch(icon);
    imageStore_->downloadQueue().waitUntilAllOperationsAreFinished();
    // A stored (unreadable) download still converts on the global queue: wait for its entry.
    if (c.status == 200) {
      ASSERT_TRUE(QTest::qWaitFor([&] { return imageStore_->pdfCache().object(icon->id).has_value(); }, kTimeoutMs));
    }

    openDetail(icon);
    IconDetailCell* cell = iconCell();
    ASSERT_NE(cell, nullptr) << c.name;
    EXPECT_FALSE(cell->imageView->image().has_value()) << c.name;
    EXPECT_TRUE(cell->imageView->renderedImage().isNull()) << c.name;
    EXPECT_FALSE(cell->imageContainer->isHidden());
    // The rest of the view is there: the name, the creator and the web page.
    ASSERT_NE(infoCell(), nullptr);
    EXPECT_EQ(infoCell()->nameField->text().toStdString(), icon->name);
    EXPECT_EQ(infoCell()->creatorField->text().toStdString(), "By " + icon->creator->name);
    EXPECT_FALSE(anyDialogShown());
    if (std::string(c.name) == "not-svg") screenshot("icon-detail-failed");
  }
}

}  // namespace
}  // namespace Vexelworks
