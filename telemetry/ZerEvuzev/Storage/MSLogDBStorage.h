// The SQLite log store: telemetry logs kept as Base64 keyed archives in the table "logs" of
// "Logs.sqlite" (schema version 4), ordered by persistence priority, evicting the oldest logs of
// equal or lower priority when the size limit is reached, and remembering in memory which rows
// are out in a batch so that they are not loaded twice. A common-schema log keeps one of its
// target tokens encrypted beside the archive, with the token's target key.
//
// Columns: "id", "groupId", "log", "targetToken", "targetKey", "priority", "timestamp" (ms since
// 1970). Every operation runs on the channel group's serial logs queue; the batch map has no
// lock of its own.
#pragma once

#include "telemetry/ZerEvuzev/Security/MSEncrypter.h"
#include "telemetry/ZerEvuzev/Storage/MSDBStorage.h"
#include "telemetry/ZerEvuzev/Storage/MSStorage.h"

#include <map>
#include <memory>
#include <utility>

class MSLogDBStorage : public MSDBStorage, public MSStorage {
 public:
  static constexpr const char* kMSDBFileName = "Logs.sqlite";
  static constexpr unsigned kMSDatabaseVersion = 4;
  static constexpr const char* kMSLogTableName = "logs";
  static constexpr const char* kMSIdColumnName = "id";
  static constexpr const char* kMSGroupIdColumnName = "groupId";
  static constexpr const char* kMSLogColumnName = "log";
  static constexpr const char* kMSTargetTokenColumnName = "targetToken";
  static constexpr const char* kMSTargetKeyColumnName = "targetKey";
  static constexpr const char* kMSPriorityColumnName = "priority";
  static constexpr const char* kMSTimestampColumnName = "timestamp";

  // A batch out for sending: the group it belongs to and its id. Batches are kept per group
  // exactly, so one group's batches never count as another's whose id it begins.
  using BatchKey = std::pair<std::string, std::string>;  // group id, batch id
  using Batches = std::map<BatchKey, std::vector<std::int64_t>>;

  // A stored row as read back.
  struct StoredLog {
    std::int64_t id = 0;
    MSLogPtr log;
  };

  // "Logs.sqlite" in the SDK folder; `filename` names another file there (tools, tests). The
  // encrypter keeps its key metadata in the shared user defaults unless one is given.
  explicit MSLogDBStorage(const std::string& filename = kMSDBFileName,
                          std::shared_ptr<MSEncrypter> encrypter = nullptr);

  // ---- MSStorage ----
  bool saveLog(const MSLogPtr& log, const std::string& groupId, std::uint64_t flags) override;
  bool loadLogsWithGroupId(const std::string& groupId, std::size_t limit,
                           const std::optional<std::vector<std::string>>& excludedTargetKeys,
                           const std::optional<vx::Date>& afterDate, const std::optional<vx::Date>& beforeDate,
                           const MSLoadDataCompletionHandler& completionHandler) override;
  void deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) override;
  std::vector<MSLogPtr> deleteLogsWithGroupId(const std::string& groupId) override;
  std::size_t countLogs() override;
  std::size_t countLogsBeforeDate(vx::Date date) override;
  void setMaxStorageSize(std::int64_t sizeInBytes, const std::function<void(bool)>& completionHandler) override {
    MSDBStorage::setMaxStorageSize(sizeInBytes, completionHandler);
  }

  // ---- Rows ----
  std::vector<StoredLog> logsFromDBWithGroupId(const std::string& groupId);
  // Rows matching the condition (SQL with "?" for the bindings; empty: every row), in the
  // condition's order, columns read by name. Rows that cannot be unarchived are deleted (error
  // line); rows whose id is not an integer are deleted by row id (warning line).
  std::vector<StoredLog> logsWithCondition(const std::string& condition, const MSDBBindings& bindings = {});
  void deleteLogFromDBWithId(std::int64_t logId);
  void deleteLogsFromDBWithColumnValue(const MSDBValue& value, const std::string& columnName);
  void deleteLogsFromDBWithColumnValues(const std::vector<MSDBValue>& values, const std::string& columnName);
  static int deleteLogsFromDBWithColumnValues(const std::vector<MSDBValue>& values, const std::string& columnName,
                                              sqlite3* db);
  static int createPriorityIndex(sqlite3* db);

  const Batches& batches() const { return batches_; }
  void setBatches(Batches batches) { batches_ = std::move(batches); }
  std::size_t idColumnIndex() const { return idColumnIndex_; }
  std::size_t groupIdColumnIndex() const { return groupIdColumnIndex_; }
  std::size_t logColumnIndex() const { return logColumnIndex_; }
  std::size_t targetTokenColumnIndex() const { return targetTokenColumnIndex_; }
  MSEncrypter& targetTokenEncrypter() { return *targetTokenEncrypter_; }

  // The table's schema as this version creates it.
  static MSDBSchema logsSchema();

 protected:
  void customizeDatabase(sqlite3* db) override;
  void migrateDatabase(sqlite3* db, unsigned fromVersion) override;

 private:
  // A warning line when the stored table's columns are not in this version's order.
  void warnAboutColumnOrder();
  Batches batches_;
  std::size_t idColumnIndex_ = 0;
  std::size_t groupIdColumnIndex_ = 0;
  std::size_t logColumnIndex_ = 0;
  std::size_t targetTokenColumnIndex_ = 0;
  std::shared_ptr<MSEncrypter> targetTokenEncrypter_;
};
