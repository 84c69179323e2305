// What one channel unit is: the group its logs are stored under, its priority class, how long
// gathered logs may wait before they are sent, how many go in one batch and how many batches
// may be in flight at once. Read-only once made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class MSChannelUnitConfiguration {
 public:
  static constexpr std::int64_t kMSDefaultPriority = 1;
  static constexpr std::uint64_t kMSDefaultFlushInterval = 3;  // seconds
  static constexpr std::size_t kMSDefaultBatchSizeLimit = 50;
  static constexpr std::size_t kMSDefaultPendingBatchesLimit = 3;

  MSChannelUnitConfiguration(std::string groupId, std::int64_t priority, std::uint64_t flushInterval,
                             std::size_t batchSizeLimit, std::size_t pendingBatchesLimit)
      : groupId_(std::move(groupId)),
        priority_(priority),
        flushInterval_(flushInterval),
        batchSizeLimit_(batchSizeLimit),
        pendingBatchesLimit_(pendingBatchesLimit) {}
  // Priority 1, batches of 50, 3 in flight.
  explicit MSChannelUnitConfiguration(std::string groupId, std::uint64_t flushInterval = kMSDefaultFlushInterval)
      : MSChannelUnitConfiguration(std::move(groupId), kMSDefaultPriority, flushInterval, kMSDefaultBatchSizeLimit,
                                   kMSDefaultPendingBatchesLimit) {}

  const std::string& groupId() const { return groupId_; }
  std::int64_t priority() const { return priority_; }
  // Seconds.
  std::uint64_t flushInterval() const { return flushInterval_; }
  std::size_t batchSizeLimit() const { return batchSizeLimit_; }
  std::size_t pendingBatchesLimit() const { return pendingBatchesLimit_; }

 private:
  std::string groupId_;
  std::int64_t priority_;
  std::uint64_t flushInterval_;
  std::size_t batchSizeLimit_;
  std::size_t pendingBatchesLimit_;
};
