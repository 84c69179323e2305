#include "platform/foundation/Operation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace vx {
namespace {

using namespace std::chrono_literals;

// Finishes from another thread some time after start(), like a network operation.
class DelayedOperation : public Operation {
 public:
  explicit DelayedOperation(std::atomic<int>& bodies) : bodies_(bodies) {}
  bool isAsynchronous() const override { return true; }
  void start() override {
    if (isCancelled()) {
      finish();
      return;
    }
    setExecuting(true);
    auto self = std::static_pointer_cast<DelayedOperation>(shared_from_this());
    DispatchQueue::global()->asyncAfter(2ms, [self] {
      self->bodies_.fetch_add(1);
      self->finish();
      self->finish();  // a second finish must not run the completion again
    });
  }

 private:
  std::atomic<int>& bodies_;
};

TEST(OperationQueueTest, RespectsTheMaximumConcurrentOperationCount) {
  for (int width : {1, 4}) {
    OperationQueue queue("test.width");
    queue.setMaxConcurrentOperationCount(width);
    std::atomic<int> inside{0};
    std::atomic<int> peak{0};
    for (int i = 0; i < 40; ++i) {
      queue.addOperation([&] {
        const int now = inside.fetch_add(1) + 1;
        int seen = peak.load();
        while (now > seen && !peak.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(1ms);
        inside.fetch_sub(1);
      });
    }
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_LE(peak.load(), width);
    EXPECT_GE(peak.load(), 1);
    EXPECT_EQ(queue.operationCount(), 0u);
  }
}

TEST(OperationQueueTest, AsynchronousOperationsHoldTheirSlotUntilTheyFinish) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(2);
  std::atomic<int> bodies{0};
  std::atomic<int> completions{0};
  for (int i = 0; i < 20; ++i) {
    auto operation = std::make_shared<DelayedOperation>(bodies);
    operation->setCompletionBlock([&] { completions.fetch_add(1); });
    queue.addOperation(operation);
  }
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(bodies.load(), 20);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (completions.load() < 20 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(completions.load(), 20);
}

TEST(OperationQueueTest, CancelledWaitingOperationsStillFinishAndFreeTheQueue) {
  OperationQueue queue;
  queue.setMaxConcurrentOperationCount(1);
  DispatchSemaphore release(0);
  std::atomic<int> ran{0};
  std::atomic<int> completions{0};
  queue.addOperation([&] { release.wait(5s); });
  std::vector<std::shared_ptr<Operation>> waiting;
  for (int i = 0; i < 5; ++i) {
    auto operation = std::make_shared<BlockOperation>([&] { ran.fetch_add(1); });
    operation->setCompletionBlock([&] { completions.fetch_add(1); });
    waiting.push_back(operation);
    queue.addOperation(operation);
  }
  queue.cancelAllOperations();
  release.signal();
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(ran.load(), 0);
  for (auto& operation : waiting) {
    EXPECT_TRUE(operation->isCancelled());
    EXPECT_TRUE(operation->isFinished());
  }
  // The queue is free again afterwards.
  std::atomic<bool> later{false};
  queue.addOperation([&] { later = true; });
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(later.load());
}

TEST(OperationQueueTest, DependenciesRunFirst) {
  OperationQueue queue;
  std::atomic<int> step{0};
  std::atomic<int> seenByDependant{-1};
  auto first = std::make_shared<BlockOperation>([&] {
    std::this_thread::sleep_for(5ms);
    step = 1;
  });
  auto second = std::make_shared<BlockOperation>([&] { seenByDependant = step.load(); });
  second->addDependency(first);
  queue.addOperation(second);
  queue.addOperation(first);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(seenByDependant.load(), 1);
}

TEST(OperationQueueTest, DestroyingAQueueWithWorkInFlightIsSafe) {
  std::atomic<int> bodies{0};
  std::vector<std::shared_ptr<Operation>> operations;
  {
    OperationQueue queue;
    queue.setMaxConcurrentOperationCount(1);
    for (int i = 0; i < 10; ++i) {
      auto operation = std::make_shared<DelayedOperation>(bodies);
      operations.push_back(operation);
      queue.addOperation(operation);
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  auto allFinished = [&] {
    for (auto& operation : operations) {
      if (!operation->isFinished()) return false;
    }
    return true;
  };
  while (!allFinished() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(allFinished());
  // At most the one already running does its work; the waiting ones were cancelled.
  EXPECT_LE(bodies.load(), 1);
}

TEST(OperationQueueDeathTest, AddingAFinishedOperationIsAProgrammingFault) {
  EXPECT_DEATH(
      {
        OperationQueue queue;
        auto operation = std::make_shared<BlockOperation>([] {});
        operation->start();
        queue.addOperation(operation);
      },
      "already run");
}

}  // namespace
}  // namespace vx
