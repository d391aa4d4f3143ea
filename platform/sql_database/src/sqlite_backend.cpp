#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include "backend.hpp"
#include "sqlite_handles.hpp"

namespace sql_database {
namespace {

using Clock = std::chrono::steady_clock;

// The longest text or blob a statement may make or read: large enough for any value a question
// needs, small enough that one function call (hex(randomblob(...)), replace(...)) ends quickly,
// where the progress handler that enforces the timeout cannot interrupt it.
constexpr int kMaxValueBytes = 64 * 1024 * 1024;

struct SqliteConnection {
  SqliteDb db;
  Clock::time_point deadline = Clock::time_point::max();
  bool timed_out = false;
  // Where the authorizer is called from: 0 outside the preparation of a model-written statement
  // (statements SQLite and its modules prepare for themselves while running one), 1 at the start
  // of that preparation, 2 once its first action has been authorized.
  int preparing = 0;
};

// Pragmas that only describe the schema (the table-valued functions pragma_table_info(...) and
// the like run them), and the two the full-text modules query for themselves.
bool read_only_pragma(const char* name, const char* argument) {
  if (name == nullptr) return false;
  for (const char* allowed :
       {"table_info", "table_xinfo", "index_list", "index_info", "index_xinfo", "foreign_key_list"})
    if (sqlite3_stricmp(name, allowed) == 0) return true;
  if (argument != nullptr) return false;  // "PRAGMA page_size = 4096" sets the value
  return sqlite3_stricmp(name, "page_size") == 0 || sqlite3_stricmp(name, "data_version") == 0;
}

// Functions no read needs: they load code, touch files, or hand out or install native pointers
// (fts3_tokenizer('name', x'...') makes the full-text module call any address).
bool refused_function(const char* name) {
  if (name == nullptr) return false;
  for (const char* refused :
       {"fts3_tokenizer", "load_extension", "readfile", "writefile", "edit", "fts5"})
    if (sqlite3_stricmp(name, refused) == 0) return true;
  return false;
}

// Admits what reading needs and nothing else. Called by SQLite while a statement is prepared,
// so a refused statement never runs.
int authorize(void* user, int action, const char* arg1, const char* arg2, const char*,
              const char*) {
  auto* conn = static_cast<SqliteConnection*>(user);
  // The statement's own first action tells what kind of statement it is.
  const bool statement_itself = conn->preparing == 1;
  if (conn->preparing == 1) conn->preparing = 2;
  switch (action) {
    case SQLITE_SELECT:
    case SQLITE_READ:
    case SQLITE_RECURSIVE:
      return SQLITE_OK;
    case SQLITE_FUNCTION:
      return refused_function(arg2) ? SQLITE_DENY : SQLITE_OK;
    case SQLITE_PRAGMA:
      // A PRAGMA statement is refused; the read-only pragmas are admitted where table-valued
      // functions and the full-text modules run them.
      return !statement_itself && read_only_pragma(arg1, arg2) ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_UPDATE:
      // A virtual table's first use in a connection declares its columns through a CREATE TABLE
      // text whose schema update is checked but never run; real writes are refused by the
      // read-only open and the read-only statement check.
      return !statement_itself && arg1 != nullptr &&
                     (sqlite3_stricmp(arg1, "sqlite_master") == 0 ||
                      sqlite3_stricmp(arg1, "sqlite_schema") == 0)
                 ? SQLITE_OK
                 : SQLITE_DENY;
    default:
      return SQLITE_DENY;
  }
}

int check_deadline(void* user) {
  auto* conn = static_cast<SqliteConnection*>(user);
  if (Clock::now() < conn->deadline) return 0;
  conn->timed_out = true;
  return 1;
}

// Skips blanks, comments and empty statements; true when nothing else is left.
bool only_blank(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v' || c == ';') {
      ++i;
    } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
      const auto nl = s.find('\n', i);
      i = nl == std::string_view::npos ? s.size() : nl + 1;
    } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      const auto end = s.find("*/", i + 2);
      i = end == std::string_view::npos ? s.size() : end + 2;
    } else {
      return false;
    }
  }
  return true;
}

class SqliteBackend final : public Backend {
 public:
  SqliteBackend(std::string path, const DatabaseOptions& options)
      : path_(std::move(path)),
        options_(options),
        pool_([this] { return open(); }, options.pool_size) {
    // Open one connection now, so that a missing or foreign file is reported at once.
    auto lease = pool_.acquire();
    SqliteStmt stmt = prepare(*lease, "SELECT count(*) FROM sqlite_master");
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) fail(*lease, "cannot read " + path_);
  }

  const std::string& dialect() const noexcept override { return dialect_; }

  void run(std::string_view sql, ResultText& out) const override {
    auto lease = pool_.acquire();
    SqliteConnection& conn = *lease;
    const char* tail = nullptr;
    sqlite3_stmt* raw = nullptr;
    conn.preparing = 1;
    const int rc =
        sqlite3_prepare_v2(conn.db.get(), sql.data(), static_cast<int>(sql.size()), &raw, &tail);
    conn.preparing = 0;
    SqliteStmt stmt(raw);
    if (rc != SQLITE_OK) fail(conn);
    if (stmt == nullptr) throw DatabaseError("the SQL text holds no statement");
    const std::string_view rest(tail, static_cast<std::size_t>(sql.data() + sql.size() - tail));
    if (!only_blank(rest))
      throw DatabaseError(
          "You can only execute one statement at a time: text follows the first statement: " +
          std::string(rest.substr(0, 80)));
    if (sqlite3_stmt_readonly(stmt.get()) == 0)
      throw DatabaseError("attempt to write a readonly database");
    execute(conn, stmt.get(), out);
  }

  std::vector<TableEntry> list_tables() const override {
    auto lease = pool_.acquire();
    SqliteStmt stmt =
        prepare(*lease,
                "SELECT name, type FROM sqlite_master WHERE type IN ('table', 'view') "
                "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'");
    std::vector<TableEntry> tables;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
      TableEntry entry;
      entry.name = column_text(stmt.get(), 0);
      entry.is_view = column_text(stmt.get(), 1) == "view";
      tables.push_back(std::move(entry));
    }
    if (rc != SQLITE_DONE) fail(*lease);
    return tables;
  }

  std::string create_statement(const TableEntry& table) const override {
    auto lease = pool_.acquire();
    SqliteStmt stmt = prepare(*lease, "SELECT sql FROM sqlite_master WHERE name = ?1");
    sqlite3_bind_text(stmt.get(), 1, table.name.data(), static_cast<int>(table.name.size()),
                      SQLITE_TRANSIENT);
    const int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_ROW) return column_text(stmt.get(), 0);
    if (rc != SQLITE_DONE) fail(*lease);
    return {};
  }

  std::string quote_identifier(std::string_view name) const override {
    return quote_name(name, '"');
  }

  const AccountPrivileges& account_privileges() const noexcept override { return privileges_; }

 private:
  std::unique_ptr<SqliteConnection> open() const {
    auto conn = std::make_unique<SqliteConnection>();
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    conn->db.reset(raw);
    if (rc != SQLITE_OK) {
      std::string message = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
      throw DatabaseError(message + ": " + path_);
    }
    sqlite3_extended_result_codes(raw, 1);
    // Every switch that lets SQL reach native code or the schema's own code stays off, whatever
    // the library was built with.
    sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(raw, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_limit(raw, SQLITE_LIMIT_LENGTH, kMaxValueBytes);
    sqlite3_limit(raw, SQLITE_LIMIT_ATTACHED, 0);
    const auto timeout_ms = options_.statement_timeout.count();
    sqlite3_busy_timeout(
        raw, timeout_ms > 0 && timeout_ms < 1000000000 ? static_cast<int>(timeout_ms) : 1000000000);
    sqlite3_set_authorizer(raw, authorize, conn.get());
    if (timeout_ms > 0) sqlite3_progress_handler(raw, 1000, check_deadline, conn.get());
    return conn;
  }

  SqliteStmt prepare(SqliteConnection& conn, const char* sql) const {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(conn.db.get(), sql, -1, &raw, nullptr) != SQLITE_OK) {
      SqliteStmt guard(raw);
      fail(conn);
    }
    return SqliteStmt(raw);
  }

  static std::string column_text(sqlite3_stmt* stmt, int i) {
    const auto* text = sqlite3_column_text(stmt, i);
    if (text == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<std::size_t>(sqlite3_column_bytes(stmt, i)));
  }

  void execute(SqliteConnection& conn, sqlite3_stmt* stmt, ResultText& out) const {
    const int ncols = sqlite3_column_count(stmt);
    std::vector<std::string> names;
    for (int i = 0; i < ncols; ++i) {
      const char* name = sqlite3_column_name(stmt, i);
      names.emplace_back(name != nullptr ? name : "");
    }
    out.set_columns(std::move(names));
    conn.timed_out = false;
    if (options_.statement_timeout.count() > 0)
      conn.deadline = Clock::now() + options_.statement_timeout;
    int rc;
    while (!out.done() && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      if (!out.wants_values()) {
        out.skip_row();
        continue;
      }
      out.begin_row();
      for (int i = 0; i < ncols; ++i) {
        switch (sqlite3_column_type(stmt, i)) {
          case SQLITE_INTEGER:
            out.integer(sqlite3_column_int64(stmt, i));
            break;
          case SQLITE_FLOAT:
            out.floating(sqlite3_column_double(stmt, i));
            break;
          case SQLITE_TEXT:
            out.text(std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
                                      static_cast<std::size_t>(sqlite3_column_bytes(stmt, i))));
            break;
          case SQLITE_BLOB: {
            const void* data = sqlite3_column_blob(stmt, i);
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, i));
            out.bytes(data == nullptr ? std::string_view()
                                      : std::string_view(static_cast<const char*>(data), size));
            break;
          }
          default:
            out.null();
        }
      }
      out.end_row();
    }
    conn.deadline = Clock::time_point::max();
    if (out.done()) return;
    if (rc != SQLITE_DONE) {
      if (conn.timed_out) {
        throw DatabaseError("interrupted: the statement ran longer than the statement timeout of " +
                            std::to_string(options_.statement_timeout.count()) + " ms");
      }
      fail(conn);
    }
  }

  [[noreturn]] static void fail(SqliteConnection& conn, const std::string& context = {}) {
    std::string message = sqlite3_errmsg(conn.db.get());
    if ((sqlite3_extended_errcode(conn.db.get()) & 0xff) == SQLITE_TOOBIG)
      message +=
          " (a text or blob may hold at most " + std::to_string(kMaxValueBytes) + " bytes here)";
    if (!context.empty()) message += ": " + context;
    throw DatabaseError(message);
  }

  std::string dialect_ = "sqlite";
  AccountPrivileges privileges_;  // a file has no accounts
  std::string path_;
  DatabaseOptions options_;
  mutable ConnectionPool<SqliteConnection> pool_;
};

}  // namespace

std::unique_ptr<Backend> make_sqlite_backend(const ParsedUri& uri, const DatabaseOptions& options) {
  // Connections opened later must find the same file whatever the working directory is then.
  std::error_code ec;
  auto absolute = std::filesystem::absolute(uri.path, ec);
  return std::make_unique<SqliteBackend>(ec ? uri.path : absolute.string(), options);
}

}  // namespace sql_database
