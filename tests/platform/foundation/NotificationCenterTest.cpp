#include "platform/foundation/NotificationCenter.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>

namespace vx {
namespace {

using namespace std::chrono_literals;

TEST(NotificationCenterTest, DeliversByNameAndObjectSynchronouslyOrOnAQueue) {
  NotificationCenter center;
  int sender = 0;
  int other = 0;
  int direct = 0;
  std::atomic<int> queued{0};
  std::string reason;
  auto queue = DispatchQueue::makeSerial("test.notifications");
  center.addObserver("Changed", &sender, nullptr, [&](const Notification& note) {
    ++direct;
    reason = note.userInfo.value("reason", "");
  });
  center.addObserver("Changed", nullptr, queue, [&](const Notification&) { queued.fetch_add(1); });
  center.post("Changed", &sender, nlohmann::json{{"reason", "link up"}});
  center.post("Changed", &other);
  center.post("Unrelated", &sender);
  EXPECT_EQ(direct, 1);
  EXPECT_EQ(reason, "link up");
  queue->sync([] {});
  EXPECT_EQ(queued.load(), 2);
}

TEST(NotificationCenterTest, RemovedObserversAreNotCalledEvenForQueuedDeliveries) {
  NotificationCenter center;
  auto queue = DispatchQueue::makeSerial("test.notifications.remove");
  std::atomic<int> calls{0};
  DispatchSemaphore hold(0);
  queue->async([&] { hold.wait(5s); });  // keep the delivery waiting in the queue
  const auto token = center.addObserver("Ping", nullptr, queue, [&](const Notification&) { calls.fetch_add(1); });
  center.post("Ping");
  center.removeObserver(token);
  hold.signal();
  queue->sync([] {});
  EXPECT_EQ(calls.load(), 0);
}

TEST(NotificationCenterTest, HandlersMayAddAndRemoveObserversWhileBeingCalled) {
  NotificationCenter center;
  int added = 0;
  NotificationCenter::Token self = 0;
  self = center.addObserver("Ping", nullptr, nullptr, [&](const Notification&) {
    center.removeObserver(self);
    center.addObserver("Ping", nullptr, nullptr, [&](const Notification&) { ++added; });
  });
  center.post("Ping");
  EXPECT_EQ(added, 0);
  center.post("Ping");
  EXPECT_EQ(added, 1);
}

TEST(NotificationCenterTest, ScopedObserverRemovesOnDestruction) {
  NotificationCenter center;
  int calls = 0;
  {
    ScopedObserver observer(center,
                            center.addObserver("Ping", nullptr, nullptr, [&](const Notification&) { ++calls; }));
    center.post("Ping");
  }
  center.post("Ping");
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace vx
