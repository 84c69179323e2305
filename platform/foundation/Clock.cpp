#include "platform/foundation/Clock.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace vx {
namespace {

// Deadline-ordered callbacks; the key's second member keeps scheduling order for equal deadlines.
using Key = std::pair<MonotonicTime, Scheduler::Token>;

class RealScheduler final : public Scheduler {
 public:
  RealScheduler() : thread_([this] { run(); }) {}
  ~RealScheduler() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  WallTime wallNow() const override { return WallClock::now(); }
  MonotonicTime monotonicNow() const override { return MonotonicClock::now(); }

  Token schedule(MonotonicTime deadline, std::function<void()> callback) override {
    std::lock_guard lock(mutex_);
    const Token token = ++lastToken_;
    queue_.emplace(Key{deadline, token}, std::move(callback));
    byToken_.emplace(token, deadline);
    wake_.notify_all();
    return token;
  }

  void cancel(Token token) override {
    std::lock_guard lock(mutex_);
    auto it = byToken_.find(token);
    if (it == byToken_.end()) return;
    queue_.erase(Key{it->second, token});
    byToken_.erase(it);
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (queue_.empty()) {
        wake_.wait(lock);
        continue;
      }
      auto first = queue_.begin();
      // A copy: cancel() may free the node while this thread waits.
      const MonotonicTime deadline = first->first.first;
      if (deadline > MonotonicClock::now()) {
        wake_.wait_until(lock, deadline);
        continue;
      }
      auto callback = std::move(first->second);
      byToken_.erase(first->first.second);
      queue_.erase(first);
      lock.unlock();
      callback();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<Key, std::function<void()>> queue_;
  std::map<Token, MonotonicTime> byToken_;
  Token lastToken_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

std::mutex& currentMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<Scheduler>& currentSlot() {
  static std::shared_ptr<Scheduler> slot;
  return slot;
}

}  // namespace

std::shared_ptr<Scheduler> Scheduler::real() {
  // Leaked on purpose: timers may still be cancelled from static destructors at exit.
  static auto* instance = new std::shared_ptr<Scheduler>(std::make_shared<RealScheduler>());
  return *instance;
}

std::shared_ptr<Scheduler> Scheduler::current() {
  {
    std::lock_guard lock(currentMutex());
    if (currentSlot()) return currentSlot();
  }
  return real();
}

void Scheduler::setCurrent(std::shared_ptr<Scheduler> scheduler) {
  std::lock_guard lock(currentMutex());
  currentSlot() = std::move(scheduler);
}

struct VirtualScheduler::State {
  mutable std::mutex mutex;
  WallTime wallStart;
  MonotonicTime monotonicStart = MonotonicTime{} + std::chrono::hours(1);
  Duration elapsed{0};
  std::map<Key, std::function<void()>> queue;
  std::map<Token, MonotonicTime> byToken;
  Token lastToken = 0;
};

VirtualScheduler::VirtualScheduler(WallTime wallStart) : state_(std::make_unique<State>()) {
  state_->wallStart = wallStart;
}

VirtualScheduler::~VirtualScheduler() = default;

WallTime VirtualScheduler::wallNow() const {
  std::lock_guard lock(state_->mutex);
  return state_->wallStart + std::chrono::duration_cast<WallClock::duration>(state_->elapsed);
}

MonotonicTime VirtualScheduler::monotonicNow() const {
  std::lock_guard lock(state_->mutex);
  return state_->monotonicStart + state_->elapsed;
}

Scheduler::Token VirtualScheduler::schedule(MonotonicTime deadline, std::function<void()> callback) {
  std::lock_guard lock(state_->mutex);
  const Token token = ++state_->lastToken;
  state_->queue.emplace(Key{deadline, token}, std::move(callback));
  state_->byToken.emplace(token, deadline);
  return token;
}

void VirtualScheduler::cancel(Token token) {
  std::lock_guard lock(state_->mutex);
  auto it = state_->byToken.find(token);
  if (it == state_->byToken.end()) return;
  state_->queue.erase(Key{it->second, token});
  state_->byToken.erase(it);
}

void VirtualScheduler::advance(Duration by) {
  std::unique_lock lock(state_->mutex);
  const MonotonicTime target = state_->monotonicStart + state_->elapsed + by;
  while (!state_->queue.empty() && state_->queue.begin()->first.first <= target) {
    auto first = state_->queue.begin();
    const MonotonicTime due = first->first.first;
    if (due > state_->monotonicStart + state_->elapsed) {
      state_->elapsed = due - state_->monotonicStart;
    }
    auto callback = std::move(first->second);
    state_->byToken.erase(first->first.second);
    state_->queue.erase(first);
    lock.unlock();
    callback();
    lock.lock();
  }
  state_->elapsed = target - state_->monotonicStart;
}

std::size_t VirtualScheduler::pendingCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->queue.size();
}

std::optional<Duration> VirtualScheduler::nextDeadlineFromNow() const {
  std::lock_guard lock(state_->mutex);
  if (state_->queue.empty()) return std::nullopt;
  return state_->queue.begin()->first.first - (state_->monotonicStart + state_->elapsed);
}

ScopedVirtualTime::ScopedVirtualTime(WallTime wallStart) : scheduler_(std::make_shared<VirtualScheduler>(wallStart)) {
  Scheduler::setCurrent(scheduler_);
}

ScopedVirtualTime::~ScopedVirtualTime() { Scheduler::setCurrent(nullptr); }

}  // namespace vx
