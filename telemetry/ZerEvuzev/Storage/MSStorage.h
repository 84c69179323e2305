// The persistent queue of telemetry logs between enqueueing and a successful send, as the
// channel units see it. Every operation runs on the channel group's serial logs queue.
#pragma once

#include "platform/foundation/Value.h"
#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The logs of one load and the batch id they went out under (none when no log was loaded).
using MSLoadDataCompletionHandler =
    std::function<void(const std::vector<MSLogPtr>& logs, const std::optional<std::string>& batchId)>;

class MSStorage {
 public:
  virtual ~MSStorage() = default;

  // Stores the log for the group with the persistence priority flags & 0xff. True when stored.
  virtual bool saveLog(const MSLogPtr& log, const std::string& groupId, std::uint64_t flags) = 0;

  // Loads at most `limit` logs of the group that are not out in a batch (highest priority first,
  // then oldest), skipping logs for the excluded target keys and outside [afterDate, beforeDate),
  // and hands them to the completion under a new batch id. True when more logs matched.
  virtual bool loadLogsWithGroupId(const std::string& groupId, std::size_t limit,
                                   const std::optional<std::vector<std::string>>& excludedTargetKeys,
                                   const std::optional<vx::Date>& afterDate, const std::optional<vx::Date>& beforeDate,
                                   const MSLoadDataCompletionHandler& completionHandler) = 0;

  // Deletes the logs of the batch and forgets it.
  virtual void deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) = 0;

  // Deletes every log of the group, forgets the group's batches and returns the deleted logs.
  virtual std::vector<MSLogPtr> deleteLogsWithGroupId(const std::string& groupId) = 0;

  virtual std::size_t countLogs() = 0;
  // Logs whose timestamp is at or before the date.
  virtual std::size_t countLogsBeforeDate(vx::Date date) = 0;

  // See MSDBStorage::setMaxStorageSize.
  virtual void setMaxStorageSize(std::int64_t sizeInBytes, const std::function<void(bool)>& completionHandler) = 0;
};
