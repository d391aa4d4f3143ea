#include <mysql.h>

#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend.hpp"

namespace sql_database {
namespace {

struct MysqlCloser {
  void operator()(MYSQL* conn) const noexcept { mysql_close(conn); }
};
struct MysqlResultFreer {
  void operator()(MYSQL_RES* res) const noexcept { mysql_free_result(res); }
};
using MysqlConn = std::unique_ptr<MYSQL, MysqlCloser>;
using MysqlResult = std::unique_ptr<MYSQL_RES, MysqlResultFreer>;

constexpr unsigned kBinaryCharset = 63;

// "ERROR 1146 (42S02): Table 'shop.x' doesn't exist", as the server's own client shows errors.
std::string error_text(MYSQL* conn) {
  return "ERROR " + std::to_string(mysql_errno(conn)) + " (" + mysql_sqlstate(conn) +
         "): " + mysql_error(conn);
}

// Client-side errors (2000 and up) mean the connection can no longer be trusted.
bool connection_lost(MYSQL* conn) { return mysql_errno(conn) >= 2000; }

class MysqlBackend final : public Backend {
 public:
  MysqlBackend(ParsedUri uri, const DatabaseOptions& options)
      : uri_(std::move(uri)),
        options_(options),
        pool_([this] { return open(); }, options.pool_size) {
    for (const auto& [key, value] : uri_.parameters) {
      if (key == "unix_socket") {
        socket_ = value;
      } else {
        throw std::invalid_argument("unsupported MySQL URI parameter '" + key +
                                    "'; the one accepted is unix_socket=/path/to/socket");
      }
    }
    static std::once_flag library_init;
    std::call_once(library_init, [] { mysql_library_init(0, nullptr, nullptr); });
    auto lease = pool_.acquire();  // reports an unreachable server or a bad login now
    mariadb_ = std::string_view(mysql_get_server_info(lease->get())).find("MariaDB") !=
               std::string_view::npos;
    const auto ms = options_.statement_timeout.count();
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%lld.%03lld", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    // Read-only at session level too: a DDL statement commits the open transaction implicitly
    // and would otherwise run outside it.
    session_settings_ =
        std::string("SET SESSION ") +
        (mariadb_ ? "tx_read_only = 1, max_statement_time = " + std::string(seconds)
                  : "transaction_read_only = 1, max_execution_time = " + std::to_string(ms)) +
        ", time_zone = '+00:00'";
  }

  const std::string& dialect() const noexcept override { return dialect_; }

  void run(std::string_view sql, ResultText& out) const override {
    auto lease = pool_.acquire();
    MYSQL* conn = lease->get();
    // Session variables are not transactional here, so the read-only mode, timeout and time zone
    // are set again before every statement: an earlier statement may have changed them.
    for (const std::string& command :
         {session_settings_, std::string("START TRANSACTION READ ONLY")}) {
      if (mysql_real_query(conn, command.data(), command.size()) != 0) {
        lease.mark_broken();
        throw DatabaseError(error_text(conn));
      }
    }
    std::string error;
    // Without CLIENT_MULTI_STATEMENTS the server parses the text as one statement; a second
    // statement is a syntax error.
    if (mysql_real_query(conn, sql.data(), sql.size()) != 0) {
      error = error_text(conn);
      if (connection_lost(conn)) lease.mark_broken();
    } else if (mysql_field_count(conn) > 0) {
      MysqlResult res(mysql_use_result(conn));
      if (!res) {
        error = error_text(conn);
      } else {
        read_rows(res.get(), out);
        if (mysql_errno(conn) != 0) error = error_text(conn);
      }
      if (!error.empty() && connection_lost(conn)) lease.mark_broken();
    }
    if (mysql_real_query(conn, "ROLLBACK", 8) != 0) {
      lease.mark_broken();
      if (error.empty()) error = error_text(conn);
    } else if (may_take_session_lock(sql)) {
      // User-level locks (GET_LOCK) belong to the session and survive the rollback; a statement
      // must not leave one behind on a pooled connection, where it would block other clients.
      // Servers too old for RELEASE_ALL_LOCKS refuse it; that alone does not spoil the result.
      static constexpr std::string_view kRelease = "DO RELEASE_ALL_LOCKS()";
      if (mysql_real_query(conn, kRelease.data(), kRelease.size()) != 0 && connection_lost(conn))
        lease.mark_broken();
    }
    if (!error.empty()) throw DatabaseError(error);
  }

  std::vector<TableEntry> list_tables() const override {
    auto lease = pool_.acquire();
    auto rows = query(lease,
                      "SELECT TABLE_NAME, TABLE_TYPE = 'VIEW' FROM information_schema.TABLES "
                      "WHERE TABLE_SCHEMA = DATABASE()");
    std::vector<TableEntry> tables;
    for (auto& row : rows) {
      TableEntry entry;
      entry.name = std::move(row[0]);
      entry.is_view = row[1] == "1";
      tables.push_back(std::move(entry));
    }
    return tables;
  }

  std::string create_statement(const TableEntry& table) const override {
    auto lease = pool_.acquire();
    auto rows = query(lease, "SHOW CREATE TABLE " + quote_identifier(table.name));
    if (rows.empty() || rows[0].size() < 2) return {};
    return rows[0][1];
  }

  std::string quote_identifier(std::string_view name) const override {
    std::string out = "`";
    for (char c : name) {
      if (c == '`') out += '`';
      out += c;
    }
    return out + "`";
  }

 private:
  std::unique_ptr<MysqlConn> open() const {
    auto conn = std::make_unique<MysqlConn>(mysql_init(nullptr));
    MYSQL* raw = conn->get();
    if (raw == nullptr) throw DatabaseError("out of memory while connecting to MySQL");
    unsigned int connect_timeout = static_cast<unsigned int>(options_.connect_timeout.count());
    unsigned int no_local_infile = 0;
    mysql_options(raw, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
    mysql_options(raw, MYSQL_OPT_LOCAL_INFILE, &no_local_infile);
    mysql_options(raw, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (options_.statement_timeout.count() > 0) {
      // A guard against a server that stops answering; the statement timeout ends queries first.
      unsigned int read_timeout =
          static_cast<unsigned int>(options_.statement_timeout.count() / 1000 + 30);
      mysql_options(raw, MYSQL_OPT_READ_TIMEOUT, &read_timeout);
    }
    if (socket_.empty()) {
      // "localhost" would otherwise mean the default socket file, not TCP.
      unsigned int protocol = MYSQL_PROTOCOL_TCP;
      mysql_options(raw, MYSQL_OPT_PROTOCOL, &protocol);
    }
    if (mysql_real_connect(raw, uri_.host.c_str(), uri_.user.empty() ? nullptr : uri_.user.c_str(),
                           uri_.password.c_str(), uri_.database.c_str(),
                           static_cast<unsigned>(uri_.port != 0 ? uri_.port : 3306),
                           socket_.empty() ? nullptr : socket_.c_str(), 0) == nullptr)
      throw DatabaseError(error_text(raw));
    return conn;
  }

  using Rows = std::vector<std::vector<std::string>>;

  template <class Lease>
  static Rows query(Lease& lease, const std::string& sql) {
    MYSQL* conn = lease->get();
    if (mysql_real_query(conn, sql.data(), sql.size()) != 0) {
      if (connection_lost(conn)) lease.mark_broken();
      throw DatabaseError(error_text(conn));
    }
    MysqlResult res(mysql_store_result(conn));
    if (!res) {
      if (mysql_errno(conn) != 0) throw DatabaseError(error_text(conn));
      return {};
    }
    Rows rows;
    const unsigned n = mysql_num_fields(res.get());
    while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
      const unsigned long* lengths = mysql_fetch_lengths(res.get());
      std::vector<std::string> values;
      for (unsigned i = 0; i < n; ++i)
        values.emplace_back(row[i] != nullptr ? std::string(row[i], lengths[i]) : std::string());
      rows.push_back(std::move(values));
    }
    return rows;
  }

  static void read_rows(MYSQL_RES* res, ResultText& out) {
    const unsigned n = mysql_num_fields(res);
    const MYSQL_FIELD* fields = mysql_fetch_fields(res);
    std::vector<std::string> names;
    for (unsigned i = 0; i < n; ++i) names.emplace_back(fields[i].name, fields[i].name_length);
    out.set_columns(std::move(names));
    // Every row is read, also those not written: the result must be drained before the
    // connection can be used again, and the left-out rows are counted.
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
      if (out.done()) continue;
      if (!out.wants_values()) {
        out.skip_row();
        continue;
      }
      const unsigned long* lengths = mysql_fetch_lengths(res);
      out.begin_row();
      for (unsigned i = 0; i < n; ++i) {
        if (row[i] == nullptr) {
          out.null();
          continue;
        }
        const std::string_view v(row[i], lengths[i]);
        switch (fields[i].type) {
          case MYSQL_TYPE_TINY:
          case MYSQL_TYPE_SHORT:
          case MYSQL_TYPE_LONG:
          case MYSQL_TYPE_LONGLONG:
          case MYSQL_TYPE_INT24:
          case MYSQL_TYPE_YEAR:
            out.int_text(v);
            break;
          case MYSQL_TYPE_FLOAT:
          case MYSQL_TYPE_DOUBLE:
            out.float_text(v);
            break;
          case MYSQL_TYPE_DECIMAL:
          case MYSQL_TYPE_NEWDECIMAL:
            out.decimal_text(v);
            break;
          case MYSQL_TYPE_DATE:
          case MYSQL_TYPE_NEWDATE:
            out.date_text(v);
            break;
          case MYSQL_TYPE_DATETIME:
          case MYSQL_TYPE_TIMESTAMP:
            out.datetime_text(v);
            break;
          case MYSQL_TYPE_TIME:
            out.duration_text(v);
            break;
          case MYSQL_TYPE_BIT:
          case MYSQL_TYPE_GEOMETRY:
            out.bytes(v);
            break;
          case MYSQL_TYPE_TINY_BLOB:
          case MYSQL_TYPE_MEDIUM_BLOB:
          case MYSQL_TYPE_LONG_BLOB:
          case MYSQL_TYPE_BLOB:
          case MYSQL_TYPE_VAR_STRING:
          case MYSQL_TYPE_STRING:
          case MYSQL_TYPE_VARCHAR:
            if (fields[i].charsetnr == kBinaryCharset) {
              out.bytes(v);
            } else {
              out.text(v);
            }
            break;
          default:
            out.text(v);
        }
      }
      out.end_row();
    }
  }

  std::string dialect_ = "mysql";
  ParsedUri uri_;
  DatabaseOptions options_;
  std::string socket_;
  bool mariadb_ = true;
  std::string session_settings_;
  mutable ConnectionPool<MysqlConn> pool_;
};

}  // namespace

std::unique_ptr<Backend> make_mysql_backend(const ParsedUri& uri, const DatabaseOptions& options) {
  return std::make_unique<MysqlBackend>(uri, options);
}

}  // namespace sql_database
