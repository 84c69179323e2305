// Dispatch queues: the one way work moves between threads in the project. Serial queues run one
// block at a time in order; concurrent queues run blocks side by side (barriers run alone); the
// main queue is served by whoever owns the main thread (the Qt event loop in the application, a
// RunLoop that the test pumps in tests). Blocks run on a shared pool of worker threads that grows
// when every worker is busy, so a block that waits never starves the others.
#pragma once

#include "platform/foundation/Clock.h"

#include <functional>
#include <memory>
#include <string>

namespace vx {

class DispatchGroup;

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  using Block = std::function<void()>;
  enum class Kind { serial, concurrent, main };

  static std::shared_ptr<DispatchQueue> makeSerial(std::string label);
  static std::shared_ptr<DispatchQueue> makeConcurrent(std::string label);
  // The main queue, served only on the main thread.
  static std::shared_ptr<DispatchQueue> main();
  // The shared concurrent queue for background work.
  static std::shared_ptr<DispatchQueue> global();

  virtual ~DispatchQueue();

  const std::string& label() const { return label_; }
  Kind kind() const { return kind_; }

  // Runs `block` later on this queue. Never blocks the caller.
  void async(Block block);
  // Like async, counted in `group` until the block has run.
  void async(DispatchGroup& group, Block block);
  // On a concurrent queue: runs `block` once every earlier block has finished, and alone.
  // On a serial queue it is the same as async.
  void asyncBarrier(Block block);
  // Runs `block` on this queue and waits for it. Called from a block already running on this
  // queue, it runs inline instead of deadlocking.
  void sync(const Block& block);
  // Runs `block` on this queue once `delay` has passed on the current scheduler's clock.
  void asyncAfter(Duration delay, Block block);

  // True when the calling thread is running a block of this queue (for the main queue: when it
  // is the main thread).
  bool isCurrent() const;

  // --- main queue service (only meaningful on main()) ---
  // Runs every block that is waiting on the main queue; returns how many ran. Call on the main
  // thread only.
  static std::size_t drainMainQueue();
  // Called (from any thread) whenever a block is posted to the main queue, so an event loop can
  // schedule a drain. nullptr removes it.
  static void setMainQueueWakeHandler(std::function<void()> handler);
  // Declares the calling thread the main thread (the process's first thread by default).
  static void adoptMainThread();
  static bool isMainThread();

 protected:
  DispatchQueue(std::string label, Kind kind);
  virtual void enqueue(Block block, bool barrier) = 0;
  virtual void runSync(const Block& block);

 private:
  std::string label_;
  Kind kind_;
  friend class DispatchQueueImplAccess;
};

// A counting semaphore. wait() blocks in real time; never call it on the main thread while the
// work it waits for needs the main queue.
class DispatchSemaphore {
 public:
  explicit DispatchSemaphore(long value = 0);
  void signal();
  // Waits until the count is positive (then takes one). False on timeout.
  bool wait(std::optional<Duration> timeout = std::nullopt);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Tracks a set of blocks: notify runs once the count of entered-but-not-left work falls to zero.
class DispatchGroup {
 public:
  DispatchGroup();
  void enter();
  void leave();
  // Runs `block` on `queue` when the group is (or next becomes) empty.
  void notify(std::shared_ptr<DispatchQueue> queue, DispatchQueue::Block block);
  // Waits (real time) until the group is empty. False on timeout.
  bool wait(std::optional<Duration> timeout = std::nullopt);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// A repeating or one-shot timer whose event handler runs on a queue. The scheduled tick holds
// the timer weakly: when its owner lets go of the timer, the ticks stop.
class DispatchTimer : public std::enable_shared_from_this<DispatchTimer> {
 public:
  static std::shared_ptr<DispatchTimer> make(std::shared_ptr<DispatchQueue> queue);
  ~DispatchTimer();

  // First tick after `start`, then every `interval` (none: one shot). `leeway` is accepted for
  // callers that set it; ticks are not coalesced.
  void schedule(Duration start, std::optional<Duration> interval = std::nullopt, Duration leeway = Duration::zero());
  void setEventHandler(DispatchQueue::Block handler);
  void setCancelHandler(DispatchQueue::Block handler);
  // Starts the ticks (timers are created suspended).
  void resume();
  // Stops the ticks for good; the cancel handler runs once on the queue.
  void cancel();
  bool isCancelled() const;

 private:
  explicit DispatchTimer(std::shared_ptr<DispatchQueue> queue);
  void arm(MonotonicTime deadline);
  void fire(std::uint64_t generation);

  struct State;
  std::unique_ptr<State> state_;
};

// The main thread's loop in tests and tools: serves the main queue until a condition holds.
class RunLoop {
 public:
  // Serves the main queue until `done()` is true or `timeout` (real time) passes. Returns done().
  static bool runUntil(const std::function<bool()>& done, Duration timeout = std::chrono::seconds(10));
  // Serves the main queue for `duration` (real time).
  static void runFor(Duration duration);
};

}  // namespace vx
