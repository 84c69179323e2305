// One injectable source of time for every timer and delay in the project. Production code asks
// the current scheduler for "now" and for delayed callbacks; tests swap in a virtual scheduler so
// waits of minutes or hours (retry back-off, flush intervals, session timeouts) run instantly.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace vx {

using WallClock = std::chrono::system_clock;
using MonotonicClock = std::chrono::steady_clock;
using WallTime = WallClock::time_point;
using MonotonicTime = MonotonicClock::time_point;
using Duration = std::chrono::nanoseconds;

// Time and delayed callbacks. A scheduled callback runs on a thread of the scheduler's choosing
// and must only hand work on (post to a queue); it must not block.
class Scheduler {
 public:
  using Token = std::uint64_t;
  virtual ~Scheduler() = default;

  virtual WallTime wallNow() const = 0;
  virtual MonotonicTime monotonicNow() const = 0;
  // Runs `callback` once the monotonic time reaches `deadline`. Returns a token for cancel().
  virtual Token schedule(MonotonicTime deadline, std::function<void()> callback) = 0;
  // Drops a scheduled callback that has not run yet; does nothing for one that ran or is running.
  virtual void cancel(Token token) = 0;

  // The scheduler in force: the real one unless a test installed another.
  static std::shared_ptr<Scheduler> current();
  // The real scheduler (system clocks and one timer thread).
  static std::shared_ptr<Scheduler> real();
  // Installs `scheduler` as current (nullptr restores the real one). Meant for tests.
  static void setCurrent(std::shared_ptr<Scheduler> scheduler);
};

// Virtual time for tests: the clocks stand still until advance() moves them, running every
// callback that falls due, in deadline order (ties in scheduling order).
class VirtualScheduler final : public Scheduler {
 public:
  explicit VirtualScheduler(WallTime wallStart = WallClock::now());
  ~VirtualScheduler() override;

  WallTime wallNow() const override;
  MonotonicTime monotonicNow() const override;
  Token schedule(MonotonicTime deadline, std::function<void()> callback) override;
  void cancel(Token token) override;

  // Moves time forward by `by`, running due callbacks as their deadlines are reached.
  void advance(Duration by);
  // Number of callbacks still waiting.
  std::size_t pendingCount() const;
  // The deadline of the next waiting callback, if any, as an offset from now.
  std::optional<Duration> nextDeadlineFromNow() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Installs a virtual scheduler for the lifetime of the object (tests).
class ScopedVirtualTime {
 public:
  explicit ScopedVirtualTime(WallTime wallStart = WallClock::now());
  ~ScopedVirtualTime();
  ScopedVirtualTime(const ScopedVirtualTime&) = delete;
  ScopedVirtualTime& operator=(const ScopedVirtualTime&) = delete;

  VirtualScheduler& scheduler() { return *scheduler_; }
  void advance(Duration by) { scheduler_->advance(by); }

 private:
  std::shared_ptr<VirtualScheduler> scheduler_;
};

// Shorthands over the current scheduler.
inline WallTime wallNow() { return Scheduler::current()->wallNow(); }
inline MonotonicTime monotonicNow() { return Scheduler::current()->monotonicNow(); }

}  // namespace vx
