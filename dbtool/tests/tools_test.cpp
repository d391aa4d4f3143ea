#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dbtool/dbtool.hpp"
#include "dbtool_test.hpp"

namespace {

using dbtool::Value;
using dbtool_test::captured_stdout;
using testing::HasSubstr;
using testing::StartsWith;

// Runs statements on the server with autocommit, for fixtures.
void admin(dbtool::Connection& connection, const std::vector<std::string>& statements) {
  connection.set_autocommit(true);
  dbtool::Cursor cursor = connection.cursor();
  for (const std::string& sql : statements) cursor.execute(sql);
}

Value column(const char* name, const char* type) {
  Value record = Value::object();
  record["name"] = name;
  record["type"] = type;
  return record;
}

// A fresh database per test, configured as the current settings.
class MysqlTools : public testing::Test {
 protected:
  void SetUp() override {
    server_ = test_support::server_from_environment(dbtool_test::kMysqlVariable);
    if (!server_) {
      GTEST_SKIP() << test_support::missing_server_message(dbtool_test::kMysqlVariable);
    }
    database_ = test_support::unique_name("dbtool_my_");
    run({"CREATE DATABASE `" + database_ + "`"}, "");
    dbtool::set_database_config(database_, server_->user, server_->password, server_->host,
                                Value(server_->port));
  }
  void TearDown() override {
    if (server_) run({"DROP DATABASE IF EXISTS `" + database_ + "`"}, "");
  }
  void run(const std::vector<std::string>& statements, const std::string& database) {
    auto connection = dbtool::get_mysql_db_connection(server_->user, server_->password,
                                                      server_->host, server_->port, database);
    ASSERT_TRUE(connection);
    admin(*connection, statements);
  }
  Value select(const std::string& sql) {
    auto connection = dbtool::get_mysql_db_connection(server_->user, server_->password,
                                                      server_->host, server_->port, database_);
    dbtool::Cursor cursor = connection->cursor();
    cursor.execute(sql);
    return cursor.fetchall();
  }

  std::optional<dbtool_test::ServerParams> server_;
  std::string database_;
};

TEST_F(MysqlTools, SchemaReadsEveryTableAlsoNamesThatNeedQuoting) {
  run({"CREATE TABLE `alpha` (id INT NOT NULL, label VARCHAR(20))",
       "CREATE TABLE `my table` (`first col` DATE, amount DECIMAL(9,2))",
       "CREATE TABLE `order` (`select` INT)", "CREATE TABLE `q``t` (x TEXT)",
       "CREATE TABLE `zeta` (z DOUBLE)", "CREATE TABLE `empty_cols_not_possible` (only INT)"},
      database_);
  std::optional<Value> schema;
  EXPECT_EQ(captured_stdout([&] { schema = dbtool::get_mysql_database_schema(); }), "");
  ASSERT_TRUE(schema);
  Value expected = Value::object();
  expected["alpha"] = {column("id", "int(11)"), column("label", "varchar(20)")};
  expected["empty_cols_not_possible"] = {column("only", "int(11)")};
  expected["my table"] = {column("first col", "date"), column("amount", "decimal(9,2)")};
  expected["order"] = {column("select", "int(11)")};
  expected["q`t"] = {column("x", "text")};
  expected["zeta"] = {column("z", "double")};
  EXPECT_EQ(schema->dump(), expected.dump());
}

TEST_F(MysqlTools, SchemaOfAnEmptyDatabaseIsAnEmptyMap) {
  std::optional<Value> schema;
  EXPECT_EQ(captured_stdout([&] { schema = dbtool::get_mysql_database_schema(); }), "");
  EXPECT_EQ(schema, Value::object());
}

TEST_F(MysqlTools, NoConnectionMeansAbsentAndOnlyTheConnectionLine) {
  dbtool::set_database_config(database_, server_->user, "wrong", server_->host,
                              Value(server_->port));
  std::optional<Value> schema;
  std::string out = captured_stdout([&] { schema = dbtool::get_mysql_database_schema(); });
  EXPECT_FALSE(schema);
  EXPECT_THAT(out, StartsWith("Failed to connect to the database: Access denied"));
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);

  std::optional<Value> rows;
  out = captured_stdout([&] { rows = dbtool::execute_mysql_query("SELECT 1"); });
  EXPECT_FALSE(rows);
  EXPECT_THAT(out, StartsWith("Failed to connect to the database: Access denied"));
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

TEST_F(MysqlTools, SchemaFailureAfterConnectingPrintsAndKeepsWhatWasRead) {
  // No database selected: SHOW TABLES fails after the connection was made.
  dbtool::set_database_config("", server_->user, server_->password, server_->host,
                              Value(server_->port));
  std::optional<Value> schema;
  const std::string out = captured_stdout([&] { schema = dbtool::get_mysql_database_schema(); });
  EXPECT_EQ(out, "An error occurred: No database selected\n");
  EXPECT_EQ(schema, Value::object());

  // A view over a dropped table: its column statement fails. The tables listed before it keep
  // their columns, the view keeps its empty list, and no later table is read.
  dbtool::set_database_config(database_, server_->user, server_->password, server_->host,
                              Value(server_->port));
  run({"CREATE TABLE a_first (x INT)", "CREATE TABLE gone (y INT)",
       "CREATE VIEW b_broken AS SELECT y FROM gone", "CREATE TABLE c_later (z INT)",
       "DROP TABLE gone"},
      database_);
  const std::string broken_out =
      captured_stdout([&] { schema = dbtool::get_mysql_database_schema(); });
  EXPECT_EQ(broken_out, "An error occurred: View '" + database_ +
                            ".b_broken' references invalid table(s) or column(s) or function(s) "
                            "or definer/invoker of view lack rights to use them\n");
  ASSERT_TRUE(schema);
  Value expected = Value::object();
  expected["a_first"] = {column("x", "int(11)")};
  expected["b_broken"] = Value::array();
  EXPECT_EQ(schema->dump(), expected.dump());
}

TEST_F(MysqlTools, QueriesReturnRowsByNameAndWritesAreCommitted) {
  run({"CREATE TABLE items (id INT PRIMARY KEY, name VARCHAR(10), price DECIMAL(6,2))"}, database_);
  struct Case {
    std::string sql;
    std::optional<Value> expected;
  };
  const std::vector<Case> cases = {
      {"INSERT INTO items VALUES (1, 'pen', 1.50), (2, 'ink', NULL)", Value::array()},
      {"SELECT id, name, price FROM items ORDER BY id",
       Value::parse(
           R"([{"id":1,"name":"pen","price":"1.50"},{"id":2,"name":"ink","price":null}])")},
      {"UPDATE items SET price = 2.00 WHERE id = 2", Value::array()},
      {"  select name from items where id = 3", Value::array()},
  };
  for (const Case& c : cases) {
    std::optional<Value> rows;
    EXPECT_EQ(captured_stdout([&] { rows = dbtool::execute_mysql_query(c.sql); }), "") << c.sql;
    ASSERT_TRUE(rows) << c.sql;
    EXPECT_EQ(rows->dump(), c.expected->dump()) << c.sql;
  }
  // Seen from a connection of its own: the INSERT and the UPDATE were committed.
  EXPECT_EQ(select("SELECT id, price FROM items ORDER BY id").dump(),
            R"([{"id":1,"price":"1.50"},{"id":2,"price":"2.00"}])");
}

TEST_F(MysqlTools, FailedStatementPrintsOneLineAndCommitsNothing) {
  run({"CREATE TABLE items (id INT PRIMARY KEY)", "INSERT INTO items VALUES (1)"}, database_);
  struct Case {
    std::string sql;
    std::string detail;
  };
  for (const Case& c : std::vector<Case>{
           {"SELEC 1", "You have an error in your SQL syntax"},
           {"INSERT INTO items VALUES (2), (1)", "Duplicate entry '1'"},
           {"SELECT 1; SELECT 2", "You have an error in your SQL syntax"},
       }) {
    std::optional<Value> rows;
    const std::string out = captured_stdout([&] { rows = dbtool::execute_mysql_query(c.sql); });
    EXPECT_FALSE(rows) << c.sql;
    EXPECT_THAT(out, StartsWith("An error occurred while executing the query: ")) << c.sql;
    EXPECT_THAT(out, HasSubstr(c.detail)) << c.sql;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  }
  EXPECT_EQ(select("SELECT id FROM items").dump(), R"([{"id":1}])");
}

// ---------------------------------------------------------------------------------------------

class PostgresTools : public testing::Test {
 protected:
  void SetUp() override {
    server_ = test_support::server_from_environment(dbtool_test::kPostgresVariable);
    if (!server_) {
      GTEST_SKIP() << test_support::missing_server_message(dbtool_test::kPostgresVariable);
    }
    database_ = test_support::unique_name("dbtool_pg_");
    run({"CREATE DATABASE " + database_}, server_->database);
    dbtool::set_database_config(database_, server_->user, server_->password, server_->host,
                                Value(server_->port));
  }
  void TearDown() override {
    if (server_) run({"DROP DATABASE IF EXISTS " + database_ + " WITH (FORCE)"}, server_->database);
  }
  void run(const std::vector<std::string>& statements, const std::string& database) {
    auto connection = dbtool::get_pgdb_connection(server_->user, server_->password, server_->host,
                                                  server_->port, database);
    ASSERT_TRUE(connection);
    admin(*connection, statements);
  }
  Value select(const std::string& sql) {
    auto connection = dbtool::get_pgdb_connection(server_->user, server_->password, server_->host,
                                                  server_->port, database_);
    dbtool::Cursor cursor = connection->cursor();
    cursor.execute(sql);
    return cursor.fetchall();
  }

  std::optional<dbtool_test::ServerParams> server_;
  std::string database_;
};

TEST_F(PostgresTools, SchemaListsPublicTablesWithTheirOwnColumnsInOrder) {
  run({"CREATE TABLE items (id integer, name text, price numeric(6,2))",
       "ALTER TABLE items ADD COLUMN added_later date",
       "CREATE TABLE \"Odd Name\" (\"a b\" boolean)", "CREATE SCHEMA other",
       "CREATE TABLE other.items (secret text, extra integer)",
       "CREATE TABLE other.only_here (x integer)"},
      database_);
  std::optional<Value> schema;
  EXPECT_EQ(captured_stdout([&] { schema = dbtool::get_pgdb_schema(); }), "");
  ASSERT_TRUE(schema);
  ASSERT_TRUE(schema->is_object());
  EXPECT_EQ(schema->size(), 2u);
  EXPECT_EQ(schema->at("items").dump(),
            Value({column("id", "integer"), column("name", "text"), column("price", "numeric"),
                   column("added_later", "date")})
                .dump());
  EXPECT_EQ(schema->at("Odd Name").dump(), Value({column("a b", "boolean")}).dump());
}

TEST_F(PostgresTools, SchemaOfAnEmptyDatabaseIsAnEmptyMap) {
  std::optional<Value> schema;
  EXPECT_EQ(captured_stdout([&] { schema = dbtool::get_pgdb_schema(); }), "");
  EXPECT_EQ(schema, Value::object());
}

TEST_F(PostgresTools, ConnectionFailuresOfSchemaAndQuery) {
  // Operational error: only the connection line, absent result.
  dbtool::set_database_config(database_, server_->user, "wrong", server_->host,
                              Value(server_->port));
  std::optional<Value> result;
  std::string out = captured_stdout([&] { result = dbtool::get_pgdb_schema(); });
  EXPECT_FALSE(result);
  EXPECT_THAT(out, StartsWith("The error '"));
  EXPECT_THAT(out, HasSubstr("password authentication failed"));
  out = captured_stdout([&] { result = dbtool::execute_pgdb_query("SELECT 1"); });
  EXPECT_FALSE(result);
  EXPECT_THAT(out, StartsWith("The error '"));
  EXPECT_EQ(out.find("An error occurred"), std::string::npos);

  // Any other failure of the connection operation: the operation's own line.
  dbtool::set_database_config(std::string("bad\0name", 8), server_->user, server_->password,
                              server_->host, Value(server_->port));
  out = captured_stdout([&] { result = dbtool::get_pgdb_schema(); });
  EXPECT_EQ(result, Value::object());
  EXPECT_THAT(out, StartsWith("An error occurred: the database name holds a NUL character"));
  out = captured_stdout([&] { result = dbtool::execute_pgdb_query("SELECT 1"); });
  EXPECT_FALSE(result);
  EXPECT_THAT(out, StartsWith("An error occurred while executing the query: the database name"));
}

TEST_F(PostgresTools, StatementsWithAResultSetReturnRowsAndAllAreCommitted) {
  run({"CREATE TABLE items (id serial PRIMARY KEY, name text)"}, database_);
  struct Case {
    std::string sql;
    std::optional<Value> expected;
  };
  const std::vector<Case> cases = {
      {"   select 1  ", Value::parse("[[1]]")},
      {"WITH t AS (SELECT 2 AS v) SELECT v FROM t", Value::parse("[[2]]")},
      {"(SELECT 3) UNION ALL (SELECT 4)", Value::parse("[[3],[4]]")},
      {"INSERT INTO items (name) VALUES ('pen')", std::nullopt},
      {"INSERT INTO items (name) VALUES ('ink') RETURNING id, name",
       Value::parse(R"([[2,"ink"]])")},
      {"WITH moved AS (UPDATE items SET name = 'pencil' WHERE id = 1 RETURNING name) "
       "SELECT name FROM moved",
       Value::parse(R"([["pencil"]])")},
      {"SELECT name FROM items WHERE id = 99", Value::array()},
      {"CREATE TABLE more_items (x integer)", std::nullopt},
  };
  for (const Case& c : cases) {
    std::optional<Value> rows;
    EXPECT_EQ(captured_stdout([&] { rows = dbtool::execute_pgdb_query(c.sql); }), "") << c.sql;
    EXPECT_EQ(rows.has_value(), c.expected.has_value()) << c.sql;
    if (rows && c.expected) {
      EXPECT_EQ(rows->dump(), c.expected->dump()) << c.sql;
    }
  }
  // A connection of its own sees every change, RETURNING and the update in a WITH included.
  EXPECT_EQ(select("SELECT id, name FROM items ORDER BY id").dump(), R"([[1,"pencil"],[2,"ink"]])");
  EXPECT_EQ(select("SELECT count(*) FROM more_items").dump(), "[[0]]");
}

TEST_F(PostgresTools, FailedStatementPrintsOneLineAndCommitsNothing) {
  run({"CREATE TABLE items (id integer PRIMARY KEY)", "INSERT INTO items VALUES (1)"}, database_);
  struct Case {
    std::string sql;
    std::string detail;
  };
  for (const Case& c : std::vector<Case>{
           {"SELEC 1", "syntax error at or near \"SELEC\""},
           {"INSERT INTO items VALUES (2), (1)", "duplicate key value violates unique constraint"},
           {"SELECT * FROM no_such_table", "relation \"no_such_table\" does not exist"},
       }) {
    std::optional<Value> rows;
    const std::string out = captured_stdout([&] { rows = dbtool::execute_pgdb_query(c.sql); });
    EXPECT_FALSE(rows) << c.sql;
    EXPECT_THAT(out, StartsWith("An error occurred while executing the query: ")) << c.sql;
    EXPECT_THAT(out, HasSubstr(c.detail)) << c.sql;
  }
  EXPECT_EQ(select("SELECT id FROM items").dump(), "[[1]]");
}

// The same SELECT gives maps on MySQL and positional rows on PostgreSQL.
TEST(QueryRowShapes, MapsOnMysqlAndPositionalOnPostgres) {
  DBTOOL_REQUIRE_SERVER(dbtool_test::kMysqlVariable, my);
  DBTOOL_REQUIRE_SERVER(dbtool_test::kPostgresVariable, pg);
  const std::string sql = "SELECT 1 AS a, 'x' AS b";
  dbtool::set_database_config(my.database, my.user, my.password, my.host, Value(my.port));
  EXPECT_EQ(dbtool::execute_mysql_query(sql)->dump(), R"([{"a":1,"b":"x"}])");
  dbtool::set_database_config(pg.database, pg.user, pg.password, pg.host, Value(pg.port));
  EXPECT_EQ(dbtool::execute_pgdb_query(sql)->dump(), R"([[1,"x"]])");
}

}  // namespace
