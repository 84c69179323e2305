// The log store on real SQLite files: batches, priorities, eviction, target tokens, dates,
// migration and damaged files.
#include "telemetry/ZerEvuzev/Storage/MSLogDBStorage.h"

#include "platform/foundation/KeyedArchiver.h"
#include "platform/security/Crypto.h"
#include "platform/security/Keychain.h"
#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzev/Model/MSCustomProperties.h"
#include "telemetry/ZerEvuzev/Model/MSTypedProperty.h"
#include "telemetry/storage/MSLogDBStorageTestSupport.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <set>

namespace {

namespace fs = std::filesystem;

struct Loaded {
  std::vector<MSLogPtr> logs;
  std::optional<std::string> batchId;
  bool more = false;
};

Loaded load(MSLogDBStorage& storage, const std::string& group, std::size_t limit,
            const std::optional<std::vector<std::string>>& excluded = std::nullopt,
            const std::optional<vx::Date>& after = std::nullopt, const std::optional<vx::Date>& before = std::nullopt) {
  Loaded result;
  bool called = false;
  result.more =
      storage.loadLogsWithGroupId(group, limit, excluded, after, before,
                                  [&](const std::vector<MSLogPtr>& logs, const std::optional<std::string>& id) {
                                    called = true;
                                    result.logs = logs;
                                    result.batchId = id;
                                  });
  EXPECT_TRUE(called);
  return result;
}

std::vector<std::string> seqs(const std::vector<MSLogPtr>& logs) {
  std::vector<std::string> result;
  for (const auto& log : logs) result.push_back(MSLogSeq(log));
  return result;
}

class MSLogDBStorageTest : public testing::Test {
 protected:
  void SetUp() override { storage = std::make_unique<MSLogDBStorage>(name); }
  std::string name = MSTestDatabaseName();
  std::unique_ptr<MSLogDBStorage> storage;
};

TEST_F(MSLogDBStorageTest, LoadsDisjointBatchesWithinTheLimit) {
  for (int i = 0; i < 51; ++i) ASSERT_TRUE(storage->saveLog(MSNumberedLog(i), "Analytics", 1));
  EXPECT_EQ(storage->countLogs(), 51u);

  const auto first = load(*storage, "Analytics", 50);
  EXPECT_EQ(first.logs.size(), 50u);
  EXPECT_TRUE(first.more);
  ASSERT_TRUE(first.batchId);
  EXPECT_TRUE(vx::UUID::parse(*first.batchId));
  EXPECT_EQ(MSLogSeq(first.logs.front()), "seq-0");
  // The loaded log is the saved one, with its 64-bit millisecond time intact.
  EXPECT_TRUE(first.logs.front()->isEqual(*MSNumberedLog(0)));

  const auto second = load(*storage, "Analytics", 50);
  EXPECT_EQ(seqs(second.logs), std::vector<std::string>{"seq-50"});
  EXPECT_FALSE(second.more);
  EXPECT_NE(second.batchId, first.batchId);

  const auto third = load(*storage, "Analytics", 50);
  EXPECT_TRUE(third.logs.empty());
  EXPECT_FALSE(third.batchId);
  EXPECT_EQ(storage->batches().size(), 2u);

  storage->deleteLogsWithBatchId(*first.batchId, "Analytics");
  EXPECT_EQ(storage->countLogs(), 1u);
  EXPECT_EQ(storage->batches().size(), 1u);
  storage->deleteLogsWithBatchId("unknown", "Analytics");
  storage->deleteLogsWithBatchId(*second.batchId, "Other");  // a batch belongs to its group
  EXPECT_EQ(storage->countLogs(), 1u);
  storage->deleteLogsWithBatchId(*second.batchId, "Analytics");
  EXPECT_EQ(storage->countLogs(), 0u);
  EXPECT_TRUE(storage->batches().empty());
}

TEST_F(MSLogDBStorageTest, HigherPriorityFirstThenOldest) {
  ASSERT_TRUE(storage->saveLog(MSNumberedLog(0), "g", 1));
  ASSERT_TRUE(storage->saveLog(MSNumberedLog(1), "g", 2));
  ASSERT_TRUE(storage->saveLog(MSNumberedLog(2), "g", 1));
  ASSERT_TRUE(storage->saveLog(MSNumberedLog(3), "g", 0x302));  // priority 2; higher bits are not priority
  EXPECT_EQ(MSRawColumn(name, "SELECT priority FROM logs ORDER BY id"), (std::vector<std::string>{"1", "2", "1", "2"}));
  EXPECT_EQ(seqs(load(*storage, "g", 10).logs), (std::vector<std::string>{"seq-1", "seq-3", "seq-0", "seq-2"}));
  EXPECT_FALSE(storage->saveLog(nullptr, "g", 1));
}

// Batches are kept per group: "Analytics" is not "Analytics/one".
TEST_F(MSLogDBStorageTest, DeletingAGroupKeepsBatchesOfAGroupItPrefixes) {
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(storage->saveLog(MSNumberedLog(i), "Analytics", 1));
  for (int i = 10; i < 13; ++i) ASSERT_TRUE(storage->saveLog(MSNumberedLog(i), "Analytics/one", 1));
  const auto outOne = load(*storage, "Analytics/one", 2);
  ASSERT_EQ(outOne.logs.size(), 2u);
  ASSERT_EQ(load(*storage, "Analytics", 1).logs.size(), 1u);

  const auto deleted = storage->deleteLogsWithGroupId("Analytics");
  EXPECT_EQ(seqs(deleted), (std::vector<std::string>{"seq-0", "seq-1", "seq-2"}));
  EXPECT_EQ(storage->countLogs(), 3u);
  ASSERT_EQ(storage->batches().size(), 1u);
  EXPECT_EQ(storage->batches().begin()->first.first, "Analytics/one");

  // The batch still out is not loaded a second time.
  EXPECT_EQ(seqs(load(*storage, "Analytics/one", 10).logs), std::vector<std::string>{"seq-12"});
  storage->deleteLogsWithBatchId(*outOne.batchId, "Analytics/one");
  EXPECT_EQ(storage->countLogs(), 1u);
}

TEST_F(MSLogDBStorageTest, TargetTokensAreStoredEncryptedWithTheirKey) {
  const std::string token = "4dacf0fe57734a4cb3fa94f7c6a0e92f-secret-token-value";
  ASSERT_TRUE(storage->saveLog(MSTokenLog(0, token), "one", 1));
  ASSERT_TRUE(storage->saveLog(MSNumberedLog(1), "one", 1));

  const auto storedTokens = MSRawColumn(name, "SELECT targetToken FROM logs ORDER BY id");
  ASSERT_EQ(storedTokens.size(), 2u);
  EXPECT_EQ(storedTokens[0].find("secret"), std::string::npos);
  EXPECT_EQ(storedTokens[0].find(token), std::string::npos);
  EXPECT_EQ(storedTokens[1], "NULL");
  EXPECT_EQ(MSRawColumn(name, "SELECT targetKey FROM logs ORDER BY id"),
            (std::vector<std::string>{"4dacf0fe57734a4cb3fa94f7c6a0e92f", "NULL"}));

  // A later launch decrypts the token back onto the log.
  storage.reset();
  MSLogDBStorage later(name);
  const auto loaded = load(later, "one", 10);
  ASSERT_EQ(loaded.logs.size(), 2u);
  EXPECT_NE(dynamic_cast<MSCommonSchemaLog*>(loaded.logs[0].get()), nullptr);
  EXPECT_EQ(loaded.logs[0]->transmissionTargetTokens(), std::set<std::string>{token});
  EXPECT_TRUE(loaded.logs[1]->transmissionTargetTokens().empty());
}

TEST_F(MSLogDBStorageTest, ExcludedTargetKeysSkipOnlyTheirLogs) {
  ASSERT_TRUE(storage->saveLog(MSTokenLog(0, "keyA-token"), "one", 1));
  ASSERT_TRUE(storage->saveLog(MSTokenLog(1, "keyB-token"), "one", 1));
  ASSERT_TRUE(storage->saveLog(MSNumberedLog(2), "one", 1));
  EXPECT_EQ(seqs(load(*storage, "one", 10, std::vector<std::string>{"keyA"}).logs),
            (std::vector<std::string>{"seq-1", "seq-2"}));
  EXPECT_EQ(seqs(load(*storage, "one", 10, std::vector<std::string>{}).logs), std::vector<std::string>{"seq-0"});
}

// Group ids, target keys and tokens with quotes are data, not SQL.
TEST_F(MSLogDBStorageTest, QuotesInGroupKeyAndTokenAreJustText) {
  const std::string group = "it's \"group\"); DELETE FROM logs; --";
  const std::string token = "o'key\"-x'); DROP TABLE logs; --";
  ASSERT_TRUE(storage->saveLog(MSTokenLog(0, token), group, 1));
  ASSERT_TRUE(storage->saveLog(MSNumberedLog(1), "other", 1));
  EXPECT_EQ(MSRawColumn(name, "SELECT groupId FROM logs ORDER BY id"), (std::vector<std::string>{group, "other"}));
  EXPECT_EQ(MSRawColumn(name, "SELECT targetKey FROM logs WHERE id = 1"), std::vector<std::string>{"o'key\""});

  EXPECT_TRUE(load(*storage, group, 10, std::vector<std::string>{"o'key\""}).logs.empty());
  const auto loaded = load(*storage, group, 10, std::vector<std::string>{"x' OR '1'='1"});
  ASSERT_EQ(loaded.logs.size(), 1u);
  EXPECT_EQ(loaded.logs[0]->transmissionTargetTokens(), std::set<std::string>{token});
  EXPECT_EQ(storage->deleteLogsWithGroupId(group).size(), 1u);
  EXPECT_EQ(storage->countLogs(), 1u);
}

TEST_F(MSLogDBStorageTest, DatesCompareInMilliseconds) {
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(storage->saveLog(MSNumberedLog(i), "g", 1));
  const vx::Date at2 = vx::Date(std::chrono::milliseconds(1765400000002LL));
  EXPECT_EQ(MSRawColumn(name, "SELECT timestamp FROM logs WHERE id = 3"), std::vector<std::string>{"1765400000002"});
  EXPECT_EQ(storage->countLogsBeforeDate(at2), 3u);  // equal counts
  EXPECT_EQ(seqs(load(*storage, "g", 10, std::nullopt, std::nullopt, at2).logs),
            (std::vector<std::string>{"seq-0", "seq-1"}));
  EXPECT_EQ(seqs(load(*storage, "g", 10, std::nullopt, at2, std::nullopt).logs),
            (std::vector<std::string>{"seq-2", "seq-3", "seq-4"}));
}

TEST_F(MSLogDBStorageTest, FullDatabaseEvictsEqualOrLowerPriorityOnly) {
  MSLogRecorder recorder(MSLogLevel::Verbose);
  std::optional<bool> changed;
  storage->setMaxStorageSize(64 * 1024, [&](bool ok) { changed = ok; });
  ASSERT_EQ(changed, true);

  for (int i = 0; i < 5; ++i) ASSERT_TRUE(storage->saveLog(MSNumberedLog(1000 + i, 1500), "high", 2));
  // Far more low-priority logs than fit: each save succeeds by evicting the oldest low ones.
  for (int i = 0; i < 80; ++i) ASSERT_TRUE(storage->saveLog(MSNumberedLog(i, 1500), "low", 1)) << i;
  EXPECT_GT(recorder.count("Deleted a log with id"), 0u);
  EXPECT_GT(recorder.count("oldest log(s) with equal or lower priority deleted."), 0u);
  const auto high = load(*storage, "high", 100);
  EXPECT_EQ(high.logs.size(), 5u);
  const auto low = seqs(load(*storage, "low", 100).logs);
  ASSERT_FALSE(low.empty());
  ASSERT_LT(low.size(), 80u);
  EXPECT_EQ(low.back(), "seq-79");
  EXPECT_EQ(low.front(), "seq-" + std::to_string(80 - low.size()));  // the newest survived

  // Only high-priority rows left and full: a low-priority log is discarded, whatever bits above
  // the priority its flags carry.
  storage->deleteLogsWithGroupId("low");
  storage->deleteLogsWithBatchId(*high.batchId, "high");
  // Fill with high-priority logs until one of them had to evict another.
  const std::size_t evictionsSoFar = recorder.count("Deleted a log with id");
  int saved = 0;
  while (recorder.count("Deleted a log with id") == evictionsSoFar) {
    ASSERT_TRUE(storage->saveLog(MSNumberedLog(2000 + saved, 1500), "high", 2));
    ASSERT_LT(++saved, 200);
  }
  const std::size_t before = storage->countLogs();
  const std::size_t deletedBefore = recorder.count("Deleted a log with id");
  EXPECT_FALSE(storage->saveLog(MSNumberedLog(1, 1500), "low", 0x0101));
  EXPECT_EQ(recorder.count("Storage is full and no logs with equal or lower priority exist; discarding the log."), 1u);
  EXPECT_EQ(storage->countLogs(), before);
  EXPECT_EQ(recorder.count("Deleted a log with id"), deletedBefore);
}

TEST_F(MSLogDBStorageTest, LogLargerThanTheDatabaseIsRefused) {
  MSLogRecorder recorder(MSLogLevel::Verbose);
  storage->setMaxStorageSize(40 * 1024, nullptr);
  ASSERT_TRUE(storage->saveLog(MSNumberedLog(0), "g", 1));
  EXPECT_FALSE(storage->saveLog(MSNumberedLog(1, 60 * 1024), "g", 1));
  EXPECT_EQ(recorder.count("to store in database. Current maximum database size is 40960 bytes."), 1u);
  EXPECT_EQ(storage->countLogs(), 1u);
}

TEST_F(MSLogDBStorageTest, RowsThatDoNotUnarchiveAreDeleted) {
  MSLogRecorder recorder(MSLogLevel::Verbose);
  ASSERT_TRUE(storage->saveLog(MSNumberedLog(0), "g", 1));
  MSRawExecute(name, "INSERT INTO logs (groupId, log, priority, timestamp) VALUES ('g', 'bm90IGFuIGFyY2hpdmU=', 1, 0)");
  MSRawExecute(name, "INSERT INTO logs (groupId, log, targetToken, priority, timestamp) VALUES ('g', '" +
                         vx::base64Encode(*MSArchivedData(*MSNumberedLog(2))) + "', 'AAAA', 1, 0)");
  const auto loaded = load(*storage, "g", 10);
  EXPECT_EQ(seqs(loaded.logs), (std::vector<std::string>{"seq-0", "seq-2"}));
  EXPECT_TRUE(loaded.logs[1]->transmissionTargetTokens().empty());
  EXPECT_EQ(recorder.count("Deserialization failed for log with Id 2"), 1u);
  EXPECT_EQ(recorder.count("Failed to decrypt the target token for log with Id 3."), 1u);
  EXPECT_EQ(storage->countLogs(), 2u);
}

// A file whose "id" column is not the row id can hold rows with ids that are not integers:
// such rows could never be loaded, sent or deleted by id, so they are removed with a warning.
TEST(MSLogDBStorageDamagedRowsTest, RowsWhoseIdIsNotAnIntegerAreRemoved) {
  const std::string name = MSTestDatabaseName();
  const std::string good = vx::base64Encode(*MSArchivedData(*MSNumberedLog(1)));
  const std::string other = vx::base64Encode(*MSArchivedData(*MSNumberedLog(2)));
  MSRawExecute(name,
               "CREATE TABLE \"logs\" (\"id\", \"groupId\" TEXT NOT NULL, \"log\" TEXT NOT NULL, "
               "\"targetToken\" TEXT, \"targetKey\" TEXT, \"priority\" INTEGER, \"timestamp\" INTEGER);"
               "PRAGMA user_version = 4;"
               "INSERT INTO logs VALUES (1, 'g', '" +
                   good +
                   "', NULL, NULL, 1, 0);"
                   "INSERT INTO logs VALUES ('abc', 'g', '" +
                   other +
                   "', NULL, NULL, 1, 0);"
                   "INSERT INTO logs VALUES (NULL, 'g', '" +
                   other +
                   "', NULL, NULL, 1, 0);"
                   "INSERT INTO logs VALUES (2.5, 'g', '" +
                   other + "', NULL, NULL, 1, 0);");
  MSLogRecorder recorder(MSLogLevel::Verbose);
  MSLogDBStorage storage(name);
  EXPECT_EQ(storage.countLogs(), 4u);
  const auto loaded = load(storage, "g", 10);
  EXPECT_EQ(seqs(loaded.logs), std::vector<std::string>{"seq-1"});
  EXPECT_EQ(recorder.count("its id is not an integer"), 3u);
  EXPECT_EQ(storage.countLogs(), 1u);
  EXPECT_EQ(MSRawColumn(name, "SELECT id FROM logs"), std::vector<std::string>{"1"});
  // Nothing unreadable is left to be met again.
  EXPECT_EQ(seqs(load(storage, "g", 10).logs), std::vector<std::string>{});
  EXPECT_EQ(recorder.count("its id is not an integer"), 3u);
}

// A table whose columns stand in another order is read by column name: its rows are recovered,
// with a warning, and new logs go in beside them.
TEST(MSLogDBStorageDamagedRowsTest, ATableWithReorderedColumnsIsReadByName) {
  const std::string name = MSTestDatabaseName();
  const std::string archived = vx::base64Encode(*MSArchivedData(*MSNumberedLog(3)));
  MSRawExecute(name,
               "CREATE TABLE \"logs\" (\"timestamp\" INTEGER, \"priority\" INTEGER, \"targetKey\" TEXT, "
               "\"targetToken\" TEXT, \"log\" TEXT NOT NULL, \"groupId\" TEXT NOT NULL, "
               "\"id\" INTEGER PRIMARY KEY AUTOINCREMENT);"
               "PRAGMA user_version = 4;"
               "INSERT INTO logs (timestamp, priority, log, groupId) VALUES (0, 1, '" +
                   archived + "', 'g');");
  MSLogRecorder recorder(MSLogLevel::Verbose);
  MSLogDBStorage storage(name);
  EXPECT_EQ(recorder.count("columns in another order"), 1u);
  ASSERT_TRUE(storage.saveLog(MSTokenLog(4, "key-token"), "g", 1));
  const auto loaded = load(storage, "g", 10);
  ASSERT_EQ(seqs(loaded.logs), (std::vector<std::string>{"seq-3", "seq-4"}));
  EXPECT_TRUE(loaded.logs[0]->isEqual(*MSNumberedLog(3)));
  EXPECT_EQ(loaded.logs[1]->transmissionTargetTokens(), (std::set<std::string>{"key-token"}));
  EXPECT_EQ(recorder.count("Deserialization failed"), 0u);
  storage.deleteLogsWithBatchId(*loaded.batchId, "g");
  EXPECT_EQ(storage.countLogs(), 0u);
}

// A NaN is equal to itself, so a log holding one is equal to itself, before and after storage.
TEST(MSLogDBStorageDamagedRowsTest, ALogHoldingNaNIsEqualToItself) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  MSDoubleTypedProperty property;
  property.name = "n";
  property.value = nan;
  MSDoubleTypedProperty negative = property;
  negative.value = -nan;
  EXPECT_TRUE(property.isEqual(property));
  EXPECT_TRUE(property.isEqual(negative));
  EXPECT_EQ(property.hash(), negative.hash());
  MSDoubleTypedProperty one = property;
  one.value = 1;
  EXPECT_FALSE(property.isEqual(one));

  auto log = std::make_shared<MSCustomPropertiesLog>();
  log->timestamp = vx::Date(std::chrono::milliseconds(1765400000000LL));
  log->sid = "seq-nan";
  log->properties = vx::ValueMap{{"n", vx::Value(nan)}, {"list", vx::ValueArray{vx::Value(nan), vx::Value(1)}}};
  EXPECT_TRUE(log->isEqual(*log));
  auto other = std::make_shared<MSCustomPropertiesLog>();
  other->timestamp = log->timestamp;
  other->sid = log->sid;
  other->properties = vx::ValueMap{{"n", vx::Value(1.0)}, {"list", vx::ValueArray{vx::Value(nan), vx::Value(1)}}};
  EXPECT_FALSE(log->isEqual(*other));

  const std::string name = MSTestDatabaseName();
  MSLogDBStorage storage(name);
  ASSERT_TRUE(storage.saveLog(log, "g", 1));
  const auto loaded = load(storage, "g", 10);
  ASSERT_EQ(loaded.logs.size(), 1u);
  EXPECT_TRUE(loaded.logs[0]->isEqual(*log));
}

TEST(MSLogDBStorageMigrationTest, VersionZeroFileIsMigrated) {
  const std::string name = MSTestDatabaseName();
  const std::string archived = vx::base64Encode(*MSArchivedData(*MSNumberedLog(7)));
  MSRawExecute(name,
               "CREATE TABLE \"logs\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, \"groupId\" TEXT NOT NULL, "
               "\"log\" TEXT NOT NULL); INSERT INTO logs (groupId, log) VALUES ('g', '" +
                   archived + "');");
  EXPECT_EQ(MSRawColumn(name, "PRAGMA user_version"), std::vector<std::string>{"0"});

  MSLogRecorder recorder(MSLogLevel::Verbose);
  MSLogDBStorage storage(name);
  EXPECT_EQ(recorder.count("database from version 0 to 4."), 1u);
  EXPECT_EQ(MSRawColumn(name, "PRAGMA user_version"), std::vector<std::string>{"4"});
  EXPECT_EQ(MSRawColumn(name, "SELECT name FROM pragma_table_info('logs') ORDER BY cid"),
            (std::vector<std::string>{"id", "groupId", "log", "targetToken", "targetKey", "priority", "timestamp"}));
  EXPECT_EQ(MSRawColumn(name, "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'logs'"),
            std::vector<std::string>{"ix_logs_priority"});
  EXPECT_EQ(MSRawColumn(name, "SELECT priority || '/' || timestamp FROM logs"), std::vector<std::string>{"1/0"});

  ASSERT_TRUE(storage.saveLog(MSTokenLog(8, "key-token"), "g", 2));
  EXPECT_EQ(seqs(load(storage, "g", 10).logs), (std::vector<std::string>{"seq-8", "seq-7"}));
}

TEST(MSLogDBStorageFileTest, NewLogsFileGetsSchemaAndIndex) {
  MSLogDBStorage storage;
  EXPECT_EQ(storage.dbFileURL(), MSUtility::zerEvuzevDirectoryURL() / "Logs.sqlite");
  EXPECT_EQ(MSRawColumn("Logs.sqlite", "PRAGMA user_version"), std::vector<std::string>{"4"});
  EXPECT_EQ(MSRawColumn("Logs.sqlite", "PRAGMA auto_vacuum"), std::vector<std::string>{"1"});
  EXPECT_EQ(MSRawColumn("Logs.sqlite", "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'logs'"),
            std::vector<std::string>{"ix_logs_priority"});
  EXPECT_EQ(storage.idColumnIndex(), 0u);
  EXPECT_EQ(storage.groupIdColumnIndex(), 1u);
  EXPECT_EQ(storage.logColumnIndex(), 2u);
  EXPECT_EQ(storage.targetTokenColumnIndex(), 3u);
}

// The real "Logs.sqlite" overwritten by something that is not a database: kept aside, and
// logging goes on in a new file.
TEST(MSLogDBStorageFileTest, DamagedLogsFileIsReplacedAndLoggingGoesOn) {
  const fs::path path = MSUtility::zerEvuzevDirectoryURL() / "Logs.sqlite";
  {
    MSLogDBStorage storage;
    ASSERT_TRUE(storage.saveLog(MSNumberedLog(0), "g", 1));
  }
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "this file was overwritten by something else entirely" << std::string(5000, '\x01');
  }
  MSLogDBStorage storage;
  ASSERT_TRUE(storage.saveLog(MSNumberedLog(1), "g", 1));
  EXPECT_EQ(seqs(load(storage, "g", 10).logs), std::vector<std::string>{"seq-1"});
  std::size_t aside = 0;
  for (const auto& entry : fs::directory_iterator(path.parent_path())) {
    if (entry.path().filename().string().rfind("Logs.sqlite.corrupt-", 0) == 0) ++aside;
  }
  EXPECT_EQ(aside, 1u);
}

}  // namespace
