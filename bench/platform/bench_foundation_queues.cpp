// Tasks per second through a serial dispatch queue and through operation queues of width 1 and 4:
// the cost every hop between threads pays.
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Operation.h"

#include <benchmark/benchmark.h>

#include <atomic>

namespace {

constexpr int kTasks = 10000;

void BM_SerialQueueAsync(benchmark::State& state) {
  auto queue = vx::DispatchQueue::makeSerial("bench.serial");
  for (auto _ : state) {
    std::atomic<int> count{0};
    for (int i = 0; i < kTasks; ++i) queue->async([&count] { count.fetch_add(1, std::memory_order_relaxed); });
    queue->sync([] {});
    benchmark::DoNotOptimize(count.load());
  }
  state.SetItemsProcessed(state.iterations() * kTasks);
}
BENCHMARK(BM_SerialQueueAsync)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OperationQueue(benchmark::State& state) {
  vx::OperationQueue queue("bench.operations");
  queue.setMaxConcurrentOperationCount(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::atomic<int> count{0};
    for (int i = 0; i < kTasks; ++i) {
      queue.addOperation([&count] { count.fetch_add(1, std::memory_order_relaxed); });
    }
    queue.waitUntilAllOperationsAreFinished();
    benchmark::DoNotOptimize(count.load());
  }
  state.SetItemsProcessed(state.iterations() * kTasks);
}
BENCHMARK(BM_OperationQueue)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
