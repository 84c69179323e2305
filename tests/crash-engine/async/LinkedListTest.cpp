// The list that signal handlers walk while other threads change it.
#include "crash-engine/async/HXCrashAsyncLinkedList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using List = HXCrashAsyncLinkedList<int>;

std::vector<int> values(List& list) {
  std::vector<int> out;
  list.set_reading(true);
  for (List::node* item = list.next(nullptr); item != nullptr; item = list.next(item)) {
    out.push_back(item->value);
  }
  list.set_reading(false);
  return out;
}

List::node* find(List& list, int value) {
  list.set_reading(true);
  List::node* item = list.next(nullptr);
  while (item != nullptr && item->value != value) item = list.next(item);
  list.set_reading(false);
  return item;
}

class LinkedListTest : public testing::Test {
 protected:
  void TearDown() override { list_.nasync_free_all_nodes(); }
  List list_;
};

TEST_F(LinkedListTest, AppendAndPrependKeepOrder) {
  list_.nasync_append(2);
  list_.nasync_append(3);
  list_.nasync_prepend(1);
  list_.nasync_prepend(0);
  EXPECT_EQ(values(list_), (std::vector<int>{0, 1, 2, 3}));
  list_.nasync_remove_node(find(list_, 0));
  list_.nasync_remove_node(find(list_, 3));
  list_.nasync_append(4);
  EXPECT_EQ(values(list_), (std::vector<int>{1, 2, 4}));
  list_.nasync_remove_node(find(list_, 2));
  EXPECT_EQ(values(list_), (std::vector<int>{1, 4}));
  EXPECT_EQ(list_.parked_count(), 0);  // nobody was reading: freed at once
}

TEST_F(LinkedListTest, RemovingAnUnknownNodeChangesNothing) {
  list_.nasync_append(1);
  List other;
  other.nasync_append(9);
  list_.nasync_remove_node(find(other, 9));
  EXPECT_EQ(values(list_), (std::vector<int>{1}));
  other.nasync_free_all_nodes();
}

TEST_F(LinkedListTest, NodeRemovedUnderAReaderIsParkedAndStillLeadsOn) {
  for (int i = 1; i <= 3; ++i) list_.nasync_append(i);
  list_.set_reading(true);
  List::node* standing = list_.next(nullptr);  // the reader stands on 1
  list_.nasync_remove_node(standing);
  EXPECT_EQ(list_.parked_head(), standing);
  // The reader still finds valid memory and walks on to the live list.
  EXPECT_EQ(standing->value, 1);
  List::node* following = list_.next(standing);
  ASSERT_NE(following, nullptr);
  EXPECT_EQ(following->value, 2);

  // A reader is still counted: the parked node is not reused under it.
  list_.nasync_append(4);
  EXPECT_EQ(standing->value, 1);
  EXPECT_EQ(list_.next(standing), following);
  EXPECT_EQ(list_.parked_count(), 1);
  list_.set_reading(false);

  // With no reader left, the next append reuses it instead of allocating.
  list_.nasync_append(5);
  EXPECT_EQ(list_.parked_count(), 0);
  EXPECT_EQ(find(list_, 5), standing);
  EXPECT_EQ(values(list_), (std::vector<int>{2, 3, 4, 5}));
}

TEST_F(LinkedListTest, RemoveAllLeavesAnEmptyList) {
  for (int i = 0; i < 5; ++i) list_.nasync_prepend(i);
  list_.nasync_remove_all();
  EXPECT_TRUE(values(list_).empty());
  list_.nasync_append(7);
  EXPECT_EQ(values(list_), (std::vector<int>{7}));
}

TEST(LinkedListDeathTest, WalkingOutsideAReaderSectionStops) {
  EXPECT_DEATH(
      {
        List list;
        list.next(nullptr);
      },
      "_refcount > 0");
}

// Readers walk without locks while writers append, prepend and remove: every value a reader
// sees was put in by a writer, and no reader touches freed memory (checked by the address
// sanitizer in the test build).
TEST_F(LinkedListTest, ReadersAndWritersRunTogether) {
  std::atomic<bool> stop{false};
  std::atomic<long> seen{0};
  std::atomic<int> started{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      started.fetch_add(1);
      while (!stop.load()) {
        list_.set_reading(true);
        for (List::node* item = list_.next(nullptr); item != nullptr; item = list_.next(item)) {
          const int value = item->value;
          EXPECT_TRUE(value >= 0 && value < 100000) << value;
          seen.fetch_add(1, std::memory_order_relaxed);
        }
        list_.set_reading(false);
      }
    });
  }
  // The writers start once every reader runs (an optimised build writes everything before a
  // late reader would look).
  while (started.load() < 3) std::this_thread::yield();
  for (int round = 0; round < 20000; ++round) {
    if (round % 2 == 0)
      list_.nasync_append(round);
    else
      list_.nasync_prepend(round);
    if (round % 3 == 2) {
      list_.set_reading(true);
      List::node* victim = list_.next(nullptr);
      list_.set_reading(false);
      if (victim != nullptr) list_.nasync_remove_node(victim);
    }
  }
  // The list is not empty now: every reader gets to see values before it is stopped.
  while (seen.load() == 0) std::this_thread::yield();
  stop = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_GT(seen.load(), 0);
  EXPECT_EQ(values(list_).size(), 20000u - 20000u / 3);
}

}  // namespace
