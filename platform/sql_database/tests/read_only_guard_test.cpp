// The read-only guard as a hostile user meets it, with the test servers' privileged account
// (a PostgreSQL superuser, a MariaDB account with ALL PRIVILEGES): the statements that reach the
// server's files and processes, change settings that outlive a query, or run SQL given as text,
// next to honest reads that must keep working. The data is checked from outside afterwards.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "backend.hpp"
#include "result_text.hpp"
#include "sql_database/custom_sql_database.hpp"
#include "statement_guard.hpp"
#include "test_support/environment.hpp"
#include "test_support/test_database.hpp"
#include "uri.hpp"

namespace sql_database {
namespace {

namespace fs = std::filesystem;
using test_support::TestDatabase;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct GuardCase {
  std::string sql;
  std::string refusal;  // a part of the refusal message; empty: the statement may be sent
};

void check_guard(ServerDialect dialect, const std::vector<GuardCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    const std::string why = refused_statement(c.sql, dialect);
    if (c.refusal.empty()) {
      EXPECT_EQ(why, "");
    } else {
      EXPECT_THAT(why, HasSubstr(c.refusal));
    }
  }
}

TEST(StatementGuard, PostgresFormsAreReadAsTheServerReadsThem) {
  check_guard(
      ServerDialect::postgresql,
      {
          {"COPY items TO '/tmp/x.csv'", "COPY statements are not allowed here"},
          {"copy (select 1) to program 'id'", "COPY statements are not allowed here"},
          {"  /* first */ -- and\n COPY items FROM STDIN", "COPY statements"},
          {"DO $$BEGIN EXECUTE 'COPY items TO ''/tmp/x'''; END$$", "DO statements"},
          {"SET statement_timeout = 0", "SET statements"},
          {"PREPARE p AS SELECT 1", "PREPARE statements"},
          {"EXPLAIN ANALYZE EXECUTE p", "EXECUTE statements"},
          {"CALL p()", "CALL statements"},
          {"SELECT 1; COPY items TO STDOUT", "COPY statements"},
          {"SELECT pg_read_file('/x')",
           "pg_read_file() is not allowed here: it reads or writes files"},
          {"SELECT pg_catalog.pg_read_binary_file('/x')", "pg_read_binary_file()"},
          {"SELECT * FROM pg_ls_dir('.')", "pg_ls_dir()"},
          {"SELECT \"pg_read_file\"('/x')", "pg_read_file()"},
          {"SELECT U&\"pg\\005fread_file\"('/x')", "pg_read_file()"},
          {"SELECT U&\"x\" UESCAPE '!'", "UESCAPE"},
          {"SELECT PG_READ_FILE /* gap */ ('/x')", "pg_read_file()"},
          {"SELECT lo_import('/x')", "lo_import() is not allowed here: large objects"},
          {"SELECT lo_export(1, '/x')", "lo_export()"},
          {"SELECT pg_terminate_backend(pg_backend_pid())", "pg_terminate_backend()"},
          {"WITH x AS (SELECT 1) SELECT pg_stat_reset()", "pg_stat_reset()"},
          {"SELECT query_to_xml('select 1', true, false, '')", "query_to_xml() is not allowed"},
          {"SELECT dblink_exec('dbname=x', 'DELETE FROM t')", "dblink_exec()"},
          // With standard_conforming_strings on, '\' is a whole string and the call is code.
          {"SELECT '\\', pg_read_file('/x') --'", "pg_read_file()"},
          {"SELECT $a$ x $a$, pg_read_file('/x')", "pg_read_file()"},
          {"SELECT E'\\'', pg_ls_dir('.') -- '", "pg_ls_dir()"},
          // Names inside strings, dollar quotes and comments are text, not code.
          {"SELECT 'COPY items TO PROGRAM ''id''' AS note", ""},
          {"SELECT $$ pg_read_file('/x') $$", ""},
          {"SELECT $tag$ SET x = 1; COPY t $tag$", ""},
          {"SELECT 1 -- pg_terminate_backend(1)", ""},
          {"SELECT /* outer /* inner */ pg_read_file('/x') */ 1", ""},
          {"SELECT E'it\\'s', 'pg_ls_dir(''.'')'", ""},
          {"SELECT copy_count, set_name, pg_read_file FROM items", ""},
          {"SELECT \"copy\" FROM items", ""},
          {"TABLE items", ""},
          {"VALUES (1)", ""},
          {"SHOW search_path", ""},
          {"EXPLAIN (ANALYZE, FORMAT JSON) SELECT 1", ""},
          {"(SELECT 1) UNION (SELECT 2)", ""},
          {"WITH t AS (SELECT 1) SELECT * FROM t", ""},
          // Not a statement keyword: the server reports its own syntax error.
          {"SELEC 1", ""},
      });
}

TEST(StatementGuard, MysqlFormsAreReadAsTheServerReadsThem) {
  check_guard(ServerDialect::mysql,
              {
                  {"SET SESSION group_concat_max_len = 4", "SET statements are not allowed here"},
                  {"SET STATEMENT max_statement_time = 0 FOR SELECT SLEEP(100)",
                   "SET STATEMENT ... FOR would lift the statement timeout"},
                  {"set @@global.max_connections = 10", "SET statements"},
                  {"SET GLOBAL max_connections = 10", "SET statements"},
                  {"SET PERSIST max_connections = 10", "SET statements"},
                  {"/*!40101 SET NAMES latin1 */", "SET statements"},
                  {"KILL 42", "KILL statements are not allowed here"},
                  {"KILL QUERY 42", "KILL statements"},
                  {"SHUTDOWN", "SHUTDOWN statements"},
                  {"SELECT 1; SHUTDOWN", "SHUTDOWN statements"},
                  {"SELECT * FROM items INTO OUTFILE '/tmp/x'", "INTO OUTFILE is not allowed here"},
                  {"SELECT * INTO DUMPFILE '/tmp/x' FROM items", "INTO DUMPFILE"},
                  {"SELECT 1 INTO /*!OUTFILE*/ '/tmp/x'", "INTO OUTFILE"},
                  {"SELECT LOAD_FILE('/etc/passwd')", "load_file() is not allowed here"},
                  {"SELECT `load_file`('/x')", "load_file()"},
                  {"SELECT load_file /* gap */ ('/x')", "load_file()"},
                  {"SELECT 1 /*!, LOAD_FILE('/x') */", "load_file()"},
                  {"SELECT 1 /*M!100000 , LOAD_FILE('/x') */", "load_file()"},
                  // Read without backslash escapes (NO_BACKSLASH_ESCAPES), the call is code.
                  {"SELECT 'a\\' , LOAD_FILE('/x') -- '", "load_file()"},
                  {"SELECT \"a\\\" , LOAD_FILE('/x') -- \"", "load_file()"},
                  {"SELECT sys_exec('id')", "sys_exec()"},
                  {"EXECUTE IMMEDIATE 'SELECT LOAD_FILE(0x2f)'", "EXECUTE statements"},
                  {"PREPARE s FROM 'SELECT 1'", "PREPARE statements"},
                  {"BEGIN NOT ATOMIC SELECT 1; END", "BEGIN statements"},
                  {"lbl: LOOP SELECT 1; END LOOP lbl", "labelled compound statements"},
                  {"DO SLEEP(100)", "DO statements"},
                  {"LOCK TABLES items READ", "LOCK statements"},
                  {"FLUSH TABLES WITH READ LOCK", "FLUSH statements"},
                  {"HANDLER items OPEN", "HANDLER statements"},
                  {"USE mysql", "USE statements"},
                  {"CALL p()", "CALL statements"},
                  {"LOAD DATA INFILE '/x' INTO TABLE items", "LOAD statements"},
                  {"EXPLAIN UPDATE items SET name = 'x'", "UPDATE statements"},
                  {"SELECT 'SET GLOBAL x = 1', \"KILL 5\"", ""},
                  {"SELECT 'INTO OUTFILE ''/tmp/x'''", ""},
                  {"SELECT \"LOAD_FILE('/x')\"", ""},
                  {"SELECT 1 # SHUTDOWN", ""},
                  {"SELECT 1 -- KILL 5", ""},
                  {"SELECT 1 /* LOAD_FILE('/x') */", ""},
                  {"/* SHUTDOWN */ SELECT 1", ""},
                  {"SELECT 'C:\\\\dir\\\\'", ""},
                  {"SELECT set_id, kill_count, `set` FROM items", ""},
                  {"SHOW TABLES", ""},
                  {"DESCRIBE items", ""},
                  {"DESC items", ""},
                  {"EXPLAIN SELECT 1", ""},
                  {"TABLE items", ""},
                  {"VALUES ROW(1)", ""},
                  {"WITH t AS (SELECT 1) SELECT * FROM t", ""},
                  {"(SELECT 1)", ""},
                  {"SELEC 1", ""},
              });
}

// Runs `sql` and expects a refusal whose message holds `message` (any DatabaseError when empty).
void expect_refused(const CustomSQLDatabase& db, const std::string& sql,
                    const std::string& message) {
  SCOPED_TRACE(sql);
  try {
    const std::string out = db.run(sql);
    ADD_FAILURE() << "ran and returned " << out;
  } catch (const DatabaseError& e) {
    if (!message.empty()) {
      EXPECT_THAT(e.what(), HasSubstr(message));
    }
  }
}

class GuardTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    std::string skip;
    db_ = test_support::make_test_database(GetParam(), skip);
    if (!db_) GTEST_SKIP() << skip;
    dir_ = fs::path(::testing::TempDir()) / test_support::unique_name("askdb_guard_");
    fs::create_directories(dir_);
    // The servers run as other users; the files they might be asked to read or write are theirs
    // to reach.
    fs::permissions(dir_, fs::perms::all);
    secret_ = (dir_ / "secret.txt").string();
    std::ofstream(secret_) << "a secret the database server must not hand out\n";
    fs::permissions(secret_, fs::perms::owner_read | fs::perms::group_read |
                                 fs::perms::others_read | fs::perms::owner_write);
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }

  const std::string& dialect() const { return db_->dialect(); }

  void create_items() {
    db_->exec_all(
        {"CREATE TABLE items (id INTEGER PRIMARY KEY, name VARCHAR(40) NOT NULL, "
         "price DECIMAL(8, 2))",
         "INSERT INTO items VALUES (1, 'apple', 0.50), (2, 'pear', 1.25), (3, 'fig', NULL)"});
  }

  // Row count and full contents of `items`, and the number of tables, read through the test's
  // own connection.
  std::string fingerprint() {
    if (dialect() == "sqlite")
      return db_->scalar(
          "SELECT count(*) || '|' || group_concat(id || ',' || name || ',' || ifnull(price, ''), "
          "';') || '|' || (SELECT count(*) FROM sqlite_master) FROM (SELECT * FROM items ORDER "
          "BY id)");
    if (dialect() == "postgresql")
      return db_->scalar(
          "SELECT count(*) || '|' || md5(string_agg(t::text, ';' ORDER BY id)) || '|' || "
          "(SELECT count(*) FROM pg_class WHERE relnamespace = current_schema()::regnamespace) "
          "FROM items t");
    return db_->scalar(
        "SELECT CONCAT(COUNT(*), '|', MD5(GROUP_CONCAT(CONCAT_WS(',', id, name, IFNULL(price, "
        "'')) ORDER BY id SEPARATOR ';')), '|', (SELECT COUNT(*) FROM information_schema.TABLES "
        "WHERE TABLE_SCHEMA = DATABASE())) FROM items");
  }

  std::unique_ptr<TestDatabase> db_;
  fs::path dir_;
  std::string secret_;
};

std::string param_name(const ::testing::TestParamInfo<std::string>& info) { return info.param; }

INSTANTIATE_TEST_SUITE_P(Databases, GuardTest, ::testing::Values("sqlite", "postgresql", "mysql"),
                         param_name);
class MysqlGuardTest : public GuardTest {};
INSTANTIATE_TEST_SUITE_P(Mysql, MysqlGuardTest, ::testing::Values("mysql"), param_name);

TEST_P(GuardTest, HostileStatementsAreRefusedAndChangeNothing) {
  create_items();
  const std::string written = (dir_ / "written.out").string();
  const std::string marker = (dir_ / "program-ran").string();
  std::vector<GuardCase> refused = {
      {"INSERT INTO items VALUES (4, 'plum', 2.00)", ""},
      {"UPDATE items SET name = 'changed'", ""},
      {"DELETE FROM items", ""},
      {"DROP TABLE items", ""},
      {"CREATE TABLE created_by_model (a INTEGER)", ""},
      {"ALTER TABLE items ADD COLUMN extra INTEGER", ""},
      {"SELECT 1; DELETE FROM items", ""},
      {"DELETE FROM items; SELECT 1", ""},
  };
  if (dialect() == "sqlite") {
    db_->exec_all({"CREATE INDEX items_name ON items (name)",
                   "CREATE TABLE orders (id INTEGER PRIMARY KEY, item_id INTEGER REFERENCES "
                   "items (id))",
                   "CREATE VIRTUAL TABLE notes5 USING fts5(body)",
                   "INSERT INTO notes5 VALUES ('hello world')",
                   "CREATE VIRTUAL TABLE notes3 USING fts3(body)",
                   "INSERT INTO notes3 VALUES ('hello there')"});
    refused.insert(refused.end(),
                   {
                       {"SELECT fts3_tokenizer('simple')", "not authorized"},
                       {"SELECT fts3_tokenizer('simple', x'4141414141414141')", "not authorized"},
                       {"SELECT load_extension('libm')", "not authorized"},
                       {"SELECT readfile('" + secret_ + "')", ""},
                       {"SELECT writefile('" + written + "', 'x')", ""},
                       {"PRAGMA table_info(items)", "not authorized"},
                       {"PRAGMA writable_schema = 1", "not authorized"},
                       {"ATTACH DATABASE '" + written + "' AS x", "not authorized"},
                       {"INSERT INTO notes5 VALUES ('added')", ""},
                       {"INSERT INTO notes5 (notes5) VALUES ('optimize')", ""},
                       {"VACUUM", ""},
                   });
  } else if (dialect() == "postgresql") {
    refused.insert(
        refused.end(),
        {
            {"COPY items TO '" + written + "'", "COPY statements are not allowed here"},
            {"COPY (SELECT 1) TO PROGRAM 'touch " + marker + "'", "COPY statements"},
            {"COPY items FROM '" + secret_ + "'", "COPY statements"},
            {"COPY items TO STDOUT", "COPY statements"},
            {"SELECT pg_read_file('" + secret_ + "')", "pg_read_file() is not allowed here"},
            {"SELECT pg_catalog.pg_read_binary_file('" + secret_ + "')", "pg_read_binary_file()"},
            {"SELECT \"pg_read_file\"('" + secret_ + "')", "pg_read_file()"},
            {"SELECT * FROM pg_ls_dir('.')", "pg_ls_dir()"},
            {"SELECT pg_stat_file('" + secret_ + "')", "pg_stat_file()"},
            {"SELECT lo_import('" + secret_ + "')", "lo_import()"},
            {"SELECT lo_export(0, '" + written + "')", "lo_export()"},
            {"SELECT pg_terminate_backend(pg_backend_pid())", "pg_terminate_backend()"},
            {"SELECT pg_cancel_backend(pg_backend_pid())", "pg_cancel_backend()"},
            {"SELECT pg_reload_conf()", "pg_reload_conf()"},
            {"SELECT query_to_xml('SELECT pg_read_file(''" + secret_ + "'')', true, false, '')",
             "query_to_xml()"},
            {"DO $$BEGIN EXECUTE 'COPY (SELECT 1) TO PROGRAM ''touch " + marker + "'''; END$$",
             "DO statements"},
            {"SELECT '\\', pg_read_file('" + secret_ + "') --'", "pg_read_file()"},
            {"SET statement_timeout = 0", "SET statements"},
            {"PREPARE p AS SELECT 1", "PREPARE statements"},
            {"TRUNCATE items", "TRUNCATE statements"},
            {"WITH d AS (DELETE FROM items RETURNING id) SELECT * FROM d", "read-only transaction"},
            {"SELECT 1; COMMIT; DELETE FROM items", ""},
        });
  } else {
    refused.insert(
        refused.end(),
        {
            {"SELECT * FROM items INTO OUTFILE '" + written + "'", "INTO OUTFILE is not allowed"},
            {"SELECT name FROM items LIMIT 1 INTO DUMPFILE '" + written + "'", "INTO DUMPFILE"},
            {"SELECT LOAD_FILE('" + secret_ + "')", "load_file() is not allowed here"},
            {"SELECT 1 /*!, LOAD_FILE('" + secret_ + "') */", "load_file()"},
            {"SET GLOBAL max_connections = @@global.max_connections", "SET statements"},
            {"SET @@global.max_connections = @@global.max_connections", "SET statements"},
            {"SET STATEMENT max_statement_time = 0 FOR SELECT SLEEP(0)", "SET statements"},
            {"SET SESSION group_concat_max_len = 4", "SET statements"},
            {"KILL 999999999", "KILL statements"},
            {"KILL QUERY 999999999", "KILL statements"},
            {"EXECUTE IMMEDIATE 'SELECT LOAD_FILE(0x2f)'", "EXECUTE statements"},
            {"BEGIN NOT ATOMIC SELECT 1; END", "BEGIN statements"},
            {"PREPARE s FROM 'SELECT 1'", "PREPARE statements"},
            {"DO SLEEP(0)", "DO statements"},
            {"LOCK TABLES items READ", "LOCK statements"},
            {"FLUSH TABLES", "FLUSH statements"},
            {"USE mysql", "USE statements"},
            {"LOAD DATA INFILE '" + secret_ + "' INTO TABLE items", "LOAD statements"},
            {"TRUNCATE items", "TRUNCATE statements"},
            {"REPLACE INTO items VALUES (1, 'x', 1)", "REPLACE statements"},
            {"GRANT SELECT ON *.* TO 'model'@'%'", "GRANT statements"},
        });
  }

  const std::string before = fingerprint();
  DatabaseOptions options = db_->options();
  options.pool_size = 1;  // every statement on the same connection
  const CustomSQLDatabase db = db_->open(options);
  for (const auto& c : refused) expect_refused(db, c.sql, c.refusal);
  RecordProperty("refused_statements", static_cast<int>(refused.size()));

  EXPECT_EQ(fingerprint(), before);
  EXPECT_FALSE(fs::exists(written));
  EXPECT_FALSE(fs::exists(marker)) << "a program ran on the database server";

  // Honest reads, also those naming refused forms inside strings and comments, still work on the
  // same connection.
  std::vector<std::pair<std::string, std::string>> reads = {
      {"SELECT COUNT(*) FROM items", "[(3,)]"},
      {"SELECT COUNT(*) FROM items WHERE name <> 'SET x = 1; COPY items; KILL 1'", "[(3,)]"},
      {"SELECT COUNT(*) FROM items -- INTO OUTFILE 'x'\n", "[(3,)]"},
      {"SELECT COUNT(*) /* pg_read_file('x') LOAD_FILE('x') */ FROM items", "[(3,)]"},
      {"SELECT 'fts3_tokenizer(1), pg_read_file(1), LOAD_FILE(1)'",
       "[('fts3_tokenizer(1), pg_read_file(1), LOAD_FILE(1)',)]"},
  };
  if (dialect() == "sqlite") {
    // Table-valued functions and full-text reads: see the SQLite tests.
    reads.push_back({"SELECT body FROM notes3 WHERE notes3 MATCH 'there'", "[('hello there',)]"});
  } else if (dialect() == "postgresql") {
    reads.insert(reads.end(), {
                                  {"SELECT $$pg_read_file('x')$$", "[(\"pg_read_file('x')\",)]"},
                                  {"TABLE items LIMIT 1", "[(1, 'apple', Decimal('0.50'))]"},
                                  {"SELECT COUNT(*) FROM items WHERE name = E'it\\'s'", "[(0,)]"},
                              });
  } else {
    reads.insert(reads.end(), {
                                  {"SELECT \"LOAD_FILE(x)\"", "[('LOAD_FILE(x)',)]"},
                                  {"SELECT COUNT(*) FROM items # SHUTDOWN", "[(3,)]"},
                                  {"SHOW TABLES", "[('items',)]"},
                                  {"SELECT COUNT(*) FROM items WHERE name = 'it\\'s'", "[(0,)]"},
                              });
  }
  for (const auto& [sql, expected] : reads) {
    SCOPED_TRACE(sql);
    try {
      EXPECT_EQ(db.run(sql), expected);
    } catch (const DatabaseError& e) {
      ADD_FAILURE() << "refused: " << e.what();
    }
  }
  EXPECT_EQ(fingerprint(), before);
}

// An account of the server's own, dropped again at the end of the test.
class TestAccount {
 public:
  TestAccount(TestDatabase& db, std::vector<std::string> grants) : db_(db) {
    name_ = test_support::unique_name("askdb_reader_");
    const ParsedUri server = parse_uri(db.uri());
    const bool pg = db.dialect() == "postgresql";
    std::vector<std::string> setup;
    if (pg) {
      const std::string schema = db.options().schema;
      setup = {"CREATE ROLE " + name_ + " LOGIN PASSWORD 'reader-pw'",
               "GRANT USAGE ON SCHEMA " + schema + " TO " + name_,
               "GRANT SELECT ON ALL TABLES IN SCHEMA " + schema + " TO " + name_};
      drop_ = {"DROP OWNED BY " + name_, "DROP ROLE " + name_};
    } else {
      account_ = "'" + name_ + "'@'127.0.0.1'";
      setup = {"CREATE USER " + account_ + " IDENTIFIED BY 'reader-pw'",
               "GRANT SELECT ON " + server.database + ".* TO " + account_};
      drop_ = {"DROP USER " + account_};
    }
    for (auto& grant : grants) {
      const auto at = grant.find("{}");
      if (at != std::string::npos) grant.replace(at, 2, pg ? name_ : account_);
      setup.push_back(grant);
    }
    db_.exec(setup.front());
    created_ = true;  // dropped again also when a later setup statement fails
    db_.exec_all(std::vector<std::string>(setup.begin() + 1, setup.end()));
    uri_ = (pg ? "postgresql://" : "mysql://") + name_ + ":reader-pw@" + server.host + ":" +
           std::to_string(server.port) + "/" + server.database;
  }
  ~TestAccount() {
    if (!created_) return;
    try {
      db_.exec_all(drop_);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "could not drop the test account: " << e.what();
    }
  }
  const std::string& uri() const { return uri_; }

 private:
  TestDatabase& db_;
  std::string name_, account_, uri_;
  std::vector<std::string> drop_;
  bool created_ = false;
};

TEST_P(GuardTest, PrivilegedAccountsAreFoundWhenOpened) {
  create_items();
  const CustomSQLDatabase admin = db_->open();
  const AccountPrivileges& found = admin.account_privileges();
  if (dialect() == "sqlite") {
    EXPECT_FALSE(found.privileged);
    EXPECT_TRUE(found.reasons.empty());
    EXPECT_EQ(found.read_only_grants, "");
    return;
  }
  const bool pg = dialect() == "postgresql";
  // The test servers' account: a superuser, and ALL PRIVILEGES on MariaDB.
  EXPECT_TRUE(found.privileged);
  EXPECT_EQ(found.reasons, std::vector<std::string>{pg ? "superuser" : "ALL PRIVILEGES"});
  const ParsedUri server = parse_uri(db_->uri());
  EXPECT_THAT(
      found.read_only_grants,
      HasSubstr(
          pg ? "GRANT SELECT ON ALL TABLES IN SCHEMA " + db_->options().schema + " TO askdb_reader;"
             : "GRANT SELECT, SHOW VIEW ON `" + server.database + "`.* TO 'askdb_reader'@'%';"));

  struct AccountCase {
    std::vector<std::string> grants;  // "{}" stands for the account
    std::vector<std::string> reasons;
  };
  std::vector<AccountCase> accounts(1);  // a plain reader first
  if (pg) {
    accounts.push_back({{"GRANT pg_read_server_files TO {}"}, {"member of pg_read_server_files"}});
    accounts.push_back(
        {{"GRANT pg_execute_server_program, pg_write_server_files TO {}"},
         {"member of pg_execute_server_program", "member of pg_write_server_files"}});
  } else {
    accounts.push_back({{"GRANT FILE ON *.* TO {}"}, {"FILE privilege"}});
    accounts.push_back(
        {{"GRANT SHUTDOWN, SUPER ON *.* TO {}"}, {"SHUTDOWN privilege", "SUPER privilege"}});
  }
  for (const auto& account_case : accounts) {
    SCOPED_TRACE(account_case.grants.empty() ? "plain reader" : account_case.grants[0]);
    TestAccount account(*db_, account_case.grants);
    DatabaseOptions options = db_->options();
    options.pool_size = 1;
    const CustomSQLDatabase db = CustomSQLDatabase::from_uri(account.uri(), options);
    EXPECT_EQ(db.account_privileges().privileged, !account_case.reasons.empty());
    EXPECT_EQ(db.account_privileges().reasons, account_case.reasons);
    EXPECT_EQ(db.account_privileges().read_only_grants, found.read_only_grants);
    EXPECT_EQ(db.run("SELECT COUNT(*) FROM items"), "[(3,)]");
    if (account_case.reasons.empty()) {
      // Refused before they reach the server whatever the account: were they sent, a plain
      // account would get "access denied" instead (and the shared test server is not stopped).
      if (pg) {
        expect_refused(db, "SELECT pg_reload_conf()", "pg_reload_conf() is not allowed here");
      } else {
        expect_refused(db, "SHUTDOWN", "SHUTDOWN statements are not allowed here");
        expect_refused(db, "KILL 999999999", "KILL statements are not allowed here");
      }
    }
  }
}

// A session setting changed by one statement must not reach later, unrelated queries on the
// pooled connection.
TEST_P(MysqlGuardTest, SessionSettingsDoNotCarryOverToLaterQueries) {
  db_->exec_all({"CREATE TABLE genres (id INTEGER PRIMARY KEY, name VARCHAR(20))",
                 "INSERT INTO genres VALUES (1, 'Rock'), (2, 'Jazz'), (3, 'Metal')"});
  DatabaseOptions options = db_->options();
  options.pool_size = 1;
  const CustomSQLDatabase db = db_->open(options);
  for (const char* sql :
       {"SET SESSION group_concat_max_len = 4", "SET @@session.group_concat_max_len = 4",
        "SET group_concat_max_len = 4, sql_mode = 'ANSI_QUOTES'", "SET @@group_concat_max_len = 4",
        "/*!SET group_concat_max_len = 4*/"}) {
    expect_refused(db, sql, "SET statements are not allowed here");
    EXPECT_EQ(db.run("SELECT GROUP_CONCAT(name ORDER BY id) FROM genres"),
              "[('Rock,Jazz,Metal',)]");
  }
  EXPECT_EQ(db.run("SELECT @@session.group_concat_max_len, @@session.sql_mode"),
            "[(" + db_->scalar("SELECT @@global.group_concat_max_len") + ", '" +
                db_->scalar("SELECT @@global.sql_mode") + "')]");
}

// A statement the server's own time limit does not end (MySQL's max_execution_time covers SELECT
// only; MariaDB's can be lifted for one statement) is stopped on the server once the client's
// deadline passes, instead of running on after the call gave up.
TEST_P(MysqlGuardTest, AStatementPastItsDeadlineIsStoppedOnTheServer) {
  DatabaseOptions options = db_->options();
  options.statement_timeout = std::chrono::milliseconds(300);
  options.pool_size = 1;
  MysqlTuning tuning;
  tuning.server_time_limit = false;
  const auto backend = make_mysql_backend(parse_uri(db_->uri()), options, tuning);
  const std::string tag = test_support::unique_name("askdb_sleeper_");
  const std::string sleeper = "SELECT SLEEP(20) AS " + tag;
  auto run = [&](const std::string& sql) {
    ResultText out(ResultText::Limits{}, false);
    backend->run(sql, out);
    return out.finish();
  };
  try {
    const std::string out = run(sleeper);
    FAIL() << "the statement was not stopped: " << out;
  } catch (const DatabaseError& e) {
    EXPECT_THAT(e.what(), HasSubstr("ran longer than the statement timeout of 300 ms and was "
                                    "stopped on the server"));
  }
  // Nothing runs on: the statement is gone from the server's process list (once the server has
  // finished answering the kill).
  const std::string running = "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE INFO = '" +
                              sleeper + "' AND ID <> CONNECTION_ID()";
  std::string count = db_->scalar(running);
  for (int i = 0; i < 100 && count != "0"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    count = db_->scalar(running);
  }
  EXPECT_EQ(count, "0");
  // The backend goes on working, and a statement within the deadline is left alone.
  EXPECT_EQ(run("SELECT SLEEP(0.05) AS slept"), "[(0,)]");
  EXPECT_EQ(run("SELECT 1"), "[(1,)]");
}

}  // namespace
}  // namespace sql_database
