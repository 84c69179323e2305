#include "telemetry/ZerEvuzev/Storage/MSDBStorage.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/DateFormat.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <sqlite3.h>

#include <mutex>

namespace fs = std::filesystem;

namespace {

// Closes a handle when the scope ends.
struct DatabaseCloser {
  sqlite3* db;
  ~DatabaseCloser() {
    if (db != nullptr) sqlite3_close(db);
  }
};

struct StatementFinalizer {
  sqlite3_stmt* statement;
  ~StatementFinalizer() { sqlite3_finalize(statement); }
};

int bindAll(sqlite3_stmt* statement, const MSDBBindings& bindings) {
  for (std::size_t i = 0; i < bindings.size(); ++i) {
    const int index = static_cast<int>(i + 1);
    int code = SQLITE_OK;
    if (const auto* integer = std::get_if<std::int64_t>(&bindings[i])) {
      code = sqlite3_bind_int64(statement, index, *integer);
    } else if (const auto* text = std::get_if<std::string>(&bindings[i])) {
      code = sqlite3_bind_text64(statement, index, text->data(), text->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    } else {
      code = sqlite3_bind_null(statement, index);
    }
    if (code != SQLITE_OK) return code;
  }
  return SQLITE_OK;
}

void logQueryFailure(const std::string& query, int code, sqlite3* db) {
  const char* message = sqlite3_errmsg(db);
  if (code == SQLITE_FULL) {
    MSLogDebug(kMSLogTag, "Query failed with error: %d - %s", code, message);
  } else {
    MSLogError(kMSLogTag, "Query \"%s\" failed with error: %d - %s", query.c_str(), code, message);
  }
}

// Result codes that say the file is not a database SQLite can use.
bool isDamagedDatabaseCode(int code) {
  const int primary = code & 0xff;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

}  // namespace

std::optional<std::int64_t> MSDBInteger(const MSDBRow& row, std::size_t index) {
  if (index >= row.size()) return std::nullopt;
  if (const auto* value = std::get_if<std::int64_t>(&row[index])) return *value;
  return std::nullopt;
}

std::optional<std::string> MSDBText(const MSDBRow& row, std::size_t index) {
  if (index >= row.size()) return std::nullopt;
  if (const auto* value = std::get_if<std::string>(&row[index])) return *value;
  return std::nullopt;
}

MSDBStorage::MSDBStorage(std::optional<MSDBSchema> schema, unsigned version, const std::string& filename)
    : MSDBStorage(std::move(schema), version, filename, false) {}

MSDBStorage::MSDBStorage(std::optional<MSDBSchema> schema, unsigned version, const std::string& filename,
                         bool deferSetUp)
    : schema_(std::move(schema)), version_(version), filename_(filename) {
  static std::once_flag configured;
  std::call_once(configured, [] {
    const int code = configureSQLite();
    if (code == SQLITE_OK) {
      MSLogDebug(kMSLogTag, "SQLite global configuration successfully updated.");
    } else {
      MSLogError(kMSLogTag, "Failed to update SQLite global configuration. Error: %s.", sqlite3_errstr(code));
    }
  });
  dbFileURL_ = MSUtility::fullURLForPathComponent(filename_).value_or(fs::path());
  maxSizeInBytes_ = kMSDefaultDatabaseSizeInBytes;
  if (!deferSetUp) setUpDatabaseIfNeeded();
}

int MSDBStorage::setUpDatabaseIfNeeded() {
  if (setUp_) return SQLITE_OK;
  return setUpDatabase();
}

int MSDBStorage::setUpDatabase() {
  bool existed = MSUtility::fileExistsForPathComponent(filename_);
  auto url = MSUtility::createFileAtPathComponent(filename_, std::nullopt, false, false);
  if (!url) return SQLITE_CANTOPEN;
  dbFileURL_ = *url;

  int code = SQLITE_OK;
  sqlite3* db = openDatabaseAtFileURL(dbFileURL_, &code);
  if (db == nullptr) return code;

  // A file that is not a database, or one whose pages are damaged, would fail every later query
  // and so stop all logging: keep it aside for inspection and start a new one.
  int checkCode = SQLITE_OK;
  const auto check = executeSelectionQuery("PRAGMA quick_check(1)", db, {}, &checkCode);
  const bool damaged = isDamagedDatabaseCode(checkCode) ||
                       (checkCode == SQLITE_OK && (check.empty() || MSDBText(check.front(), 0) != "ok"));
  if (damaged) {
    sqlite3_close(db);
    moveDamagedFileAside(checkCode == SQLITE_OK ? SQLITE_CORRUPT : checkCode);
    existed = false;
    url = MSUtility::createFileAtPathComponent(filename_, std::nullopt, false, false);
    if (!url) return SQLITE_CANTOPEN;
    db = openDatabaseAtFileURL(dbFileURL_, &code);
    if (db == nullptr) return code;
  }
  DatabaseCloser closer{db};

  pageSize_ = getPageSizeInOpenedDatabase(db);
  if (pageSize_ <= 0) {
    MSLogError(kMSLogTag, "Failed to read the page size of database \"%s\".", filename_.c_str());
    pageSize_ = 0;
    return SQLITE_ERROR;
  }
  const unsigned storedVersion = versionInOpenedDatabase(db);
  createTablesWithSchema(schema_, db);
  if (existed) {
    if (storedVersion < version_) {
      MSLogInfo(kMSLogTag, "Migrating \"%s\" database from version %u to %u.", filename_.c_str(), storedVersion,
                version_);
      migrateDatabase(db, storedVersion);
    }
  } else {
    MSLogInfo(kMSLogTag, "Created \"%s\" database with %u version.", filename_.c_str(), version_);
    customizeDatabase(db);
  }
  enableAutoVacuumInOpenedDatabase(db);
  code = setVersion(version_, db);
  if (code != SQLITE_OK) return code;
  setUp_ = true;
  return SQLITE_OK;
}

void MSDBStorage::moveDamagedFileAside(int code) {
  const std::string stamp = vx::DateFormat::iso8601(vx::wallNow(), false);
  const fs::path aside = dbFileURL_.string() + ".corrupt-" + stamp;
  std::error_code error;
  fs::rename(dbFileURL_, aside, error);
  if (error) {
    // Renaming failed: at least make room for a new file.
    fs::remove(dbFileURL_, error);
  }
  // A journal left beside the damaged file belongs to it, not to the new one.
  const fs::path journal = dbFileURL_.string() + "-journal";
  if (fs::exists(journal, error)) fs::rename(journal, aside.string() + "-journal", error);
  MSLogError(kMSLogTag,
             "Database \"%s\" is not usable (SQLite error %d: %s); moved it to \"%s\" and created a new one.",
             filename_.c_str(), code, sqlite3_errstr(code), aside.filename().c_str());
}

int MSDBStorage::executeQueryUsingBlock(const std::function<int(sqlite3* db)>& block) {
  // A setup that failed earlier (file not openable then) is completed first, so the tables and
  // the page size exist before any statement runs.
  if (const int setUpCode = setUpDatabaseIfNeeded(); setUpCode != SQLITE_OK) return setUpCode;
  int code = SQLITE_OK;
  sqlite3* db = openDatabaseAtFileURL(dbFileURL_, &code);
  if (db == nullptr) return code;
  DatabaseCloser closer{db};
  if (setMaxPageCount(maxSizeInBytes_ / pageSize_, db) != SQLITE_OK) {
    MSLogError(kMSLogTag, "Failed to open database with specified maximum size constraint.");
  }
  return block(db);
}

bool MSDBStorage::dropTable(const std::string& tableName) {
  const int code = executeQueryUsingBlock([&](sqlite3* db) {
    if (!tableExists(tableName, db)) return SQLITE_OK;
    return executeNonSelectionQuery("DROP TABLE " + quotedIdentifier(tableName) + ";", db);
  });
  if (code == SQLITE_OK) {
    MSLogVerbose(kMSLogTag, "Table %s has been deleted", tableName.c_str());
    return true;
  }
  MSLogError(kMSLogTag, "Failed to delete table %s", tableName.c_str());
  return false;
}

bool MSDBStorage::dropDatabase() {
  const std::string uri = fileURI(dbFileURL_);
  if (MSUtility::deleteFileAtURL(dbFileURL_)) {
    MSLogVerbose(kMSLogTag, "Database %s has been deleted.", uri.c_str());
    setUp_ = false;
    pageSize_ = 0;
    return true;
  }
  MSLogError(kMSLogTag, "Failed to delete database.");
  return false;
}

bool MSDBStorage::createTable(const std::string& tableName, const MSDBColumnsSchema& columnsSchema,
                              const std::vector<std::string>& uniqueColumnsConstraint) {
  const int code = executeQueryUsingBlock([&](sqlite3* db) {
    if (tableExists(tableName, db)) return SQLITE_OK;
    std::string unique;
    if (!uniqueColumnsConstraint.empty()) {
      unique = ", UNIQUE(";
      for (std::size_t i = 0; i < uniqueColumnsConstraint.size(); ++i) {
        if (i > 0) unique += ", ";
        unique += quotedIdentifier(uniqueColumnsConstraint[i]);
      }
      unique += ")";
    }
    return executeNonSelectionQuery("CREATE TABLE " + quotedIdentifier(tableName) + " (" +
                                        columnsQueryFromColumnsSchema(columnsSchema) + unique + ");",
                                    db);
  });
  if (code == SQLITE_OK) {
    MSLogVerbose(kMSLogTag, "Table %s has been created", tableName.c_str());
    return true;
  }
  MSLogError(kMSLogTag, "Failed to create table %s", tableName.c_str());
  return false;
}

std::size_t MSDBStorage::countEntriesForTable(const std::string& tableName, const std::optional<std::string>& condition,
                                              const MSDBBindings& bindings) {
  std::string query = "SELECT COUNT(*) FROM " + quotedIdentifier(tableName) + " ";
  if (condition && !condition->empty()) query += "WHERE " + *condition;
  const auto rows = executeSelectionQuery(query, bindings);
  if (rows.empty()) return 0;
  const auto count = MSDBInteger(rows.front(), 0);
  return count && *count > 0 ? static_cast<std::size_t>(*count) : 0;
}

int MSDBStorage::executeNonSelectionQuery(const std::string& query, const MSDBBindings& bindings) {
  return executeQueryUsingBlock([&](sqlite3* db) { return executeNonSelectionQuery(query, db, bindings); });
}

std::vector<MSDBRow> MSDBStorage::executeSelectionQuery(const std::string& query, const MSDBBindings& bindings) {
  std::vector<MSDBRow> rows;
  executeQueryUsingBlock([&](sqlite3* db) {
    int code = SQLITE_OK;
    rows = executeSelectionQuery(query, db, bindings, &code);
    return code;
  });
  return rows;
}

void MSDBStorage::customizeDatabase(sqlite3*) {}
void MSDBStorage::migrateDatabase(sqlite3*, unsigned) {}

void MSDBStorage::setMaxStorageSize(std::int64_t sizeInBytes, const std::function<void(bool)>& completionHandler) {
  if (setUpDatabaseIfNeeded() != SQLITE_OK) return;
  int code = SQLITE_OK;
  sqlite3* db = openDatabaseAtFileURL(dbFileURL_, &code);
  if (db == nullptr) return;
  bool success = false;
  {
    DatabaseCloser closer{db};
    const std::int64_t currentPageCount = getPageCountInOpenedDatabase(db);
    MSLogDebug(kMSLogTag, "Found %ld pages in the database.", static_cast<long>(currentPageCount));
    const std::int64_t requestedMaxPageCount =
        sizeInBytes <= 0 ? 0 : sizeInBytes / pageSize_ + (sizeInBytes % pageSize_ != 0 ? 1 : 0);
    if (requestedMaxPageCount < currentPageCount) {
      MSLogWarning(kMSLogTag,
                   "Cannot change database size to %ld bytes as it would cause a loss of data. Maximum database size "
                   "will not be changed.",
                   static_cast<long>(sizeInBytes));
    } else if (const int setCode = setMaxPageCount(requestedMaxPageCount, db); setCode != SQLITE_OK) {
      MSLogError(kMSLogTag, "Could not change maximum database size to %ld bytes. SQLite error code: %i",
                 static_cast<long>(sizeInBytes), setCode);
    } else {
      const std::int64_t currentMaxPageCount = getMaxPageCountInOpenedDatabase(db);
      const std::int64_t currentMaxSize = currentMaxPageCount * pageSize_;
      if (currentMaxPageCount == requestedMaxPageCount) {
        if (sizeInBytes == currentMaxSize) {
          MSLogInfo(kMSLogTag, "Changed maximum database size to %ld bytes.", static_cast<long>(sizeInBytes));
        } else {
          MSLogInfo(kMSLogTag, "Changed maximum database size to %ld bytes (next multiple of 4KiB).",
                    static_cast<long>(currentMaxSize));
        }
        maxSizeInBytes_ = currentMaxSize;
        success = true;
      } else {
        MSLogError(kMSLogTag, "Could not change maximum database size to %ld bytes, current maximum size is %ld bytes.",
                   static_cast<long>(sizeInBytes), static_cast<long>(currentMaxSize));
      }
    }
  }
  if (completionHandler) completionHandler(success);
}

// ---- Class operations ----

int MSDBStorage::configureSQLite() { return sqlite3_config(SQLITE_CONFIG_URI, 1); }

std::string MSDBStorage::quotedIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

std::string MSDBStorage::columnsQueryFromColumnsSchema(const MSDBColumnsSchema& columnsSchema) {
  std::string text;
  for (const auto& [name, constraints] : columnsSchema) {
    if (!text.empty()) text += ", ";
    text += quotedIdentifier(name);
    for (const auto& word : constraints) text += " " + word;
  }
  return text;
}

std::size_t MSDBStorage::createTablesWithSchema(const std::optional<MSDBSchema>& schema, sqlite3* db) {
  if (!schema) return 0;
  std::string statements;
  std::size_t created = 0;
  for (const auto& [table, columns] : *schema) {
    if (tableExists(table, db)) continue;
    if (!statements.empty()) statements += "; ";
    statements += "CREATE TABLE " + quotedIdentifier(table) + " (" + columnsQueryFromColumnsSchema(columns) + ");";
    ++created;
  }
  if (created > 0 && executeNonSelectionQuery(statements, db) != SQLITE_OK) return 0;
  return created;
}

MSDBColumnsIndexes MSDBStorage::columnsIndexes(const std::optional<MSDBSchema>& schema) {
  MSDBColumnsIndexes indexes;
  if (!schema) return indexes;
  for (const auto& [table, columns] : *schema) {
    auto& tableIndexes = indexes[table];
    for (std::size_t i = 0; i < columns.size(); ++i) tableIndexes[columns[i].first] = i;
  }
  return indexes;
}

bool MSDBStorage::tableExists(const std::string& tableName, sqlite3* db) {
  const auto rows = executeSelectionQuery(
      "SELECT COUNT(*) FROM \"sqlite_master\" WHERE \"type\"='table' AND \"name\"=?;", db, {tableName});
  return !rows.empty() && MSDBInteger(rows.front(), 0).value_or(0) != 0;
}

unsigned MSDBStorage::versionInOpenedDatabase(sqlite3* db) {
  const std::int64_t version = querySingleValue("PRAGMA user_version", db);
  return version > 0 ? static_cast<unsigned>(version) : 0;
}

int MSDBStorage::setVersion(unsigned version, sqlite3* db) {
  // PRAGMA takes no bound parameters; the version is a number we format ourselves.
  return executeNonSelectionQuery("PRAGMA user_version = " + std::to_string(version), db);
}

void MSDBStorage::enableAutoVacuumInOpenedDatabase(sqlite3* db) {
  if (querySingleValue("PRAGMA auto_vacuum", db) != 1) {
    MSLogDebug(kMSLogTag, "Vacuuming database and enabling auto_vacuum");
    executeNonSelectionQuery("PRAGMA auto_vacuum = FULL; VACUUM", db);
  }
}

int MSDBStorage::executeNonSelectionQuery(const std::string& query, sqlite3* db, const MSDBBindings& bindings) {
  if (bindings.empty()) {
    char* message = nullptr;
    const int code = sqlite3_exec(db, query.c_str(), nullptr, nullptr, &message);
    if (code != SQLITE_OK) logQueryFailure(query, code, db);
    sqlite3_free(message);
    return code;
  }
  sqlite3_stmt* statement = nullptr;
  int code = sqlite3_prepare_v2(db, query.c_str(), static_cast<int>(query.size()), &statement, nullptr);
  if (code != SQLITE_OK) {
    logQueryFailure(query, code, db);
    return code;
  }
  StatementFinalizer finalizer{statement};
  code = bindAll(statement, bindings);
  if (code == SQLITE_OK) {
    do {
      code = sqlite3_step(statement);
    } while (code == SQLITE_ROW);
    if (code == SQLITE_DONE) code = SQLITE_OK;
  }
  if (code != SQLITE_OK) logQueryFailure(query, code, db);
  return code;
}

std::vector<MSDBRow> MSDBStorage::executeSelectionQuery(const std::string& query, sqlite3* db,
                                                        const MSDBBindings& bindings, int* result) {
  std::vector<MSDBRow> rows;
  sqlite3_stmt* statement = nullptr;
  int code = sqlite3_prepare_v2(db, query.c_str(), static_cast<int>(query.size()), &statement, nullptr);
  if (code != SQLITE_OK) {
    MSLogError(kMSLogTag, "Query \"%s\" failed with error: %d - %s", query.c_str(), code, sqlite3_errmsg(db));
    if (result != nullptr) *result = code;
    return rows;
  }
  StatementFinalizer finalizer{statement};
  code = bindAll(statement, bindings);
  while (code == SQLITE_OK && (code = sqlite3_step(statement)) == SQLITE_ROW) {
    const int columns = sqlite3_column_count(statement);
    MSDBRow row;
    row.reserve(static_cast<std::size_t>(columns));
    for (int i = 0; i < columns; ++i) {
      switch (sqlite3_column_type(statement, i)) {
        case SQLITE_TEXT: {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
          const int length = sqlite3_column_bytes(statement, i);
          row.emplace_back(std::string(text != nullptr ? text : "", static_cast<std::size_t>(length)));
          break;
        }
        case SQLITE_INTEGER:
          // Whole 64 bits: timestamps in milliseconds do not fit 32.
          row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(statement, i)));
          break;
        default:
          row.emplace_back(nullptr);
      }
    }
    if (!row.empty()) rows.push_back(std::move(row));
    code = SQLITE_OK;
  }
  if (code == SQLITE_DONE) code = SQLITE_OK;
  if (code != SQLITE_OK) {
    MSLogError(kMSLogTag, "Query \"%s\" failed with error: %d - %s", query.c_str(), code, sqlite3_errmsg(db));
  }
  if (result != nullptr) *result = code;
  return rows;
}

std::string MSDBStorage::fileURI(const fs::path& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file://";
  for (unsigned char c : path.string()) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                       c == '-' || c == '_' || c == '.' || c == '~';
    if (plain) {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 0xF];
    }
  }
  return uri;
}

sqlite3* MSDBStorage::openDatabaseAtFileURL(const fs::path& fileURL, int* result) {
  sqlite3* db = nullptr;
  const int code = sqlite3_open_v2(fileURI(fileURL).c_str(), &db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr);
  if (result != nullptr) *result = code;
  if (code != SQLITE_OK) {
    MSLogError(kMSLogTag, "Failed to open database with result: %d.", code);
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

std::int64_t MSDBStorage::querySingleValue(const std::string& query, sqlite3* db) {
  const auto rows = executeSelectionQuery(query, db);
  if (rows.empty()) return 0;
  return MSDBInteger(rows.front(), 0).value_or(0);
}

std::int64_t MSDBStorage::getPageSizeInOpenedDatabase(sqlite3* db) { return querySingleValue("PRAGMA page_size;", db); }
std::int64_t MSDBStorage::getPageCountInOpenedDatabase(sqlite3* db) {
  return querySingleValue("PRAGMA page_count;", db);
}
std::int64_t MSDBStorage::getMaxPageCountInOpenedDatabase(sqlite3* db) {
  return querySingleValue("PRAGMA max_page_count;", db);
}

int MSDBStorage::setMaxPageCount(std::int64_t maxPageCount, sqlite3* db) {
  // The pragma answers the resulting limit as a row; run it as a selection to read past it.
  int code = SQLITE_OK;
  executeSelectionQuery("PRAGMA max_page_count = " + std::to_string(maxPageCount) + ";", db, {}, &code);
  return code;
}
