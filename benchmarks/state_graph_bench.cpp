// Engine overhead of one run: a 12-step graph of trivial nodes over the 25-field answer record.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "answer_graph/sql_state.hpp"
#include "state_graph/graph.hpp"

namespace {

using state_graph::State;
using state_graph::Update;
using state_graph::Value;

state_graph::CompiledGraph twelve_steps() {
  state_graph::StateGraph g(answer_graph::SQLState::schema());
  const char* names[] = {"n1", "n2", "n3", "n4", "n5", "n6", "n7", "n8", "n9", "n10", "n11"};
  // n1..n11 in a line, the last one looping back once through a router: 12 steps.
  for (const char* n : names)
    g.add_node(n, [n](const State&) {
      return Update(Value{{"generated_sql_query", {n}}, {"iteration_count", 1}});
    });
  g.set_entry_point("n1");
  for (int i = 0; i + 1 < 11; ++i) g.add_edge(names[i], names[i + 1]);
  g.add_node("final", [](const State& s) {
    return Update(Value{{"final_response", s.get("user_question")}});
  });
  g.add_edge("n11", "final");
  g.add_edge("final", state_graph::END);
  return g.compile();
}

void BM_TwelveStepRun(benchmark::State& st) {
  const auto graph = twelve_steps();
  const Value input{{"user_question", "How many orders were placed in 2024?"},
                    {"save_path", "plots"},
                    {"max_iterations_pandas", 3},
                    {"pandas_code", ""},
                    {"python_executed_output", ""}};
  state_graph::RunnableConfig config{std::nullopt, {"answer_graph"}, 20, 50};
  for (auto _ : st) {
    State result = graph.invoke(input, config);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_TwelveStepRun)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
