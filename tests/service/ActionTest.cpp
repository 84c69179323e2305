#include "app/service/Action.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>

namespace Vexelworks {
namespace {

std::string caseName(const Action& action) {
  return std::visit(
      [](const auto& a) -> std::string {
        using T = std::decay_t<decltype(a)>;
        if constexpr (std::is_same_v<T, Actions::ChangeAccessToken>) return "changeAccessToken";
        if constexpr (std::is_same_v<T, Actions::LogIn>) return "logIn";
        if constexpr (std::is_same_v<T, Actions::LoadCompletions>) return "loadCompletions";
        if constexpr (std::is_same_v<T, Actions::RecordIconUsage>) return "recordIconUsage";
        if constexpr (std::is_same_v<T, Actions::LogOut>) return "logOut";
        if constexpr (std::is_same_v<T, Actions::RefreshUser>) return "refreshUser";
        return "?";
      },
      action);
}

TEST(ActionTest, NoHandlersDoesNothing) {
  ActionHandlerList list;
  EXPECT_EQ(list.size(), 0u);
  list.dispatch(Actions::LogOut{});
  list.append(nullptr);  // an empty closure is not registered
  EXPECT_EQ(list.size(), 0u);
}

TEST(ActionTest, HandlersRunInOrderOnceEachBeforeDispatchReturns) {
  ActionHandlerList list;
  std::vector<std::string> calls;
  for (int i = 0; i < 3; ++i) {
    list.append([&calls, i](const Action& action) { calls.push_back(std::to_string(i) + ":" + caseName(action)); });
  }
  list.dispatch(Actions::LogIn{"one-time"});
  EXPECT_EQ(calls, (std::vector<std::string>{"0:logIn", "1:logIn", "2:logIn"}));
}

TEST(ActionTest, EveryCaseReachesEveryHandlerWithItsPayload) {
  ActionHandlerList list;
  std::vector<Action> seen;
  list.append([&](const Action& action) { seen.push_back(action); });
  const std::vector<Action> actions = {
      Actions::ChangeAccessToken{AccessToken{"k", "s"}},
      Actions::LogIn{"tok"},
      Actions::LoadCompletions{"cof"},
      Actions::RecordIconUsage{nullptr, PasteboardType::pdf, Color::rgb(0.2, 0.4, 0.6, 0.5)},
      Actions::LogOut{},
      Actions::RefreshUser{},
  };
  for (const auto& action : actions) list.dispatch(action);
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(std::get<Actions::ChangeAccessToken>(seen[0]).token, (AccessToken{"k", "s"}));
  EXPECT_EQ(std::get<Actions::LogIn>(seen[1]).token, "tok");
  EXPECT_EQ(std::get<Actions::LoadCompletions>(seen[2]).query, "cof");
  EXPECT_EQ(std::get<Actions::RecordIconUsage>(seen[3]).type, PasteboardType::pdf);
  EXPECT_EQ(std::get<Actions::RecordIconUsage>(seen[3]).color.hexStringWithAlpha(), "80336699");
  EXPECT_EQ(caseName(seen[4]), "logOut");
  EXPECT_EQ(caseName(seen[5]), "refreshUser");
}

TEST(ActionTest, AHandlerRegisteredTwiceRunsTwice) {
  ActionHandlerList list;
  int count = 0;
  ActionHandler handler = [&](const Action&) { ++count; };
  list.append(handler);
  list.append(handler);
  list.dispatch(Actions::RefreshUser{});
  EXPECT_EQ(count, 2);
}

TEST(ActionTest, RegisteringAndDispatchingFromInsideAHandler) {
  ActionHandlerList list;
  std::vector<std::string> calls;
  list.append([&](const Action& action) {
    calls.push_back("a:" + caseName(action));
    if (std::holds_alternative<Actions::LogOut>(action)) {
      // Registers while the dispatch is under way: the new handler sees later actions only.
      list.append([&](const Action& inner) { calls.push_back("late:" + caseName(inner)); });
      // And dispatches again from inside: no deadlock.
      list.dispatch(Actions::RefreshUser{});
    }
  });
  list.dispatch(Actions::LogOut{});
  EXPECT_EQ(calls, (std::vector<std::string>{"a:logOut", "a:refreshUser", "late:refreshUser"}));
  calls.clear();
  list.dispatch(Actions::RefreshUser{});
  EXPECT_EQ(calls, (std::vector<std::string>{"a:refreshUser", "late:refreshUser"}));
}

TEST(ActionTest, ConcurrentDispatchAndRegistration) {
  ActionHandlerList list;
  std::atomic<long> calls{0};
  list.append([&](const Action&) { ++calls; });
  constexpr int kDispatchers = 4;
  constexpr int kPerThread = 2000;
  std::barrier start(kDispatchers + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kDispatchers; ++t) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < kPerThread; ++i) list.dispatch(Actions::LoadCompletions{"q"});
    });
  }
  std::atomic<long> lateCalls{0};
  threads.emplace_back([&] {
    start.arrive_and_wait();
    for (int i = 0; i < 100; ++i) list.append([&](const Action&) { ++lateCalls; });
  });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(calls.load(), kDispatchers * kPerThread);
  EXPECT_EQ(list.size(), 101u);
  calls = 0;
  lateCalls = 0;
  list.dispatch(Actions::LogOut{});
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(lateCalls.load(), 100);
}

TEST(ActionTest, ProcessWideListIsOneList) {
  EXPECT_EQ(&actionHandlers(), &actionHandlers());
  // The list keeps its handlers for the life of the process, so this one owns its counter.
  auto count = std::make_shared<int>(0);
  actionHandlers().append([count](const Action&) { ++*count; });
  dispatch(Actions::RefreshUser{});
  EXPECT_EQ(*count, 1);
}

}  // namespace
}  // namespace Vexelworks
