// The grid view: sections of cells with optional headers and footers, laid out by a
// CollectionViewLayout, on a scroll area. Only the elements that meet the visible area exist as
// widgets; the rest wait in a reuse pool per identifier. The data source hands out cells and
// supplementary views (dequeued from the pools); the delegate hears about display, selection,
// clicks, scrolling, the end of a resize and drags.
#pragma once

#include "app/views/CollectionReusableView.h"
#include "app/views/CollectionViewLayout.h"
#include "app/views/CollectionViewTypes.h"
#include "platform/foundation/Clock.h"

#include <QAbstractScrollArea>
#include <QColor>
#include <QImage>
#include <QPointer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QMimeData;
class QMouseEvent;
class QDrag;
class QKeyEvent;

namespace Vexelworks {

class CollectionView;

class CollectionViewDataSource {
 public:
  virtual ~CollectionViewDataSource() = default;
  virtual int numberOfSections(CollectionView&) { return 1; }
  virtual int numberOfItemsInSection(CollectionView&, int section) = 0;
  // A cell for the item, normally from dequeueReusableCell.
  virtual CollectionViewCell* cellForItemAt(CollectionView&, const IndexPath&) = 0;
  // A header or footer; nullptr shows nothing there.
  virtual CollectionReusableView* viewForSupplementaryElementOfKind(CollectionView&, const std::string&,
                                                                    const IndexPath&) {
    return nullptr;
  }
  // What a drag of the item carries; nullptr refuses the drag.
  virtual std::unique_ptr<QMimeData> pasteboardWriterForItemAt(CollectionView&, const IndexPath&);
  // The picture under the pointer while dragging; none uses a snapshot of the cell.
  virtual std::optional<QImage> dragContentsForItemAt(CollectionView&, const IndexPath&) { return std::nullopt; }
  // May change the rectangle (view coordinates) that the drag picture fills.
  virtual void dragRectForItemAt(CollectionView&, const IndexPath&, QRectF& rect) { (void)rect; }
};

class CollectionViewDelegate {
 public:
  virtual ~CollectionViewDelegate() = default;
  virtual void willDisplayCell(CollectionView&, CollectionViewCell&, const IndexPath&) {}
  // A user's click changed the selection. The plural forms call the singular ones per item.
  virtual void didSelectItemsAt(CollectionView& view, const std::set<IndexPath>& indexPaths);
  virtual void didDeselectItemsAt(CollectionView& view, const std::set<IndexPath>& indexPaths);
  virtual void didSelectItemAt(CollectionView&, const IndexPath&) {}
  virtual void didDeselectItemAt(CollectionView&, const IndexPath&) {}
  // No index path when the click hit no item.
  virtual void didDoubleClickItemAt(CollectionView&, std::optional<IndexPath>, QMouseEvent*) {}
  virtual void didRightClickItemAt(CollectionView&, std::optional<IndexPath>, QMouseEvent*) {}
  virtual void collectionViewDidScroll(CollectionView&) {}
  // Once the size has stopped changing for a short while.
  virtual void collectionViewDidEndLiveResize(CollectionView&) {}
  virtual bool shouldBeginDraggingAt(CollectionView&, const IndexPath&, QMouseEvent*) { return false; }
  virtual void draggingSessionDidEnd(CollectionView&, Qt::DropAction, const std::set<IndexPath>&) {}
};

// The visible part of the document: what a clip view reports.
class CollectionClipView {
 public:
  explicit CollectionClipView(const CollectionView& view) : view_(view) {}
  // The whole document (origin 0,0).
  QRectF documentRect() const;
  // The part shown, in document coordinates.
  QRectF documentVisibleRect() const;

 private:
  const CollectionView& view_;
};

class CollectionView : public QAbstractScrollArea {
 public:
  using CellFactory = std::function<CollectionViewCell*()>;
  using ViewFactory = std::function<CollectionReusableView*()>;
  using Completion = std::function<void()>;
  // Runs a prepared drag; the default runs QDrag::exec with copy, move and link allowed.
  using DragRunner = std::function<Qt::DropAction(QDrag&)>;

  explicit CollectionView(QWidget* parent = nullptr);
  ~CollectionView() override;

  // --- registration and reuse ---
  void registerCell(const std::string& identifier, CellFactory factory);
  template <class Cell>
  void registerClass(const std::string& identifier) {
    registerCell(identifier, [] { return new Cell; });
  }
  // Cells built from the interface registered under `nibName` (which must build a cell).
  void registerCellNib(const std::string& nibName, const std::string& identifier);
  void registerSupplementary(const std::string& kind, const std::string& identifier, ViewFactory factory);
  void registerSupplementaryNib(const std::string& nibName, const std::string& kind, const std::string& identifier);
  // A pooled view of the identifier (prepareForReuse already called) or a new one. An
  // identifier nobody registered is a programming error: fatal.
  CollectionViewCell* dequeueReusableCell(const std::string& identifier, const IndexPath& indexPath);
  CollectionReusableView* dequeueReusableSupplementaryView(const std::string& kind, const std::string& identifier,
                                                           const IndexPath& indexPath);

  // --- wiring (not owned) ---
  void setDataSource(CollectionViewDataSource* dataSource);
  CollectionViewDataSource* dataSource() const { return dataSource_; }
  void setDelegate(CollectionViewDelegate* delegate);
  CollectionViewDelegate* delegate() const { return delegate_; }
  // The layout (owned).
  void setCollectionViewLayout(std::unique_ptr<CollectionViewLayout> layout);
  CollectionViewLayout* collectionViewLayout() const { return layout_.get(); }

  bool allowsSelection() const { return allowsSelection_; }
  void setAllowsSelection(bool allows) { allowsSelection_ = allows; }
  bool allowsMultipleSelection() const { return allowsMultipleSelection_; }
  void setAllowsMultipleSelection(bool allows) { allowsMultipleSelection_ = allows; }

  QColor backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(const QColor& color);
  // Space around the document inside the visible area.
  EdgeInsets contentInsets() const { return contentInsets_; }
  void setContentInsets(const EdgeInsets& insets);
  // A view fixed above the scrolling content (not owned by the layout; owned by the grid).
  void setLeadingView(QWidget* view);
  QWidget* leadingView() const { return leadingView_; }

  // --- data ---
  int numberOfSections() const { return static_cast<int>(counts_.size()); }
  int numberOfItemsInSection(int section) const;
  // Asks the data source everything again and shows the result.
  void reloadData();
  // Asks the data source again for the shown cells among `indexPaths`, in place: no
  // will-display. Items not shown are left for when they appear.
  void reloadItems(const std::set<IndexPath>& indexPaths, bool animated);
  // Recomputes the layout; with scrollToVisible the first item shown before stays shown.
  void reloadLayout(bool animated, CollectionViewScrollPosition position, Completion completion = {});

  // --- selection (programmatic: the delegate is not told) ---
  void selectItem(const IndexPath& indexPath, bool animated, CollectionViewScrollPosition position);
  void selectItems(const std::set<IndexPath>& indexPaths, bool animated, CollectionViewScrollPosition position);
  void deselectAllItems(bool animated);
  const std::set<IndexPath>& indexPathsForSelectedItems() const { return selection_; }
  std::vector<IndexPath> sortedIndexPathsForSelectedItems() const;

  // --- scrolling ---
  void scrollItem(const IndexPath& indexPath, CollectionViewScrollPosition position, bool animated,
                  Completion completion = {});
  void scrollToTop(bool animated, Completion completion = {});
  // Moves the visible area's top to `y` (clamped to the document).
  void scrollToY(double y);

  // --- queries ---
  CollectionViewCell* cellForItem(const IndexPath& indexPath) const;
  CollectionReusableView* supplementaryView(const std::string& kind, const IndexPath& indexPath) const;
  std::set<IndexPath> indexPathsForVisibleItems() const;
  std::optional<IndexPath> indexPathForItem(const QPointF& viewportPoint);
  CollectionClipView clipView() const { return CollectionClipView(*this); }
  // The document's size and the part shown (document coordinates).
  QSizeF contentSize() const { return contentSize_; }
  QRectF documentVisibleRect() const;
  // The width the layout lays out in (the visible width less the side insets, never negative).
  double layoutWidth() const;
  // Views waiting in the reuse pools.
  std::size_t pooledViewCount() const;

  // How long the size must stay still before the end of a resize is reported.
  void setLiveResizeDebounce(std::chrono::milliseconds delay) { resizeDebounce_ = delay; }
  void setDragRunner(DragRunner runner) { dragRunner_ = std::move(runner); }

  // Lays out and shows the elements of the visible area now (normally done on scroll, resize
  // and reload).
  void tile();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  struct Registration {
    ViewFactory factory;
  };
  using ElementKey = std::pair<std::string, IndexPath>;  // kind ("" for cells), index path

  void reloadCounts();
  void ensureLayout();
  void updateScrollBars();
  void enqueue(CollectionReusableView* view);
  CollectionReusableView* dequeue(const std::string& poolKey, const std::string& identifier, const ViewFactory* factory,
                                  const std::string& description);
  void place(CollectionReusableView* view, const CollectionViewLayoutAttributes& attributes, bool animated);
  void setSelection(std::set<IndexPath> selection, bool animated);
  void scrollRectToVisible(const QRectF& documentRect);
  std::optional<IndexPath> firstVisibleItem();
  void startDrag(const IndexPath& indexPath, QMouseEvent* event);
  void scheduleEndOfResize();
  bool validIndexPath(const IndexPath& indexPath) const;

  CollectionViewDataSource* dataSource_ = nullptr;
  CollectionViewDelegate* delegate_ = nullptr;
  std::unique_ptr<CollectionViewLayout> layout_;
  std::map<std::string, Registration> registrations_;  // pool key -> factory
  std::map<std::string, std::vector<CollectionReusableView*>> pools_;
  std::map<ElementKey, CollectionReusableView*> visible_;
  std::vector<int> counts_;
  std::set<IndexPath> selection_;
  bool allowsSelection_ = true;
  bool allowsMultipleSelection_ = false;
  QColor backgroundColor_;
  EdgeInsets contentInsets_;
  QPointer<QWidget> leadingView_;
  QSizeF contentSize_;
  bool tiling_ = false;

  std::optional<IndexPath> pressedItem_;
  QPoint pressPosition_;
  bool dragStarted_ = false;
  DragRunner dragRunner_;

  std::chrono::milliseconds resizeDebounce_{200};
  std::uint64_t resizeGeneration_ = 0;
  int pendingRetiles_ = 0;
};

}  // namespace Vexelworks
