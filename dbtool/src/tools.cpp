// The host operations: connections, connection test, schema extraction, statement execution.

#include "internal.hpp"

namespace dbtool {
namespace {

constexpr const char* kPgTablesStatement = R"(
                SELECT table_name
                FROM information_schema.tables
                WHERE table_schema = 'public'
            )";

// Only the schema public, whose tables the listing above gives, and in declaration order.
constexpr const char* kPgColumnsStatement = R"(
                    SELECT column_name, data_type
                    FROM information_schema.columns
                    WHERE table_schema = 'public' AND table_name = $1
                    ORDER BY ordinal_position
                )";

// A MySQL identifier in backticks, a backtick inside doubled: any table name reads as itself.
std::string quote_mysql_identifier(const std::string& name) {
  std::string quoted = "`";
  for (char c : name) {
    quoted += c;
    if (c == '`') quoted += '`';
  }
  quoted += '`';
  return quoted;
}

const Value& field(const Value& row, const char* name) {
  auto it = row.find(name);
  if (it == row.end()) throw DatabaseError(std::string("the row has no column '") + name + "'");
  return *it;
}

std::string text_of(const Value& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_binary()) {
    const auto& bytes = value.get_binary();
    return std::string(bytes.begin(), bytes.end());
  }
  return value.dump();
}

void add_table(Value& schema, const std::string& table) {
  // A name that comes again starts over but keeps its first place.
  schema[table] = Value::array();
}

Value column_record(const Value& name, const Value& type) {
  Value record = Value::object();
  record["name"] = name;
  record["type"] = type;
  return record;
}

}  // namespace

namespace {

// The connection operations, with the port as the settings hold it.
std::optional<Connection> mysql_connection(const std::optional<std::string>& db_user,
                                           const std::optional<std::string>& db_password,
                                           const std::optional<std::string>& db_host,
                                           const Value& db_port,
                                           const std::optional<std::string>& db_name) {
  try {
    return Connection(
        detail::connect_mysql(db_user, db_password, db_host, db_port, db_name, RowKind::by_name));
  } catch (const std::exception& error) {
    detail::print_line(std::string("Failed to connect to the database: ") + error.what());
    return std::nullopt;
  }
}

std::optional<Connection> postgres_connection(const std::optional<std::string>& db_user,
                                              const std::optional<std::string>& db_password,
                                              const std::optional<std::string>& db_host,
                                              const Value& db_port,
                                              const std::optional<std::string>& db_name) {
  try {
    return Connection(detail::connect_postgres(db_user, db_password, db_host, db_port, db_name));
  } catch (const OperationalError& error) {
    detail::print_line(std::string("The error '") + error.what() + "' occurred");
    return std::nullopt;
  }
}

}  // namespace

std::optional<Connection> get_mysql_db_connection(const std::optional<std::string>& db_user,
                                                  const std::optional<std::string>& db_password,
                                                  const std::optional<std::string>& db_host,
                                                  std::int64_t db_port,
                                                  const std::optional<std::string>& db_name) {
  return mysql_connection(db_user, db_password, db_host, Value(db_port), db_name);
}

std::optional<Connection> get_pgdb_connection(const std::optional<std::string>& db_user,
                                              const std::optional<std::string>& db_password,
                                              const std::optional<std::string>& db_host,
                                              std::int64_t db_port,
                                              const std::optional<std::string>& db_name) {
  return postgres_connection(db_user, db_password, db_host, Value(db_port), db_name);
}

std::string get_db_connection(const std::string& engine, const std::optional<std::string>& db_user,
                              const std::optional<std::string>& db_password,
                              const std::optional<std::string>& db_host, std::int64_t db_port,
                              const std::optional<std::string>& db_name) {
  if (engine != "MySQL" && engine != "PostgreSQL" && engine != "MsSQL") {
    return "Unsupported SQL engine specified.";
  }
  try {
    if (engine == "MySQL") {
      // Connected, then dropped: the test keeps nothing open.
      detail::connect_mysql(db_user, db_password, db_host, Value(db_port), db_name,
                            RowKind::positional)
          ->close();
    } else if (engine == "PostgreSQL") {
      detail::connect_postgres(db_user, db_password, db_host, Value(db_port), db_name)->close();
    } else {
      detail::test_sql_server_connection(
          sql_server_connection_text(db_user, db_password, db_host, db_port, db_name));
    }
    return "Success! Connection Established! .";
  } catch (const std::exception& error) {
    return "Failed to connect to " + engine + " database: " + error.what();
  }
}

std::optional<Value> get_mysql_database_schema() {
  const DatabaseSettings s = database_settings();
  Value schema_info = Value::object();
  std::optional<Connection> connection;
  try {
    connection = mysql_connection(s.db_user, s.db_password, s.db_host, s.db_port, s.db_name);
    if (!connection) return std::nullopt;
    Cursor cursor = connection->cursor();
    cursor.execute("SHOW TABLES");
    const Value tables = cursor.fetchall();
    for (const Value& row : tables) {
      if (row.empty()) throw DatabaseError("SHOW TABLES gave a row without values");
      const std::string table = text_of(row.begin().value());
      add_table(schema_info, table);
      cursor.execute("SHOW COLUMNS FROM " + quote_mysql_identifier(table));
      for (const Value& column : cursor.fetchall()) {
        schema_info[table].push_back(column_record(field(column, "Field"), field(column, "Type")));
      }
    }
  } catch (const std::exception& error) {
    detail::print_line(std::string("An error occurred: ") + error.what());
  }
  if (connection) connection->close();
  return schema_info;
}

std::optional<Value> get_pgdb_schema() {
  const DatabaseSettings s = database_settings();
  Value schema_info = Value::object();
  std::optional<Connection> connection;
  try {
    connection = postgres_connection(s.db_user, s.db_password, s.db_host, s.db_port, s.db_name);
    if (!connection) return std::nullopt;
    // One cursor for all reads; rows by column name.
    Cursor cursor = connection->cursor(RowKind::by_name);
    cursor.execute(kPgTablesStatement);
    const Value tables = cursor.fetchall();
    for (const Value& row : tables) {
      const std::string table = text_of(field(row, "table_name"));
      add_table(schema_info, table);
      cursor.execute(kPgColumnsStatement, {table});
      for (const Value& column : cursor.fetchall()) {
        schema_info[table].push_back(
            column_record(field(column, "column_name"), field(column, "data_type")));
      }
    }
  } catch (const std::exception& error) {
    detail::print_line(std::string("An error occurred: ") + error.what());
  }
  if (connection) connection->close();
  return schema_info;
}

std::optional<Value> execute_mysql_query(const std::string& sql_query) {
  const DatabaseSettings s = database_settings();
  std::optional<Connection> connection;
  std::optional<Value> result;
  try {
    connection = mysql_connection(s.db_user, s.db_password, s.db_host, s.db_port, s.db_name);
    if (!connection) return std::nullopt;
    Cursor cursor = connection->cursor();
    cursor.execute(sql_query);
    Value rows = cursor.fetchall();
    cursor.close();
    // Without this the change would be rolled back when the connection closes.
    connection->commit();
    result = std::move(rows);
  } catch (const std::exception& error) {
    detail::print_line(std::string("An error occurred while executing the query: ") + error.what());
    result.reset();
  }
  if (connection) connection->close();
  return result;
}

std::optional<Value> execute_pgdb_query(const std::string& sql_query) {
  const DatabaseSettings s = database_settings();
  std::optional<Connection> connection;
  std::optional<Value> result;
  try {
    connection = postgres_connection(s.db_user, s.db_password, s.db_host, s.db_port, s.db_name);
    if (!connection) return std::nullopt;
    Cursor cursor = connection->cursor();
    cursor.execute(sql_query);
    // A statement counts as a query when it produced a result set, whatever its first word.
    std::optional<Value> rows;
    if (cursor.has_result_set()) rows = cursor.fetchall();
    cursor.close();
    connection->commit();
    result = std::move(rows);
  } catch (const std::exception& error) {
    detail::print_line(std::string("An error occurred while executing the query: ") + error.what());
    result.reset();
  }
  if (connection) connection->close();
  return result;
}

}  // namespace dbtool
