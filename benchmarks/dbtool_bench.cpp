// dbtool: cost of the connection text and of a full execute call (connect, run, fetch, commit,
// close) against the test servers. Run with the servers of scripts/db-servers:
//   eval "$(scripts/db-servers start)"; build-dbtool/bin/dbtool_bench
#include <benchmark/benchmark.h>

#include <string>

#include "dbtool/dbtool.hpp"
#include "test_support/environment.hpp"

namespace {

void BM_SqlServerConnectionText(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        dbtool::sql_server_connection_text("sa", "pa;ss}word", "db.local", 1433, "shop"));
  }
}
BENCHMARK(BM_SqlServerConnectionText);

// Configures the settings for the test server of `variable`; false when the variable is unset.
bool configure(const char* variable) {
  const auto server = test_support::server_from_environment(variable);
  if (!server) return false;
  dbtool::set_database_config(server->database, server->user, server->password, server->host,
                              dbtool::Value(server->port));
  return true;
}

void run_query(benchmark::State& state, const char* variable, bool postgres) {
  if (!configure(variable)) {
    state.SkipWithError(test_support::missing_server_message(variable).c_str());
    return;
  }
  const std::string sql = postgres ? "SELECT g, g * 1.5, 'row ' || g FROM generate_series(1, " +
                                         std::to_string(state.range(0)) + ") AS g"
                                   : "SELECT seq, seq * 1.5, CONCAT('row ', seq) FROM seq_1_to_" +
                                         std::to_string(state.range(0));
  for (auto _ : state) {
    auto rows = postgres ? dbtool::execute_pgdb_query(sql) : dbtool::execute_mysql_query(sql);
    if (!rows || rows->size() != static_cast<std::size_t>(state.range(0))) {
      state.SkipWithError("query failed");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ExecutePgdbQuery(benchmark::State& state) {
  run_query(state, "ASKDB_TEST_POSTGRES_URI", true);
}
BENCHMARK(BM_ExecutePgdbQuery)->Arg(1)->Arg(10000);

void BM_ExecuteMysqlQuery(benchmark::State& state) {
  run_query(state, "ASKDB_TEST_MYSQL_URI", false);
}
BENCHMARK(BM_ExecuteMysqlQuery)->Arg(1)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
