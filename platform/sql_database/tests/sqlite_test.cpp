#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "sql_database/custom_sql_database.hpp"
#include "sql_database/sql_tools.hpp"
#include "test_support/environment.hpp"

namespace sql_database {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

fs::path temp_path(const std::string& stem) {
  return fs::path(::testing::TempDir()) / (test_support::unique_name(stem) + ".db");
}

std::string file_bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(Sqlite, OpeningReportsMissingAndForeignFiles) {
  const fs::path missing = temp_path("missing_");
  try {
    CustomSQLDatabase::from_uri("sqlite:///" + missing.string());
    FAIL() << "opened a missing file";
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), HasSubstr("unable to open database file"));
    EXPECT_THAT(e.what(), HasSubstr(missing.string()));
  }
  EXPECT_FALSE(fs::exists(missing)) << "the read-only open must not create the file";

  const fs::path text = temp_path("not_a_db_");
  std::ofstream(text) << "this is not a database, just some text that is long enough to matter\n";
  try {
    CustomSQLDatabase::from_uri("sqlite:///" + text.string());
    FAIL() << "opened a text file";
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), HasSubstr("file is not a database"));
  }
  fs::remove(text);
}

TEST(Sqlite, RelativePathsAreFixedWhenOpened) {
  const fs::path dir = fs::path(::testing::TempDir()) / test_support::unique_name("rel_");
  fs::create_directories(dir);
  create_database_from_sql((dir / "shop.db").string(),
                           "CREATE TABLE t (a); INSERT INTO t VALUES (7);");
  const fs::path before = fs::current_path();
  fs::current_path(dir);
  DatabaseOptions options;
  options.pool_size = 3;
  const CustomSQLDatabase db = CustomSQLDatabase::from_uri("sqlite:///shop.db", options);
  fs::current_path(before);
  // Later connections of the pool open the same file although the working directory changed.
  std::vector<std::thread> threads;
  std::atomic<int> right{0};
  for (int i = 0; i < 3; ++i)
    threads.emplace_back([&] {
      if (db.run("SELECT a FROM t") == "[(7,)]") ++right;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(right.load(), 3);
  fs::remove_all(dir);
}

TEST(Sqlite, TheFileIsNeverWritten) {
  const fs::path path = temp_path("ro_");
  create_database_from_sql(path.string(),
                           "CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1), (2);"
                           "CREATE TRIGGER tr AFTER INSERT ON t BEGIN DELETE FROM t; END;");
  const std::string before = file_bytes(path);
  const CustomSQLDatabase db = CustomSQLDatabase::from_uri("sqlite:///" + path.string());
  const std::pair<std::string, std::string> cases[] = {
      {"INSERT INTO t VALUES (3)", "not authorized"},
      {"PRAGMA journal_mode = WAL", "not authorized"},
      {"PRAGMA table_info(t)", "not authorized"},
      {"ATTACH DATABASE '" + path.string() + "-x' AS x", "not authorized"},
      {"SELECT load_extension('mod_spatialite')", "not authorized"},
      {"CREATE TEMP TABLE tt (a)", "not authorized"},
      {"SELECT 1; INSERT INTO t VALUES (3)", "You can only execute one statement at a time"},
      {"SELECT 1; -- a comment\n ; /* and another */ ; SELECT 2", "one statement at a time"},
  };
  for (const auto& [sql, message] : cases) {
    SCOPED_TRACE(sql);
    try {
      db.run(sql);
      FAIL() << "ran";
    } catch (const DatabaseError& e) {
      EXPECT_THAT(e.what(), HasSubstr(message));
    }
  }
  // Blanks, comments and semicolons after the one statement are fine.
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM t; -- done\n;/* end */"), "[(2,)]");
  EXPECT_EQ(file_bytes(path), before);
  EXPECT_FALSE(fs::exists(path.string() + "-x"));
  fs::remove(path);
}

TEST(Sqlite, CreateDatabaseFromSqlIsAllOrNothing) {
  const fs::path path = temp_path("built_");
  create_database_from_sql(path.string(),
                           "BEGIN; CREATE TABLE t (a TEXT); INSERT INTO t VALUES ('x'); COMMIT;");
  EXPECT_EQ(CustomSQLDatabase::from_uri("sqlite:///" + path.string()).run("SELECT a FROM t"),
            "[('x',)]");
  // An existing file is left alone.
  const std::string before = file_bytes(path);
  EXPECT_THROW(create_database_from_sql(path.string(), "CREATE TABLE u (b);"),
               std::invalid_argument);
  EXPECT_EQ(file_bytes(path), before);

  // Failing SQL leaves no file behind, neither the target nor a temporary one.
  const fs::path failed = temp_path("failed_");
  try {
    create_database_from_sql(failed.string(),
                             "CREATE TABLE t (a); INSERT INTO nowhere VALUES (1);");
    FAIL() << "built";
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), HasSubstr("no such table: nowhere"));
  }
  EXPECT_FALSE(fs::exists(failed));
  for (const auto& entry : fs::directory_iterator(failed.parent_path()))
    EXPECT_EQ(entry.path().string().find(failed.string() + ".partial"), std::string::npos)
        << entry.path();
  EXPECT_THROW(create_database_from_sql("/nonexistent-dir/x.db", "CREATE TABLE t (a);"),
               DatabaseError);
  fs::remove(path);
}

TEST(Sqlite, ABrokenViewIsStillDescribed) {
  const fs::path path = temp_path("broken_view_");
  create_database_from_sql(path.string(),
                           "CREATE TABLE t (a); CREATE VIEW v AS SELECT a FROM t; DROP TABLE t;");
  const CustomSQLDatabase db = CustomSQLDatabase::from_uri("sqlite:///" + path.string());
  EXPECT_EQ(ListSQLDatabaseTool(db)._run(), "v");
  EXPECT_EQ(InfoSQLDatabaseTool(db)._run("v"),
            "CREATE VIEW v AS SELECT a FROM t\n\n/*\nNo sample rows from v: no such table: "
            "main.t\n*/");
  fs::remove(path);
}

// Read-only table-valued functions, the pragmas that describe the schema as table-valued
// functions, and full-text tables are read like any table, next to the refusals around them.
TEST(Sqlite, TableValuedFunctionsAndFullTextTablesAreRead) {
  const fs::path path = temp_path("functions_");
  create_database_from_sql(
      path.string(),
      "CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT, price REAL);"
      "INSERT INTO items VALUES (1, 'apple', 0.5), (2, 'pear', 1.25);"
      "CREATE INDEX items_name ON items (name);"
      "CREATE TABLE orders (id INTEGER PRIMARY KEY, item_id INTEGER REFERENCES items (id));"
      "CREATE VIRTUAL TABLE notes5 USING fts5(body); INSERT INTO notes5 VALUES ('hello world');"
      "CREATE VIRTUAL TABLE notes4 USING fts4(body); INSERT INTO notes4 VALUES ('hi four');"
      "CREATE VIRTUAL TABLE notes3 USING fts3(body); INSERT INTO notes3 VALUES ('hello there');");
  const std::string before = file_bytes(path);
  DatabaseOptions options;
  options.pool_size = 1;
  const CustomSQLDatabase db = CustomSQLDatabase::from_uri("sqlite:///" + path.string(), options);
  const std::pair<std::string, std::string> reads[] = {
      {"SELECT name FROM pragma_table_info('items') ORDER BY cid",
       "[('id',), ('name',), ('price',)]"},
      {"SELECT COUNT(*) FROM pragma_table_xinfo('items')", "[(3,)]"},
      {"SELECT name FROM pragma_index_list('items')", "[('items_name',)]"},
      {"SELECT name FROM pragma_index_info('items_name')", "[('name',)]"},
      {"SELECT \"table\", \"from\" FROM pragma_foreign_key_list('orders')",
       "[('items', 'item_id')]"},
      {"SELECT i.name FROM items i, pragma_table_info('items') p WHERE p.name = 'price' AND "
       "i.id = 2",
       "[('pear',)]"},
      {"SELECT value FROM json_each('[1, 2]')", "[(1,), (2,)]"},
      {"SELECT key FROM json_tree('{\"a\": 1}') WHERE key = 'a'", "[('a',)]"},
      {"SELECT body FROM notes5 WHERE notes5 MATCH 'hello'", "[('hello world',)]"},
      {"SELECT body FROM notes4 WHERE notes4 MATCH 'four'", "[('hi four',)]"},
      {"SELECT body FROM notes3 WHERE notes3 MATCH 'there'", "[('hello there',)]"},
      {"SELECT highlight(notes5, 0, '[', ']') FROM notes5('world')", "[('hello [world]',)]"},
  };
  const std::pair<std::string, std::string> refused[] = {
      {"PRAGMA table_info(items)", "not authorized"},
      {"EXPLAIN PRAGMA index_list(items)", "not authorized"},
      {"SELECT name FROM pragma_function_list()", "not authorized"},
      {"INSERT INTO notes5 VALUES ('added')", ""},
      {"INSERT INTO notes5 (notes5) VALUES ('optimize')", ""},
      {"SELECT fts5(NULL)", "not authorized"},
  };
  for (int round = 0; round < 2; ++round) {  // also once the modules are connected
    for (const auto& [sql, expected] : reads) {
      SCOPED_TRACE(sql);
      try {
        EXPECT_EQ(db.run(sql), expected);
      } catch (const DatabaseError& e) {
        ADD_FAILURE() << "refused: " << e.what();
      }
    }
    for (const auto& [sql, message] : refused) {
      SCOPED_TRACE(sql);
      try {
        db.run(sql);
        ADD_FAILURE() << "ran";
      } catch (const DatabaseError& e) {
        EXPECT_THAT(e.what(), HasSubstr(message));
      }
    }
  }
  EXPECT_EQ(file_bytes(path), before);
  fs::remove(path);
}

// One function call that builds a huge value cannot be interrupted by the statement timeout; the
// length limit makes it fail at once instead, with a message saying what the limit is.
TEST(Sqlite, ValuesAreBoundedSoOneCallEndsQuickly) {
  const fs::path path = temp_path("values_");
  create_database_from_sql(path.string(), "CREATE TABLE t (a);");
  DatabaseOptions options;
  options.statement_timeout = std::chrono::seconds(2);
  const CustomSQLDatabase db = CustomSQLDatabase::from_uri("sqlite:///" + path.string(), options);
  for (const char* sql :
       {"SELECT length(zeroblob(100000000))", "SELECT length(hex(randomblob(40000000)))",
        "SELECT length(replace(hex(zeroblob(20000000)), '0', 'ab'))"}) {
    SCOPED_TRACE(sql);
    try {
      const std::string out = db.run(sql);
      ADD_FAILURE() << "ran and returned " << out;
    } catch (const DatabaseError& e) {
      EXPECT_THAT(e.what(), HasSubstr("string or blob too big (a text or blob may hold at most "
                                      "67108864 bytes here)"));
    }
  }
  EXPECT_EQ(db.run("SELECT length(hex(randomblob(1000000)))"), "[(2000000,)]");
  fs::remove(path);
}

// fts3_tokenizer('name', pointer) installs a tokenizer at an address the query chooses; the next
// use of an FTS3 table on the connection then calls it and ends the process. The one-argument
// form hands out a native address.
TEST(Sqlite, Fts3TokenizerIsOutOfReach) {
  const fs::path path = temp_path("tokenizer_");
  create_database_from_sql(path.string(),
                           "CREATE VIRTUAL TABLE notes3 USING fts3(body);"
                           "INSERT INTO notes3 VALUES ('hello there');"
                           "CREATE VIRTUAL TABLE notes5 USING fts5(body);"
                           "INSERT INTO notes5 VALUES ('hello world');");
  DatabaseOptions options;
  options.pool_size = 1;
  const CustomSQLDatabase db = CustomSQLDatabase::from_uri("sqlite:///" + path.string(), options);
  for (const char* sql : {"SELECT hex(fts3_tokenizer('simple'))",
                          "SELECT fts3_tokenizer('simple', x'4141414141414141')",
                          "SELECT \"FTS3_TOKENIZER\"('porter', x'4141414141414141')"}) {
    SCOPED_TRACE(sql);
    try {
      const std::string out = db.run(sql);
      // Were a tokenizer installed, the FTS3 read below would crash the test program.
      FAIL() << "ran and returned " << out;
    } catch (const DatabaseError& e) {
      EXPECT_THAT(e.what(), HasSubstr("not authorized"));
    }
  }
  EXPECT_EQ(db.run("SELECT body FROM notes3 WHERE notes3 MATCH 'hello'"), "[('hello there',)]");
  EXPECT_EQ(db.run("SELECT body FROM notes5 WHERE notes5 MATCH 'hello'"), "[('hello world',)]");
  fs::remove(path);
}

}  // namespace
}  // namespace sql_database
