// CustomSQLDatabase: result formatting on SQLite, round trips on the test servers, and the
// table tools on a database of 1,000 tables.
//
//   eval "$(scripts/db-servers start)"
//   build/bin/sql_database_bench
//
// The server benchmarks are skipped when ASKDB_TEST_POSTGRES_URI / ASKDB_TEST_MYSQL_URI are unset.

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "sql_database/custom_sql_database.hpp"
#include "sql_database/sql_tools.hpp"
#include "test_support/environment.hpp"

namespace {

namespace fs = std::filesystem;
using sql_database::CustomSQLDatabase;
using sql_database::DatabaseOptions;

fs::path temp_db(const std::string& name) {
  return fs::temp_directory_path() / ("askdb_bench_" + std::to_string(::getpid()) + "_" + name);
}

// Built once per process, removed at exit.
struct Files {
  fs::path big = temp_db("big.db");
  fs::path wide = temp_db("tables.db");
  Files() {
    std::string sql =
        "CREATE TABLE big (id INTEGER PRIMARY KEY, name TEXT, price REAL, created TEXT, note TEXT);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
        "INSERT INTO big SELECT i, 'customer ' || i, i * 0.25, '2024-01-31 12:00:00', "
        "CASE WHEN i % 3 = 0 THEN NULL ELSE 'it''s row ' || i END FROM n;";
    sql_database::create_database_from_sql(big.string(), sql);
    std::string tables = "BEGIN;";
    for (int i = 0; i < 1000; ++i) {
      const std::string t = "table_" + std::to_string(i);
      tables += "CREATE TABLE " + t +
                " (id INTEGER PRIMARY KEY, label TEXT NOT NULL, amount "
                "NUMERIC(10, 2), ref INTEGER REFERENCES table_0 (id));";
      tables += "INSERT INTO " + t +
                " VALUES (1, 'a', 1.5, NULL), (2, 'b', 2.5, 1), (3, 'c', "
                "NULL, 1), (4, 'd', 4.0, 2);";
    }
    tables += "COMMIT;";
    sql_database::create_database_from_sql(wide.string(), tables);
  }
  ~Files() {
    std::error_code ec;
    fs::remove(big, ec);
    fs::remove(wide, ec);
  }
};

Files& files() {
  static Files f;
  return f;
}

void BM_SqliteRun100kRowsBounded(benchmark::State& state) {
  const auto db = CustomSQLDatabase::from_uri("sqlite:///" + files().big.string());
  std::size_t size = 0;
  for (auto _ : state) {
    const std::string text = db.run("SELECT * FROM big");
    size = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["text_chars"] = static_cast<double>(size);
  state.counters["rows/s"] = benchmark::Counter(100000.0 * static_cast<double>(state.iterations()),
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SqliteRun100kRowsBounded)->Unit(benchmark::kMillisecond);

void BM_SqliteRun100kRowsUnbounded(benchmark::State& state) {
  DatabaseOptions options;
  options.max_result_chars = 0;
  const auto db = CustomSQLDatabase::from_uri("sqlite:///" + files().big.string(), options);
  std::size_t size = 0;
  for (auto _ : state) {
    const std::string text = db.run("SELECT * FROM big");
    size = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["text_chars"] = static_cast<double>(size);
  state.counters["rows/s"] = benchmark::Counter(100000.0 * static_cast<double>(state.iterations()),
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SqliteRun100kRowsUnbounded)->Unit(benchmark::kMillisecond);

void server_queries(benchmark::State& state, const char* variable) {
  const auto server = test_support::server_from_environment(variable);
  if (!server) {
    state.SkipWithError(test_support::missing_server_message(variable).c_str());
    for (auto _ : state) {
    }
    return;
  }
  DatabaseOptions options;
  options.pool_size = 1;  // one connection, reused by every query
  const auto db = CustomSQLDatabase::from_uri(server->uri, options);
  for (auto _ : state) {
    for (int i = 0; i < 200; ++i) {
      std::string text = db.run("SELECT " + std::to_string(i) + " AS n, 'row' AS label");
      benchmark::DoNotOptimize(text.data());
    }
  }
  state.counters["queries/s"] = benchmark::Counter(200.0 * static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
}

void BM_Postgres200SmallQueries(benchmark::State& state) {
  server_queries(state, "ASKDB_TEST_POSTGRES_URI");
}
BENCHMARK(BM_Postgres200SmallQueries)->Unit(benchmark::kMillisecond);

void BM_Mysql200SmallQueries(benchmark::State& state) {
  server_queries(state, "ASKDB_TEST_MYSQL_URI");
}
BENCHMARK(BM_Mysql200SmallQueries)->Unit(benchmark::kMillisecond);

void BM_List1000Tables(benchmark::State& state) {
  const auto db = CustomSQLDatabase::from_uri("sqlite:///" + files().wide.string());
  const sql_database::ListSQLDatabaseTool tool(db);
  for (auto _ : state) {
    std::string text = tool._run();
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_List1000Tables)->Unit(benchmark::kMillisecond);

void BM_InfoFiveOf1000Tables(benchmark::State& state) {
  const auto db = CustomSQLDatabase::from_uri("sqlite:///" + files().wide.string());
  const sql_database::InfoSQLDatabaseTool tool(db);
  for (auto _ : state) {
    std::string text = tool._run("table_1,table_10,table_100,table_500,table_999");
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_InfoFiveOf1000Tables)->Unit(benchmark::kMillisecond);

void BM_InfoAll1000Tables(benchmark::State& state) {
  const auto db = CustomSQLDatabase::from_uri("sqlite:///" + files().wide.string());
  const sql_database::InfoSQLDatabaseTool tool(db);
  std::size_t size = 0;
  for (auto _ : state) {
    std::string text = tool._run("");
    size = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["text_chars"] = static_cast<double>(size);
}
BENCHMARK(BM_InfoAll1000Tables)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
