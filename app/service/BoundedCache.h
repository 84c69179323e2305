// BoundedCache: a thread-safe in-memory map from a text key to bytes whose total cost stays
// within a limit. When a new entry pushes the total past the limit, the least recently used
// entries go first (reading an entry counts as a use). It exists so that caches of downloaded
// and converted artwork, which fill as the user scrolls, hold a working set instead of
// everything ever seen; readers treat a missing entry as not loaded and fetch it again.
//
// The cost of an entry is its bytes plus its key plus a fixed allowance for the bookkeeping, so
// even empty values count and the number of entries is bounded too. The newest entry is kept
// even when it alone exceeds the limit: what was just stored is there for the next read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace Vexelworks {

class BoundedCache {
 public:
  using Value = std::vector<std::uint8_t>;

  // Bookkeeping per entry beyond its key and bytes (list and map nodes, shared value).
  static constexpr std::size_t kEntryOverhead = 128;

  // `totalCostLimit` in bytes; 0 means no limit.
  explicit BoundedCache(std::size_t totalCostLimit = 0) : totalCostLimit_(totalCostLimit) {}
  BoundedCache(const BoundedCache&) = delete;
  BoundedCache& operator=(const BoundedCache&) = delete;

  static std::size_t costOf(const std::string& key, const Value& value) {
    return key.size() + value.size() + kEntryOverhead;
  }

  // The entry, marked as just used; none when absent or evicted.
  std::optional<Value> object(const std::string& key) const;
  // Stores (or replaces) the entry as the most recently used one, then evicts the least
  // recently used others while the total cost is over the limit.
  void setObject(const std::string& key, Value value);
  void removeObject(const std::string& key);
  void removeAllObjects();

  std::size_t count() const;
  // The sum of costOf() over the entries held.
  std::size_t totalCost() const;
  std::size_t totalCostLimit() const;
  // A lower limit evicts at once; 0 removes the limit.
  void setTotalCostLimit(std::size_t limit);

 private:
  struct Entry {
    std::string key;
    std::shared_ptr<const Value> value;
    std::size_t cost = 0;
  };
  using Order = std::list<Entry>;  // most recently used first

  // Moves the evicted entries into `evicted`, so their bytes are freed outside the lock.
  void evictLocked(std::vector<std::shared_ptr<const Value>>& evicted);

  mutable std::mutex mutex_;
  mutable Order order_;
  std::unordered_map<std::string, Order::iterator> index_;
  std::size_t totalCost_ = 0;
  std::size_t totalCostLimit_;
};

}  // namespace Vexelworks
