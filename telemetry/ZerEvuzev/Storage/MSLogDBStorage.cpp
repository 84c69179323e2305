#include "telemetry/ZerEvuzev/Storage/MSLogDBStorage.h"

#include "platform/foundation/UUID.h"
#include "platform/security/Crypto.h"
#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <sqlite3.h>

#include <chrono>
#include <limits>

namespace {

constexpr std::size_t kDeleteChunkSize = 500;  // well below SQLite's bound-parameter limit

std::string q(const char* name) { return MSDBStorage::quotedIdentifier(name); }

std::int64_t milliseconds(vx::Date date) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
}

// "?, ?, ?" for `count` parameters.
std::string placeholders(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += i == 0 ? "?" : ", ?";
  return text;
}

std::string describe(const MSDBValue& value) {
  if (const auto* integer = std::get_if<std::int64_t>(&value)) return std::to_string(*integer);
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  return "NULL";
}

std::string joined(const std::vector<std::int64_t>& ids, const char* separator) {
  std::string text;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) text += separator;
    text += std::to_string(ids[i]);
  }
  return text;
}

}  // namespace

MSDBSchema MSLogDBStorage::logsSchema() {
  return MSDBSchema{{kMSLogTableName,
                     {{kMSIdColumnName, {"INTEGER", "PRIMARY KEY", "AUTOINCREMENT"}},
                      {kMSGroupIdColumnName, {"TEXT", "NOT NULL"}},
                      {kMSLogColumnName, {"TEXT", "NOT NULL"}},
                      {kMSTargetTokenColumnName, {"TEXT"}},
                      {kMSTargetKeyColumnName, {"TEXT"}},
                      {kMSPriorityColumnName, {"INTEGER"}},
                      {kMSTimestampColumnName, {"INTEGER"}}}}};
}

MSLogDBStorage::MSLogDBStorage(const std::string& filename, std::shared_ptr<MSEncrypter> encrypter)
    : MSDBStorage(logsSchema(), kMSDatabaseVersion, filename, true),
      targetTokenEncrypter_(encrypter ? std::move(encrypter) : std::make_shared<MSEncrypter>()) {
  const auto indexes = columnsIndexes(logsSchema()).at(kMSLogTableName);
  idColumnIndex_ = indexes.at(kMSIdColumnName);
  groupIdColumnIndex_ = indexes.at(kMSGroupIdColumnName);
  logColumnIndex_ = indexes.at(kMSLogColumnName);
  targetTokenColumnIndex_ = indexes.at(kMSTargetTokenColumnName);
  setUpDatabaseIfNeeded();
  warnAboutColumnOrder();
}

void MSLogDBStorage::warnAboutColumnOrder() {
  const auto columns = executeSelectionQuery("SELECT name FROM pragma_table_info(?) ORDER BY cid", {kMSLogTableName});
  if (columns.empty()) return;
  const auto schema = logsSchema();
  const auto& expected = schema.at(kMSLogTableName);
  bool sameOrder = columns.size() == expected.size();
  for (std::size_t i = 0; sameOrder && i < columns.size(); ++i) {
    sameOrder = MSDBText(columns[i], 0) == expected[i].first;
  }
  if (!sameOrder) {
    // Rows are read by column name, so they are recovered as they are.
    MSLogWarning(kMSLogTag,
                 "The table \"%s\" has its columns in another order than this version makes; "
                 "its rows are read by column name.",
                 kMSLogTableName);
  }
}

bool MSLogDBStorage::saveLog(const MSLogPtr& log, const std::string& groupId, std::uint64_t flags) {
  if (!log) return false;
  auto archive = MSArchivedData(*log);
  if (!archive) {
    MSLogError(kMSLogTag, "Failed to archive the log: %s", archive.error().description.c_str());
    return false;
  }
  const std::string base64Data = vx::base64Encode(*archive);
  const std::int64_t timestamp = log->timestamp ? milliseconds(*log->timestamp) : 0;
  const auto priority = static_cast<std::int64_t>(flags & 0xff);

  std::string insert;
  MSDBBindings bindings;
  if (dynamic_cast<const MSCommonSchemaLog*>(log.get()) != nullptr) {
    const auto tokens = log->transmissionTargetTokens();
    MSDBValue encryptedToken = nullptr;
    MSDBValue targetKey = nullptr;
    if (!tokens.empty()) {
      const std::string& token = *tokens.begin();
      if (auto encrypted = targetTokenEncrypter_->encryptString(token)) {
        encryptedToken = std::move(*encrypted);
      } else {
        MSLogError(kMSLogTag, "Failed to encrypt the target token; the log is stored without it.");
      }
      if (auto key = MSUtility::targetKeyFromTargetToken(token)) targetKey = std::move(*key);
    }
    insert = "INSERT INTO " + q(kMSLogTableName) + " (" + q(kMSGroupIdColumnName) + ", " + q(kMSLogColumnName) + ", " +
             q(kMSTargetTokenColumnName) + ", " + q(kMSTargetKeyColumnName) + ", " + q(kMSPriorityColumnName) + ", " +
             q(kMSTimestampColumnName) + ") VALUES (?, ?, ?, ?, ?, ?)";
    bindings = {groupId, base64Data, std::move(encryptedToken), std::move(targetKey), priority, timestamp};
  } else {
    insert = "INSERT INTO " + q(kMSLogTableName) + " (" + q(kMSGroupIdColumnName) + ", " + q(kMSLogColumnName) + ", " +
             q(kMSPriorityColumnName) + ", " + q(kMSTimestampColumnName) + ") VALUES (?, ?, ?, ?)";
    bindings = {groupId, base64Data, priority, timestamp};
  }

  const int code = executeQueryUsingBlock([&](sqlite3* db) {
    const std::int64_t maxSize = getMaxPageCountInOpenedDatabase(db) * pageSize();
    if (static_cast<std::int64_t>(base64Data.size()) >= maxSize) {
      MSLogError(kMSLogTag,
                 "Log is too large (%zu bytes) to store in database. Current maximum database size is %zu bytes.",
                 base64Data.size(), static_cast<std::size_t>(maxSize < 0 ? 0 : maxSize));
      return SQLITE_TOOBIG;
    }
    int result = executeNonSelectionQuery(insert, db, bindings);
    long deleted = 0;
    if (result == SQLITE_FULL) {
      // Make room by dropping the oldest logs whose stored priority is not above this one's.
      const auto candidates = executeSelectionQuery(
          "SELECT " + q(kMSIdColumnName) + " FROM " + q(kMSLogTableName) + " WHERE " + q(kMSPriorityColumnName) +
              " <= ? ORDER BY " + q(kMSPriorityColumnName) + " ASC, " + q(kMSIdColumnName) + " ASC",
          db, {priority});
      for (const auto& row : candidates) {
        const auto id = MSDBInteger(row, 0);
        if (!id) continue;
        const int deleteCode = deleteLogsFromDBWithColumnValues({*id}, kMSIdColumnName, db);
        if (deleteCode != SQLITE_OK) {
          result = deleteCode;
          break;
        }
        MSLogDebug(kMSLogTag, "Deleted a log with id %lld to store a new log.", static_cast<long long>(*id));
        ++deleted;
        result = executeNonSelectionQuery(insert, db, bindings);
        if (result != SQLITE_FULL) break;
      }
    }
    if (deleted > 0) {
      MSLogDebug(kMSLogTag, "Log storage was over capacity, %ld oldest log(s) with equal or lower priority deleted.",
                 deleted);
    }
    if (result == SQLITE_OK) {
      MSLogVerbose(kMSLogTag, "Log is stored with id: '%lld'", static_cast<long long>(sqlite3_last_insert_rowid(db)));
    } else if (result == SQLITE_FULL) {
      MSLogError(kMSLogTag, "Storage is full and no logs with equal or lower priority exist; discarding the log.");
    }
    return result;
  });
  return code == SQLITE_OK;
}

bool MSLogDBStorage::loadLogsWithGroupId(const std::string& groupId, std::size_t limit,
                                         const std::optional<std::vector<std::string>>& excludedTargetKeys,
                                         const std::optional<vx::Date>& afterDate,
                                         const std::optional<vx::Date>& beforeDate,
                                         const MSLoadDataCompletionHandler& completionHandler) {
  // Rows out in one of this group's batches.
  std::vector<std::int64_t> idsInBatches;
  for (const auto& [key, ids] : batches_) {
    if (key.first == groupId) idsInBatches.insert(idsInBatches.end(), ids.begin(), ids.end());
  }

  std::string condition = q(kMSGroupIdColumnName) + " = ?";
  MSDBBindings bindings{groupId};
  if (excludedTargetKeys && !excludedTargetKeys->empty()) {
    // A log without a target key is never one of the excluded keys' logs (NOT IN alone would
    // drop it, as NULL compares to nothing).
    condition += " AND (" + q(kMSTargetKeyColumnName) + " IS NULL OR " + q(kMSTargetKeyColumnName) + " NOT IN (" +
                 placeholders(excludedTargetKeys->size()) + "))";
    bindings.insert(bindings.end(), excludedTargetKeys->begin(), excludedTargetKeys->end());
  }
  if (!idsInBatches.empty()) {
    condition += " AND " + q(kMSIdColumnName) + " NOT IN (" + placeholders(idsInBatches.size()) + ")";
    bindings.insert(bindings.end(), idsInBatches.begin(), idsInBatches.end());
  }
  if (afterDate) {
    condition += " AND " + q(kMSTimestampColumnName) + " >= ?";
    bindings.emplace_back(milliseconds(*afterDate));
  }
  if (beforeDate) {
    condition += " AND " + q(kMSTimestampColumnName) + " < ?";
    bindings.emplace_back(milliseconds(*beforeDate));
  }
  condition += " ORDER BY " + q(kMSPriorityColumnName) + " DESC, " + q(kMSIdColumnName) + " ASC LIMIT ?";
  // One more than asked tells whether more logs are waiting; -1 is SQLite's "no limit".
  const bool unlimited = limit >= static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
  bindings.emplace_back(unlimited ? std::int64_t{-1} : static_cast<std::int64_t>(limit) + 1);

  auto rows = logsWithCondition(condition, bindings);
  bool moreLogsAvailable = false;
  if (rows.size() > limit) {
    rows.resize(limit);
    moreLogsAvailable = true;
  }

  std::vector<MSLogPtr> logs;
  std::vector<std::int64_t> ids;
  logs.reserve(rows.size());
  ids.reserve(rows.size());
  for (auto& row : rows) {
    ids.push_back(row.id);
    logs.push_back(std::move(row.log));
  }
  std::optional<std::string> batchId;
  if (!logs.empty()) {
    batchId = vx::UUID::make().uuidString();
    batches_[{groupId, *batchId}] = ids;
    MSLogVerbose(kMSLogTag, "Load log(s) with id(s) '%s' as batch Id:%s", joined(ids, "','").c_str(), batchId->c_str());
  }
  if (completionHandler) completionHandler(logs, batchId);
  return moreLogsAvailable;
}

void MSLogDBStorage::deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) {
  const auto found = batches_.find({groupId, batchId});
  if (found == batches_.end()) return;
  if (!found->second.empty()) {
    deleteLogsFromDBWithColumnValues(std::vector<MSDBValue>(found->second.begin(), found->second.end()),
                                     kMSIdColumnName);
  }
  batches_.erase(found);
}

std::vector<MSLogPtr> MSLogDBStorage::deleteLogsWithGroupId(const std::string& groupId) {
  auto rows = logsFromDBWithGroupId(groupId);
  // Only this group's batches: "Analytics" must not forget the batches of "Analytics/one".
  std::erase_if(batches_, [&](const auto& entry) { return entry.first.first == groupId; });
  deleteLogsFromDBWithColumnValue(groupId, kMSGroupIdColumnName);
  std::vector<MSLogPtr> logs;
  logs.reserve(rows.size());
  for (auto& row : rows) logs.push_back(std::move(row.log));
  return logs;
}

std::size_t MSLogDBStorage::countLogs() { return countEntriesForTable(kMSLogTableName, std::nullopt); }

std::size_t MSLogDBStorage::countLogsBeforeDate(vx::Date date) {
  return countEntriesForTable(kMSLogTableName, q(kMSTimestampColumnName) + " <= ?", {milliseconds(date)});
}

std::vector<MSLogDBStorage::StoredLog> MSLogDBStorage::logsFromDBWithGroupId(const std::string& groupId) {
  return logsWithCondition(q(kMSGroupIdColumnName) + " = ? ORDER BY " + q(kMSIdColumnName) + " ASC", {groupId});
}

std::vector<MSLogDBStorage::StoredLog> MSLogDBStorage::logsWithCondition(const std::string& condition,
                                                                         const MSDBBindings& bindings) {
  // Columns by name, never by position: a file whose table has its columns in another order is
  // read correctly. The row id comes first so that a row whose "id" is not an integer can still
  // be removed; it could never be loaded, sent or deleted by id and would stay for ever.
  enum : std::size_t { kRowId, kId, kLog, kTargetToken };
  std::string query = "SELECT _rowid_, " + q(kMSIdColumnName) + ", " + q(kMSLogColumnName) + ", " +
                      q(kMSTargetTokenColumnName) + " FROM " + q(kMSLogTableName);
  if (!condition.empty()) query += " WHERE " + condition;
  const auto rows = executeSelectionQuery(query, bindings);

  std::vector<StoredLog> logs;
  std::vector<MSDBValue> damagedIds;
  std::vector<MSDBValue> rowsWithoutId;
  for (const auto& row : rows) {
    const auto id = MSDBInteger(row, kId);
    if (!id) {
      if (const auto rowId = MSDBInteger(row, kRowId)) {
        MSLogWarning(kMSLogTag, "Removing the stored row %lld: its id is not an integer.",
                     static_cast<long long>(*rowId));
        rowsWithoutId.emplace_back(*rowId);
      }
      continue;
    }
    const auto text = MSDBText(row, kLog);
    std::shared_ptr<MSAbstractLog> log;
    std::string reason = "The log deserialized to NULL.";
    if (text) {
      auto data = vx::base64Decode(*text, vx::Base64DecodeMode::ignoreUnknownCharacters);
      if (!data) {
        reason = data.error().description;
      } else if (auto object = MSUnarchiveObject<MSAbstractLog>(*data); !object) {
        reason = object.error().description;
      } else {
        log = std::move(object.value());
      }
    }
    if (!log) {
      MSLogError(kMSLogTag, "Deserialization failed for log with Id %lld: %s", static_cast<long long>(*id),
                 reason.c_str());
      damagedIds.emplace_back(*id);
      continue;
    }
    if (const auto token = MSDBText(row, kTargetToken)) {
      if (token->empty()) {
        MSLogError(kMSLogTag, "Unexpected empty target token for log with Id %lld.", static_cast<long long>(*id));
      } else if (auto decrypted = targetTokenEncrypter_->decryptString(*token)) {
        log->addTransmissionTargetToken(*decrypted);
      } else {
        MSLogError(kMSLogTag, "Failed to decrypt the target token for log with Id %lld.", static_cast<long long>(*id));
      }
    }
    logs.push_back({*id, std::move(log)});
  }
  if (!damagedIds.empty()) deleteLogsFromDBWithColumnValues(damagedIds, kMSIdColumnName);
  if (!rowsWithoutId.empty()) deleteLogsFromDBWithColumnValues(rowsWithoutId, "_rowid_");
  return logs;
}

void MSLogDBStorage::deleteLogFromDBWithId(std::int64_t logId) {
  deleteLogsFromDBWithColumnValues({MSDBValue(logId)}, kMSIdColumnName);
}

void MSLogDBStorage::deleteLogsFromDBWithColumnValue(const MSDBValue& value, const std::string& columnName) {
  deleteLogsFromDBWithColumnValues(std::vector<MSDBValue>{value}, columnName);
}

void MSLogDBStorage::deleteLogsFromDBWithColumnValues(const std::vector<MSDBValue>& values,
                                                      const std::string& columnName) {
  executeQueryUsingBlock([&](sqlite3* db) { return deleteLogsFromDBWithColumnValues(values, columnName, db); });
}

int MSLogDBStorage::deleteLogsFromDBWithColumnValues(const std::vector<MSDBValue>& values,
                                                     const std::string& columnName, sqlite3* db) {
  std::string description = "Deletion of log(s) by " + columnName + " with value(s) '";
  for (std::size_t i = 0; i < values.size(); ++i) description += (i > 0 ? "','" : "") + describe(values[i]);
  description += "'";
  int code = SQLITE_OK;
  for (std::size_t start = 0; start < values.size() && code == SQLITE_OK; start += kDeleteChunkSize) {
    const std::size_t count = std::min(kDeleteChunkSize, values.size() - start);
    const MSDBBindings chunk(values.begin() + static_cast<std::ptrdiff_t>(start),
                             values.begin() + static_cast<std::ptrdiff_t>(start + count));
    code = executeNonSelectionQuery("DELETE FROM " + q(kMSLogTableName) + " WHERE " + quotedIdentifier(columnName) +
                                        " IN (" + placeholders(count) + ")",
                                    db, chunk);
  }
  if (code == SQLITE_OK) {
    MSLogVerbose(kMSLogTag, "%s succeeded.", description.c_str());
  } else {
    MSLogError(kMSLogTag, "%s failed.", description.c_str());
  }
  return code;
}

int MSLogDBStorage::createPriorityIndex(sqlite3* db) {
  const std::string name = std::string("ix_") + kMSLogTableName + "_" + kMSPriorityColumnName;
  return executeNonSelectionQuery(
      "CREATE INDEX " + quotedIdentifier(name) + " ON " + q(kMSLogTableName) + " (" + q(kMSPriorityColumnName) + ")",
      db);
}

void MSLogDBStorage::customizeDatabase(sqlite3* db) { createPriorityIndex(db); }

void MSLogDBStorage::migrateDatabase(sqlite3* db, unsigned fromVersion) {
  const std::string alter = "ALTER TABLE " + q(kMSLogTableName) + " ADD COLUMN ";
  // Each step falls through to the next, as every older version lacks the later columns too.
  switch (fromVersion) {
    case 0:
      executeNonSelectionQuery(alter + q(kMSTargetTokenColumnName) + " TEXT", db);
      [[fallthrough]];
    case 1:
      executeNonSelectionQuery(alter + q(kMSTargetKeyColumnName) + " TEXT", db);
      [[fallthrough]];
    case 2:
      executeNonSelectionQuery(alter + q(kMSPriorityColumnName) + " INTEGER DEFAULT 1", db);
      createPriorityIndex(db);
      [[fallthrough]];
    case 3:
      executeNonSelectionQuery(alter + q(kMSTimestampColumnName) + " INTEGER DEFAULT 0", db);
      break;
    default:
      break;
  }
}
