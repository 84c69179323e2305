// The signed-in content of the main window: the search bar on top, the content area in the
// middle and the export toolbar below. Every request of the user (a search, the starter set,
// the latest uploads) becomes a fresh IconList; the content area shows exactly one of the
// loading view, the icon grid, the completion list, the not-found view and the icon detail. The
// export options (colour, file type, size) and the zoom level are carried to everything that
// draws or exports icons: the current list, the grid and the detail.
//
// Threads: main thread only. Page completions and icon-store changes already arrive on the main
// queue; a page completion from any other thread is moved there first.
#pragma once

#include "app/qt/ViewController.h"
#include "app/service/Color.h"
#include "app/service/ExportSettings.h"
#include "app/service/IconList/IconList.h"
#include "app/service/IconList/IconStore.h"
#include "app/service/Images/ImageStore.h"
#include "app/service/ZoomLevel.h"
#include "app/shell/AutocompleteViewController.h"
#include "app/shell/CBColorMagnifierWindow.h"
#include "app/shell/ContentBox.h"
#include "app/shell/SearchBarViewController.h"
#include "app/shell/ToolbarViewController.h"

#include <QPointer>
#include <QString>

#include <memory>
#include <optional>
#include <string>

class QColorDialog;

namespace Vexelworks {

class IconCollectionViewController;
class IconDetailViewController;
class LoadingViewController;
class NotFoundViewController;

class SearchViewController : public vx::ViewController,
                             public SearchBarViewControllerDelegate,
                             public ToolbarViewControllerDelegate,
                             public AutocompleteDelegate,
                             public CBColorMagnifierWindowDelegate {
 public:
  static inline const std::string nibName = "SearchViewController";

  explicit SearchViewController(std::string nibName = SearchViewController::nibName);
  ~SearchViewController() override;

  // Registers "SearchViewController" and every interface its children load (search bar,
  // completion list, toolbar, grid, detail, loading and not-found views). Call once at start-up.
  static void registerInterfaces();

  // Outlets, set by the "SearchViewController" interface: the content area and the two hosts.
  QPointer<ContentBox> contentBox;
  QPointer<QWidget> searchBarView;
  QPointer<QWidget> toolbarView;

  // The application's image store; set before the view loads.
  std::shared_ptr<ImageStore> imageStore;

  const std::shared_ptr<IconStore>& iconStore() const { return iconStore_; }
  // The list the grid shows; replaced by every request. None until the view loaded with a token.
  const std::shared_ptr<IconList>& iconList() const { return iconList_; }

  // Child controllers, made as the view loads or on first use; none before.
  SearchBarViewController* searchBarViewController() override { return searchBar_.get(); }
  AutocompleteViewController* autocompleteViewController() override { return autocomplete_.get(); }
  ToolbarViewController* toolbarViewController() const { return toolbar_.get(); }
  IconCollectionViewController* iconCollectionViewController() const { return grid_.get(); }
  LoadingViewController* loadingViewController() const { return loading_.get(); }
  NotFoundViewController* notFoundViewController() const { return notFound_.get(); }
  // The last detail opened; it stays after the grid comes back.
  IconDetailViewController* iconDetailViewController() const { return detail_.get(); }
  CBColorMagnifierWindowController* colorMagnifier() const { return colorMagnifier_.get(); }
  // The colour dialog, once shown.
  QColorDialog* colorPanel() const { return colorPanel_; }
  ContentBox* box() override { return contentBox; }

  const std::shared_ptr<const ExportOptions>& exportOptions() const { return exportOptions_; }
  // Assignment runs exportOptionsDidChange.
  void setExportOptions(std::shared_ptr<const ExportOptions> options) override;
  const ZoomLevel& zoomLevel() const { return zoomLevel_; }
  // Assignment runs zoomLevelDidChange.
  void setZoomLevel(const ZoomLevel& level) override;
  bool detailVisible() const { return detailVisible_; }
  // Assignment recomputes the search bar's back button.
  void setDetailVisible(bool visible);

  // --- requests ---
  // Every request ends here: the loading view, a new list for the type, page 1.
  void showIcons(const SearchType& type);
  // The empty text shows the starter set; any other text (blanks too) is searched unchanged.
  void search(const std::string& text) override;
  // Return in the search field: the selected completion (written into the field), else the
  // field's text. Without a search bar the program stops.
  void searchFromField() override;
  // Empties the search field, then shows the type.
  void clearSearchAndShow(const SearchType& type);
  void showFreeIcons(QObject* sender) override;
  void showRecentIcons(QObject* sender);

  // --- what the content area shows ---
  void showIconGrid() override;
  void showNotFound(const std::string& searchTerm);
  // The grid's selected icon in a new detail view; nothing without a selection.
  void showIconDetail(QObject* sender);
  // The one back step: the detail back to the grid (the grid takes the focus), else the search
  // back to the starter set.
  void closeIconDetail(QObject* sender);
  // Whether the back button shows: a detail, or a search, creator or collection list.
  bool canGoBack() const;

  // A page of the current list completed. A page of a list that has since been replaced is
  // dropped: it says nothing about the request the user made last.
  void iconListDidLoadPage(IconList& list, std::int64_t page);
  void iconStoreDidChange(const IconStoreChange& change);

  // Selects all text of the search field.
  void highlightSearch(QObject* sender);

  // --- colours ---
  // Every colour the user picks ends here; the toolbar then shows it.
  void applyExportColor(const Color& color) override;
  // The colour dialog; its chosen colour arrives through didSelectColor.
  void showColorPanel(QObject* sender);
  // The colour of the sender (the colour dialog) becomes the export colour.
  void didSelectColor(QObject* sender);
  // The screen colour picker.
  void showColorMagnifier(QObject* sender);
  void showCustomColorMagnifier();
  // Pasted hex text (six digits, an optional "#", blanks around) becomes the export colour;
  // while a text field of this view has the keyboard, the text goes into the field instead.
  void paste(QObject* sender);
  void pasteColor();
  // The colour the clipboard text stands for under the paste rules; none when it stands for none.
  static std::optional<Color> colorFromPastedText(const QString& text);

  void exportOptionsDidChange();
  void zoomLevelDidChange();

 protected:
  void loadView() override;

 private:
  struct Hooks;
  void updateCanGoBack();
  void showInBox(QWidget* view);
  std::shared_ptr<IconList> makeList(const SearchType& type);
  std::string searchFieldText() const;

  std::shared_ptr<Hooks> hooks_;
  std::shared_ptr<IconStore> iconStore_;
  std::shared_ptr<IconList> iconList_;
  std::unique_ptr<CBColorMagnifierWindowController> colorMagnifier_;
  std::unique_ptr<SearchBarViewController> searchBar_;
  std::unique_ptr<ToolbarViewController> toolbar_;
  std::unique_ptr<IconCollectionViewController> grid_;
  std::unique_ptr<AutocompleteViewController> autocomplete_;
  std::unique_ptr<LoadingViewController> loading_;
  std::unique_ptr<NotFoundViewController> notFound_;
  std::unique_ptr<IconDetailViewController> detail_;
  QPointer<QColorDialog> colorPanel_;
  std::shared_ptr<const ExportOptions> exportOptions_;
  ZoomLevel zoomLevel_;
  bool detailVisible_ = false;
};

}  // namespace Vexelworks
