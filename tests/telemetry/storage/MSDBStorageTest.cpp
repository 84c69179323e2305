// The SQLite wrapper on real database files in the test's own SDK folder.
#include "telemetry/ZerEvuzev/Storage/MSDBStorage.h"

#include "telemetry/ZerEvuzev/Util/MSUtility.h"
#include "telemetry/support/MSTelemetryTestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

// A storage that records its hooks.
class HookedStorage : public MSDBStorage {
 public:
  HookedStorage(std::optional<MSDBSchema> schema, unsigned version, const std::string& filename)
      : MSDBStorage(std::move(schema), version, filename, true) {
    setUpDatabaseIfNeeded();
  }
  int customized = 0;
  std::vector<unsigned> migratedFrom;

 protected:
  void customizeDatabase(sqlite3*) override { ++customized; }
  void migrateDatabase(sqlite3*, unsigned fromVersion) override { migratedFrom.push_back(fromVersion); }
};

const MSDBSchema kSchema{{"items", {{"id", {"INTEGER", "PRIMARY KEY", "AUTOINCREMENT"}}, {"name", {"TEXT"}}}}};

std::string fileName() {
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  return std::string(info->test_suite_name()) + "-" + info->name() + ".sqlite";
}

fs::path filePath(const std::string& name) { return *MSUtility::fullURLForPathComponent(name); }

std::int64_t pragma(MSDBStorage& storage, const std::string& name) {
  const auto rows = storage.executeSelectionQuery("PRAGMA " + name);
  return rows.empty() ? -1 : MSDBInteger(rows.front(), 0).value_or(-1);
}

std::vector<fs::path> corruptCopies(const std::string& name) {
  std::vector<fs::path> copies;
  for (const auto& entry : fs::directory_iterator(MSUtility::zerEvuzevDirectoryURL())) {
    if (entry.path().filename().string().rfind(name + ".corrupt-", 0) == 0) copies.push_back(entry.path());
  }
  return copies;
}

TEST(MSDBStorageTest, NewFileIsCustomisedVacuumedAndVersioned) {
  const std::string name = fileName();
  {
    HookedStorage storage(kSchema, 3, name);
    EXPECT_EQ(storage.customized, 1);
    EXPECT_TRUE(storage.migratedFrom.empty());
    EXPECT_EQ(pragma(storage, "auto_vacuum"), 1);
    EXPECT_EQ(pragma(storage, "user_version"), 3);
    EXPECT_GT(storage.pageSize(), 0);
    EXPECT_EQ(storage.maxSizeInBytes(), 10485760);
    EXPECT_EQ(storage.dbFileURL(), filePath(name));
  }
  {
    HookedStorage same(kSchema, 3, name);
    EXPECT_EQ(same.customized, 0);
    EXPECT_TRUE(same.migratedFrom.empty());
  }
  HookedStorage newer(kSchema, 5, name);
  EXPECT_EQ(newer.customized, 0);
  EXPECT_EQ(newer.migratedFrom, std::vector<unsigned>{3});
  EXPECT_EQ(pragma(newer, "user_version"), 5);
}

TEST(MSDBStorageTest, FileWithoutAutoVacuumIsVacuumedAtNextStart) {
  const std::string name = fileName();
  {
    sqlite3* db = nullptr;
    fs::create_directories(filePath(name).parent_path());
    ASSERT_EQ(sqlite3_open(filePath(name).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t (x INTEGER); PRAGMA user_version = 1;", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  MSLogRecorder recorder(MSLogLevel::Verbose);
  MSDBStorage storage(kSchema, 1, name);
  EXPECT_EQ(recorder.count("Vacuuming database and enabling auto_vacuum"), 1u);
  EXPECT_EQ(pragma(storage, "auto_vacuum"), 1);
}

TEST(MSDBStorageTest, TablesColumnsAndCounts) {
  MSDBStorage storage(kSchema, 1, fileName());
  const auto indexes = MSDBStorage::columnsIndexes(kSchema);
  EXPECT_EQ(indexes.at("items").at("id"), 0u);
  EXPECT_EQ(indexes.at("items").at("name"), 1u);
  EXPECT_EQ(MSDBStorage::columnsQueryFromColumnsSchema(kSchema.at("items")),
            "\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, \"name\" TEXT");

  EXPECT_TRUE(storage.createTable("pairs", {{"a", {"TEXT"}}, {"b", {"TEXT"}}}, {"a", "b"}));
  EXPECT_TRUE(storage.createTable("pairs", {{"a", {"TEXT"}}}));  // exists already
  EXPECT_EQ(
      storage.executeNonSelectionQuery("INSERT INTO \"pairs\" VALUES (?, ?)", {std::string("x"), std::string("y")}),
      SQLITE_OK);
  EXPECT_EQ(
      storage.executeNonSelectionQuery("INSERT INTO \"pairs\" VALUES (?, ?)", {std::string("x"), std::string("y")}),
      SQLITE_CONSTRAINT);
  EXPECT_EQ(storage.countEntriesForTable("pairs", std::nullopt), 1u);
  EXPECT_EQ(storage.countEntriesForTable("pairs", "\"a\" = ?", {std::string("nope")}), 0u);
  EXPECT_TRUE(storage.dropTable("pairs"));
  EXPECT_TRUE(storage.dropTable("pairs"));  // no longer exists
  EXPECT_EQ(storage.countEntriesForTable("pairs", std::nullopt), 0u);
}

// Values are bound, never spliced into the text: quotes and SQL in them are just text.
TEST(MSDBStorageTest, QuotesInValuesCannotChangeAStatement) {
  MSDBStorage storage(kSchema, 1, fileName());
  const std::vector<std::string> names = {"O'Brien", "x'); DROP TABLE \"items\"; --", "\"quoted\"", "a' OR '1'='1"};
  for (const auto& n : names) {
    EXPECT_EQ(storage.executeNonSelectionQuery("INSERT INTO \"items\" (\"name\") VALUES (?)", {n}), SQLITE_OK);
  }
  EXPECT_EQ(storage.countEntriesForTable("items", std::nullopt), names.size());
  EXPECT_EQ(storage.countEntriesForTable("items", "\"name\" = ?", {std::string("a' OR '1'='1")}), 1u);
  const auto rows = storage.executeSelectionQuery("SELECT \"id\", \"name\" FROM \"items\" ORDER BY \"id\"");
  ASSERT_EQ(rows.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(MSDBText(rows[i], 1), names[i]);
}

TEST(MSDBStorageTest, RowsReadSixtyFourBitIntegersTextAndNull) {
  MSDBStorage storage(std::nullopt, 1, fileName());
  ASSERT_EQ(storage.executeNonSelectionQuery("CREATE TABLE v (i INTEGER, t TEXT, r REAL, b BLOB)"), SQLITE_OK);
  const std::int64_t big = 1765400000123;  // a timestamp in milliseconds
  ASSERT_EQ(storage.executeNonSelectionQuery("INSERT INTO v VALUES (?, ?, 1.5, x'00')", {big, std::string("t")}),
            SQLITE_OK);
  const auto rows = storage.executeSelectionQuery("SELECT * FROM v");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(MSDBInteger(rows[0], 0), big);
  EXPECT_EQ(MSDBText(rows[0], 1), "t");
  EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(rows[0][2]));
  EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(rows[0][3]));
  EXPECT_TRUE(storage.executeSelectionQuery("SELECT * FROM missing").empty());
}

TEST(MSDBStorageTest, MaxStorageSizeRoundsUpToPages) {
  MSLogRecorder recorder(MSLogLevel::Verbose);
  MSDBStorage storage(kSchema, 1, fileName());
  ASSERT_EQ(storage.pageSize(), 4096);
  std::optional<bool> answer;
  storage.setMaxStorageSize(24577, [&](bool success) { answer = success; });
  EXPECT_EQ(answer, true);
  EXPECT_EQ(storage.maxSizeInBytes(), 28672);
  EXPECT_EQ(pragma(storage, "max_page_count"), 7);
  EXPECT_EQ(recorder.count("Changed maximum database size to 28672 bytes (next multiple of 4KiB)."), 1u);

  storage.setMaxStorageSize(20480, [&](bool success) { answer = success; });
  EXPECT_EQ(answer, true);
  EXPECT_EQ(recorder.count("Changed maximum database size to 20480 bytes."), 1u);

  // Fewer pages than in use: refused, limit unchanged.
  storage.setMaxStorageSize(10485760, nullptr);
  for (int i = 0; i < 40; ++i) {
    storage.executeNonSelectionQuery("INSERT INTO \"items\" (\"name\") VALUES (?)", {std::string(2000, 'x')});
  }
  storage.setMaxStorageSize(4096, [&](bool success) { answer = success; });
  EXPECT_EQ(answer, false);
  EXPECT_EQ(storage.maxSizeInBytes(), 10485760);
  EXPECT_EQ(recorder.count("Cannot change database size to 4096 bytes as it would cause a loss of data."), 1u);
}

TEST(MSDBStorageTest, DamagedFileIsMovedAsideAndRecreated) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> damage;
  };
  const Case cases[] = {
      {"not a database",
       [](const fs::path& path) {
         std::ofstream out(path, std::ios::binary | std::ios::trunc);
         out << std::string(10000, 'z');
       }},
      {"corrupt pages",
       [](const fs::path& path) {
         // Overwrite everything after the header page with noise.
         std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
         out.seekp(4096);
         for (int i = 0; i < 4096 * 3; ++i) out.put(static_cast<char>(i * 31 + 7));
       }},
  };
  for (const auto& c : cases) {
    const std::string name = fileName() + "-" + std::string(c.name).substr(0, 3);
    {
      MSDBStorage storage(kSchema, 2, name);
      ASSERT_EQ(storage.executeNonSelectionQuery(
                    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 200) "
                    "INSERT INTO \"items\" (\"name\") SELECT printf('%0100d', x) FROM c"),
                SQLITE_OK);
      ASSERT_EQ(storage.countEntriesForTable("items", std::nullopt), 200u);
    }
    c.damage(filePath(name));
    MSLogRecorder recorder(MSLogLevel::Verbose);
    MSDBStorage storage(kSchema, 2, name);
    EXPECT_EQ(corruptCopies(name).size(), 1u) << c.name;
    EXPECT_GE(recorder.count("moved it to"), 1u) << c.name;
    EXPECT_EQ(storage.countEntriesForTable("items", std::nullopt), 0u) << c.name;
    EXPECT_EQ(storage.executeNonSelectionQuery("INSERT INTO \"items\" (\"name\") VALUES (?)", {std::string("new")}),
              SQLITE_OK)
        << c.name;
    EXPECT_EQ(storage.countEntriesForTable("items", std::nullopt), 1u) << c.name;
    EXPECT_EQ(pragma(storage, "user_version"), 2) << c.name;
  }
}

// A file that cannot be opened at start leaves no zero page size behind; once it can be opened,
// the setup completes at the next query.
TEST(MSDBStorageTest, FailedOpenIsRetriedAtNextQuery) {
  const std::string name = fileName();
  const fs::path path = filePath(name);
  fs::create_directories(path);  // a folder where the file should be
  MSDBStorage storage(kSchema, 1, name);
  EXPECT_EQ(storage.pageSize(), 0);
  EXPECT_NE(storage.executeNonSelectionQuery("INSERT INTO \"items\" (\"name\") VALUES (?)", {std::string("a")}),
            SQLITE_OK);
  bool called = false;
  storage.setMaxStorageSize(8192, [&](bool) { called = true; });
  EXPECT_FALSE(called);

  fs::remove(path);
  EXPECT_EQ(storage.executeNonSelectionQuery("INSERT INTO \"items\" (\"name\") VALUES (?)", {std::string("a")}),
            SQLITE_OK);
  EXPECT_GT(storage.pageSize(), 0);
  EXPECT_EQ(storage.countEntriesForTable("items", std::nullopt), 1u);
}

TEST(MSDBStorageTest, DropDatabaseDeletesTheFile) {
  const std::string name = fileName();
  MSDBStorage storage(kSchema, 1, name);
  ASSERT_TRUE(fs::exists(filePath(name)));
  EXPECT_TRUE(storage.dropDatabase());
  EXPECT_FALSE(fs::exists(filePath(name)));
  EXPECT_FALSE(storage.dropDatabase());
}

TEST(MSDBStorageTest, FileURIEscapesSpecialCharacters) {
  EXPECT_EQ(MSDBStorage::fileURI("/a b/c?d#e%f.sqlite"), "file:///a%20b/c%3Fd%23e%25f.sqlite");
}

}  // namespace
