// Retry policy of the analysis path.

#include <nlohmann/json.hpp>

#include "analysis_fields.hpp"
#include "answer_nodes/analysis_nodes.hpp"

namespace answer_nodes {

using state_graph::State;
using state_graph::Update;
using state_graph::Value;

Update handle_pandas_error(const State& state) {
  const auto count = analysis::read_int(state, "iteration_count_pandas");
  const auto bound = analysis::read_int(state, "max_iterations_pandas");
  if (count < bound)
    return Value{{"iteration_count_pandas", 1}, {"pandas_generation_prompt_type", "correction"}};
  return Value{{"python_executed_output", kPandasFailureMessage}, {"iteration_count_pandas", 0}};
}

std::string pandas_execution_condition(const State& state) {
  return analysis::read_flag(state, "python_execution_success") ? kFinalResponse
                                                                : kPandasExecutionError;
}

std::string pandas_error_handler_condition(const State& state) {
  const auto count = analysis::read_int(state, "iteration_count_pandas");
  const auto bound = analysis::read_int(state, "max_iterations_pandas");
  return count < bound ? kRegeneratePandasCode : kTerminalFailureResponse;
}

std::string pandas_code_condition(const State& state) {
  return analysis::read_flag(state, "use_pandas_ai_flag") ? kUsePandas : kGenerateResponse;
}

}  // namespace answer_nodes
