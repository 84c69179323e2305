// The deadlock monitor: a watchdog thread that asks the main queue for an answer every interval;
// a main thread that has not answered by the next turn is recorded (with its registers and
// stack) and the process is ended.
#pragma once

#include "reporting/crash-recorder/Recording/Monitors/PloverCrashMonitorContext.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class PloverCrashDeadlockMonitor : public std::enable_shared_from_this<PloverCrashDeadlockMonitor> {
 public:
  // Starts the watchdog thread ("PloverCrash Deadlock Detection Thread", cut to the 15
  // characters Linux keeps).
  static std::shared_ptr<PloverCrashDeadlockMonitor> make();
  ~PloverCrashDeadlockMonitor();

  // Stops the watchdog thread and waits for it.
  void cancel();
  void watchdogPulse();
  void watchdogAnswer();
  [[noreturn]] void handleDeadlock();
  void runMonitor();

  std::thread::id monitorThread() const { return monitorThread_.get_id(); }
  bool awaitingResponse() const { return awaitingResponse_.load(); }
  void setAwaitingResponse(bool value) { awaitingResponse_.store(value); }

 private:
  PloverCrashDeadlockMonitor() = default;
  std::thread monitorThread_;
  std::atomic<bool> awaitingResponse_{false};
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
};

PloverCrashMonitorOps* plovercrashcm_deadlock_getAPI();

// The watchdog's interval in seconds; 0 or less means it never reports.
void plovercrashcm_setDeadlockHandlerWatchdogInterval(double value);
