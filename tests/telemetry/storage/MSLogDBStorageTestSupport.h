// Logs and raw database access for the log store tests.
#pragma once

#include "telemetry/ZerEvuzev/Model/CommonSchema/MSCommonSchemaLog.h"
#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"
#include "telemetry/ZerEvuzev/Util/MSUtility.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

// An event log numbered by its session id ("seq-<n>"), made at a millisecond-precise time in
// 2025 (past 32 bits), optionally padded with a property of `padding` characters.
inline MSLogPtr MSNumberedLog(int n, std::size_t padding = 0) {
  auto log = std::make_shared<MSLogWithProperties>();
  log->type = "event";
  log->timestamp = vx::Date(std::chrono::milliseconds(1765400000000LL + n));
  log->sid = "seq-" + std::to_string(n);
  if (padding > 0) log->properties = std::map<std::string, std::string>{{"pad", std::string(padding, 'p')}};
  return log;
}

inline std::shared_ptr<MSCommonSchemaLog> MSTokenLog(int n, const std::string& token) {
  auto log = std::make_shared<MSCommonSchemaLog>();
  log->ver = "3.0";
  log->name = "event" + std::to_string(n);
  log->timestamp = vx::Date(std::chrono::milliseconds(1765400000000LL + n));
  log->sid = "seq-" + std::to_string(n);
  log->addTransmissionTargetToken(token);
  return log;
}

inline std::string MSLogSeq(const MSLogPtr& log) { return log && log->sid ? *log->sid : "?"; }

// A file name of the running test (each test its own database).
inline std::string MSTestDatabaseName() {
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "-" + info->name() + ".sqlite";
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

inline std::filesystem::path MSDatabasePath(const std::string& name) {
  return *MSUtility::fullURLForPathComponent(name);
}

// Reads the database directly through SQLite: the first column of every row of a query.
inline std::vector<std::string> MSRawColumn(const std::string& name, const std::string& query) {
  std::vector<std::string> values;
  sqlite3* db = nullptr;
  if (sqlite3_open(MSDatabasePath(name).c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    ADD_FAILURE() << "cannot open " << name;
    return values;
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const auto* text = sqlite3_column_text(statement, 0);
      values.emplace_back(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
  } else {
    ADD_FAILURE() << sqlite3_errmsg(db);
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return values;
}

inline void MSRawExecute(const std::string& name, const std::string& sql) {
  std::filesystem::create_directories(MSDatabasePath(name).parent_path());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(MSDatabasePath(name).c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}
