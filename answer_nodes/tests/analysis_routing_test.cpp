#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

#include "analysis_support.hpp"
#include "answer_nodes/analysis_nodes.hpp"

namespace answer_nodes {
namespace {

using state_graph::MissingFieldError;
using state_graph::State;
using state_graph::Update;
using state_graph::Value;
using testing_support::state_with;

// The handler and its router, with the handler's update merged in between as the graph does.
TEST(PandasErrorHandler, RetryTable) {
  struct Case {
    int count, bound;
    Value update;
    int count_after;
    const char* label;
  };
  const Value correction{{"iteration_count_pandas", 1},
                         {"pandas_generation_prompt_type", "correction"}};
  const Value give_up{{"python_executed_output", kPandasFailureMessage},
                      {"iteration_count_pandas", 0}};
  const std::vector<Case> cases = {
      // A bound of 3: three executions in all, then the answer.
      {0, 3, correction, 1, kRegeneratePandasCode},
      {1, 3, correction, 2, kRegeneratePandasCode},
      {2, 3, correction, 3, kTerminalFailureResponse},
      // The bound already reached when the handler runs: the failure message.
      {0, 0, give_up, 0, kTerminalFailureResponse},
      {3, 3, give_up, 3, kTerminalFailureResponse},
      {5, 3, give_up, 5, kTerminalFailureResponse},
      {0, -1, give_up, 0, kTerminalFailureResponse},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "count " << c.count << ", bound " << c.bound);
    State s = state_with(Value{{"iteration_count_pandas", c.count},
                               {"max_iterations_pandas", c.bound},
                               {"python_executed_output", "earlier output"},
                               {"pandas_generation_prompt_type", "generation"}});
    const Update u = handle_pandas_error(s);
    EXPECT_EQ(u.values, c.update);
    EXPECT_TRUE(u.overwrites.empty());
    s.merge(u);
    EXPECT_EQ(s.get("iteration_count_pandas"), c.count_after);
    EXPECT_EQ(pandas_error_handler_condition(s), c.label);
    const bool gave_up = c.update == give_up;
    EXPECT_EQ(s.get("python_executed_output"), gave_up ? kPandasFailureMessage : "earlier output");
    EXPECT_EQ(s.get("pandas_generation_prompt_type"), gave_up ? "generation" : "correction");
  }
}

TEST(PandasErrorHandler, CounterNobodyWroteReadsZeroAndTheBoundIsRequired) {
  // No node seeds the counter: the record's starting value 0 is what the handler sees.
  EXPECT_EQ(
      handle_pandas_error(state_with(Value{{"max_iterations_pandas", 2}})).values,
      (Value{{"iteration_count_pandas", 1}, {"pandas_generation_prompt_type", "correction"}}));
  for (auto fn : {+[](const State& s) { handle_pandas_error(s); },
                  +[](const State& s) { pandas_error_handler_condition(s); }}) {
    try {
      fn(state_with(Value::object()));
      ADD_FAILURE() << "expected MissingFieldError";
    } catch (const MissingFieldError& e) {
      EXPECT_EQ(e.field(), "max_iterations_pandas");
    }
    EXPECT_THROW(fn(state_with(Value{{"max_iterations_pandas", "3"}})), std::invalid_argument);
  }
}

TEST(PandasRouters, LabelsByFlag) {
  struct Case {
    const char* field;
    Value value;
    std::string (*router)(const State&);
    const char* label;
  };
  const std::vector<Case> cases = {
      {"python_execution_success", true, pandas_execution_condition, kFinalResponse},
      {"python_execution_success", false, pandas_execution_condition, kPandasExecutionError},
      {"use_pandas_ai_flag", true, pandas_code_condition, kUsePandas},
      {"use_pandas_ai_flag", false, pandas_code_condition, kGenerateResponse},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.router(state_with(Value{{c.field, c.value}})), c.label)
        << c.field << " = " << c.value.dump();
    try {
      c.router(state_with(Value::object()));
      ADD_FAILURE() << "expected MissingFieldError for " << c.field;
    } catch (const MissingFieldError& e) {
      EXPECT_EQ(e.field(), c.field);
    }
  }
}

}  // namespace
}  // namespace answer_nodes
