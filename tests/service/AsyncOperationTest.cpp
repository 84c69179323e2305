#include "app/service/AsyncOperation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace Vexelworks {
namespace {

using namespace std::chrono_literals;

// Waits (real time, briefly) until the condition holds.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// An operation whose work stays in flight after start() until the test completes it, the way
// a URL task does.
class DeferredOperation : public AsyncOperation {
 public:
  void start() override {
    if (isCancelled()) {
      finishCancelled();
      return;
    }
    setExecuting(true);
    started = true;
  }
  // The asynchronous work ends: result first, then executing false, finished true.
  void complete() {
    delivered = true;
    setExecuting(false);
    setFinished(true);
  }
  void unfinish() { setFinished(false); }

  std::atomic<bool> started{false};
  std::atomic<bool> delivered{false};
};

TEST(AsyncOperationTest, LifecycleFlags) {
  auto operation = std::make_shared<DeferredOperation>();
  EXPECT_TRUE(operation->isAsynchronous());
  EXPECT_TRUE(operation->isConcurrent());
  EXPECT_FALSE(operation->isExecuting());
  EXPECT_FALSE(operation->isFinished());
  operation->start();
  EXPECT_TRUE(operation->isExecuting());
  EXPECT_FALSE(operation->isFinished());
  operation->complete();
  EXPECT_FALSE(operation->isExecuting());
  EXPECT_TRUE(operation->isFinished());
  operation->unfinish();  // finished stays finished
  EXPECT_TRUE(operation->isFinished());
}

TEST(AsyncOperationTest, CompletionRunsOnceEvenWhenFinishedTwiceFromTwoThreads) {
  for (int round = 0; round < 50; ++round) {
    auto operation = std::make_shared<DeferredOperation>();
    std::atomic<int> completions{0};
    operation->setCompletionBlock([&] { ++completions; });
    operation->start();
    std::thread a([&] { operation->complete(); });
    std::thread b([&] { operation->complete(); });
    a.join();
    b.join();
    ASSERT_TRUE(eventually([&] { return completions.load() >= 1; }));
    std::this_thread::sleep_for(2ms);  // room for a wrong second run to show
    EXPECT_EQ(completions.load(), 1);
  }
}

TEST(AsyncOperationTest, QueueOfOneWaitsForFinishNotForStartToReturn) {
  vx::OperationQueue queue("one at a time");
  queue.setMaxConcurrentOperationCount(1);
  auto first = std::make_shared<DeferredOperation>();
  auto second = std::make_shared<DeferredOperation>();
  std::atomic<int> completions{0};
  first->setCompletionBlock([&] { ++completions; });
  queue.addOperation(first);
  queue.addOperation(second);

  ASSERT_TRUE(eventually([&] { return first->started.load(); }));
  // first's start() has returned, its work is in flight: it holds the queue.
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(second->started.load());
  EXPECT_EQ(queue.operationCount(), 2u);

  first->complete();
  ASSERT_TRUE(eventually([&] { return second->started.load(); }));
  EXPECT_TRUE(first->delivered.load());
  EXPECT_TRUE(eventually([&] { return completions.load() == 1; }));
  second->complete();
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(AsyncOperationTest, CancelledBeforeStartFinishesWithoutWork) {
  vx::OperationQueue queue;
  queue.setMaxConcurrentOperationCount(1);
  auto blocker = std::make_shared<DeferredOperation>();
  auto cancelled = std::make_shared<DeferredOperation>();
  std::atomic<bool> completed{false};
  cancelled->setCompletionBlock([&] { completed = true; });
  queue.addOperation(blocker);
  queue.addOperation(cancelled);
  cancelled->cancel();
  ASSERT_TRUE(eventually([&] { return blocker->started.load(); }));
  blocker->complete();
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_FALSE(cancelled->started.load());
  EXPECT_TRUE(cancelled->isFinished());
  EXPECT_TRUE(eventually([&] { return completed.load(); }));
}

}  // namespace
}  // namespace Vexelworks
