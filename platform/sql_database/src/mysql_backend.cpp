#include <mysql.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "backend.hpp"
#include "statement_guard.hpp"
#include "text/text.hpp"

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

using Clock = std::chrono::steady_clock;

// Stops statements on the server that run past their deadline: at the deadline it sends
// KILL QUERY for the statement's connection over a connection of its own, so that a statement the
// server's own time limit does not end stops running instead of outliving the call that gave up
// on it. One thread serves every statement of a backend; it starts with the first deadline.
//
// Every deadline lies at least `lead` after the moment it is armed. Arming therefore never needs
// to wake the thread: with nothing to watch it looks again `lead` later, which is before any
// deadline armed in the meantime, so a statement costs no thread switch.
//
// Thread-safe.
class QueryKiller {
 public:
  using Opener = std::function<std::unique_ptr<MysqlConn>()>;

  QueryKiller(Opener open, Clock::duration lead) : open_(std::move(open)), lead_(lead) {}
  ~QueryKiller() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  QueryKiller(const QueryKiller&) = delete;
  QueryKiller& operator=(const QueryKiller&) = delete;

  struct Watch {
    unsigned long thread_id;
    Clock::time_point deadline;
    enum State { waiting, killing, done } state = waiting;
    std::string error;  // why the kill could not be sent
  };
  using Ticket = std::list<Watch>::iterator;

  // Watches the statement about to run on the server thread `thread_id`, until `lead` from now.
  Ticket arm(unsigned long thread_id) {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) thread_ = std::thread([this] { serve(); });
    watches_.push_back(Watch{thread_id, Clock::now() + lead_, Watch::waiting, {}});
    return std::prev(watches_.end());
  }

  struct Outcome {
    bool killed = false;  // KILL QUERY was sent (or tried) for the statement
    std::string error;
  };

  // Ends the watch once the statement has returned. A kill under way is waited for, so that no
  // kill can reach a later statement on the same connection.
  Outcome disarm(Ticket ticket) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return ticket->state != Watch::killing; });
    Outcome outcome{ticket->state == Watch::done, std::move(ticket->error)};
    watches_.erase(ticket);
    return outcome;
  }

 private:
  void serve() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      auto due = watches_.end();
      for (auto it = watches_.begin(); it != watches_.end(); ++it)
        if (it->state == Watch::waiting && (due == watches_.end() || it->deadline < due->deadline))
          due = it;
      if (due == watches_.end()) {
        changed_.wait_until(lock, Clock::now() + lead_);
        continue;
      }
      if (Clock::now() < due->deadline) {
        changed_.wait_until(lock, due->deadline);
        continue;
      }
      due->state = Watch::killing;
      const unsigned long thread_id = due->thread_id;
      lock.unlock();
      std::string error = kill(thread_id);
      lock.lock();
      due->state = Watch::done;
      due->error = std::move(error);
      changed_.notify_all();
    }
  }

  // Runs on the killer's thread only, which owns `control_`.
  std::string kill(unsigned long thread_id) {
    const std::string command = "KILL QUERY " + std::to_string(thread_id);
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        if (!control_) control_ = open_();
      } catch (const std::exception& e) {
        return e.what();
      }
      if (mysql_real_query(control_->get(), command.data(), command.size()) == 0) return {};
      // 1094: the thread is gone already, nothing runs on.
      if (mysql_errno(control_->get()) == 1094) return {};
      const std::string error = error_text(control_->get());
      if (!connection_lost(control_->get())) return error;
      control_.reset();  // a lost control connection is opened again once
      if (attempt == 1) return error;
    }
    return {};
  }

  Opener open_;
  Clock::duration lead_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::list<Watch> watches_;
  bool stopping_ = false;
  std::thread thread_;
  std::unique_ptr<MysqlConn> control_;
};

// How long after the statement timeout the client stops a statement itself: the server's own
// limit, set to the timeout, normally ends it first.
constexpr std::chrono::seconds kKillGrace{1};

class MysqlBackend final : public Backend {
 public:
  MysqlBackend(ParsedUri uri, const DatabaseOptions& options, const MysqlTuning& tuning)
      : uri_(std::move(uri)),
        options_(options),
        pool_([this] { return open(); }, options.pool_size),
        killer_([this] { return open(); }, options.statement_timeout + kKillGrace) {
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
    const std::string time_limit = !tuning.server_time_limit ? std::string()
                                   : mariadb_ ? ", max_statement_time = " + std::string(seconds)
                                              : ", max_execution_time = " + std::to_string(ms);
    session_settings_ = std::string("SET SESSION ") +
                        (mariadb_ ? "tx_read_only = 1" : "transaction_read_only = 1") + time_limit +
                        ", time_zone = '+00:00'";
    privileges_ = read_privileges(lease);
  }

  const std::string& dialect() const noexcept override { return dialect_; }

  void run(std::string_view sql, ResultText& out) const override {
    if (std::string why = refused_statement(sql, ServerDialect::mysql); !why.empty())
      throw DatabaseError(why);
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
    const auto timeout = options_.statement_timeout;
    std::optional<QueryKiller::Ticket> watch;
    if (timeout.count() > 0) watch = killer_.arm(mysql_thread_id(conn));
    try {
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
    } catch (...) {
      // Rows may be left unread: the connection cannot be used again.
      if (watch) killer_.disarm(*watch);
      lease.mark_broken();
      throw;
    }
    if (watch) {
      const QueryKiller::Outcome outcome = killer_.disarm(*watch);
      if (outcome.killed) {
        // The kill may have met the statement just as it ended; the connection is not trusted
        // after it.
        lease.mark_broken();
        if (error.empty()) error = "the statement was stopped";
        error = "interrupted: the statement ran longer than the statement timeout of " +
                std::to_string(timeout.count()) + " ms and was stopped on the server (" + error +
                ")";
        if (!outcome.error.empty())
          error += "; stopping it failed, so it may still run there: " + outcome.error;
        throw DatabaseError(error);
      }
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
    return quote_name(name, '`');
  }

  const AccountPrivileges& account_privileges() const noexcept override { return privileges_; }

 private:
  // The global grants of the account (those ON *.*) that reach the server's files or stop or
  // reconfigure it.
  template <class Lease>
  AccountPrivileges read_privileges(Lease& lease) const {
    AccountPrivileges found;
    try {
      for (const auto& row : query(lease, "SHOW GRANTS")) {
        if (row.empty()) continue;
        const std::string& grant = row[0];
        const auto on = grant.find(" ON *.* TO ");
        if (grant.rfind("GRANT ", 0) != 0 || on == std::string::npos) continue;
        // "GRANT SELECT, FILE, SHUTDOWN ON *.* TO ..."
        for (std::string_view item : text::split(std::string_view(grant).substr(6, on - 6), ',')) {
          item = text::trim(item, " ");
          if (item == "ALL PRIVILEGES" || item == "ALL") {
            found.reasons.push_back("ALL PRIVILEGES");
          } else if (item == "FILE" || item == "SUPER" || item == "SHUTDOWN") {
            found.reasons.push_back(std::string(item) + " privilege");
          }
        }
      }
      const auto rows = query(lease, "SELECT DATABASE()");
      const std::string database =
          quote_identifier(!rows.empty() && !rows[0].empty() ? rows[0][0] : uri_.database);
      found.read_only_grants =
          "CREATE USER 'askdb_reader'@'%' IDENTIFIED BY 'choose-a-password';\n"
          "GRANT SELECT, SHOW VIEW ON " +
          database + ".* TO 'askdb_reader'@'%';";
    } catch (const DatabaseError& e) {
      found.reasons.push_back(std::string("the account's privileges could not be read: ") +
                              e.what());
    }
    found.privileged = !found.reasons.empty();
    return found;
  }

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
  AccountPrivileges privileges_;
  mutable ConnectionPool<MysqlConn> pool_;
  mutable QueryKiller killer_;
};

}  // namespace

std::unique_ptr<Backend> make_mysql_backend(const ParsedUri& uri, const DatabaseOptions& options,
                                            const MysqlTuning& tuning) {
  return std::make_unique<MysqlBackend>(uri, options, tuning);
}

}  // namespace sql_database
