#include "app/service/BoundedCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace Vexelworks {
namespace {

BoundedCache::Value bytes(std::size_t size, std::uint8_t fill = 7) { return BoundedCache::Value(size, fill); }

// Room for exactly `entries` entries of `size` bytes under one-letter keys.
std::size_t roomFor(std::size_t entries, std::size_t size) { return entries * BoundedCache::costOf("a", bytes(size)); }

std::vector<std::string> keysHeld(const BoundedCache& cache, const std::vector<std::string>& keys) {
  std::vector<std::string> held;
  for (const auto& key : keys) {
    if (cache.object(key)) held.push_back(key);
  }
  return held;
}

TEST(BoundedCacheTest, TheLeastRecentlyUsedEntriesGoFirstAndReadingCountsAsUse) {
  BoundedCache cache(roomFor(3, 100));
  cache.setObject("a", bytes(100, 1));
  cache.setObject("b", bytes(100, 2));
  cache.setObject("c", bytes(100, 3));
  EXPECT_EQ(cache.count(), 3u);
  EXPECT_EQ(cache.totalCost(), roomFor(3, 100));
  // "a" is read, so "b" is now the oldest use and makes way for "d".
  EXPECT_EQ(cache.object("a"), bytes(100, 1));
  cache.setObject("d", bytes(100, 4));
  EXPECT_EQ(cache.count(), 3u);
  EXPECT_FALSE(cache.object("b").has_value());
  EXPECT_EQ(cache.object("c"), bytes(100, 3));
  EXPECT_EQ(cache.object("d"), bytes(100, 4));
  EXPECT_EQ(cache.object("a"), bytes(100, 1));
  EXPECT_LE(cache.totalCost(), cache.totalCostLimit());
}

TEST(BoundedCacheTest, ReplacingAnEntryRecountsItsCostAndMakesItTheNewest) {
  BoundedCache cache(roomFor(3, 100));
  cache.setObject("a", bytes(100, 1));
  cache.setObject("b", bytes(100, 2));
  cache.setObject("a", bytes(10, 9));
  EXPECT_EQ(cache.count(), 2u);
  EXPECT_EQ(cache.object("a"), bytes(10, 9));
  EXPECT_EQ(cache.totalCost(), BoundedCache::costOf("a", bytes(10)) + BoundedCache::costOf("b", bytes(100)));
  // Growing "a" past the limit evicts "b", the older one, not "a".
  cache.setObject("a", bytes(400, 8));
  EXPECT_EQ(keysHeld(cache, {"a", "b"}), std::vector<std::string>{"a"});
  EXPECT_EQ(cache.totalCost(), BoundedCache::costOf("a", bytes(400)));
}

TEST(BoundedCacheTest, LimitCases) {
  struct Case {
    const char* name;
    std::size_t limit;
    std::vector<std::size_t> sizes;  // stored in order under keys "0", "1", ...
    std::vector<std::string> kept;
  } cases[] = {
      {"no limit keeps everything", 0, {1000, 1000, 1000}, {"0", "1", "2"}},
      {"an entry larger than the limit is kept while it is the newest", roomFor(1, 10), {10, 5000}, {"1"}},
      {"the next entry pushes the oversized one out", roomFor(1, 10), {5000, 10}, {"1"}},
      {"empty values still cost their bookkeeping", roomFor(2, 0), {0, 0, 0}, {"1", "2"}},
      {"exactly at the limit nothing goes", roomFor(2, 64), {64, 64}, {"0", "1"}},
  };
  for (const auto& c : cases) {
    BoundedCache cache(c.limit);
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
      keys.push_back(std::to_string(i));
      cache.setObject(keys.back(), bytes(c.sizes[i]));
    }
    EXPECT_EQ(keysHeld(cache, keys), c.kept) << c.name;
    EXPECT_EQ(cache.count(), c.kept.size()) << c.name;
  }
}

TEST(BoundedCacheTest, LoweringTheLimitEvictsAtOnceAndRemovingEmptiesIt) {
  BoundedCache cache;
  EXPECT_EQ(cache.totalCostLimit(), 0u);
  for (const char* key : {"a", "b", "c", "d"}) cache.setObject(key, bytes(100));
  cache.setTotalCostLimit(roomFor(2, 100));
  EXPECT_EQ(keysHeld(cache, {"a", "b", "c", "d"}), (std::vector<std::string>{"c", "d"}));
  cache.removeObject("c");
  EXPECT_EQ(cache.count(), 1u);
  EXPECT_EQ(cache.totalCost(), roomFor(1, 100));
  cache.removeObject("missing");
  cache.removeAllObjects();
  EXPECT_EQ(cache.count(), 0u);
  EXPECT_EQ(cache.totalCost(), 0u);
  EXPECT_FALSE(cache.object("d").has_value());
}

TEST(BoundedCacheTest, ManyThreadsStoringAndReadingStayWithinTheLimit) {
  const std::size_t limit = roomFor(50, 200);
  BoundedCache cache(limit);
  std::atomic<int> wrongValues{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&cache, &wrongValues, t] {
      for (int i = 0; i < 500; ++i) {
        const std::string key = std::to_string((t * 31 + i) % 120);
        const auto fill = static_cast<std::uint8_t>(std::stoi(key));
        cache.setObject(key, bytes(200, fill));
        if (const auto value = cache.object(std::to_string(i % 120))) {
          if (value->size() != 200 || (*value)[0] != static_cast<std::uint8_t>(i % 120)) ++wrongValues;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrongValues.load(), 0);
  EXPECT_LE(cache.totalCost(), limit);
  // Keys of two and three digits cost a little more than the one-letter key of roomFor().
  EXPECT_GE(cache.count(), 49u);
}

}  // namespace
}  // namespace Vexelworks
