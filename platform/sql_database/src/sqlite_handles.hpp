#pragma once

#include <sqlite3.h>

#include <memory>

namespace sql_database {

struct SqliteDbCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct SqliteStmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
};
using SqliteDb = std::unique_ptr<sqlite3, SqliteDbCloser>;
using SqliteStmt = std::unique_ptr<sqlite3_stmt, SqliteStmtFinalizer>;

}  // namespace sql_database
