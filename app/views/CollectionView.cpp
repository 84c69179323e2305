#include "app/views/CollectionView.h"

#include "app/qt/InterfaceRegistry.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Error.h"

#include <QApplication>
#include <QDrag>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

namespace Vexelworks {

namespace {

std::string cellPoolKey(const std::string& identifier) { return "cell:" + identifier; }

// Widget coordinates are ints: huge layout values (a delegate may answer anything finite) are
// held to a range no conversion can overflow.
int toPixel(double value) {
  if (!std::isfinite(value)) return value > 0 ? 1'000'000'000 : -1'000'000'000;
  return static_cast<int>(std::lround(std::clamp(value, -1e9, 1e9)));
}
std::string supplementaryPoolKey(const std::string& kind, const std::string& identifier) {
  return kind + ":" + identifier;
}

}  // namespace

std::unique_ptr<QMimeData> CollectionViewDataSource::pasteboardWriterForItemAt(CollectionView&, const IndexPath&) {
  return nullptr;
}

void CollectionViewDelegate::didSelectItemsAt(CollectionView& view, const std::set<IndexPath>& indexPaths) {
  for (const auto& path : indexPaths) didSelectItemAt(view, path);
}

void CollectionViewDelegate::didDeselectItemsAt(CollectionView& view, const std::set<IndexPath>& indexPaths) {
  for (const auto& path : indexPaths) didDeselectItemAt(view, path);
}

QRectF CollectionClipView::documentRect() const { return QRectF(QPointF(0, 0), view_.contentSize()); }

QRectF CollectionClipView::documentVisibleRect() const { return view_.documentVisibleRect(); }

CollectionView::CollectionView(QWidget* parent) : QAbstractScrollArea(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setFrameShape(QFrame::NoFrame);
  viewport()->setAutoFillBackground(false);
  verticalScrollBar()->setSingleStep(20);
  dragRunner_ = [](QDrag& drag) { return drag.exec(Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, Qt::CopyAction); };
  setCollectionViewLayout(std::make_unique<CollectionViewColumnLayout>());
}

CollectionView::~CollectionView() = default;

// --- registration and reuse ---

void CollectionView::registerCell(const std::string& identifier, CellFactory factory) {
  registrations_[cellPoolKey(identifier)] =
      Registration{[factory = std::move(factory)]() -> CollectionReusableView* { return factory(); }};
}

void CollectionView::registerCellNib(const std::string& nibName, const std::string& identifier) {
  registrations_[cellPoolKey(identifier)] = Registration{[nibName]() -> CollectionReusableView* {
    QWidget* built = vx::InterfaceRegistry::shared().instantiate(nibName);
    auto* cell = dynamic_cast<CollectionViewCell*>(built);
    if (cell == nullptr) {
      delete built;
      vx::fatalError("CollectionView: interface \"" + nibName + "\" does not build a cell");
    }
    return cell;
  }};
}

void CollectionView::registerSupplementary(const std::string& kind, const std::string& identifier,
                                           ViewFactory factory) {
  registrations_[supplementaryPoolKey(kind, identifier)] = Registration{std::move(factory)};
}

void CollectionView::registerSupplementaryNib(const std::string& nibName, const std::string& kind,
                                              const std::string& identifier) {
  registrations_[supplementaryPoolKey(kind, identifier)] = Registration{[nibName]() -> CollectionReusableView* {
    QWidget* built = vx::InterfaceRegistry::shared().instantiate(nibName);
    auto* view = dynamic_cast<CollectionReusableView*>(built);
    if (view == nullptr) {
      delete built;
      vx::fatalError("CollectionView: interface \"" + nibName + "\" does not build a reusable view");
    }
    return view;
  }};
}

CollectionReusableView* CollectionView::dequeue(const std::string& poolKey, const std::string& identifier,
                                                const ViewFactory* factory, const std::string& description) {
  auto& pool = pools_[poolKey];
  if (!pool.empty()) {
    CollectionReusableView* view = pool.back();
    pool.pop_back();
    view->prepareForReuse();
    return view;
  }
  if (factory == nullptr || !*factory) {
    vx::fatalError("CollectionView: could not dequeue a " + description + " with identifier \"" + identifier +
                   "\": nothing is registered under it");
  }
  CollectionReusableView* view = (*factory)();
  if (view == nullptr) vx::fatalError("CollectionView: the factory for \"" + identifier + "\" built nothing");
  view->reuseIdentifier_ = identifier;
  view->poolKey_ = poolKey;
  view->hide();
  view->setParent(viewport());
  return view;
}

CollectionViewCell* CollectionView::dequeueReusableCell(const std::string& identifier, const IndexPath&) {
  const std::string key = cellPoolKey(identifier);
  auto it = registrations_.find(key);
  auto* view = dequeue(key, identifier, it == registrations_.end() ? nullptr : &it->second.factory, "cell");
  auto* cell = dynamic_cast<CollectionViewCell*>(view);
  if (cell == nullptr) vx::fatalError("CollectionView: \"" + identifier + "\" is not a cell");
  return cell;
}

CollectionReusableView* CollectionView::dequeueReusableSupplementaryView(const std::string& kind,
                                                                         const std::string& identifier,
                                                                         const IndexPath&) {
  const std::string key = supplementaryPoolKey(kind, identifier);
  auto it = registrations_.find(key);
  return dequeue(key, identifier, it == registrations_.end() ? nullptr : &it->second.factory,
                 "supplementary view of kind " + kind);
}

void CollectionView::enqueue(CollectionReusableView* view) {
  view->hide();
  if (view->poolKey_.empty()) {
    // Not made by dequeue: it cannot be handed out again.
    view->deleteLater();
    return;
  }
  pools_[view->poolKey_].push_back(view);
}

std::size_t CollectionView::pooledViewCount() const {
  std::size_t count = 0;
  for (const auto& entry : pools_) count += entry.second.size();
  return count;
}

// --- wiring ---

void CollectionView::setDataSource(CollectionViewDataSource* dataSource) {
  dataSource_ = dataSource;
  reloadData();
}

void CollectionView::setDelegate(CollectionViewDelegate* delegate) {
  delegate_ = delegate;
  if (layout_ != nullptr) layout_->invalidateLayout();
}

void CollectionView::setCollectionViewLayout(std::unique_ptr<CollectionViewLayout> layout) {
  if (layout == nullptr) layout = std::make_unique<CollectionViewColumnLayout>();
  layout_ = std::move(layout);
  layout_->collectionView_ = this;
  layout_->lastWidth_ = layoutWidth();
  layout_->invalidateLayout();
  tile();
}

void CollectionView::setBackgroundColor(const QColor& color) {
  backgroundColor_ = color;
  viewport()->update();
}

void CollectionView::setContentInsets(const EdgeInsets& insets) {
  contentInsets_ = {std::max(0.0, insets.top), std::max(0.0, insets.left), std::max(0.0, insets.bottom),
                    std::max(0.0, insets.right)};
  layout_->invalidateLayout();
  tile();
}

void CollectionView::setLeadingView(QWidget* view) {
  if (leadingView_ != nullptr && leadingView_ != view) leadingView_->deleteLater();
  leadingView_ = view;
  int height = 0;
  if (view != nullptr) {
    view->setParent(this);
    height = view->height() > 0 ? view->height() : view->sizeHint().height();
    view->setGeometry(0, 0, width(), height);
    view->show();
  }
  setViewportMargins(0, height, 0, 0);
  tile();
}

// --- geometry ---

double CollectionView::layoutWidth() const {
  return std::max(0.0, viewport()->width() - contentInsets_.left - contentInsets_.right);
}

QRectF CollectionView::documentVisibleRect() const {
  return QRectF(-contentInsets_.left, verticalScrollBar()->value() - contentInsets_.top, viewport()->width(),
                viewport()->height());
}

void CollectionView::ensureLayout() {
  layout_->prepareIfNeeded();
  contentSize_ = layout_->collectionViewContentSize();
  updateScrollBars();
}

void CollectionView::updateScrollBars() {
  const double total = contentSize_.height() + contentInsets_.top + contentInsets_.bottom;
  const int maximum = std::max(0, toPixel(std::ceil(total - viewport()->height())));
  QScrollBar* bar = verticalScrollBar();
  bar->setPageStep(std::max(1, viewport()->height()));
  if (bar->maximum() != maximum) bar->setRange(0, maximum);
}

int CollectionView::numberOfItemsInSection(int section) const {
  if (section < 0 || section >= static_cast<int>(counts_.size())) return 0;
  return counts_[static_cast<std::size_t>(section)];
}

bool CollectionView::validIndexPath(const IndexPath& path) const {
  return path.item >= 0 && path.item < numberOfItemsInSection(path.section);
}

void CollectionView::reloadCounts() {
  counts_.clear();
  if (dataSource_ == nullptr) return;
  const int sections = std::max(0, dataSource_->numberOfSections(*this));
  counts_.reserve(static_cast<std::size_t>(sections));
  for (int s = 0; s < sections; ++s) counts_.push_back(std::max(0, dataSource_->numberOfItemsInSection(*this, s)));
}

void CollectionView::place(CollectionReusableView* view, const CollectionViewLayoutAttributes& attributes,
                           bool animated) {
  const QRectF& frame = attributes.frame;
  const double dx = contentInsets_.left;
  const double dy = contentInsets_.top - verticalScrollBar()->value();
  const int left = toPixel(frame.left() + dx);
  const int top = toPixel(frame.top() + dy);
  const int right = toPixel(frame.right() + dx);
  const int bottom = toPixel(frame.bottom() + dy);
  const QRect geometry(left, top, std::max(0, right - left), std::max(0, bottom - top));
  if (view->geometry() != geometry) view->setGeometry(geometry);
  if (!(view->attributes_ == attributes)) {
    view->attributes_ = attributes;
    view->apply(attributes, animated);
  }
}

void CollectionView::tile() {
  if (tiling_) {
    ++pendingRetiles_;
    return;
  }
  tiling_ = true;
  for (int round = 0; round < 3; ++round) {
    pendingRetiles_ = 0;
    ensureLayout();
    const QRectF visibleRect = documentVisibleRect();
    std::vector<CollectionViewLayoutAttributes> elements;
    if (dataSource_ != nullptr && visibleRect.width() > 0 && visibleRect.height() > 0) {
      elements = layout_->layoutAttributesForElements(visibleRect);
    }
    std::map<ElementKey, const CollectionViewLayoutAttributes*> wanted;
    for (const auto& attributes : elements)
      wanted.emplace(ElementKey{attributes.elementKind, attributes.indexPath}, &attributes);

    // Views that left the visible area go back to their pools first, so the new ones reuse them.
    for (auto it = visible_.begin(); it != visible_.end();) {
      if (wanted.count(it->first) == 0) {
        enqueue(it->second);
        it = visible_.erase(it);
      } else {
        ++it;
      }
    }
    for (const auto& attributes : elements) {
      const ElementKey key{attributes.elementKind, attributes.indexPath};
      if (auto it = visible_.find(key); it != visible_.end()) {
        place(it->second, attributes, false);
        continue;
      }
      if (attributes.isCell()) {
        CollectionViewCell* cell = dataSource_->cellForItemAt(*this, attributes.indexPath);
        if (cell == nullptr) continue;
        if (cell->parentWidget() != viewport()) cell->setParent(viewport());
        cell->setSelected(selection_.count(attributes.indexPath) != 0, false);
        cell->attributes_ = {};
        place(cell, attributes, false);
        visible_.emplace(key, cell);
        if (delegate_ != nullptr) delegate_->willDisplayCell(*this, *cell, attributes.indexPath);
        // The delegate may have reloaded the item meanwhile: show whatever cell holds it now.
        if (auto shown = visible_.find(key); shown != visible_.end()) {
          shown->second->viewWillDisplay();
          shown->second->show();
        }
      } else {
        CollectionReusableView* view =
            dataSource_->viewForSupplementaryElementOfKind(*this, attributes.elementKind, attributes.indexPath);
        if (view == nullptr) continue;
        if (view->parentWidget() != viewport()) view->setParent(viewport());
        view->attributes_ = {};
        place(view, attributes, false);
        visible_.emplace(key, view);
        view->viewWillDisplay();
        view->show();
      }
    }
    for (const auto& attributes : elements) {
      if (attributes.zIndex > 0) {
        if (auto it = visible_.find({attributes.elementKind, attributes.indexPath}); it != visible_.end()) {
          it->second->raise();
        }
      }
    }
    if (pendingRetiles_ == 0) break;
  }
  tiling_ = false;
}

// --- data ---

void CollectionView::reloadData() {
  for (auto& entry : visible_) enqueue(entry.second);
  visible_.clear();
  reloadCounts();
  // Selected items that no longer exist drop out; the rest stay selected.
  for (auto it = selection_.begin(); it != selection_.end();) {
    it = validIndexPath(*it) ? std::next(it) : selection_.erase(it);
  }
  layout_->invalidateLayout();
  tile();
}

void CollectionView::reloadItems(const std::set<IndexPath>& indexPaths, bool animated) {
  if (dataSource_ == nullptr) return;
  for (const auto& path : indexPaths) {
    const ElementKey key{std::string(), path};
    auto it = visible_.find(key);
    if (it == visible_.end() || !validIndexPath(path)) continue;
    const CollectionViewLayoutAttributes attributes = it->second->attributes_;
    enqueue(it->second);
    visible_.erase(it);
    CollectionViewCell* cell = dataSource_->cellForItemAt(*this, path);
    if (cell == nullptr) continue;
    if (cell->parentWidget() != viewport()) cell->setParent(viewport());
    cell->setSelected(selection_.count(path) != 0, false);
    cell->attributes_ = {};
    place(cell, attributes, animated);
    visible_.emplace(key, cell);
    cell->show();
    cell->update();
  }
}

void CollectionView::reloadLayout(bool, CollectionViewScrollPosition position, Completion completion) {
  std::optional<IndexPath> anchor;
  if (position == CollectionViewScrollPosition::scrollToVisible) anchor = firstVisibleItem();
  layout_->invalidateLayout();
  ensureLayout();
  if (anchor) {
    if (auto attributes = layout_->layoutAttributesForItem(*anchor)) scrollRectToVisible(attributes->frame);
  }
  tile();
  if (completion) completion();
}

std::optional<IndexPath> CollectionView::firstVisibleItem() {
  for (const auto& entry : visible_) {
    if (entry.first.first.empty()) return entry.first.second;  // keys sort cells ("" kind) first
  }
  return std::nullopt;
}

// --- selection ---

void CollectionView::setSelection(std::set<IndexPath> selection, bool animated) {
  for (const auto& path : selection_) {
    if (selection.count(path) == 0) {
      if (auto* cell = cellForItem(path)) cell->setSelected(false, animated);
    }
  }
  for (const auto& path : selection) {
    if (selection_.count(path) == 0) {
      if (auto* cell = cellForItem(path)) cell->setSelected(true, animated);
    }
  }
  selection_ = std::move(selection);
}

void CollectionView::selectItem(const IndexPath& path, bool animated, CollectionViewScrollPosition position) {
  selectItems({path}, animated, position);
}

void CollectionView::selectItems(const std::set<IndexPath>& indexPaths, bool animated,
                                 CollectionViewScrollPosition position) {
  std::set<IndexPath> valid;
  for (const auto& path : indexPaths) {
    if (validIndexPath(path)) valid.insert(path);
  }
  if (valid.empty()) return;
  std::set<IndexPath> selection;
  if (allowsMultipleSelection_) {
    selection = selection_;
    selection.insert(valid.begin(), valid.end());
  } else {
    selection = {*valid.begin()};
  }
  setSelection(std::move(selection), animated);
  if (position == CollectionViewScrollPosition::scrollToVisible) {
    scrollItem(*valid.begin(), position, animated);
  }
}

void CollectionView::deselectAllItems(bool animated) { setSelection({}, animated); }

std::vector<IndexPath> CollectionView::sortedIndexPathsForSelectedItems() const {
  return {selection_.begin(), selection_.end()};
}

// --- scrolling ---

void CollectionView::scrollToY(double y) {
  QScrollBar* bar = verticalScrollBar();
  const int value = toPixel(y + contentInsets_.top);
  bar->setValue(std::clamp(value, bar->minimum(), bar->maximum()));
}

void CollectionView::scrollRectToVisible(const QRectF& rect) {
  const QRectF visibleRect = documentVisibleRect();
  if (rect.top() < visibleRect.top() || rect.height() > visibleRect.height()) {
    scrollToY(rect.top());
  } else if (rect.bottom() > visibleRect.bottom()) {
    scrollToY(rect.bottom() - visibleRect.height());
  }
}

void CollectionView::scrollItem(const IndexPath& path, CollectionViewScrollPosition position, bool,
                                Completion completion) {
  if (position == CollectionViewScrollPosition::scrollToVisible) {
    ensureLayout();
    if (auto attributes = layout_->layoutAttributesForItem(path)) scrollRectToVisible(attributes->frame);
  }
  if (completion) completion();
}

void CollectionView::scrollToTop(bool, Completion completion) {
  verticalScrollBar()->setValue(0);
  if (completion) completion();
}

void CollectionView::scrollContentsBy(int, int) {
  tile();
  if (delegate_ != nullptr) delegate_->collectionViewDidScroll(*this);
}

// --- queries ---

CollectionViewCell* CollectionView::cellForItem(const IndexPath& path) const {
  auto it = visible_.find({std::string(), path});
  return it == visible_.end() ? nullptr : static_cast<CollectionViewCell*>(it->second);
}

CollectionReusableView* CollectionView::supplementaryView(const std::string& kind, const IndexPath& path) const {
  if (kind.empty()) return nullptr;
  auto it = visible_.find({kind, path});
  return it == visible_.end() ? nullptr : it->second;
}

std::set<IndexPath> CollectionView::indexPathsForVisibleItems() const {
  std::set<IndexPath> result;
  for (const auto& entry : visible_) {
    if (entry.first.first.empty()) result.insert(entry.first.second);
  }
  return result;
}

std::optional<IndexPath> CollectionView::indexPathForItem(const QPointF& viewportPoint) {
  ensureLayout();
  const QRectF visibleRect = documentVisibleRect();
  return layout_->indexPathForItem(viewportPoint + visibleRect.topLeft());
}

// --- events ---

void CollectionView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  if (leadingView_ != nullptr) leadingView_->setGeometry(0, 0, width(), leadingView_->height());
  const QRectF bounds(documentVisibleRect().topLeft(), QSizeF(viewport()->size()));
  if (layout_->shouldInvalidateLayout(bounds)) layout_->invalidateLayout();
  tile();
  scheduleEndOfResize();
}

void CollectionView::scheduleEndOfResize() {
  // The end of a resize is reported once the size stayed still for the debounce delay, on the
  // scheduler's clock so tests can move time themselves. Earlier ticks are not cancelled: each
  // carries its generation and only the latest one reports.
  if (delegate_ == nullptr) return;
  auto scheduler = vx::Scheduler::current();
  const std::uint64_t generation = ++resizeGeneration_;
  QPointer<CollectionView> self(this);
  scheduler->schedule(scheduler->monotonicNow() + resizeDebounce_, [self, generation] {
    vx::DispatchQueue::main()->async([self, generation] {
      if (self == nullptr || self->resizeGeneration_ != generation) return;
      if (self->delegate_ != nullptr) self->delegate_->collectionViewDidEndLiveResize(*self);
    });
  });
}

void CollectionView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  painter.fillRect(viewport()->rect(), backgroundColor_.isValid() ? backgroundColor_ : palette().base().color());
}

void CollectionView::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  const std::optional<IndexPath> path = indexPathForItem(event->position());
  if (event->button() == Qt::RightButton) {
    if (delegate_ != nullptr) delegate_->didRightClickItemAt(*this, path, event);
    event->accept();
    return;
  }
  if (event->button() != Qt::LeftButton) {
    event->ignore();
    return;
  }
  pressedItem_ = path;
  pressPosition_ = event->position().toPoint();
  dragStarted_ = false;
  if (allowsSelection_) {
    std::set<IndexPath> selection;
    const bool toggle = allowsMultipleSelection_ && (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier));
    if (path) {
      if (toggle) {
        selection = selection_;
        if (!selection.erase(*path)) selection.insert(*path);
      } else {
        selection = {*path};
      }
    } else if (toggle) {
      selection = selection_;
    }
    std::set<IndexPath> added;
    std::set<IndexPath> removed;
    std::set_difference(selection.begin(), selection.end(), selection_.begin(), selection_.end(),
                        std::inserter(added, added.end()));
    std::set_difference(selection_.begin(), selection_.end(), selection.begin(), selection.end(),
                        std::inserter(removed, removed.end()));
    setSelection(std::move(selection), true);
    if (delegate_ != nullptr && !removed.empty()) delegate_->didDeselectItemsAt(*this, removed);
    if (delegate_ != nullptr && !added.empty()) delegate_->didSelectItemsAt(*this, added);
  }
  event->accept();
}

void CollectionView::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton) || !pressedItem_ || dragStarted_) {
    event->ignore();
    return;
  }
  if ((event->position().toPoint() - pressPosition_).manhattanLength() < QApplication::startDragDistance()) return;
  dragStarted_ = true;
  const IndexPath path = *pressedItem_;
  startDrag(path, event);
  event->accept();
}

void CollectionView::mouseReleaseEvent(QMouseEvent* event) {
  pressedItem_.reset();
  dragStarted_ = false;
  event->accept();
}

void CollectionView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    event->ignore();
    return;
  }
  if (delegate_ != nullptr) delegate_->didDoubleClickItemAt(*this, indexPathForItem(event->position()), event);
  event->accept();
}

void CollectionView::keyPressEvent(QKeyEvent* event) {
  QScrollBar* bar = verticalScrollBar();
  switch (event->key()) {
    case Qt::Key_PageUp:
      bar->triggerAction(QAbstractSlider::SliderPageStepSub);
      break;
    case Qt::Key_PageDown:
      bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
      break;
    case Qt::Key_Home:
      bar->triggerAction(QAbstractSlider::SliderToMinimum);
      break;
    case Qt::Key_End:
      bar->triggerAction(QAbstractSlider::SliderToMaximum);
      break;
    default:
      // Everything else goes on to the parents, where the owning controller hears it.
      event->ignore();
      return;
  }
  event->accept();
}

void CollectionView::startDrag(const IndexPath& path, QMouseEvent* event) {
  if (delegate_ == nullptr || dataSource_ == nullptr || !validIndexPath(path)) return;
  if (!delegate_->shouldBeginDraggingAt(*this, path, event)) return;
  std::unique_ptr<QMimeData> data = dataSource_->pasteboardWriterForItemAt(*this, path);
  if (data == nullptr) return;
  CollectionViewCell* cell = cellForItem(path);
  QRectF rect = cell != nullptr ? QRectF(cell->geometry()) : QRectF(event->position(), QSizeF(1, 1));
  dataSource_->dragRectForItemAt(*this, path, rect);
  QImage picture;
  if (auto contents = dataSource_->dragContentsForItemAt(*this, path)) {
    picture = *contents;
  } else if (cell != nullptr) {
    picture = cell->grab().toImage();
  }
  QDrag drag(this);
  drag.setMimeData(data.release());
  if (!picture.isNull() && rect.width() >= 1 && rect.height() >= 1) {
    const QSize size = rect.size().toSize();
    drag.setPixmap(QPixmap::fromImage(picture.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
    drag.setHotSpot((event->position() - rect.topLeft()).toPoint());
  }
  const Qt::DropAction action = dragRunner_ ? dragRunner_(drag) : Qt::IgnoreAction;
  pressedItem_.reset();
  delegate_->draggingSessionDidEnd(*this, action, {path});
}

}  // namespace Vexelworks
