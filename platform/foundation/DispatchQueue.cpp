#include "platform/foundation/DispatchQueue.h"

#include "platform/darwin/SignalStack.h"
#include "platform/foundation/Error.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace vx {
namespace {

// Blocks of the queues this thread is running right now, innermost last (sync nests).
thread_local std::vector<const DispatchQueue*> tlsRunning;

struct RunningScope {
  explicit RunningScope(const DispatchQueue* queue) { tlsRunning.push_back(queue); }
  ~RunningScope() { tlsRunning.pop_back(); }
};

// Shared worker threads. A new thread is started whenever work arrives and no worker is idle
// (up to a cap), so blocks that wait on each other cannot starve the pool; idle workers leave
// after a while.
class WorkerPool {
 public:
  static WorkerPool& shared() {
    static auto* pool = new WorkerPool();  // leaked: workers may outlive static destruction
    return *pool;
  }

  void submit(std::function<void()> job) {
    std::unique_lock lock(mutex_);
    jobs_.push_back(std::move(job));
    if (idle_ > 0) wake_.notify_one();
    // Idle workers that have not woken yet are already spoken for by earlier jobs.
    if (jobs_.size() > static_cast<std::size_t>(idle_) && threads_ < kMaxThreads) {
      ++threads_;
      std::thread([this] { work(); }).detach();
    }
  }

 private:
  static constexpr int kMaxThreads = 128;
  static constexpr auto kIdleExit = std::chrono::seconds(15);

  void work() {
    // A fatal-signal handler must run here even when a block overflows the stack.
    thread_signal_stack_install();
    std::unique_lock lock(mutex_);
    for (;;) {
      if (jobs_.empty()) {
        ++idle_;
        const bool woke = wake_.wait_for(lock, kIdleExit, [this] { return !jobs_.empty(); });
        --idle_;
        if (!woke) {
          --threads_;
          return;
        }
      }
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      job = nullptr;  // release captures before taking the lock again
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  int idle_ = 0;
  int threads_ = 0;
};

struct Item {
  DispatchQueue::Block block;
  bool barrier = false;
};

class SerialQueue final : public DispatchQueue {
 public:
  explicit SerialQueue(std::string label) : DispatchQueue(std::move(label), Kind::serial) {}

 protected:
  void enqueue(Block block, bool) override {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(block));
    if (!draining_) {
      draining_ = true;
      auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
      WorkerPool::shared().submit([self] { self->drain(); });
    }
  }

 private:
  // Runs a batch of blocks, then hands the rest back to the pool so other queues get turns.
  void drain() {
    RunningScope scope(this);
    for (int count = 0; count < 64; ++count) {
      Block block;
      {
        std::lock_guard lock(mutex_);
        if (items_.empty()) {
          draining_ = false;
          return;
        }
        block = std::move(items_.front());
        items_.pop_front();
      }
      block();
    }
    std::lock_guard lock(mutex_);
    if (items_.empty()) {
      draining_ = false;
      return;
    }
    auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
    WorkerPool::shared().submit([self] { self->drain(); });
  }

  std::mutex mutex_;
  std::deque<Block> items_;
  bool draining_ = false;
};

class ConcurrentQueue final : public DispatchQueue {
 public:
  explicit ConcurrentQueue(std::string label) : DispatchQueue(std::move(label), Kind::concurrent) {}

 protected:
  void enqueue(Block block, bool barrier) override {
    std::lock_guard lock(mutex_);
    items_.push_back(Item{std::move(block), barrier});
    pumpLocked();
  }

 private:
  void pumpLocked() {
    while (!items_.empty() && !barrierRunning_) {
      Item& front = items_.front();
      if (front.barrier) {
        if (running_ > 0) return;
        barrierRunning_ = true;
      }
      ++running_;
      auto self = std::static_pointer_cast<ConcurrentQueue>(shared_from_this());
      WorkerPool::shared().submit([self, block = std::move(front.block), barrier = front.barrier]() mutable {
        {
          RunningScope scope(self.get());
          block();
          block = nullptr;
        }
        self->finished(barrier);
      });
      items_.pop_front();
    }
  }

  void finished(bool barrier) {
    std::lock_guard lock(mutex_);
    --running_;
    if (barrier) barrierRunning_ = false;
    pumpLocked();
  }

  std::mutex mutex_;
  std::deque<Item> items_;
  int running_ = 0;
  bool barrierRunning_ = false;
};

struct MainState {
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<DispatchQueue::Block> items;
  std::function<void()> wakeHandler;
  std::atomic<pid_t> mainThread{static_cast<pid_t>(getpid())};
};

MainState& mainState() {
  static auto* state = new MainState();  // leaked: posts may arrive during exit
  return *state;
}

pid_t currentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

class MainQueue final : public DispatchQueue {
 public:
  MainQueue() : DispatchQueue("com.vexelworks.main-queue", Kind::main) {}

 protected:
  void enqueue(Block block, bool) override {
    auto& state = mainState();
    std::function<void()> wake;
    {
      std::lock_guard lock(state.mutex);
      state.items.push_back(std::move(block));
      wake = state.wakeHandler;
    }
    state.posted.notify_all();
    if (wake) wake();
  }

  void runSync(const Block& block) override {
    if (isMainThread()) {
      block();
      return;
    }
    DispatchQueue::runSync(block);
  }
};

}  // namespace

DispatchQueue::DispatchQueue(std::string label, Kind kind) : label_(std::move(label)), kind_(kind) {}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::makeSerial(std::string label) {
  return std::make_shared<SerialQueue>(std::move(label));
}

std::shared_ptr<DispatchQueue> DispatchQueue::makeConcurrent(std::string label) {
  return std::make_shared<ConcurrentQueue>(std::move(label));
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
  static auto* queue = new std::shared_ptr<DispatchQueue>(std::make_shared<MainQueue>());
  return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::global() {
  static auto* queue =
      new std::shared_ptr<DispatchQueue>(std::make_shared<ConcurrentQueue>("com.vexelworks.global-queue"));
  return *queue;
}

void DispatchQueue::async(Block block) {
  if (!block) return;
  enqueue(std::move(block), false);
}

void DispatchQueue::async(DispatchGroup& group, Block block) {
  group.enter();
  // The group is a handle on shared state: the copy keeps it alive until the block has run.
  enqueue(
      [group, block = std::move(block)]() mutable {
        if (block) block();
        group.leave();
      },
      false);
}

void DispatchQueue::asyncBarrier(Block block) {
  if (!block) return;
  enqueue(std::move(block), true);
}

void DispatchQueue::sync(const Block& block) {
  if (!block) return;
  if (isCurrent()) {
    block();
    return;
  }
  runSync(block);
}

void DispatchQueue::runSync(const Block& block) {
  std::promise<void> done;
  auto future = done.get_future();
  enqueue(
      [&block, &done] {
        block();
        done.set_value();
      },
      false);
  future.wait();
}

void DispatchQueue::asyncAfter(Duration delay, Block block) {
  if (!block) return;
  if (delay <= Duration::zero()) {
    async(std::move(block));
    return;
  }
  auto scheduler = Scheduler::current();
  auto self = shared_from_this();
  scheduler->schedule(scheduler->monotonicNow() + delay,
                      [self, block = std::move(block)]() mutable { self->async(std::move(block)); });
}

bool DispatchQueue::isCurrent() const {
  if (kind_ == Kind::main) return isMainThread();
  return std::find(tlsRunning.begin(), tlsRunning.end(), this) != tlsRunning.end();
}

std::size_t DispatchQueue::drainMainQueue() {
  auto& state = mainState();
  std::deque<Block> batch;
  {
    std::lock_guard lock(state.mutex);
    batch.swap(state.items);
  }
  RunningScope scope(main().get());
  std::size_t count = 0;
  while (!batch.empty()) {
    Block block = std::move(batch.front());
    batch.pop_front();
    block();
    ++count;
  }
  return count;
}

void DispatchQueue::setMainQueueWakeHandler(std::function<void()> handler) {
  bool pending = false;
  {
    std::lock_guard lock(mainState().mutex);
    mainState().wakeHandler = handler;
    pending = !mainState().items.empty();
  }
  if (handler && pending) handler();
}

void DispatchQueue::adoptMainThread() { mainState().mainThread = currentThreadId(); }

bool DispatchQueue::isMainThread() { return mainState().mainThread.load() == currentThreadId(); }

// --- semaphore ---

struct DispatchSemaphore::State {
  std::mutex mutex;
  std::condition_variable changed;
  long value = 0;
};

DispatchSemaphore::DispatchSemaphore(long value) : state_(std::make_shared<State>()) { state_->value = value; }

void DispatchSemaphore::signal() {
  {
    std::lock_guard lock(state_->mutex);
    ++state_->value;
  }
  state_->changed.notify_one();
}

bool DispatchSemaphore::wait(std::optional<Duration> timeout) {
  std::unique_lock lock(state_->mutex);
  auto ready = [this] { return state_->value > 0; };
  if (timeout) {
    if (!state_->changed.wait_for(lock, *timeout, ready)) return false;
  } else {
    state_->changed.wait(lock, ready);
  }
  --state_->value;
  return true;
}

// --- group ---

struct DispatchGroup::State {
  std::mutex mutex;
  std::condition_variable emptied;
  long count = 0;
  std::vector<std::pair<std::shared_ptr<DispatchQueue>, DispatchQueue::Block>> notifications;
};

DispatchGroup::DispatchGroup() : state_(std::make_shared<State>()) {}

void DispatchGroup::enter() {
  std::lock_guard lock(state_->mutex);
  ++state_->count;
}

void DispatchGroup::leave() {
  std::vector<std::pair<std::shared_ptr<DispatchQueue>, DispatchQueue::Block>> ready;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->count <= 0) fatalError("DispatchGroup::leave() without a matching enter()");
    if (--state_->count > 0) return;
    ready.swap(state_->notifications);
  }
  state_->emptied.notify_all();
  for (auto& [queue, block] : ready) queue->async(std::move(block));
}

void DispatchGroup::notify(std::shared_ptr<DispatchQueue> queue, DispatchQueue::Block block) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->count > 0) {
      state_->notifications.emplace_back(std::move(queue), std::move(block));
      return;
    }
  }
  queue->async(std::move(block));
}

bool DispatchGroup::wait(std::optional<Duration> timeout) {
  std::unique_lock lock(state_->mutex);
  auto empty = [this] { return state_->count == 0; };
  if (timeout) return state_->emptied.wait_for(lock, *timeout, empty);
  state_->emptied.wait(lock, empty);
  return true;
}

// --- timer ---

struct DispatchTimer::State {
  std::mutex mutex;
  std::shared_ptr<DispatchQueue> queue;
  DispatchQueue::Block handler;
  DispatchQueue::Block cancelHandler;
  Duration start{0};
  std::optional<Duration> interval;
  bool scheduled = false;
  bool resumed = false;
  bool cancelled = false;
  std::uint64_t generation = 0;
  Scheduler::Token token = 0;
  std::shared_ptr<Scheduler> scheduler;
  MonotonicTime nextDeadline;
};

DispatchTimer::DispatchTimer(std::shared_ptr<DispatchQueue> queue) : state_(std::make_unique<State>()) {
  state_->queue = std::move(queue);
}

std::shared_ptr<DispatchTimer> DispatchTimer::make(std::shared_ptr<DispatchQueue> queue) {
  return std::shared_ptr<DispatchTimer>(new DispatchTimer(std::move(queue)));
}

DispatchTimer::~DispatchTimer() {
  std::lock_guard lock(state_->mutex);
  if (state_->scheduler && state_->token) state_->scheduler->cancel(state_->token);
}

void DispatchTimer::schedule(Duration start, std::optional<Duration> interval, Duration) {
  std::lock_guard lock(state_->mutex);
  if (state_->cancelled) return;
  state_->start = std::max(start, Duration::zero());
  state_->interval = interval && *interval > Duration::zero() ? interval : std::nullopt;
  state_->scheduled = true;
  if (state_->resumed) {
    auto scheduler = Scheduler::current();
    arm(scheduler->monotonicNow() + state_->start);
  }
}

void DispatchTimer::setEventHandler(DispatchQueue::Block handler) {
  std::lock_guard lock(state_->mutex);
  state_->handler = std::move(handler);
}

void DispatchTimer::setCancelHandler(DispatchQueue::Block handler) {
  std::lock_guard lock(state_->mutex);
  state_->cancelHandler = std::move(handler);
}

void DispatchTimer::resume() {
  std::lock_guard lock(state_->mutex);
  if (state_->cancelled || state_->resumed) return;
  state_->resumed = true;
  if (state_->scheduled) arm(Scheduler::current()->monotonicNow() + state_->start);
}

// Called with the state's mutex held.
void DispatchTimer::arm(MonotonicTime deadline) {
  if (state_->scheduler && state_->token) state_->scheduler->cancel(state_->token);
  state_->scheduler = Scheduler::current();
  const std::uint64_t generation = ++state_->generation;
  state_->nextDeadline = deadline;
  std::weak_ptr<DispatchTimer> weak = weak_from_this();
  state_->token = state_->scheduler->schedule(deadline, [weak, generation] {
    if (auto timer = weak.lock()) timer->fire(generation);
  });
}

void DispatchTimer::fire(std::uint64_t generation) {
  std::shared_ptr<DispatchQueue> queue;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled || generation != state_->generation) return;
    state_->token = 0;
    queue = state_->queue;
    if (state_->interval) arm(state_->nextDeadline + *state_->interval);
  }
  std::weak_ptr<DispatchTimer> weak = weak_from_this();
  queue->async([weak, generation] {
    auto timer = weak.lock();
    if (!timer) return;
    DispatchQueue::Block handler;
    {
      std::lock_guard lock(timer->state_->mutex);
      if (timer->state_->cancelled || generation > timer->state_->generation) return;
      handler = timer->state_->handler;
    }
    if (handler) handler();
  });
}

void DispatchTimer::cancel() {
  DispatchQueue::Block cancelHandler;
  std::shared_ptr<DispatchQueue> queue;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled) return;
    state_->cancelled = true;
    if (state_->scheduler && state_->token) state_->scheduler->cancel(state_->token);
    state_->token = 0;
    cancelHandler = std::move(state_->cancelHandler);
    queue = state_->queue;
  }
  if (cancelHandler) queue->async(std::move(cancelHandler));
}

bool DispatchTimer::isCancelled() const {
  std::lock_guard lock(state_->mutex);
  return state_->cancelled;
}

// --- run loop ---

bool RunLoop::runUntil(const std::function<bool()>& done, Duration timeout) {
  const auto deadline = MonotonicClock::now() + timeout;
  auto& state = mainState();
  for (;;) {
    DispatchQueue::drainMainQueue();
    if (done()) return true;
    if (MonotonicClock::now() >= deadline) return done();
    std::unique_lock lock(state.mutex);
    // Wake on a post, or every few milliseconds to look at conditions set by other threads.
    state.posted.wait_for(lock, std::chrono::milliseconds(2), [&state] { return !state.items.empty(); });
  }
}

void RunLoop::runFor(Duration duration) {
  runUntil([] { return false; }, duration);
}

}  // namespace vx
