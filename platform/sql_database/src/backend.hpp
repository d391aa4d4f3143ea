#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "result_text.hpp"
#include "sql_database/custom_sql_database.hpp"
#include "uri.hpp"

namespace sql_database {

// A table or view as the catalog lists it.
struct TableEntry {
  std::string name;
  bool is_view = false;
  std::string key;  // backend-specific handle (the PostgreSQL oid)
};

// One kind of database. Implementations are thread-safe: each call takes its own connection.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual const std::string& dialect() const noexcept = 0;
  // Runs one model-written statement read-only, streaming its rows into `out`.
  virtual void run(std::string_view sql, ResultText& out) const = 0;
  // Every table and view of the database (or schema) the wrapper works on, any order.
  virtual std::vector<TableEntry> list_tables() const = 0;
  // The CREATE statement of a table or view.
  virtual std::string create_statement(const TableEntry& table) const = 0;
  // The name as a quoted identifier of the dialect (see quote_name).
  virtual std::string quote_identifier(std::string_view name) const = 0;
  // What the account may do beyond reading, found when the backend was made.
  virtual const AccountPrivileges& account_privileges() const noexcept = 0;
};

// Backend settings that are not options of the wrapper.
struct MysqlTuning {
  // Set the server's own statement time limit (max_statement_time / max_execution_time). Off
  // only to stand for a server whose limit does not cover a statement, so that the client-side
  // stop is what ends it.
  bool server_time_limit = true;
};

std::unique_ptr<Backend> make_sqlite_backend(const ParsedUri& uri, const DatabaseOptions& options);
std::unique_ptr<Backend> make_postgres_backend(const ParsedUri& uri,
                                               const DatabaseOptions& options);
std::unique_ptr<Backend> make_mysql_backend(const ParsedUri& uri, const DatabaseOptions& options,
                                            const MysqlTuning& tuning = {});

// The statement text without surrounding blanks and trailing semicolons; empty when the text
// holds nothing else.
std::string_view trim_statement(std::string_view sql) noexcept;

// `name` between two `quote` characters, each quote inside it doubled: the identifier quoting of
// SQLite and PostgreSQL ('"') and MySQL ('`').
std::string quote_name(std::string_view name, char quote);

// Whether a statement may take a session-level lock (PostgreSQL's advisory locks, MySQL's
// GET_LOCK): every function that does has "lock" in its name. Such locks outlive the statement's
// transaction, so the backends release them before the connection goes back to the pool; the
// test keeps that extra round trip off every other statement.
bool may_take_session_lock(std::string_view sql) noexcept;

// A small pool of connections of one kind. acquire() hands out an idle connection or opens a new
// one while fewer than `max_size` are open, and otherwise waits for one to come back. A lease
// gives its connection back when it ends, unless it was marked broken (then it is closed).
//
// Thread-safe.
template <class Connection>
class ConnectionPool {
 public:
  using Factory = std::function<std::unique_ptr<Connection>()>;

  ConnectionPool(Factory factory, std::size_t max_size)
      : factory_(std::move(factory)), max_size_(max_size == 0 ? 1 : max_size) {}

  class Lease {
   public:
    Lease(ConnectionPool* pool, std::unique_ptr<Connection> conn)
        : pool_(pool), conn_(std::move(conn)) {}
    Lease(Lease&& other) noexcept
        : pool_(std::exchange(other.pool_, nullptr)),
          conn_(std::move(other.conn_)),
          broken_(other.broken_) {}
    Lease& operator=(Lease&&) = delete;
    Lease(const Lease&) = delete;
    ~Lease() {
      if (pool_ != nullptr) pool_->give_back(std::move(conn_), broken_);
    }
    Connection& operator*() const noexcept { return *conn_; }
    Connection* operator->() const noexcept { return conn_.get(); }
    // The connection is unusable (lost, or in an unknown state): close it instead of reusing it.
    void mark_broken() noexcept { broken_ = true; }

   private:
    ConnectionPool* pool_;
    std::unique_ptr<Connection> conn_;
    bool broken_ = false;
  };

  Lease acquire() {
    std::unique_lock lock(mutex_);
    available_.wait(lock, [&] { return !idle_.empty() || open_ < max_size_; });
    if (!idle_.empty()) {
      auto conn = std::move(idle_.back());
      idle_.pop_back();
      return Lease(this, std::move(conn));
    }
    ++open_;
    lock.unlock();
    try {
      return Lease(this, factory_());
    } catch (...) {
      lock.lock();
      --open_;
      available_.notify_one();
      throw;
    }
  }

 private:
  void give_back(std::unique_ptr<Connection> conn, bool broken) {
    std::unique_ptr<Connection> closing;
    {
      std::lock_guard lock(mutex_);
      if (broken || conn == nullptr) {
        --open_;
        closing = std::move(conn);
      } else {
        idle_.push_back(std::move(conn));
      }
    }
    available_.notify_one();
  }

  Factory factory_;
  std::size_t max_size_;
  std::mutex mutex_;
  std::condition_variable available_;
  std::vector<std::unique_ptr<Connection>> idle_;
  std::size_t open_ = 0;
};

}  // namespace sql_database
