#include "app/qt/MainQueue.h"

#include "platform/foundation/DispatchQueue.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <atomic>
#include <mutex>

namespace vx {

namespace {

const QEvent::Type kDrainEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Lives on the GUI thread; each drain event empties the main queue.
class Drainer final : public QObject {
 public:
  explicit Drainer(std::atomic<bool>* pending, std::atomic<std::size_t>* count) : pending_(pending), count_(count) {}

  bool event(QEvent* event) override {
    if (event->type() != kDrainEvent) return QObject::event(event);
    // Cleared before draining so a block posted while we drain schedules another turn.
    pending_->store(false);
    count_->fetch_add(1);
    DispatchQueue::drainMainQueue();
    return true;
  }

 private:
  std::atomic<bool>* pending_;
  std::atomic<std::size_t>* count_;
};

}  // namespace

struct QtMainQueue::State {
  std::mutex mutex;  // guards drainer against the destructor
  Drainer* drainer = nullptr;
  std::atomic<bool> pending{false};
  std::atomic<std::size_t> count{0};

  void wake() {
    if (pending.exchange(true)) return;  // an event is already on its way
    std::lock_guard lock(mutex);
    if (drainer != nullptr) QCoreApplication::postEvent(drainer, new QEvent(kDrainEvent));
  }
};

QtMainQueue::QtMainQueue() : state_(std::make_shared<State>()) {
  DispatchQueue::adoptMainThread();
  state_->drainer = new Drainer(&state_->pending, &state_->count);
  std::weak_ptr<State> weak = state_;
  DispatchQueue::setMainQueueWakeHandler([weak] {
    if (auto state = weak.lock()) state->wake();
  });
  // Whatever was posted before we started is served on the loop's next turn.
  state_->wake();
}

QtMainQueue::~QtMainQueue() {
  DispatchQueue::setMainQueueWakeHandler(nullptr);
  std::lock_guard lock(state_->mutex);
  delete state_->drainer;  // also drops its pending events
  state_->drainer = nullptr;
}

std::size_t QtMainQueue::drainCount() const { return state_->count.load(); }

}  // namespace vx
