#include "platform/desktop/GetURLEvents.h"
#include "platform/foundation/DispatchQueue.h"

#include <gtest/gtest.h>

#include <thread>

namespace vx {
namespace {

using namespace std::chrono_literals;

class GetURLEventsTest : public testing::Test {
 protected:
  void SetUp() override { GetURLEventManager::shared().discardPendingEvents(); }
  void TearDown() override {
    GetURLEventManager::shared().removeEventHandler();
    GetURLEventManager::shared().discardPendingEvents();
    DispatchQueue::drainMainQueue();
  }
};

TEST_F(GetURLEventsTest, EventsBeforeAHandlerAreKeptAndDeliveredInOrderOnTheMainThread) {
  auto& manager = GetURLEventManager::shared();
  std::thread poster([&manager] {
    manager.postGetURLEvent("vexelworks://login/a");
    manager.postGetURLEvent("vexelworks://login/b");
  });
  poster.join();
  RunLoop::runFor(10ms);
  EXPECT_EQ(manager.pendingCount(), 2u) << "nobody was listening yet";

  std::vector<std::string> received;
  bool allOnMain = true;
  manager.setEventHandler([&](const std::string& url) {
    received.push_back(url);
    allOnMain = allOnMain && DispatchQueue::isMainThread();
  });
  EXPECT_TRUE(received.empty()) << "delivery waits for the main queue";
  manager.postGetURLEvent("vexelworks://login/c");
  ASSERT_TRUE(RunLoop::runUntil([&] { return received.size() == 3; }));
  EXPECT_EQ(received,
            (std::vector<std::string>{"vexelworks://login/a", "vexelworks://login/b", "vexelworks://login/c"}));
  EXPECT_TRUE(allOnMain);
  EXPECT_EQ(manager.pendingCount(), 0u);
}

TEST_F(GetURLEventsTest, AReplacedHandlerGetsOnlyLaterEventsAndTheKeptOnesAreBounded) {
  auto& manager = GetURLEventManager::shared();
  std::vector<std::string> first, second;
  manager.setEventHandler([&](const std::string& url) { first.push_back(url); });
  manager.postGetURLEvent("one");
  ASSERT_TRUE(RunLoop::runUntil([&] { return first.size() == 1; }));
  manager.setEventHandler([&](const std::string& url) { second.push_back(url); });
  manager.postGetURLEvent("two");
  ASSERT_TRUE(RunLoop::runUntil([&] { return second.size() == 1; }));
  EXPECT_EQ(first, std::vector<std::string>{"one"});
  EXPECT_EQ(second, std::vector<std::string>{"two"});

  manager.removeEventHandler();
  for (std::size_t i = 0; i < GetURLEventManager::kMaxPendingEvents + 10; ++i) {
    manager.postGetURLEvent("flood " + std::to_string(i));
  }
  DispatchQueue::drainMainQueue();
  EXPECT_EQ(manager.pendingCount(), GetURLEventManager::kMaxPendingEvents);
  manager.setEventHandler([&](const std::string& url) { second.push_back(url); });
  ASSERT_TRUE(RunLoop::runUntil([&] { return second.size() == 1 + GetURLEventManager::kMaxPendingEvents; }));
  EXPECT_EQ(second[1], "flood 0");
  EXPECT_EQ(second.back(), "flood " + std::to_string(GetURLEventManager::kMaxPendingEvents - 1));
}

}  // namespace
}  // namespace vx
