// dbtool: cost of the connection text and of a full execute call (connect, run, fetch, commit,
// close) against the test servers. Run with the servers of scripts/db-servers:
//   eval "$(scripts/db-servers start)"; build-dbtool/bin/dbtool_bench
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "dbtool/dbtool.hpp"

namespace {

void BM_SqlServerConnectionText(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        dbtool::sql_server_connection_text("sa", "pa;ss}word", "db.local", 1433, "shop"));
  }
}
BENCHMARK(BM_SqlServerConnectionText);

// Configures the settings from scheme://user:pw@host:port/db; false when the variable is unset.
bool configure(const char* variable) {
  const char* value = std::getenv(variable);
  if (value == nullptr) return false;
  const std::string uri = value;
  const auto credentials = uri.find("://") + 3;
  const auto at = uri.rfind('@');
  const auto colon = uri.find(':', credentials);
  const auto slash = uri.find('/', at);
  const auto port_colon = uri.rfind(':', slash);
  dbtool::set_database_config(uri.substr(slash + 1), uri.substr(credentials, colon - credentials),
                              uri.substr(colon + 1, at - colon - 1),
                              uri.substr(at + 1, port_colon - at - 1),
                              dbtool::Value(std::stoll(uri.substr(port_colon + 1))));
  return true;
}

void run_query(benchmark::State& state, const char* variable, bool postgres) {
  if (!configure(variable)) {
    state.SkipWithError("test server variable unset; run eval \"$(scripts/db-servers start)\"");
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
