// Operations and operation queues: units of work with a life cycle (ready, executing, finished,
// cancelled) that a queue runs with a cap on how many run at once. Asynchronous operations keep
// executing after start() returns and report finishing themselves; the queue watches for it.
#pragma once

#include "platform/foundation/DispatchQueue.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vx {

class OperationQueue;

class Operation : public std::enable_shared_from_this<Operation> {
 public:
  Operation();
  virtual ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // Runs the operation. The default: finishes at once when cancelled, otherwise runs main()
  // and finishes. Asynchronous subclasses override start(), set their executing state and call
  // finish() when their work ends (from any thread).
  virtual void start();
  // The work of a synchronous operation.
  virtual void main() {}

  // Marks the operation cancelled; it still has to be started to finish (a queue does so).
  virtual void cancel();
  bool isCancelled() const { return cancelled_.load(); }
  bool isExecuting() const { return executing_.load(); }
  bool isFinished() const { return finished_.load(); }
  // True once every dependency has finished.
  bool isReady() const;
  virtual bool isAsynchronous() const { return false; }

  // Runs once, after the operation has finished, on a background thread.
  void setCompletionBlock(std::function<void()> block);

  void addDependency(const std::shared_ptr<Operation>& operation);

  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }

 protected:
  // Sets the executing flag (asynchronous subclasses call this from start()).
  void setExecuting(bool executing);
  // Moves the operation to finished: clears executing, runs the completion block once and lets
  // observers (the queue, dependants) know. Further calls do nothing.
  void finish();

 private:
  friend class OperationQueue;
  using Observer = std::function<void()>;
  void addFinishObserver(Observer observer);

  std::atomic<bool> cancelled_{false};
  std::atomic<bool> executing_{false};
  std::atomic<bool> finished_{false};
  mutable std::mutex mutex_;
  std::function<void()> completion_;
  std::vector<Observer> finishObservers_;
  std::vector<std::weak_ptr<Operation>> dependencies_;
  std::string name_;
};

// An operation that runs one block.
class BlockOperation : public Operation {
 public:
  explicit BlockOperation(std::function<void()> block) : block_(std::move(block)) {}
  void main() override {
    if (block_) block_();
  }

 private:
  std::function<void()> block_;
};

class OperationQueue {
 public:
  static constexpr int kDefaultMaxConcurrentOperationCount = -1;

  explicit OperationQueue(std::string name = {});
  // Cancels what is still queued; operations already running keep running to their end, and the
  // queue's state lives until they have finished, so nothing touches freed memory.
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  // -1 (the default) lets the system decide; values below 1 otherwise mean 1.
  void setMaxConcurrentOperationCount(int count);
  int maxConcurrentOperationCount() const;

  void addOperation(std::shared_ptr<Operation> operation);
  std::shared_ptr<Operation> addOperation(std::function<void()> block);
  // Cancels every operation in the queue. Waiting ones are still started so they finish and
  // free their slot.
  void cancelAllOperations();
  // Blocks (real time) until the queue is empty. Never call from one of its own operations.
  void waitUntilAllOperationsAreFinished();
  std::size_t operationCount() const;
  std::vector<std::shared_ptr<Operation>> operations() const;

  void setSuspended(bool suspended);
  bool isSuspended() const;

  const std::string& name() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vx
