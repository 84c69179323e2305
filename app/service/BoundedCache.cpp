#include "app/service/BoundedCache.h"

namespace Vexelworks {

std::optional<BoundedCache::Value> BoundedCache::object(const std::string& key) const {
  std::shared_ptr<const Value> value;
  {
    std::lock_guard lock(mutex_);
    const auto found = index_.find(key);
    if (found == index_.end()) return std::nullopt;
    order_.splice(order_.begin(), order_, found->second);
    value = found->second->value;
  }
  // The copy is made outside the lock; the shared value outlives an eviction meanwhile.
  return *value;
}

void BoundedCache::setObject(const std::string& key, Value value) {
  const std::size_t cost = costOf(key, value);
  auto shared = std::make_shared<const Value>(std::move(value));
  std::vector<std::shared_ptr<const Value>> evicted;
  std::lock_guard lock(mutex_);
  const auto found = index_.find(key);
  if (found != index_.end()) {
    Entry& entry = *found->second;
    totalCost_ -= entry.cost;
    evicted.push_back(std::move(entry.value));
    entry.value = std::move(shared);
    entry.cost = cost;
    order_.splice(order_.begin(), order_, found->second);
  } else {
    order_.push_front(Entry{key, std::move(shared), cost});
    index_.emplace(key, order_.begin());
  }
  totalCost_ += cost;
  evictLocked(evicted);
}

void BoundedCache::evictLocked(std::vector<std::shared_ptr<const Value>>& evicted) {
  if (totalCostLimit_ == 0) return;
  // The newest entry (the front) always stays.
  while (totalCost_ > totalCostLimit_ && order_.size() > 1) {
    Entry& last = order_.back();
    totalCost_ -= last.cost;
    evicted.push_back(std::move(last.value));
    index_.erase(last.key);
    order_.pop_back();
  }
}

void BoundedCache::removeObject(const std::string& key) {
  std::shared_ptr<const Value> old;
  std::lock_guard lock(mutex_);
  const auto found = index_.find(key);
  if (found == index_.end()) return;
  totalCost_ -= found->second->cost;
  old = std::move(found->second->value);
  order_.erase(found->second);
  index_.erase(found);
}

void BoundedCache::removeAllObjects() {
  Order old;
  std::lock_guard lock(mutex_);
  old.swap(order_);
  index_.clear();
  totalCost_ = 0;
}

std::size_t BoundedCache::count() const {
  std::lock_guard lock(mutex_);
  return index_.size();
}

std::size_t BoundedCache::totalCost() const {
  std::lock_guard lock(mutex_);
  return totalCost_;
}

std::size_t BoundedCache::totalCostLimit() const {
  std::lock_guard lock(mutex_);
  return totalCostLimit_;
}

void BoundedCache::setTotalCostLimit(std::size_t limit) {
  std::vector<std::shared_ptr<const Value>> evicted;
  std::lock_guard lock(mutex_);
  totalCostLimit_ = limit;
  evictLocked(evicted);
}

}  // namespace Vexelworks
