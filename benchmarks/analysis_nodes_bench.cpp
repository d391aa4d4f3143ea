// Warm runs of PandasExecutor::invoke on typical model-written analysis code: a DataFrame built
// from a pasted result literal, a groupby and a print; and the same with a matplotlib chart saved
// to a file. Each benchmark warms up first (pandas and matplotlib imported), as a graph that has
// answered one question is.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "answer_graph/sql_state.hpp"
#include "answer_nodes/analysis_nodes.hpp"

namespace {

using state_graph::Value;

// The result of a query, as the SQL execution node writes it.
constexpr const char* kResultLiteral =
    "[(datetime.date(2024, 1, 31), 'north', Decimal('1250.50'), 12), "
    "(datetime.date(2024, 1, 31), 'south', Decimal('980.00'), 9), "
    "(datetime.date(2024, 2, 29), 'north', Decimal('1410.25'), 14), "
    "(datetime.date(2024, 2, 29), 'south', Decimal('1022.75'), 10), "
    "(datetime.date(2024, 3, 31), 'north', Decimal('1333.00'), 13), "
    "(datetime.date(2024, 3, 31), 'south', Decimal('1101.40'), 11), "
    "(datetime.date(2024, 4, 30), 'east', None, 0)]";

std::string typical_code() {
  return std::string(
             "from decimal import Decimal\n"
             "import pandas as pd\n"
             "rows = ") +
         kResultLiteral +
         "\n"
         "df = pd.DataFrame(rows, columns=['month', 'region', 'revenue', 'orders'])\n"
         "df['revenue'] = df['revenue'].fillna(0).astype(float)\n"
         "summary = df.groupby('region').agg(revenue=('revenue', 'sum'), "
         "orders=('orders', 'sum'))\n"
         "print(summary)\n"
         "print('Best region:', summary['revenue'].idxmax())\n";
}

std::string chart_code(const std::string& dir) {
  return typical_code() +
         "import os\n"
         "import matplotlib.pyplot as plt\n"
         "os.makedirs('" +
         dir +
         "', exist_ok=True)\n"
         "fig, ax = plt.subplots(figsize=(6, 4))\n"
         "summary['revenue'].plot(kind='bar', ax=ax)\n"
         "ax.set_title('Revenue per region')\n"
         "ax.set_ylabel('Revenue')\n"
         "path = os.path.join('" +
         dir +
         "', 'revenue.png')\n"
         "fig.savefig(path)\n"
         "plt.close(fig)\n"
         "print(path)\n";
}

// The executor keeps its client for the node's contract and never calls it.
answer_nodes::PandasExecutor make_executor() {
  static const chat_model::AzureChatOpenAI model(
      Value{{"base_url", "http://127.0.0.1:9/v1"}, {"model", "unused"}});
  return answer_nodes::PandasExecutor(model);
}

void run_benchmark(benchmark::State& bench, const std::string& code) {
  answer_nodes::PandasExecutor executor = make_executor();
  state_graph::State record = answer_graph::SQLState::make();
  record.merge(Value{{"pandas_code", code}});
  auto check = [&] {
    const state_graph::Update u = executor.invoke(record);
    if (u.values.at("python_execution_success") != true)
      throw std::runtime_error(u.values.at("python_error_message").get<std::string>());
  };
  check();  // warm-up: imports
  for (auto _ : bench) check();
}

void BM_PandasExecutorTypical(benchmark::State& bench) { run_benchmark(bench, typical_code()); }
BENCHMARK(BM_PandasExecutorTypical)->Unit(benchmark::kMillisecond);

void BM_PandasExecutorWithChart(benchmark::State& bench) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("askdb_bench_charts_" + std::to_string(getpid()));
  run_benchmark(bench, chart_code(dir.string()));
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_PandasExecutorWithChart)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
