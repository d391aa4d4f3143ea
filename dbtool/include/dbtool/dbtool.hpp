#pragma once

// Database tools for the host: process-wide database settings, connections to MySQL/MariaDB and
// PostgreSQL servers, a connection test that also covers SQL Server, schema listing and statement
// execution.
//
// Status and failure lines of these tools go to standard output, one line per event, flushed.
//
// Values in fetched rows (one Value per column):
//   NULL                                   -> null
//   integer columns (also MySQL YEAR, BIT) -> integer (BIGINT UNSIGNED as unsigned integer)
//   float / double columns                 -> floating-point number (NaN and infinities included)
//   PostgreSQL boolean                     -> boolean (MySQL BOOL is TINYINT, so an integer)
//   decimal / numeric                      -> text exactly as the server writes it ("9.50"), so no
//                                             digit is lost
//   dates, times, timestamps, intervals    -> text in the server's ISO form ("2024-01-31",
//                                             "2024-01-31 10:00:00", "10:00:00")
//   binary data (bytea, BLOB, BINARY, ...) -> Value binary (Value::binary_t), never text
//   everything else (text, enum, json, ...) -> text (UTF-8; connections talk UTF-8)

#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dbtool/export.hpp"

namespace dbtool {

using Value = nlohmann::ordered_json;

// A failure reported by a database client or server. what() is the client's message text,
// unchanged apart from trailing line breaks.
class DBTOOL_EXPORT DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failure of the connection itself (cannot connect, connection lost, timeout).
class DBTOOL_EXPORT OperationalError : public DatabaseError {
 public:
  using DatabaseError::DatabaseError;
};

// ---------------------------------------------------------------------------------------------
// Settings

// The five process-wide settings used by the schema and query operations. They are read from the
// environment variables db_user, db_password, db_host and db_name once, when the library is
// loaded (defaults: "root", "tqzn", absent, absent; a set but empty variable gives the empty
// text); db_port starts at 3306.
struct DBTOOL_EXPORT DatabaseSettings {
  std::optional<std::string> db_name;
  std::string db_user;
  std::string db_password;
  std::optional<std::string> db_host;
  Value db_port = 3306;  // always an integer: signed or unsigned 64 bits, as it was given
};

// A copy of the current settings. Replacements are made under a lock, so a copy never mixes two
// replacements.
DBTOOL_EXPORT DatabaseSettings database_settings();

// Replaces all five settings. An absent text is std::nullopt; the port is any Value and must be an
// integer (signed or unsigned 64 bits; true, 3306.0, "3306" and null are not integers). Otherwise
// throws std::invalid_argument("All parameters must be provided and 'port' must be an integer.")
// and changes nothing. Empty texts and any integer port (0 included, no range check) are accepted.
DBTOOL_EXPORT void set_database_config(const std::optional<std::string>& name,
                                       const std::optional<std::string>& user,
                                       const std::optional<std::string>& password,
                                       const std::optional<std::string>& host, const Value& port);

// Names of the settings that are absent or empty, in the order db_name, db_user, db_password,
// db_host, db_port. Prints "The following configuration variables are invalid: a, b" or
// "All configuration variables are set correctly.".
DBTOOL_EXPORT std::vector<std::string> check_db_config_variables();

// Every connection attempt of this library (MySQL, PostgreSQL and SQL Server) gives up after this
// many seconds; failure texts of attempts stopped by it say so. Default 10 s; at least 2 s (the
// PostgreSQL client does not go below 2 s), else std::invalid_argument.
DBTOOL_EXPORT void set_connect_timeout(std::chrono::seconds timeout);
DBTOOL_EXPORT std::chrono::seconds connect_timeout();

// ---------------------------------------------------------------------------------------------
// Connections

enum class RowKind {
  positional,  // each row is an array of values in column order
  by_name,     // each row is an object column name -> value, in column order; when two columns
               // share a name the later value is kept at the first one's place
};

class Connection;

// Runs statements on a connection and fetches their rows. Closed when destroyed. A cursor keeps
// its connection's client handle alive; after the connection is closed, execute() fails with
// "connection already closed". Not safe to use from several threads at once, nor concurrently
// with other cursors of the same connection.
class DBTOOL_EXPORT Cursor {
 public:
  Cursor(Cursor&&) noexcept;
  Cursor& operator=(Cursor&&) noexcept;
  ~Cursor();

  // Sends the text to the server unchanged, with no parameters. The previous result is dropped.
  // Throws DatabaseError (OperationalError when the connection failed) with the server's text.
  void execute(const std::string& sql);
  // PostgreSQL only: the parameters are bound to the placeholders $1..$n by the server, as text.
  // On MySQL connections throws DatabaseError.
  void execute(const std::string& sql, const std::vector<std::string>& params);
  // Whether the last statement produced a result set (even one without rows).
  bool has_result_set() const;
  // Column names of the last result set; empty without one.
  std::vector<std::string> columns() const;
  // Rows affected (statements without a result set) or returned; -1 before any statement.
  std::int64_t rowcount() const;
  // All remaining rows of the last result set as an array (empty without a result set).
  Value fetchall();
  // Idempotent. Later calls of execute/fetchall throw DatabaseError("cursor already closed").
  void close() noexcept;
  bool closed() const noexcept;

  struct Impl;

 private:
  friend class Connection;
  explicit Cursor(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// An open connection owned by the caller; closed when destroyed. Work is transactional on both
// engines: the first statement after connect or commit opens a transaction, commit() makes it
// permanent, and closing without commit() rolls it back. Not safe to use from several threads at
// once; distinct connections may be used on distinct threads.
class DBTOOL_EXPORT Connection {
 public:
  Connection(Connection&&) noexcept;
  Connection& operator=(Connection&&) noexcept;
  ~Connection();

  // A cursor with the connection's row kind: by_name for connections of get_mysql_db_connection,
  // positional for those of get_pgdb_connection.
  Cursor cursor();
  Cursor cursor(RowKind kind);
  void commit();
  void rollback();
  // With autocommit on, every statement is committed by itself (needed for statements that cannot
  // run in a transaction, such as CREATE DATABASE on PostgreSQL). Off by default. Switch it
  // before the first statement or right after commit()/rollback(); on PostgreSQL switching with a
  // transaction open throws DatabaseError.
  void set_autocommit(bool on);
  // Idempotent; never throws.
  void close() noexcept;
  bool closed() const noexcept;

  struct Impl;
  explicit Connection(std::shared_ptr<Impl> impl);

 private:
  std::shared_ptr<Impl> impl_;
};

// Parameters of the three connection operations come in this order: user, password, host, port,
// database name. An absent text leaves the client's default (MySQL: local socket for the host, no
// default database; PostgreSQL: its usual defaults). Texts holding a NUL character are rejected,
// since the clients would silently cut them there.

// MySQL/MariaDB connection whose cursors give rows by column name. On failure prints
// "Failed to connect to the database: <error>" and returns std::nullopt. A port outside 0..65535
// is a failure (the client would silently use another port).
DBTOOL_EXPORT std::optional<Connection> get_mysql_db_connection(
    const std::optional<std::string>& db_user, const std::optional<std::string>& db_password,
    const std::optional<std::string>& db_host, std::int64_t db_port,
    const std::optional<std::string>& db_name);

// PostgreSQL connection with positional rows. When connecting fails (OperationalError) prints
// "The error '<error>' occurred" and returns std::nullopt. A text holding a NUL character throws
// std::invalid_argument, printing nothing.
DBTOOL_EXPORT std::optional<Connection> get_pgdb_connection(
    const std::optional<std::string>& db_user, const std::optional<std::string>& db_password,
    const std::optional<std::string>& db_host, std::int64_t db_port,
    const std::optional<std::string>& db_name);

// Connection test. engine is "MySQL", "PostgreSQL" or "MsSQL" (exact, case-sensitive). Returns
// "Success! Connection Established! .", "Unsupported SQL engine specified." or
// "Failed to connect to <engine> database: <error>". Prints nothing, never throws.
//
// SQL Server is reached through ODBC with the driver named "SQL Server" (FreeTDS). The attempt runs
// in a short-lived child process (libexec/dbtool-mssql-connect next to this library) that the call
// stops when the connect timeout passes, because the driver's own login timeout does not end an
// attempt against a server that accepts and stays silent. The child finds the driver through the
// ODBCSYSINI directory: the host's ODBCSYSINI when set, else the odbcinst.ini shipped with this
// library (etc/odbc next to lib/). The host's own environment is never changed.
DBTOOL_EXPORT std::string get_db_connection(const std::string& engine,
                                            const std::optional<std::string>& db_user,
                                            const std::optional<std::string>& db_password,
                                            const std::optional<std::string>& db_host,
                                            std::int64_t db_port,
                                            const std::optional<std::string>& db_name);

// The SQL Server connection text: "DRIVER={SQL Server};SERVER=<host>,<port>;DATABASE=<name>;
// UID=<user>;PWD=<password>". A value holding ";", "{" or "}" is written in braces with each "}"
// doubled; other values (absent ones as empty) are written as they are.
DBTOOL_EXPORT std::string sql_server_connection_text(const std::optional<std::string>& db_user,
                                                     const std::optional<std::string>& db_password,
                                                     const std::optional<std::string>& db_host,
                                                     std::int64_t db_port,
                                                     const std::optional<std::string>& db_name);

// ---------------------------------------------------------------------------------------------
// Schema and statements on the configured database (settings read afresh at every call; each
// call opens and closes its own connection).

// Object table name -> array of {"name": column, "type": type}, in the server's order. Absent when
// no connection could be made; on a later failure prints "An error occurred: <error>" and returns
// what was read before it. MySQL table names are quoted as identifiers, so every table is read;
// PostgreSQL reads the tables of schema public with their columns in ordinal order.
DBTOOL_EXPORT std::optional<Value> get_mysql_database_schema();
DBTOOL_EXPORT std::optional<Value> get_pgdb_schema();

// Runs one statement and commits it. MySQL: returns the fetched rows (objects by column name; an
// empty array for statements without a result set). PostgreSQL: returns the rows (arrays) of a
// statement that produced a result set (SELECT, WITH ... SELECT, (SELECT ...), INSERT ...
// RETURNING), and std::nullopt for other statements. On failure prints
// "An error occurred while executing the query: <error>" and returns std::nullopt (nothing is
// committed).
DBTOOL_EXPORT std::optional<Value> execute_mysql_query(const std::string& sql_query);
DBTOOL_EXPORT std::optional<Value> execute_pgdb_query(const std::string& sql_query);

}  // namespace dbtool
