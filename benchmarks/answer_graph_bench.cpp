// The whole graph on the demo database with a model that answers after a fixed delay: how much
// time a question costs beyond the model's own, and what concurrent questions cost each other.
//
//   build/bin/answer_graph_bench
//
// Counters: overhead_ratio = (wall time - analysis run) / (model calls x delay) for one question;
// model_calls per question; concurrent_ratio = mean latency of 16 questions at once / latency of
// one.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "answer_graph/answer_graph.hpp"
#include "answer_graph/run_trace.hpp"
#include "test_support/fake_chat_server.hpp"
#include "test_support/scripted_model.hpp"

namespace {

namespace fs = std::filesystem;
using state_graph::Value;

constexpr auto kDelay = std::chrono::milliseconds(20);

struct World {
  fs::path dir;
  std::optional<sql_database::CustomSQLDatabase> db;
  test_support::FakeChatServer server;
  test_support::ScriptedModel model{server};
  std::unique_ptr<answer_graph::AnswerGraph> graph;

  World() {
    dir = fs::temp_directory_path() / ("askdb-graph-bench-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ifstream in(ASKDB_DEMO_SEED);
    std::stringstream seed;
    seed << in.rdbuf();
    sql_database::create_database_from_sql((dir / "shop.db").string(), seed.str());
    db.emplace(
        sql_database::CustomSQLDatabase::from_uri("sqlite:///" + (dir / "shop.db").string()));
    test_support::ScriptedModel::Script script;
    script.sql = {
        "SELECT c.name, COUNT(*) FROM products p JOIN categories c ON c.category_id = "
        "p.category_id GROUP BY c.name ORDER BY 2 DESC LIMIT 3"};
    script.code = {"rows = [('a', 1), ('b', 2)]\nprint(max(rows, key=lambda r: r[1])[0])"};
    model.set_default(script);
    model.set_delay(kDelay);
    graph = std::make_unique<answer_graph::AnswerGraph>(
        *db, chat_model::AzureOpenAIChat35(server.compatible_settings("small")),
        chat_model::AzureOpenAIChat4(server.compatible_settings("large")));
  }
  ~World() { fs::remove_all(dir); }

  Value inputs(const std::string& question) const {
    return Value{{"user_question", question},
                 {"save_path", (dir / "charts").string()},
                 {"max_iterations_pandas", 3},
                 {"pandas_code", ""},
                 {"python_executed_output", ""}};
  }
};

World& world() {
  static World w;
  return w;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_EasyPathOverModelTime(benchmark::State& state) {
  World& w = world();
  w.graph->invoke(w.inputs("warm-up"));  // Python and its imports start once per process
  double ratio_sum = 0;
  double calls_sum = 0;
  for (auto _ : state) {
    answer_graph::RunTrace trace;
    const auto start = std::chrono::steady_clock::now();
    w.graph->invoke(w.inputs("Which category has the most products?"), &trace);
    const double wall = seconds_since(start);
    double analysis = 0;
    for (const auto& n : trace.nodes()) {
      if (n.node == "pandas_executor_node") analysis += n.seconds;
    }
    const auto calls = trace.model_calls().size();
    const double model = static_cast<double>(calls) * std::chrono::duration<double>(kDelay).count();
    ratio_sum += (wall - analysis) / model;
    calls_sum += static_cast<double>(calls);
  }
  state.counters["overhead_ratio"] = ratio_sum / static_cast<double>(state.iterations());
  state.counters["model_calls"] = calls_sum / static_cast<double>(state.iterations());
}
BENCHMARK(BM_EasyPathOverModelTime)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_SixteenQuestionsAtOnce(benchmark::State& state) {
  World& w = world();
  w.graph->invoke(w.inputs("warm-up"));
  double ratio_sum = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    w.graph->invoke(w.inputs("single"));
    const double single = seconds_since(start);

    constexpr int kQuestions = 16;
    std::vector<double> latency(kQuestions);
    std::vector<std::thread> threads;
    for (int i = 0; i < kQuestions; ++i) {
      threads.emplace_back([&, i] {
        const auto s = std::chrono::steady_clock::now();
        w.graph->invoke(w.inputs("question " + std::to_string(i)));
        latency[i] = seconds_since(s);
      });
    }
    for (auto& t : threads) t.join();
    double mean = 0;
    for (double l : latency) mean += l / kQuestions;
    ratio_sum += mean / single;
  }
  state.counters["concurrent_ratio"] = ratio_sum / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SixteenQuestionsAtOnce)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
