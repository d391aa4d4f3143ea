// The wrapper and its tools against each of the three databases: SQLite files, and the
// PostgreSQL and MariaDB servers of scripts/db-servers.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "sql_database/custom_sql_database.hpp"
#include "sql_database/sql_tools.hpp"
#include "test_support/test_database.hpp"

namespace sql_database {
namespace {

using test_support::TestDatabase;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class BackendTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    std::string skip;
    db_ = test_support::make_test_database(GetParam(), skip);
    if (!db_) GTEST_SKIP() << skip;
  }

  const std::string& dialect() const { return db_->dialect(); }

  // A table `items` of three rows, in each dialect's types.
  void create_items() {
    db_->exec_all(
        {"CREATE TABLE items (id INTEGER PRIMARY KEY, name VARCHAR(40) NOT NULL, "
         "price DECIMAL(8, 2))",
         "INSERT INTO items VALUES (1, 'apple', 0.50), (2, 'pear', 1.25), (3, 'fig', NULL)"});
  }

  std::string items_state() {
    return db_->scalar("SELECT COUNT(*) FROM items") + "|" +
           db_->scalar("SELECT MAX(name) FROM items") + "|" +
           db_->scalar("SELECT SUM(price) FROM items");
  }

  std::unique_ptr<TestDatabase> db_;
};

std::string param_name(const ::testing::TestParamInfo<std::string>& info) { return info.param; }

INSTANTIATE_TEST_SUITE_P(Databases, BackendTest, ::testing::Values("sqlite", "postgresql", "mysql"),
                         param_name);

// Cases that only exist on a database server, or on PostgreSQL alone.
class ServerTest : public BackendTest {};
INSTANTIATE_TEST_SUITE_P(Servers, ServerTest, ::testing::Values("postgresql", "mysql"), param_name);
class PostgresTest : public BackendTest {};
INSTANTIATE_TEST_SUITE_P(Postgres, PostgresTest, ::testing::Values("postgresql"), param_name);

struct ValueCase {
  std::string expression;
  std::string literal;  // as the one value of a one-column row
};

// Per dialect: a SQL expression and the Python literal it must come out as.
const std::map<std::string, std::vector<ValueCase>>& value_cases() {
  static const std::map<std::string, std::vector<ValueCase>> cases = {
      {"sqlite",
       {
           {"42", "42"},
           {"-9223372036854775808", "-9223372036854775808"},
           {"1.5", "1.5"},
           {"0.1 + 0.2", "0.30000000000000004"},
           {"1e16", "1e+16"},
           {"9e999", "float('inf')"},
           {"'plain'", "'plain'"},
           {"'it''s'", "\"it's\""},
           {"'both '' and \"'", "'both \\' and \"'"},
           {"'line' || char(10) || 'tab' || char(9) || 'back\\slash'",
            "'line\\ntab\\tback\\\\slash'"},
           {"'Müller €'", "'Müller €'"},
           {"NULL", "None"},
           {"x'00ff41'", "b'\\x00\\xffA'"},
           {"x''", "b''"},
           {"'2024-01-31'", "'2024-01-31'"},
       }},
      {"postgresql",
       {
           {"42", "42"},
           {"9223372036854775807::int8", "9223372036854775807"},
           {"-7::int2", "-7"},
           {"1.5::float8", "1.5"},
           {"0.1::float4", "0.1"},
           {"1e-7::float8", "1e-07"},
           {"'NaN'::float8", "float('nan')"},
           {"'-Infinity'::float8", "-float('inf')"},
           {"9.50::numeric(5, 2)", "Decimal('9.50')"},
           {"-0.001::numeric", "Decimal('-0.001')"},
           {"'NaN'::numeric", "Decimal('NaN')"},
           {"true", "True"},
           {"false", "False"},
           {"'it''s'::text", "\"it's\""},
           {"E'a\\nb'", "'a\\nb'"},
           {"'Müller'::varchar", "'Müller'"},
           {"NULL::int", "None"},
           {"'\\x00ff41'::bytea", "b'\\x00\\xffA'"},
           {"DATE '2024-01-31'", "datetime.date(2024, 1, 31)"},
           {"TIMESTAMP '2024-01-31 12:34:56.5'",
            "datetime.datetime(2024, 1, 31, 12, 34, 56, 500000)"},
           {"TIMESTAMP '2024-01-31 00:00:00'", "datetime.datetime(2024, 1, 31, 0, 0)"},
           {"TIMESTAMPTZ '2024-01-31 12:00:00+02'",
            "datetime.datetime(2024, 1, 31, 10, 0, tzinfo=datetime.timezone.utc)"},
           {"TIME '08:30:00'", "datetime.time(8, 30)"},
           {"'infinity'::date", "'infinity'"},
           {"'{1,2}'::int[]", "'{1,2}'"},
       }},
      {"mysql",
       {
           {"42", "42"},
           {"CAST(18446744073709551615 AS UNSIGNED)", "18446744073709551615"},
           {"1.5e0", "1.5"},
           {"CAST(9.50 AS DECIMAL(5, 2))", "Decimal('9.50')"},
           {"-0.001", "Decimal('-0.001')"},
           {"'it''s'", "\"it's\""},
           {"'a\\nb'", "'a\\nb'"},
           {"'Müller'", "'Müller'"},
           {"NULL", "None"},
           {"X'00FF41'", "b'\\x00\\xffA'"},
           {"DATE '2024-01-31'", "datetime.date(2024, 1, 31)"},
           {"CAST('2024-01-31 12:34:56.5' AS DATETIME(6))",
            "datetime.datetime(2024, 1, 31, 12, 34, 56, 500000)"},
           {"CAST('2024-01-31 08:00:00' AS DATETIME)", "datetime.datetime(2024, 1, 31, 8, 0)"},
           {"TIME '-01:30:00'", "datetime.timedelta(days=-1, seconds=81000)"},
           {"TIME '26:00:01'", "datetime.timedelta(days=1, seconds=7201)"},
       }},
  };
  return cases;
}

TEST_P(BackendTest, ValuesAreWrittenAsPythonLiterals) {
  const CustomSQLDatabase db = db_->open();
  EXPECT_EQ(db.dialect(), dialect());
  for (const auto& c : value_cases().at(dialect())) {
    SCOPED_TRACE(c.expression);
    EXPECT_EQ(db.run("SELECT " + c.expression + " AS v"), "[(" + c.literal + ",)]");
  }
  // Several columns and rows, then the same with column names.
  create_items();
  const std::string price_1 = dialect() == "sqlite" ? "0.5" : "Decimal('0.50')";
  const std::string price_2 = dialect() == "sqlite" ? "1.25" : "Decimal('1.25')";
  EXPECT_EQ(db.run("SELECT id, name, price FROM items ORDER BY id"),
            "[(1, 'apple', " + price_1 + "), (2, 'pear', " + price_2 + "), (3, 'fig', None)]");
  EXPECT_EQ(db.run("SELECT id, name AS label FROM items WHERE id < 3 ORDER BY id", "all", true),
            "[{'id': 1, 'label': 'apple'}, {'id': 2, 'label': 'pear'}]");
  EXPECT_EQ(db.run("SELECT id FROM items ORDER BY id", "one"), "[(1,)]");
  EXPECT_EQ(db.run("  SELECT id FROM items WHERE id = 2 ;  "), "[(2,)]");
  EXPECT_THROW(db.run("SELECT 1", "many"), std::invalid_argument);
}

TEST_P(BackendTest, NoRowsGiveTheEmptyText) {
  create_items();
  const CustomSQLDatabase db = db_->open();
  EXPECT_EQ(db.run("SELECT * FROM items WHERE id > 100"), "");
  EXPECT_EQ(db.run("SELECT * FROM items WHERE id > 100", "all", true), "");
  EXPECT_EQ(db.run("SELECT * FROM items WHERE id > 100", "one"), "");
}

TEST_P(BackendTest, DatabaseErrorsCarryTheDatabaseMessage) {
  const CustomSQLDatabase db = db_->open();
  const std::map<std::string, std::string> missing_table = {
      {"sqlite", "no such table: no_such_table"},
      {"postgresql", "relation \"no_such_table\" does not exist"},
      {"mysql", "no_such_table' doesn't exist"},
  };
  try {
    db.run("SELECT * FROM no_such_table");
    FAIL() << "no error";
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), HasSubstr(missing_table.at(dialect())));
  }
  try {
    db.run("SELEC 1");
    FAIL() << "no error";
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), HasSubstr("syntax"));
  }
  EXPECT_THROW(db.run("   ;  "), DatabaseError);
  // A failed statement leaves the connection usable.
  EXPECT_EQ(db.run("SELECT 1"), "[(1,)]");
}

TEST_P(BackendTest, WritesAndSecondStatementsAreRefusedAndChangeNothing) {
  create_items();
  db_->exec("CREATE TABLE other (a INTEGER)");
  const std::string before = items_state();
  DatabaseOptions options = db_->options();
  options.pool_size = 1;  // every statement on the same connection
  const CustomSQLDatabase db = db_->open(options);

  std::vector<std::string> refused = {
      "INSERT INTO items VALUES (4, 'plum', 2.00)",
      "UPDATE items SET name = 'changed'",
      "DELETE FROM items",
      "DROP TABLE items",
      "CREATE TABLE created_by_model (a INTEGER)",
      "ALTER TABLE items ADD COLUMN extra INTEGER",
      "SELECT 1; DELETE FROM items",
      "SELECT 1; SELECT 2",
      "SELECT 1;\nDROP TABLE items;",
      "DELETE FROM items; SELECT 1",
      "INSERT INTO other SELECT id FROM items",
  };
  if (dialect() == "sqlite") {
    refused.insert(refused.end(),
                   {"PRAGMA writable_schema = 1", "PRAGMA user_version = 7",
                    "ATTACH DATABASE ':memory:' AS extra", "SELECT load_extension('libm')", "BEGIN",
                    "VACUUM", "REPLACE INTO items VALUES (1, 'x', 1)"});
  } else if (dialect() == "postgresql") {
    refused.insert(refused.end(), {"CREATE TEMPORARY TABLE t AS SELECT 1", "TRUNCATE items",
                                   "WITH d AS (DELETE FROM items RETURNING id) SELECT * FROM d",
                                   "SELECT 1; COMMIT; DELETE FROM items", "COPY items TO STDOUT",
                                   "COPY items FROM STDIN", "COPY (SELECT 1) TO STDOUT"});
  } else {
    refused.insert(refused.end(),
                   {"TRUNCATE items", "REPLACE INTO items VALUES (1, 'x', 1)",
                    "SELECT 1; COMMIT; DELETE FROM items", "CREATE TEMPORARY TABLE t (a INT)",
                    "CREATE DATABASE created_by_model", "CREATE USER 'model'@'%' IDENTIFIED BY 'x'",
                    "GRANT SELECT ON *.* TO 'model'@'%'", "RENAME TABLE items TO renamed"});
  }
  for (const auto& sql : refused) {
    SCOPED_TRACE(sql);
    EXPECT_THROW(db.run(sql), DatabaseError);
    EXPECT_EQ(items_state(), before);
  }
  EXPECT_EQ(db_->scalar("SELECT COUNT(*) FROM other"), "0");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM items"), "[(3,)]");  // the connection still works
  EXPECT_EQ(db.get_usable_table_names(), (std::vector<std::string>{"items", "other"}));

  // A statement that ends the wrapper's transaction cannot open the way for a write after it.
  for (const char* sql : {"COMMIT", "ROLLBACK"}) {
    try {
      db.run(sql);
    } catch (const DatabaseError&) {
    }
    EXPECT_THROW(db.run("DELETE FROM items"), DatabaseError);
  }
  EXPECT_EQ(items_state(), before);
}

TEST_P(BackendTest, ARunawayStatementIsCancelledAtTheTimeout) {
  DatabaseOptions options = db_->options();
  options.statement_timeout = std::chrono::milliseconds(300);
  options.pool_size = 1;
  const CustomSQLDatabase db = db_->open(options);
  const std::map<std::string, std::string> slow = {
      {"sqlite",
       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT MAX(i) FROM n"},
      {"postgresql", "SELECT pg_sleep(30)"},
      {"mysql",
       "SELECT COUNT(*) FROM information_schema.COLUMNS a, information_schema.COLUMNS b, "
       "information_schema.COLUMNS c"},
  };
  const std::map<std::string, std::string> message = {
      {"sqlite", "interrupted"},
      {"postgresql", "canceling statement due to statement timeout"},
      {"mysql", "max_statement_time exceeded"},
  };
  try {
    db.run(slow.at(dialect()));
    FAIL() << "the statement was not cancelled";
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), HasSubstr(message.at(dialect())));
  }
  // The same connection goes on working, with the timeout still in force.
  EXPECT_EQ(db.run("SELECT 1"), "[(1,)]");
  EXPECT_THROW(db.run(slow.at(dialect())), DatabaseError);
}

TEST_P(BackendTest, ALargeResultIsCutAndSaysHowManyRowsWereLeftOut) {
  db_->exec("CREATE TABLE numbers (n INTEGER, label VARCHAR(20))");
  std::string insert = "INSERT INTO numbers VALUES ";
  for (int i = 1; i <= 2000; ++i) insert += (i > 1 ? ", (" : "(") + std::to_string(i) + ", 'n')";
  db_->exec(insert);
  DatabaseOptions options = db_->options();
  options.max_result_chars = 1000;
  const CustomSQLDatabase db = db_->open(options);

  const std::string text = db.run("SELECT n, label FROM numbers ORDER BY n");
  const auto note = text.find("\n# Result cut: showing ");
  ASSERT_NE(note, std::string::npos) << text;
  const std::string rows = text.substr(0, note);
  EXPECT_LE(rows.size(), 1000u);
  EXPECT_THAT(rows, StartsWith("[(1, 'n'), (2, 'n'), "));
  EXPECT_THAT(rows, EndsWith(")]"));
  const auto shown = static_cast<int>(std::count(rows.begin(), rows.end(), '('));
  EXPECT_GT(shown, 50);
  const int left = 2000 - shown;
  const std::string left_text = left >= 1000 ? std::to_string(left / 1000) + "," +
                                                   std::to_string(left % 1000 + 1000).substr(1)
                                             : std::to_string(left);
  EXPECT_THAT(text.substr(note),
              HasSubstr("showing " + std::to_string(shown) + " of 2,000 rows (" + left_text +
                        " rows left out) to stay within 1,000 "
                        "characters."));
  // The last row shown is the one before the first left out.
  EXPECT_THAT(rows, EndsWith("(" + std::to_string(shown) + ", 'n')]"));

  // A long value is cut inside its literal.
  db_->exec("CREATE TABLE notes (body TEXT)");
  db_->exec("INSERT INTO notes VALUES ('" + std::string(5000, 'x') + "')");
  options.max_result_chars = 20000;
  options.max_value_chars = 100;
  const std::string cut = db_->open(options).run("SELECT body FROM notes");
  EXPECT_EQ(cut, "[('" + std::string(100, 'x') +
                     "...[4900 more characters not shown]',)]\n"
                     "# Values longer than 100 characters were cut.");
  // Unbounded when asked.
  options.max_result_chars = 0;
  options.max_value_chars = 0;
  const CustomSQLDatabase unbounded = db_->open(options);
  EXPECT_EQ(unbounded.run("SELECT body FROM notes"), "[('" + std::string(5000, 'x') + "',)]");
  const std::string everything = unbounded.run("SELECT n FROM numbers");
  EXPECT_EQ(std::count(everything.begin(), everything.end(), '('), 2000);
  EXPECT_EQ(everything.find('#'), std::string::npos);
  // fetch "one" is not a cut result.
  EXPECT_EQ(db.run("SELECT n FROM numbers ORDER BY n", "one"), "[(1,)]");
}

TEST_P(BackendTest, ListingHonoursIncludeIgnoreAndViews) {
  create_items();
  db_->exec_all(
      {"CREATE TABLE orders (id INTEGER PRIMARY KEY, item_id INTEGER REFERENCES items (id))",
       "CREATE VIEW cheap_items AS SELECT id, name FROM items WHERE price < 1"});
  const auto names = [&](DatabaseOptions options) {
    return ListSQLDatabaseTool(db_->open(std::move(options)))._run();
  };
  DatabaseOptions options = db_->options();
  EXPECT_EQ(names(options), "cheap_items, items, orders");
  options.include_views = false;
  EXPECT_EQ(names(options), "items, orders");
  options = db_->options();
  options.include_tables = {"orders", "cheap_items"};
  EXPECT_EQ(names(options), "cheap_items, orders");
  options.ignore_tables = {"cheap_items"};
  EXPECT_EQ(names(options), "orders");
  options = db_->options();
  options.ignore_tables = {"items"};
  EXPECT_EQ(names(options), "cheap_items, orders");
  options.ignore_tables = {"no_such_table"};
  EXPECT_THROW(db_->open(options), std::invalid_argument);
  // Tables created after opening are listed too.
  const CustomSQLDatabase db = db_->open();
  db_->exec("CREATE TABLE added_later (a INTEGER)");
  EXPECT_EQ(ListSQLDatabaseTool(db)._run(), "added_later, cheap_items, items, orders");
}

TEST_P(BackendTest, InfoDescribesTablesAndNamesUnknownOnes) {
  create_items();
  db_->exec_all(
      {"CREATE TABLE orders (id INTEGER PRIMARY KEY, item_id INTEGER NOT NULL, "
       "FOREIGN KEY (item_id) REFERENCES items (id))",
       "CREATE VIEW cheap_items AS SELECT id, name FROM items WHERE price < 1"});
  const CustomSQLDatabase db = db_->open();
  const InfoSQLDatabaseTool info(db);

  const std::string items = info._run("items");
  EXPECT_THAT(items, HasSubstr("CREATE TABLE"));
  EXPECT_THAT(items, HasSubstr("items"));
  EXPECT_THAT(items, HasSubstr("name"));
  const std::string price_1 = dialect() == "sqlite" ? "0.5" : "Decimal('0.50')";
  EXPECT_THAT(items, HasSubstr("/*\n3 sample rows from items (id, name, price):\n(1, 'apple', " +
                               price_1 + ")\n(2, 'pear', "));
  EXPECT_THAT(items, EndsWith("(3, 'fig', None)\n*/"));

  const std::string orders = info._run("orders");
  EXPECT_THAT(orders, HasSubstr("PRIMARY KEY"));
  EXPECT_THAT(orders, HasSubstr("REFERENCES"));
  EXPECT_THAT(orders, HasSubstr("0 sample rows from orders (id, item_id)\n*/"));
  EXPECT_THAT(info._run("cheap_items"), HasSubstr("VIEW"));

  // The listing text, a "," list with blanks, and names differing in case all work.
  const std::string all = info._run(ListSQLDatabaseTool(db)._run());
  EXPECT_EQ(all, info._run(""));
  EXPECT_EQ(all, info._run(" cheap_items ,items,orders, "));
  EXPECT_EQ(info._run("Items"), items);
  EXPECT_EQ(info._run("items,items"), items);
  const auto pos_items = all.find("sample rows from items (");
  const auto pos_orders = all.find("sample rows from orders (");
  const auto pos_view = all.find("1 sample row from cheap_items (id, name):\n(1, 'apple')\n*/");
  EXPECT_NE(pos_view, std::string::npos);
  EXPECT_TRUE(pos_view < pos_items && pos_items < pos_orders) << all;

  // Unknown names: named, with the valid ones, and the known ones still described.
  const std::string mixed = info._run("items,customers,prodcuts");
  EXPECT_THAT(mixed, StartsWith("Unknown tables: customers, prodcuts. Valid table names: "
                                "cheap_items, items, orders.\n\n"));
  EXPECT_THAT(mixed, EndsWith(items));
  EXPECT_EQ(info._run("nope"),
            "Unknown table: nope. Valid table names: cheap_items, items, orders.");
  EXPECT_THROW(db.get_table_info({"nope"}), std::invalid_argument);

  // Without sample rows: the statements alone, the same ones.
  const std::string bare = db.get_table_info({"items", "orders"}, 0);
  EXPECT_THAT(bare, Not(HasSubstr("sample row")));
  EXPECT_EQ(bare.substr(0, bare.find("\n\n")), items.substr(0, items.find("\n\n")));
}

// SQLite and MySQL give their own CREATE text; PostgreSQL's is rebuilt from the catalog.
TEST_P(PostgresTest, ReconstructedCreateStatementShowsKeys) {
  create_items();
  db_->exec(
      "CREATE TABLE orders (id SERIAL PRIMARY KEY, item_id INTEGER NOT NULL "
      "REFERENCES items (id), qty INTEGER DEFAULT 1 CHECK (qty > 0), note TEXT)");
  const std::string text = InfoSQLDatabaseTool(db_->open())._run("orders");
  EXPECT_THAT(text, StartsWith("CREATE TABLE orders (\n"
                               "  id integer DEFAULT nextval('orders_id_seq'::regclass) NOT NULL,\n"
                               "  item_id integer NOT NULL,\n"
                               "  qty integer DEFAULT 1,\n"
                               "  note text,\n"
                               "  CONSTRAINT orders_pkey PRIMARY KEY (id),\n"
                               "  CONSTRAINT orders_item_id_fkey FOREIGN KEY (item_id) "
                               "REFERENCES items(id),\n"
                               "  CONSTRAINT orders_qty_check CHECK (qty > 0)\n"
                               ")"));
}

TEST_P(BackendTest, ConcurrentCallsShareASmallPool) {
  create_items();
  DatabaseOptions options = db_->options();
  options.pool_size = 2;
  const CustomSQLDatabase db = db_->open(options);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 15; ++i) {
        const int id = 1 + (t + i) % 3;
        const std::string expected = std::string("[(") + std::to_string(id) + ",)]";
        try {
          if (db.run("SELECT id FROM items WHERE id = " + std::to_string(id)) != expected) ++wrong;
          if (i % 5 == 0) (void)ListSQLDatabaseTool(db)._run();
        } catch (const std::exception&) {
          ++wrong;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_P(ServerTest, ALostConnectionIsReplaced) {
  DatabaseOptions options = db_->options();
  options.pool_size = 1;
  const CustomSQLDatabase db = db_->open(options);
  const std::string id_query =
      dialect() == "postgresql" ? "SELECT pg_backend_pid()" : "SELECT CONNECTION_ID()";
  std::string id = db.run(id_query);
  ASSERT_THAT(id, StartsWith("[("));
  id = id.substr(2, id.size() - 5);
  db_->exec(dialect() == "postgresql" ? "SELECT pg_terminate_backend(" + id + ")" : "KILL " + id);
  // The first statement may see the loss; the one after it runs on a new connection.
  try {
    db.run("SELECT 1");
  } catch (const DatabaseError&) {
  }
  EXPECT_EQ(db.run("SELECT 1"), "[(1,)]");
  EXPECT_NE(db.run(id_query), "[(" + id + ",)]");
}

// A session lock taken by a statement must not outlive it on the pooled connection, where it
// would block every other client of the database until the pool closes.
TEST_P(ServerTest, SessionLocksDoNotOutliveTheStatement) {
  DatabaseOptions options = db_->options();
  options.pool_size = 1;
  const CustomSQLDatabase holder = db_->open(options);
  const CustomSQLDatabase other = db_->open(options);
  const bool pg = dialect() == "postgresql";
  const std::string key = pg ? "424242" : "'askdb_test_session_lock'";
  EXPECT_EQ(holder.run(pg ? "SELECT pg_try_advisory_lock(" + key + ")"
                          : "SELECT GET_LOCK(" + key + ", 0)"),
            pg ? "[(True,)]" : "[(1,)]");
  EXPECT_EQ(other.run(pg ? "SELECT pg_try_advisory_lock(" + key + ")"
                         : "SELECT IS_FREE_LOCK(" + key + ")"),
            pg ? "[(True,)]" : "[(1,)]");
}

}  // namespace
}  // namespace sql_database
