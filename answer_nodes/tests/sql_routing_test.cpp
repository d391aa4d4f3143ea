#include "answer_nodes/sql_routing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "answer_graph/sql_state.hpp"
#include "state_graph/graph.hpp"

namespace answer_nodes {
namespace {

using answer_graph::SQLState;
using state_graph::State;
using state_graph::Update;
using state_graph::Value;

State state_with(const Value& values) {
  State s = SQLState::make();
  s.merge(values);
  return s;
}

TEST(Initialisation, SeedsWithoutCarryingTheInputBack) {
  State s = state_with(Value{{"user_question", "How many orders?"},
                             {"follow_up_question", {"and last year?"}},
                             {"iteration_count_pandas", 1},
                             {"iteration_count", 2},
                             {"generated_sql_query", {"SELECT 1"}},
                             {"rewritten_question", "old"},
                             {"max_iterations", 9}});
  const Update u = initialisation(s);
  EXPECT_TRUE(u.overwrites.empty());
  EXPECT_EQ(u.values, (Value{{"iteration_count", 0},
                             {"max_iterations", 5},
                             {"rewrite_count", 0},
                             {"rewritten_question", ""},
                             {"generated_sql_query", Value::array()},
                             {"execution_error", Value::array()},
                             {"sql_execution_result", Value::array()}}));
  s.merge(u);
  // Host values stay as given: lists not appended twice, counters not doubled.
  EXPECT_EQ(s.get("follow_up_question"), (Value{"and last year?"}));
  EXPECT_EQ(s.get("iteration_count_pandas"), 1);
  EXPECT_EQ(s.get("iteration_count"), 2);
  EXPECT_EQ(s.get("generated_sql_query"), (Value{"SELECT 1"}));
  EXPECT_EQ(s.get("user_question"), "How many orders?");
  // Seeds that replace do replace.
  EXPECT_EQ(s.get("rewritten_question"), "");
  EXPECT_EQ(s.get("max_iterations"), 5);
  EXPECT_EQ(s.get("rewrite_count"), 0);
}

// The handler and its router agree on every row of the retry policy.
TEST(SqlErrorHandler, TableOfCases) {
  struct Case {
    int count, max, rewrite;
    Value update;
    int count_after, rewrite_after;
    const char* label;
  };
  const Value correction{{"iteration_count", 1}, {"sql_generation_prompt_type", "correction"}};
  const Value failure{{"sql_execution_result", {kSqlFailureMessage}}, {"iteration_count", 0}};
  const std::vector<Case> cases = {
      {0, 5, 0, correction, 1, 0, kRegenerateSqlQuery},
      {3, 5, 0, correction, 4, 0, kRegenerateSqlQuery},
      {4, 5, 0, correction, 5, 0, kRewriteQuery},
      {5, 5, 0, Value{{"rewrite_count", 1}}, 5, 1, kTerminalFailureResponse},
      {3, 5, 1, failure, 3, 1, kTerminalFailureResponse},
      {5, 5, 1, failure, 5, 1, kTerminalFailureResponse},
      {7, 5, 0, failure, 7, 0, kTerminalFailureResponse},
      {0, 0, 0, Value{{"rewrite_count", 1}}, 0, 1, kTerminalFailureResponse},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "count " << c.count << ", max " << c.max << ", rewrite " << c.rewrite);
    State s = state_with(Value{
        {"iteration_count", c.count}, {"max_iterations", c.max}, {"rewrite_count", c.rewrite}});
    const Update u = handle_sql_error(s);
    EXPECT_EQ(u.values, c.update);
    s.merge(u);
    EXPECT_EQ(s.get("iteration_count"), c.count_after);
    EXPECT_EQ(s.get("rewrite_count"), c.rewrite_after);
    EXPECT_EQ(sql_error_handler_condition(s), c.label);
  }
  // Before merging, the router on the handler's input picks the handler's own branch.
  EXPECT_EQ(sql_error_handler_condition(state_with(
                Value{{"iteration_count", 5}, {"max_iterations", 5}, {"rewrite_count", 0}})),
            kRewriteQuery);
  EXPECT_EQ(sql_error_handler_condition(state_with(
                Value{{"iteration_count", 3}, {"max_iterations", 5}, {"rewrite_count", 1}})),
            kTerminalFailureResponse);
}

TEST(SqlRouters, ExecutionAndSyntaxLabels) {
  EXPECT_EQ(sql_execution_condition(state_with(Value{{"execution_success", true}})),
            kPandasGeneration);
  EXPECT_EQ(sql_execution_condition(state_with(Value{{"execution_success", false}})),
            kSqlExecutionError);

  state_graph::RecordSchema with_syntax("R",
                                        {{"is_valid_syntax", state_graph::MergeRule::replace}});
  auto schema = std::make_shared<const state_graph::RecordSchema>(with_syntax);
  for (bool valid : {true, false}) {
    State s(schema);
    s.merge(Value{{"is_valid_syntax", valid}});
    EXPECT_EQ(sql_syntax_condition(s), valid ? kSqlExecute : kSqlSyntaxError);
  }
}

TEST(SqlRouters, MissingFieldsEndTheCall) {
  struct Case {
    const char* what;
    std::function<void(const State&)> call;
    const char* field;
  };
  const std::vector<Case> cases = {
      {"execution condition", [](const State& s) { (void)sql_execution_condition(s); },
       "execution_success"},
      {"syntax condition", [](const State& s) { (void)sql_syntax_condition(s); },
       "is_valid_syntax"},
      {"handler", [](const State& s) { (void)handle_sql_error(s); }, "rewrite_count"},
      {"handler router", [](const State& s) { (void)sql_error_handler_condition(s); },
       "max_iterations"},
  };
  for (const auto& c : cases) {
    try {
      c.call(SQLState::make());
      ADD_FAILURE() << c.what << ": no error";
    } catch (const state_graph::MissingFieldError& e) {
      EXPECT_EQ(e.field(), c.field) << c.what;
    }
  }
}

// The SQL path of the answer graph with scripted stand-ins for the model- and database-backed
// nodes, and the real initialisation, handler and routers.
class SqlRetryGraph : public testing::Test {
 protected:
  struct Trace {
    std::vector<std::string> visits;
    std::vector<std::string> prompt_modes;  // mode seen by each SQL generation
  };

  state_graph::CompiledGraph build(Trace& trace, bool succeed_on_rewrite = false) {
    state_graph::StateGraph g(SQLState::schema());
    auto node = [&trace](std::string name, std::function<Update(const State&)> body) {
      return [&trace, name, body](const State& s) {
        trace.visits.push_back(name);
        return body(s);
      };
    };
    auto empty = [](const State&) { return Update(); };
    g.add_node("init_node", node("init_node", initialisation));
    g.set_entry_point("init_node");
    g.add_node("table_names_lookup_node", node("table_names_lookup_node", [](const State&) {
                 return Update(Value{{"table_names_from_db", "orders,customers"}});
               }));
    g.add_edge("init_node", "table_names_lookup_node");
    g.add_node("relevant_table_names_node", node("relevant_table_names_node", [](const State&) {
                 return Update(Value{{"relevant_tables", {"orders"}}});
               }));
    g.add_edge("table_names_lookup_node", "relevant_table_names_node");
    g.add_node("relevant_schemas_node", node("relevant_schemas_node", [](const State&) {
                 return Update(Value{{"schemas_from_relevant_tables", "CREATE TABLE orders(id)"},
                                     {"sql_generation_prompt_type", "generation"}});
               }));
    g.add_edge("relevant_table_names_node", "relevant_schemas_node");
    g.add_node("sql_generation_node", node("sql_generation_node", [&trace](const State& s) {
                 trace.prompt_modes.push_back(s.get("sql_generation_prompt_type"));
                 const auto n = s.get("generated_sql_query").size() + 1;
                 return Update(Value{{"generated_sql_query", {"SELECT " + std::to_string(n)}}});
               }));
    g.add_edge("relevant_schemas_node", "sql_generation_node");
    g.add_node("rewrite_query_node", node("rewrite_query_node", [](const State&) {
                 return Update(Value{{"rewritten_question", "How many rows are in orders?"}});
               }));
    g.add_edge("rewrite_query_node", "relevant_table_names_node");
    g.add_node("sql_syntax_checker_node", node("sql_syntax_checker_node", [](const State& s) {
                 Value queries = s.get("generated_sql_query");
                 queries.back() = queries.back().get<std::string>() + " -- checked";
                 Update u;
                 u.overwrite("generated_sql_query", queries);
                 return u;
               }));
    g.add_edge("sql_generation_node", "sql_syntax_checker_node");
    g.add_node(
        "sql_execution_node", node("sql_execution_node", [succeed_on_rewrite](const State& s) {
          if (succeed_on_rewrite && !s.get("rewritten_question").get<std::string>().empty())
            return Update(Value{{"sql_execution_result", {"[(3,)]"}},
                                {"execution_success", true},
                                {"pandas_generation_prompt_type", "generation"}});
          return Update(
              Value{{"sql_execution_result", {"no such column: x"}}, {"execution_success", false}});
        }));
    g.add_edge("sql_syntax_checker_node", "sql_execution_node");
    g.add_node("pandas_generator_node", node("pandas_generator_node", empty));
    g.add_node("final_response_generation_node",
               node("final_response_generation_node", [](const State& s) {
                 return Update(Value{{"final_response", s.get("sql_execution_result").back()}});
               }));
    g.add_edge("final_response_generation_node", state_graph::END);
    g.add_edge("pandas_generator_node", "final_response_generation_node");
    g.add_node("sql_error_handler_node", node("sql_error_handler_node", handle_sql_error));
    g.add_conditional_edges("sql_execution_node", sql_execution_condition,
                            {{kPandasGeneration, "pandas_generator_node"},
                             {kSqlExecutionError, "sql_error_handler_node"}});
    g.add_conditional_edges("sql_error_handler_node", sql_error_handler_condition,
                            {{kRegenerateSqlQuery, "sql_generation_node"},
                             {kTerminalFailureResponse, "final_response_generation_node"},
                             {kRewriteQuery, "rewrite_query_node"}});
    return g.compile();
  }

  static int count(const std::vector<std::string>& v, const std::string& x) {
    return static_cast<int>(std::count(v.begin(), v.end(), x));
  }

  state_graph::RunnableConfig config_{std::nullopt, {"answer_graph"}, 20, 50};
};

TEST_F(SqlRetryGraph, SixFailuresCorrectFourTimesRewriteOnceThenGiveUp) {
  Trace trace;
  struct Steps : state_graph::RunObserver {
    int last = 0;
    void on_step_end(int step, const State&) override { last = step; }
  } steps;
  const State result =
      build(trace).invoke(Value{{"user_question", "How many orders?"}}, config_, &steps);

  EXPECT_EQ(count(trace.visits, "sql_error_handler_node"), 6);
  EXPECT_EQ(count(trace.visits, "rewrite_query_node"), 1);
  EXPECT_EQ(count(trace.visits, "relevant_table_names_node"), 2);
  EXPECT_EQ(count(trace.visits, "final_response_generation_node"), 1);
  EXPECT_EQ(trace.visits.back(), "final_response_generation_node");
  EXPECT_EQ(trace.prompt_modes,
            (std::vector<std::string>{"generation", "correction", "correction", "correction",
                                      "correction", "generation"}));
  EXPECT_LE(steps.last, 50);

  EXPECT_EQ(result.get("iteration_count"), 5);
  EXPECT_EQ(result.get("rewrite_count"), 1);
  const Value& queries = result.get("generated_sql_query");
  ASSERT_EQ(queries.size(), 6u);
  for (size_t i = 0; i < queries.size(); ++i)
    EXPECT_EQ(queries[i], "SELECT " + std::to_string(i + 1) + " -- checked");
  const Value& results = result.get("sql_execution_result");
  ASSERT_EQ(results.size(), 6u) << "the rewrite path gives up without the failure message";
  EXPECT_EQ(result.get("final_response"), "no such column: x");
}

TEST_F(SqlRetryGraph, SuccessAfterTheRewriteLeavesThroughAnalysis) {
  Trace trace;
  const State result =
      build(trace, /*succeed_on_rewrite=*/true).invoke(Value{{"user_question", "q"}}, config_);
  EXPECT_EQ(count(trace.visits, "sql_error_handler_node"), 5);
  EXPECT_EQ(count(trace.visits, "pandas_generator_node"), 1);
  EXPECT_EQ(result.get("execution_success"), true);
  EXPECT_EQ(result.get("final_response"), "[(3,)]");
}

TEST_F(SqlRetryGraph, HostSuppliedCountsSurviveInitialisation) {
  struct Case {
    int input_count;
    int handler_visits;
    bool failure_message;
  };
  for (const Case c : {Case{7, 1, true}, Case{5, 1, false}}) {
    SCOPED_TRACE(c.input_count);
    Trace trace;
    const State result = build(trace).invoke(
        Value{{"user_question", "q"}, {"iteration_count", c.input_count}}, config_);
    EXPECT_EQ(count(trace.visits, "sql_error_handler_node"), c.handler_visits);
    EXPECT_EQ(count(trace.visits, "rewrite_query_node"), 0);
    EXPECT_EQ(result.get("iteration_count"), c.input_count);
    EXPECT_EQ(result.get("sql_execution_result").back() == kSqlFailureMessage, c.failure_message);
    EXPECT_EQ(trace.visits.back(), "final_response_generation_node");
  }
}

}  // namespace
}  // namespace answer_nodes
