#include "platform/foundation/Operation.h"

#include "platform/foundation/Error.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <thread>

namespace vx {

Operation::Operation() = default;
Operation::~Operation() = default;

void Operation::start() {
  if (isFinished() || isExecuting()) return;
  if (isCancelled()) {
    finish();
    return;
  }
  setExecuting(true);
  main();
  finish();
}

void Operation::cancel() { cancelled_ = true; }

bool Operation::isReady() const {
  std::lock_guard lock(mutex_);
  for (const auto& weak : dependencies_) {
    if (auto dependency = weak.lock(); dependency && !dependency->isFinished()) return false;
  }
  return true;
}

void Operation::setCompletionBlock(std::function<void()> block) {
  std::lock_guard lock(mutex_);
  completion_ = std::move(block);
}

void Operation::addDependency(const std::shared_ptr<Operation>& operation) {
  if (!operation || operation.get() == this) return;
  std::lock_guard lock(mutex_);
  dependencies_.push_back(operation);
}

void Operation::setExecuting(bool executing) { executing_ = executing; }

void Operation::finish() {
  std::function<void()> completion;
  std::vector<Observer> observers;
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    executing_ = false;
    finished_ = true;
    completion = std::move(completion_);
    completion_ = nullptr;
    observers.swap(finishObservers_);
  }
  if (completion) DispatchQueue::global()->async(std::move(completion));
  for (auto& observer : observers) observer();
}

void Operation::addFinishObserver(Observer observer) {
  {
    std::lock_guard lock(mutex_);
    if (!finished_) {
      finishObservers_.push_back(std::move(observer));
      return;
    }
  }
  observer();
}

struct OperationQueue::State : std::enable_shared_from_this<OperationQueue::State> {
  std::string name;
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::shared_ptr<Operation>> waiting;
  std::vector<std::shared_ptr<Operation>> running;
  int maxConcurrent = kDefaultMaxConcurrentOperationCount;
  bool suspended = false;

  int width() const {
    if (maxConcurrent < 0) {
      return static_cast<int>(std::max(4u, std::thread::hardware_concurrency() * 2));
    }
    return std::max(1, maxConcurrent);
  }

  // Starts what the width allows, in order, skipping operations whose dependencies are pending.
  void pump() {
    std::vector<std::shared_ptr<Operation>> toStart;
    {
      std::lock_guard lock(mutex);
      if (suspended) return;
      for (auto it = waiting.begin(); it != waiting.end() && static_cast<int>(running.size()) < width();) {
        if (!(*it)->isReady() && !(*it)->isCancelled()) {
          ++it;
          continue;
        }
        running.push_back(*it);
        toStart.push_back(*it);
        it = waiting.erase(it);
      }
    }
    for (auto& operation : toStart) {
      auto self = shared_from_this();
      DispatchQueue::global()->async([self, operation] {
        operation->addFinishObserver([self, raw = operation.get()] { self->finished(raw); });
        operation->start();
      });
    }
  }

  void finished(Operation* operation) {
    {
      std::lock_guard lock(mutex);
      auto it = std::find_if(running.begin(), running.end(),
                             [operation](const auto& item) { return item.get() == operation; });
      if (it != running.end()) running.erase(it);
    }
    changed.notify_all();
    pump();
  }
};

OperationQueue::OperationQueue(std::string name) : state_(std::make_shared<State>()) { state_->name = std::move(name); }

OperationQueue::~OperationQueue() {
  cancelAllOperations();
  setSuspended(false);
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
  {
    std::lock_guard lock(state_->mutex);
    state_->maxConcurrent = count;
  }
  state_->pump();
}

int OperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->maxConcurrent;
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  if (!operation) return;
  if (operation->isFinished() || operation->isExecuting()) {
    fatalError("an operation that has already run cannot be added to a queue");
  }
  {
    std::lock_guard lock(state_->mutex);
    state_->waiting.push_back(operation);
  }
  // Dependants wait for their dependencies, wherever those run.
  std::weak_ptr<State> weak = state_;
  {
    std::lock_guard lock(operation->mutex_);
    for (const auto& dependency : operation->dependencies_) {
      if (auto strong = dependency.lock()) {
        strong->addFinishObserver([weak] {
          if (auto state = weak.lock()) state->pump();
        });
      }
    }
  }
  state_->pump();
}

std::shared_ptr<Operation> OperationQueue::addOperation(std::function<void()> block) {
  auto operation = std::make_shared<BlockOperation>(std::move(block));
  addOperation(operation);
  return operation;
}

void OperationQueue::cancelAllOperations() {
  for (auto& operation : operations()) operation->cancel();
  state_->pump();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock,
                       [this] { return state_->running.empty() && (state_->waiting.empty() || state_->suspended); });
}

std::size_t OperationQueue::operationCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->waiting.size() + state_->running.size();
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  std::lock_guard lock(state_->mutex);
  std::vector<std::shared_ptr<Operation>> all(state_->running.begin(), state_->running.end());
  all.insert(all.end(), state_->waiting.begin(), state_->waiting.end());
  return all;
}

void OperationQueue::setSuspended(bool suspended) {
  {
    std::lock_guard lock(state_->mutex);
    state_->suspended = suspended;
  }
  state_->changed.notify_all();
  if (!suspended) state_->pump();
}

bool OperationQueue::isSuspended() const {
  std::lock_guard lock(state_->mutex);
  return state_->suspended;
}

const std::string& OperationQueue::name() const { return state_->name; }

}  // namespace vx
