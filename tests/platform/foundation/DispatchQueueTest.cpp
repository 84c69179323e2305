#include "platform/foundation/DispatchQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace vx {
namespace {

using namespace std::chrono_literals;

TEST(DispatchQueueTest, SerialQueueRunsBlocksOneAtATimeInOrder) {
  auto queue = DispatchQueue::makeSerial("test.serial");
  std::vector<int> order;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  DispatchGroup group;
  for (int i = 0; i < 500; ++i) {
    queue->async(group, [&, i] {
      if (inside.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);  // unsynchronised on purpose: the queue must serialise it
      inside.fetch_sub(1);
    });
  }
  ASSERT_TRUE(group.wait(10s));
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(order.size(), 500u);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(order[i], i);
}

TEST(DispatchQueueTest, ConcurrentQueueRunsSideBySideAndBarrierRunsAlone) {
  auto queue = DispatchQueue::makeConcurrent("test.concurrent");
  std::atomic<int> inside{0};
  std::atomic<int> peak{0};
  std::atomic<bool> barrierSawOthers{false};
  std::atomic<int> afterBarrier{0};
  std::atomic<bool> barrierDone{false};
  DispatchGroup group;
  DispatchSemaphore gate(0);
  // Four blocks that wait for each other can only finish if they run at the same time.
  for (int i = 0; i < 4; ++i) {
    queue->async(group, [&] {
      const int now = inside.fetch_add(1) + 1;
      int seen = peak.load();
      while (now > seen && !peak.compare_exchange_weak(seen, now)) {
      }
      if (now == 4) {
        for (int k = 0; k < 4; ++k) gate.signal();
      }
      EXPECT_TRUE(gate.wait(5s));
      inside.fetch_sub(1);
    });
  }
  group.enter();
  queue->asyncBarrier([&] {
    if (inside.load() != 0) barrierSawOthers = true;
    barrierDone = true;
    group.leave();
  });
  queue->async(group, [&] {
    if (barrierDone) afterBarrier.fetch_add(1);
  });
  ASSERT_TRUE(group.wait(10s));
  EXPECT_EQ(peak.load(), 4);
  EXPECT_FALSE(barrierSawOthers);
  EXPECT_EQ(afterBarrier.load(), 1);
}

TEST(DispatchQueueTest, SyncWaitsAndIsReentrantOnItsOwnQueue) {
  auto queue = DispatchQueue::makeSerial("test.sync");
  int value = 0;
  queue->sync([&] {
    EXPECT_TRUE(queue->isCurrent());
    queue->sync([&] { value = 1; });  // would deadlock without the re-entrancy rule
    value += 1;
  });
  EXPECT_EQ(value, 2);
  EXPECT_FALSE(queue->isCurrent());
}

TEST(DispatchQueueTest, MainQueueRunsOnlyWhenTheMainThreadServesIt) {
  DispatchQueue::adoptMainThread();
  std::atomic<bool> ran{false};
  std::atomic<bool> onMain{false};
  std::thread poster([&] {
    DispatchQueue::main()->async([&] {
      onMain = DispatchQueue::isMainThread() && DispatchQueue::main()->isCurrent();
      ran = true;
    });
  });
  poster.join();
  EXPECT_FALSE(ran.load());
  EXPECT_TRUE(RunLoop::runUntil([&] { return ran.load(); }, 5s));
  EXPECT_TRUE(onMain.load());
}

TEST(DispatchQueueTest, MainQueueWakeHandlerIsCalledForEveryPost) {
  std::atomic<int> wakes{0};
  DispatchQueue::setMainQueueWakeHandler([&] { wakes.fetch_add(1); });
  DispatchQueue::main()->async([] {});
  DispatchQueue::main()->async([] {});
  DispatchQueue::setMainQueueWakeHandler(nullptr);
  EXPECT_EQ(wakes.load(), 2);
  EXPECT_EQ(DispatchQueue::drainMainQueue(), 2u);
}

TEST(DispatchQueueTest, AsyncAfterFollowsVirtualTime) {
  ScopedVirtualTime time;
  auto queue = DispatchQueue::makeSerial("test.after");
  std::vector<int> fired;
  std::mutex mutex;
  DispatchGroup group;
  auto record = [&](int value) {
    std::lock_guard lock(mutex);
    fired.push_back(value);
  };
  group.enter();
  group.enter();
  queue->asyncAfter(std::chrono::hours(2), [&] {
    record(2);
    group.leave();
  });
  queue->asyncAfter(std::chrono::minutes(30), [&] {
    record(1);
    group.leave();
  });
  time.advance(std::chrono::minutes(29));
  EXPECT_FALSE(group.wait(50ms));
  time.advance(std::chrono::minutes(1));
  time.advance(std::chrono::hours(2));
  ASSERT_TRUE(group.wait(5s));
  EXPECT_EQ(fired, (std::vector<int>{1, 2}));
}

TEST(DispatchGroupTest, NotifyRunsOnceWhenTheGroupEmpties) {
  DispatchGroup group;
  auto queue = DispatchQueue::makeSerial("test.group");
  std::atomic<int> notified{0};
  group.enter();
  group.enter();
  group.notify(queue, [&] { notified.fetch_add(1); });
  group.leave();
  EXPECT_FALSE(group.wait(20ms));
  group.leave();
  EXPECT_TRUE(group.wait(1s));
  queue->sync([] {});
  EXPECT_EQ(notified.load(), 1);
}

TEST(DispatchGroupDeathTest, UnbalancedLeaveIsAProgrammingFault) {
  EXPECT_DEATH(
      {
        DispatchGroup group;
        group.leave();
      },
      "without a matching enter");
}

TEST(DispatchSemaphoreTest, WaitTimesOutAndCountsSignals) {
  DispatchSemaphore semaphore(1);
  EXPECT_TRUE(semaphore.wait(0ms));
  EXPECT_FALSE(semaphore.wait(20ms));
  std::thread signaller([&] { semaphore.signal(); });
  EXPECT_TRUE(semaphore.wait(5s));
  signaller.join();
}

TEST(DispatchTimerTest, RepeatsOnItsIntervalAndStopsWhenCancelled) {
  ScopedVirtualTime time;
  auto queue = DispatchQueue::makeSerial("test.timer");
  std::atomic<int> ticks{0};
  std::atomic<int> cancels{0};
  auto timer = DispatchTimer::make(queue);
  timer->schedule(std::chrono::seconds(10), std::chrono::seconds(5));
  timer->setEventHandler([&] { ticks.fetch_add(1); });
  timer->setCancelHandler([&] { cancels.fetch_add(1); });
  time.advance(std::chrono::seconds(60));
  queue->sync([] {});
  EXPECT_EQ(ticks.load(), 0) << "a timer starts suspended";
  timer->resume();
  time.advance(std::chrono::seconds(9));
  queue->sync([] {});
  EXPECT_EQ(ticks.load(), 0);
  time.advance(std::chrono::seconds(1));   // t=10: first tick
  time.advance(std::chrono::seconds(10));  // t=15, t=20
  queue->sync([] {});
  EXPECT_EQ(ticks.load(), 3);
  timer->cancel();
  timer->cancel();
  time.advance(std::chrono::seconds(60));
  queue->sync([] {});
  EXPECT_EQ(ticks.load(), 3);
  EXPECT_EQ(cancels.load(), 1);
  EXPECT_EQ(time.scheduler().pendingCount(), 0u);
}

TEST(DispatchTimerTest, DroppingTheTimerStopsItsTicks) {
  ScopedVirtualTime time;
  auto queue = DispatchQueue::makeSerial("test.timer.weak");
  auto ticks = std::make_shared<std::atomic<int>>(0);
  {
    auto timer = DispatchTimer::make(queue);
    timer->schedule(std::chrono::seconds(1), std::chrono::seconds(1));
    timer->setEventHandler([ticks] { ticks->fetch_add(1); });
    timer->resume();
    time.advance(std::chrono::seconds(2));
    queue->sync([] {});
  }
  const int before = ticks->load();
  EXPECT_EQ(before, 2);
  time.advance(std::chrono::seconds(10));
  queue->sync([] {});
  EXPECT_EQ(ticks->load(), before);
}

TEST(DispatchTimerTest, RealTimeOneShotFires) {
  auto queue = DispatchQueue::makeSerial("test.timer.real");
  std::atomic<int> ticks{0};
  auto timer = DispatchTimer::make(queue);
  timer->schedule(5ms);
  timer->setEventHandler([&] { ticks.fetch_add(1); });
  timer->resume();
  // A second one-shot timer on the same queue, due well after the first: when it has fired, a
  // first timer that wrongly repeated would have fired again before it.
  std::promise<int> later;
  auto ticksLater = later.get_future();
  auto marker = DispatchTimer::make(queue);
  marker->schedule(50ms);
  marker->setEventHandler([&] { later.set_value(ticks.load()); });
  marker->resume();
  ASSERT_EQ(ticksLater.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(ticksLater.get(), 1);
  queue->sync([] {});
  EXPECT_EQ(ticks.load(), 1);
}

}  // namespace
}  // namespace vx

namespace vx {
namespace {

// Cancelling the callback the real timer thread is waiting for must not touch freed memory.
TEST(RealSchedulerTest, CancellingTheEarliestCallbackWhileItIsAwaitedIsSafe) {
  auto scheduler = Scheduler::real();
  std::atomic<int> ran{0};
  for (int round = 0; round < 200; ++round) {
    const auto token =
        scheduler->schedule(scheduler->monotonicNow() + std::chrono::milliseconds(50), [&] { ran.fetch_add(1); });
    // Gives the timer thread the time to start waiting for this callback: the race under test.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    scheduler->cancel(token);
  }
  // Callbacks run in deadline order, so once one due after every cancelled deadline has run, a
  // cancelled callback that was going to run wrongly would have run already.
  std::promise<void> passed;
  auto allDue = passed.get_future();
  scheduler->schedule(scheduler->monotonicNow() + std::chrono::milliseconds(60), [&] { passed.set_value(); });
  ASSERT_EQ(allDue.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(ran.load(), 0);
}

}  // namespace
}  // namespace vx
