#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dbtool/dbtool.hpp"
#include "dbtool_test.hpp"

namespace {

using dbtool::Value;
using dbtool_test::captured_stdout;
using testing::HasSubstr;
using testing::StartsWith;

// Short bound so the silent-server cases end quickly.
class ShortConnectTimeout : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = dbtool::connect_timeout();
    dbtool::set_connect_timeout(std::chrono::seconds(2));
  }
  void TearDown() override { dbtool::set_connect_timeout(saved_); }
  std::chrono::seconds saved_{};
};

// ---------------------------------------------------------------------------------------------
// SQL Server connection text

TEST(SqlServerConnectionText, PlainValuesAsTheyAreAndBraceQuotingWhereNeeded) {
  struct Case {
    std::optional<std::string> user, password, host;
    std::int64_t port;
    std::optional<std::string> name;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"sa", "secret", "db.local", 1433, "shop",
       "DRIVER={SQL Server};SERVER=db.local,1433;DATABASE=shop;UID=sa;PWD=secret"},
      {"sa", "a;b", "h", 1, "d", "DRIVER={SQL Server};SERVER=h,1;DATABASE=d;UID=sa;PWD={a;b}"},
      {"sa", "a;PWD=x;Trusted_Connection=yes", "h", 1, "d",
       "DRIVER={SQL Server};SERVER=h,1;DATABASE=d;UID=sa;PWD={a;PWD=x;Trusted_Connection=yes}"},
      {"sa", "p}w", "h", 1, "d", "DRIVER={SQL Server};SERVER=h,1;DATABASE=d;UID=sa;PWD={p}}w}"},
      {"sa", "{x", "h", 1, "d", "DRIVER={SQL Server};SERVER=h,1;DATABASE=d;UID=sa;PWD={{x}"},
      {"a}b", "p w=", "h", 1, "my;db",
       "DRIVER={SQL Server};SERVER=h,1;DATABASE={my;db};UID={a}}b};PWD=p w="},
      {"", "", std::nullopt, 0, std::nullopt, "DRIVER={SQL Server};SERVER=,0;DATABASE=;UID=;PWD="},
      {"u", "p", "10.0.0.5", 65535, "d",
       "DRIVER={SQL Server};SERVER=10.0.0.5,65535;DATABASE=d;UID=u;PWD=p"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(dbtool::sql_server_connection_text(c.user, c.password, c.host, c.port, c.name),
              c.expected);
  }
}

// ---------------------------------------------------------------------------------------------
// get_db_connection without servers

TEST(GetDbConnection, UnsupportedEngineLabelsContactNothing) {
  dbtool_test::Listener listener(false);
  for (const char* engine :
       {"mysql", "MySQL ", " MySQL", "postgresql", "POSTGRESQL", "MSSQL", "mssql", "SQLite", ""}) {
    std::string result;
    EXPECT_EQ(captured_stdout([&] {
                result =
                    dbtool::get_db_connection(engine, "u", "p", "127.0.0.1", listener.port(), "d");
              }),
              "");
    EXPECT_EQ(result, "Unsupported SQL engine specified.") << engine;
  }
  EXPECT_FALSE(listener.has_pending_connection());
}

TEST_F(ShortConnectTimeout, SqlServerFailuresAreTextsAndBounded) {
  const int closed = dbtool_test::closed_port();
  std::string result;
  EXPECT_EQ(captured_stdout([&] {
              result = dbtool::get_db_connection("MsSQL", "sa", "pw;x", "127.0.0.1", closed, "d");
            }),
            "");
  EXPECT_THAT(result, StartsWith("Failed to connect to MsSQL database: ["));
  EXPECT_THAT(result, HasSubstr("[FreeTDS][SQL Server]"));

  dbtool_test::Listener silent(true);
  result = dbtool::get_db_connection("MsSQL", "sa", "pw", "127.0.0.1", silent.port(), "d");
  EXPECT_EQ(result,
            "Failed to connect to MsSQL database: no answer from the server within the connect "
            "timeout of 2 s; the connection attempt was stopped");
}

// ---------------------------------------------------------------------------------------------
// MySQL

TEST_F(ShortConnectTimeout, MysqlConnectionFailuresPrintOneLine) {
  DBTOOL_REQUIRE_SERVER(dbtool_test::kMysqlVariable, server);
  const int closed = dbtool_test::closed_port();
  dbtool_test::Listener silent(true);
  struct Case {
    const char* label;
    std::string password;
    std::int64_t port;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {"wrong password", "wrong", server.port, "Access denied for user 'askdb'"},
      {"closed port", server.password, closed, "Can't connect to server on '127.0.0.1'"},
      {"silent server", server.password, silent.port(),
       "(connection attempt ended by the 2 s connect timeout)"},
      {"port out of range", server.password, server.port + 65536,
       "invalid port number " + std::to_string(server.port + 65536)},
      {"NUL in password", std::string("ask\0db", 6), server.port, "NUL character"},
  };
  for (const Case& c : cases) {
    std::optional<dbtool::Connection> connection;
    const std::string out = captured_stdout([&] {
      connection = dbtool::get_mysql_db_connection(server.user, c.password, server.host, c.port,
                                                   server.database);
    });
    EXPECT_FALSE(connection.has_value()) << c.label;
    EXPECT_THAT(out, StartsWith("Failed to connect to the database: ")) << c.label;
    EXPECT_THAT(out, HasSubstr(c.detail)) << c.label;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << c.label << ": " << out;
  }
}

TEST(MysqlConnection, RowsByColumnNameWithTypedValues) {
  DBTOOL_REQUIRE_SERVER(dbtool_test::kMysqlVariable, server);
  auto connection = dbtool::get_mysql_db_connection(server.user, server.password, server.host,
                                                    server.port, server.database);
  ASSERT_TRUE(connection);
  dbtool::Cursor cursor = connection->cursor();
  cursor.execute(
      "SELECT 42 AS i, CAST(18446744073709551615 AS UNSIGNED) AS big, 1.5e0 AS f, "
      "CAST(9.50 AS DECIMAL(5,2)) AS d, DATE '2024-01-31' AS day, "
      "TIMESTAMP '2024-01-31 10:00:00' AS ts, 'Ann' AS t, NULL AS n, "
      "CAST(X'00FF' AS BINARY) AS b");
  EXPECT_TRUE(cursor.has_result_set());
  EXPECT_EQ(cursor.columns(),
            (std::vector<std::string>{"i", "big", "f", "d", "day", "ts", "t", "n", "b"}));
  const Value rows = cursor.fetchall();
  Value expected = Value::array();
  Value row = Value::object();
  row["i"] = 42;
  row["big"] = std::uint64_t{18446744073709551615u};
  row["f"] = 1.5;
  row["d"] = "9.50";
  row["day"] = "2024-01-31";
  row["ts"] = "2024-01-31 10:00:00";
  row["t"] = "Ann";
  row["n"] = nullptr;
  row["b"] = Value::binary({0x00, 0xFF});
  expected.push_back(row);
  EXPECT_EQ(rows, expected);
  EXPECT_EQ(rows.dump(), expected.dump());  // key order included
  EXPECT_EQ(cursor.fetchall(), Value::array());

  cursor.execute("CREATE TEMPORARY TABLE bits (b BIT(10), y YEAR, u TINYINT UNSIGNED)");
  cursor.execute("INSERT INTO bits VALUES (b'1000000101', 2024, 255)");
  cursor.execute("SELECT b, y, u FROM bits");
  EXPECT_EQ(cursor.fetchall().dump(), R"([{"b":517,"y":2024,"u":255}])");
  cursor.close();
  EXPECT_THROW(cursor.execute("SELECT 1"), dbtool::DatabaseError);
  connection->close();
  EXPECT_TRUE(connection->closed());
  EXPECT_THROW(connection->cursor(), dbtool::DatabaseError);
}

// Work is committed only by commit(); a second connection sees exactly the committed rows.
TEST(MysqlConnection, CommitIsVisibleFromASecondConnectionAndCloseRollsBack) {
  DBTOOL_REQUIRE_SERVER(dbtool_test::kMysqlVariable, server);
  auto open = [&] {
    auto c = dbtool::get_mysql_db_connection(server.user, server.password, server.host, server.port,
                                             server.database);
    if (!c) throw std::runtime_error("no connection");
    return std::move(*c);
  };
  const std::string table = test_support::unique_name("dbtool_tx_");
  dbtool::Connection writer = open();
  dbtool::Cursor w = writer.cursor();
  w.execute("CREATE TABLE " + table + " (v INT)");
  w.execute("INSERT INTO " + table + " VALUES (1)");
  writer.commit();
  w.execute("INSERT INTO " + table + " VALUES (2)");
  EXPECT_EQ(w.rowcount(), 1);
  writer.close();  // without commit: the second row is rolled back

  dbtool::Connection reader = open();
  dbtool::Cursor r = reader.cursor();
  r.execute("SELECT v FROM " + table + " ORDER BY v");
  EXPECT_EQ(r.fetchall(), Value::parse(R"([{"v": 1}])"));
  r.execute("DROP TABLE " + table);
}

// ---------------------------------------------------------------------------------------------
// PostgreSQL

TEST_F(ShortConnectTimeout, PostgresConnectionFailuresPrintTheErrorLine) {
  DBTOOL_REQUIRE_SERVER(dbtool_test::kPostgresVariable, server);
  const int closed = dbtool_test::closed_port();
  dbtool_test::Listener silent(true);
  struct Case {
    const char* label;
    std::string password;
    std::int64_t port;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {"wrong password", "wrong", server.port, "password authentication failed for user \"askdb\""},
      {"closed port", server.password, closed, "Connection refused"},
      {"silent server", server.password, silent.port(),
       "(connection attempt ended by the 2 s connect timeout)"},
  };
  for (const Case& c : cases) {
    std::optional<dbtool::Connection> connection;
    const std::string out = captured_stdout([&] {
      connection = dbtool::get_pgdb_connection(server.user, c.password, server.host, c.port,
                                               server.database);
    });
    EXPECT_FALSE(connection.has_value()) << c.label;
    EXPECT_THAT(out, StartsWith("The error '")) << c.label;
    EXPECT_THAT(out, HasSubstr(c.detail)) << c.label;
    EXPECT_THAT(out, testing::EndsWith("' occurred\n")) << c.label;
  }
}

TEST(PostgresConnection, FailuresOtherThanConnectingReachTheCaller) {
  std::string out = captured_stdout([] {
    EXPECT_THROW(dbtool::get_pgdb_connection("u", std::string("p\0w", 3), "127.0.0.1", 1, "d"),
                 std::invalid_argument);
  });
  EXPECT_EQ(out, "");
}

TEST(PostgresConnection, PositionalRowsWithTypedValuesAndByNameCursors) {
  DBTOOL_REQUIRE_SERVER(dbtool_test::kPostgresVariable, server);
  auto connection = dbtool::get_pgdb_connection(server.user, server.password, server.host,
                                                server.port, server.database);
  ASSERT_TRUE(connection);
  const std::string sql =
      "SELECT 42 AS i, 9000000000::bigint AS big, 1.5::float8 AS f, 'NaN'::float8 AS nan, "
      "9.50::numeric(5,2) AS d, true AS yes, DATE '2024-01-31' AS day, "
      "TIMESTAMP '2024-01-31 10:00:00' AS ts, 'Ann'::text AS t, NULL AS n, '\\x00ff'::bytea AS b";
  dbtool::Cursor cursor = connection->cursor();
  cursor.execute(sql);
  const Value rows = cursor.fetchall();
  ASSERT_EQ(rows.size(), 1u);
  const Value& row = rows[0];
  ASSERT_TRUE(row.is_array());
  ASSERT_EQ(row.size(), 11u);
  EXPECT_EQ(row[0], 42);
  EXPECT_EQ(row[1], 9000000000LL);
  EXPECT_EQ(row[2], 1.5);
  EXPECT_TRUE(row[3].is_number_float() && std::isnan(row[3].get<double>()));
  EXPECT_EQ(row[4], "9.50");
  EXPECT_EQ(row[5], true);
  EXPECT_EQ(row[6], "2024-01-31");
  EXPECT_EQ(row[7], "2024-01-31 10:00:00");
  EXPECT_EQ(row[8], "Ann");
  EXPECT_TRUE(row[9].is_null());
  EXPECT_EQ(row[10], Value::binary({0x00, 0xFF}));

  dbtool::Cursor named = connection->cursor(dbtool::RowKind::by_name);
  named.execute("SELECT 1 AS a, 'x' AS b");
  EXPECT_EQ(named.fetchall().dump(), R"([{"a":1,"b":"x"}])");
  named.execute("SELECT $1::text || $2::text AS joined", {"it's ", "fine"});
  EXPECT_EQ(named.fetchall().dump(), R"([{"joined":"it's fine"}])");

  EXPECT_THROW(cursor.execute("SELEC 1"), dbtool::DatabaseError);
  // The failed statement aborted the transaction: commit says so instead of reporting success.
  EXPECT_THROW(connection->commit(), dbtool::DatabaseError);
  cursor.execute("SELECT 1");
  EXPECT_EQ(cursor.fetchall(), Value::parse("[[1]]"));
}

TEST(PostgresConnection, CommitIsVisibleFromASecondConnectionAndCloseRollsBack) {
  DBTOOL_REQUIRE_SERVER(dbtool_test::kPostgresVariable, server);
  auto open = [&] {
    auto c = dbtool::get_pgdb_connection(server.user, server.password, server.host, server.port,
                                         server.database);
    if (!c) throw std::runtime_error("no connection");
    return std::move(*c);
  };
  const std::string table = test_support::unique_name("dbtool_tx_");
  dbtool::Connection writer = open();
  dbtool::Cursor w = writer.cursor();
  w.execute("CREATE TABLE " + table + " (v INT)");
  w.execute("INSERT INTO " + table + " VALUES (1)");
  writer.commit();
  w.execute("INSERT INTO " + table + " VALUES (2)");
  EXPECT_FALSE(w.has_result_set());
  EXPECT_EQ(w.rowcount(), 1);
  writer.close();

  dbtool::Connection reader = open();
  dbtool::Cursor r = reader.cursor();
  r.execute("SELECT v FROM " + table + " ORDER BY v");
  EXPECT_EQ(r.fetchall(), Value::parse("[[1]]"));
  r.execute("DROP TABLE " + table);
  reader.commit();
}

// ---------------------------------------------------------------------------------------------
// get_db_connection against the servers

TEST_F(ShortConnectTimeout, GetDbConnectionReportsSuccessAndFailureTexts) {
  DBTOOL_REQUIRE_SERVER(dbtool_test::kMysqlVariable, my);
  DBTOOL_REQUIRE_SERVER(dbtool_test::kPostgresVariable, pg);
  const int closed = dbtool_test::closed_port();
  struct Case {
    std::string engine;
    dbtool_test::ServerParams params;
    std::string prefix;
    std::string detail;
  };
  dbtool_test::ServerParams my_wrong = my;
  my_wrong.password = "wrong";
  dbtool_test::ServerParams pg_closed = pg;
  pg_closed.port = closed;
  dbtool_test::ServerParams pg_no_db = pg;
  pg_no_db.database = "dbtool_no_such_database";
  const std::vector<Case> cases = {
      {"MySQL", my, "Success! Connection Established! .", ""},
      {"PostgreSQL", pg, "Success! Connection Established! .", ""},
      {"MySQL", my_wrong, "Failed to connect to MySQL database: ", "Access denied"},
      {"PostgreSQL", pg_closed, "Failed to connect to PostgreSQL database: ", "Connection refused"},
      {"PostgreSQL", pg_no_db, "Failed to connect to PostgreSQL database: ",
       "database \"dbtool_no_such_database\" does not exist"},
  };
  for (const Case& c : cases) {
    std::string result;
    EXPECT_EQ(captured_stdout([&] {
                result = dbtool::get_db_connection(c.engine, c.params.user, c.params.password,
                                                   c.params.host, c.params.port, c.params.database);
              }),
              "");
    EXPECT_THAT(result, StartsWith(c.prefix));
    EXPECT_THAT(result, HasSubstr(c.detail));
    if (c.detail.empty()) {
      EXPECT_EQ(result, c.prefix);
    }
  }
}

}  // namespace
