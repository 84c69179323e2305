// The telemetry SDK's small SQLite layer. It owns one database file in the SDK folder, creates
// its tables from a declarative schema, keeps a schema version in the file (calling a migration
// hook when the stored one is older), keeps the file in full auto-vacuum mode and enforces a
// maximum size through SQLite's page limit. No connection is kept: every query opens the file,
// applies the size limit, runs and closes.
//
// Values reach SQL only as bound parameters ("?" in the statement, MSDBValue bindings), so no
// group id, key or token can change a statement. A file that is not a database or is corrupt
// when the storage is made is moved aside ("<name>.corrupt-<UTC time>") and a new one created.
//
// No lock of its own: callers serialise (the log store runs on the channel group's queue).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

struct sqlite3;

// One SQL value: NULL, a 64-bit integer or text.
using MSDBValue = std::variant<std::nullptr_t, std::int64_t, std::string>;
using MSDBBindings = std::vector<MSDBValue>;
// A result row: text columns as strings, integer columns as 64-bit integers, anything else null.
using MSDBRow = std::vector<MSDBValue>;

// A column: its name and its constraint words ("INTEGER", "PRIMARY KEY", ...).
using MSDBColumnSchema = std::pair<std::string, std::vector<std::string>>;
// A table's columns in column order.
using MSDBColumnsSchema = std::vector<MSDBColumnSchema>;
// Table name to its columns.
using MSDBSchema = std::map<std::string, MSDBColumnsSchema>;
// Table name to (column name to zero-based column position).
using MSDBColumnsIndexes = std::map<std::string, std::map<std::string, std::size_t>>;

// Typed reads of a row's cells; std::nullopt for a missing cell or another type.
std::optional<std::int64_t> MSDBInteger(const MSDBRow& row, std::size_t index);
std::optional<std::string> MSDBText(const MSDBRow& row, std::size_t index);

class MSDBStorage {
 public:
  static constexpr std::int64_t kMSDefaultDatabaseSizeInBytes = 10485760;

  // Creates or opens <SDK folder>/<filename>: tables of the schema that are missing are created,
  // an older stored version is migrated, a new file is customised. When the file cannot be
  // opened the setup is tried again at the next query.
  MSDBStorage(std::optional<MSDBSchema> schema, unsigned version, const std::string& filename);
  MSDBStorage(unsigned version, const std::string& filename) : MSDBStorage(std::nullopt, version, filename) {}
  virtual ~MSDBStorage() = default;
  MSDBStorage(const MSDBStorage&) = delete;
  MSDBStorage& operator=(const MSDBStorage&) = delete;

  // Opens the file, applies the size limit, calls the block, closes. The block's SQLite result
  // code, or the open's failure code (the block is then not called).
  int executeQueryUsingBlock(const std::function<int(sqlite3* db)>& block);

  // True on success or when the table does not exist.
  bool dropTable(const std::string& tableName);
  // Deletes the database file (true when deleted).
  bool dropDatabase();
  // True on success or when the table exists already.
  bool createTable(const std::string& tableName, const MSDBColumnsSchema& columnsSchema,
                   const std::vector<std::string>& uniqueColumnsConstraint = {});
  // SELECT COUNT(*) of the table with an optional condition ("?" for its bindings); 0 on failure.
  std::size_t countEntriesForTable(const std::string& tableName, const std::optional<std::string>& condition,
                                   const MSDBBindings& bindings = {});
  // One statement (or, without bindings, several separated by ";") in one query cycle; the
  // SQLite result code (SQLITE_OK when it ran to the end).
  int executeNonSelectionQuery(const std::string& query, const MSDBBindings& bindings = {});
  // The rows of one selection; empty when nothing came back or the query failed (logged).
  std::vector<MSDBRow> executeSelectionQuery(const std::string& query, const MSDBBindings& bindings = {});

  // Changes the limit to `sizeInBytes` rounded up to whole pages, unless that would hold fewer
  // pages than in use. The handler gets whether the limit changed; it is not called when the
  // file cannot be opened.
  void setMaxStorageSize(std::int64_t sizeInBytes, const std::function<void(bool)>& completionHandler);

  const std::filesystem::path& dbFileURL() const { return dbFileURL_; }
  std::int64_t maxSizeInBytes() const { return maxSizeInBytes_; }
  void setMaxSizeInBytes(std::int64_t size) { maxSizeInBytes_ = size; }
  // PRAGMA page_size, read when the database was set up (0 until it could be).
  std::int64_t pageSize() const { return pageSize_; }

  // ---- Class operations ----
  // sqlite3_config(SQLITE_CONFIG_URI, 1), run once per process before any connection opens;
  // its result code.
  static int configureSQLite();
  // `"name" WORD WORD, "name" WORD`.
  static std::string columnsQueryFromColumnsSchema(const MSDBColumnsSchema& columnsSchema);
  // Creates the schema's missing tables in one statement; the number of tables created.
  static std::size_t createTablesWithSchema(const std::optional<MSDBSchema>& schema, sqlite3* db);
  static MSDBColumnsIndexes columnsIndexes(const std::optional<MSDBSchema>& schema);
  static bool tableExists(const std::string& tableName, sqlite3* db);
  static unsigned versionInOpenedDatabase(sqlite3* db);
  static int setVersion(unsigned version, sqlite3* db);
  static void enableAutoVacuumInOpenedDatabase(sqlite3* db);
  static int executeNonSelectionQuery(const std::string& query, sqlite3* db, const MSDBBindings& bindings = {});
  // The rows; `result`, when given, receives the SQLite code (SQLITE_OK when all rows were read).
  static std::vector<MSDBRow> executeSelectionQuery(const std::string& query, sqlite3* db,
                                                    const MSDBBindings& bindings = {}, int* result = nullptr);
  // The handle, or nullptr with the code in `result` (error line).
  static sqlite3* openDatabaseAtFileURL(const std::filesystem::path& fileURL, int* result);
  static std::int64_t getPageSizeInOpenedDatabase(sqlite3* db);
  static std::int64_t getPageCountInOpenedDatabase(sqlite3* db);
  static std::int64_t getMaxPageCountInOpenedDatabase(sqlite3* db);
  static int setMaxPageCount(std::int64_t maxPageCount, sqlite3* db);
  // The first column of the first row as an integer; 0 when there is none.
  static std::int64_t querySingleValue(const std::string& query, sqlite3* db);
  // A name inside double quotes, with inner quotes doubled.
  static std::string quotedIdentifier(const std::string& name);
  // The file: URI SQLite opens for a path (percent-encoded).
  static std::string fileURI(const std::filesystem::path& path);

 protected:
  // For subclasses: with `deferSetUp` the file is only located here, and the subclass calls
  // setUpDatabaseIfNeeded() at the end of its own constructor, so that its hooks run (a base
  // constructor cannot reach a subclass's overrides).
  MSDBStorage(std::optional<MSDBSchema> schema, unsigned version, const std::string& filename, bool deferSetUp);

  // Hooks for subclasses, called during setup with the open handle.
  virtual void customizeDatabase(sqlite3* db);
  virtual void migrateDatabase(sqlite3* db, unsigned fromVersion);

  // Runs the setup unless it is done; SQLITE_OK, or the code that stopped it.
  int setUpDatabaseIfNeeded();

 private:
  // Open, check, create tables, migrate or customise, auto-vacuum, write the version. SQLITE_OK
  // when done.
  int setUpDatabase();
  // Moves a file that is not a usable database aside so that a new one can be made.
  void moveDamagedFileAside(int code);

  std::optional<MSDBSchema> schema_;
  unsigned version_;
  std::string filename_;
  std::filesystem::path dbFileURL_;
  std::int64_t maxSizeInBytes_ = kMSDefaultDatabaseSizeInBytes;
  std::int64_t pageSize_ = 0;
  bool setUp_ = false;
};
