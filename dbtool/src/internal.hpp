#pragma once

// Private plumbing shared by the translation units of dbtool.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dbtool/dbtool.hpp"

namespace dbtool {

// The outcome of one statement, converted to Values right away so that cursors of one
// connection never share client result state.
struct StatementResult {
  bool has_result_set = false;
  std::vector<std::string> columns;
  Value rows = Value::array();  // already in the cursor's row kind
  std::int64_t rowcount = -1;
};

// One engine's client handle. Methods throw DatabaseError / OperationalError with the client's
// text; after close() they throw DatabaseError("connection already closed").
struct Connection::Impl {
  explicit Impl(RowKind kind) : default_kind(kind) {}
  virtual ~Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  virtual StatementResult run(const std::string& sql, RowKind kind) = 0;
  // Parameters bound to $1..$n (PostgreSQL only).
  virtual StatementResult run_params(const std::string& sql, const std::vector<std::string>& params,
                                     RowKind kind);
  virtual void commit() = 0;
  virtual void rollback() = 0;
  virtual void set_autocommit(bool on) = 0;
  virtual void close() noexcept = 0;
  virtual bool closed() const noexcept = 0;

  const RowKind default_kind;
};

struct Cursor::Impl {
  Impl(std::shared_ptr<Connection::Impl> connection, RowKind row_kind)
      : conn(std::move(connection)), kind(row_kind) {}
  void check_open() const;

  std::shared_ptr<Connection::Impl> conn;
  RowKind kind;
  StatementResult result;
  std::size_t next_row = 0;
  bool is_closed = false;
};

namespace detail {

// Client-side checks and connects. The port is an integer Value (signed or unsigned 64 bits, as the
// settings store it). Throw OperationalError when the server cannot be reached or refuses,
// std::invalid_argument for a text holding a NUL character or a port no client can use.
std::shared_ptr<Connection::Impl> connect_mysql(const std::optional<std::string>& user,
                                                const std::optional<std::string>& password,
                                                const std::optional<std::string>& host,
                                                const Value& port,
                                                const std::optional<std::string>& name,
                                                RowKind kind);
std::shared_ptr<Connection::Impl> connect_postgres(const std::optional<std::string>& user,
                                                   const std::optional<std::string>& password,
                                                   const std::optional<std::string>& host,
                                                   const Value& port,
                                                   const std::optional<std::string>& name);
// Connects to SQL Server through the helper process and disconnects again; throws
// OperationalError with the driver's text on failure.
void test_sql_server_connection(const std::string& connection_text);

void check_no_nul(const std::optional<std::string>& text, std::string_view what);
// Client texts end in line breaks; the messages embed them without.
std::string trim_trailing_space(std::string text);
// Appended to the text of a failed connect that the connect timeout ended.
std::string timeout_note(std::chrono::seconds timeout);
// A floating-point column value in the servers' text form ("1.5", "NaN", "-Infinity"), read
// independently of the process locale. Text that is no number is kept as text.
Value parse_double(const char* data, std::size_t length);
// One status line on standard output, flushed.
void print_line(const std::string& line);

// Directory holding libdbtool.so, found through the loader; empty when unknown.
std::string library_directory();

}  // namespace detail
}  // namespace dbtool
