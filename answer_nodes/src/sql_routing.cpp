#include "answer_nodes/sql_routing.hpp"

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace answer_nodes {

using state_graph::State;
using state_graph::Update;
using state_graph::Value;

namespace {

std::int64_t read_int(const State& state, const char* field) {
  const Value& v = state.get(field);
  if (!v.is_number_integer())
    throw std::invalid_argument(std::string("state field '") + field +
                                "' must hold an integer, got " + v.dump());
  return v.get<std::int64_t>();
}

bool read_flag(const State& state, const char* field) {
  const Value& v = state.get(field);
  return v.is_boolean() && v.get<bool>();
}

}  // namespace

Update initialisation(const State& /*inputs*/) {
  return Update(Value{
      {"iteration_count", 0},
      {"max_iterations", 5},
      {"rewrite_count", 0},
      {"rewritten_question", ""},
      {"generated_sql_query", Value::array()},
      {"execution_error", Value::array()},
      {"sql_execution_result", Value::array()},
  });
}

Update handle_sql_error(const State& state) {
  const auto iteration_count = read_int(state, "iteration_count");
  const auto rewrite_count = read_int(state, "rewrite_count");
  const auto max_iterations = read_int(state, "max_iterations");
  if (iteration_count < max_iterations && rewrite_count == 0)
    return Update(Value{{"iteration_count", 1}, {"sql_generation_prompt_type", "correction"}});
  if (iteration_count == max_iterations && rewrite_count == 0)
    return Update(Value{{"rewrite_count", 1}});
  return Update(Value{{"sql_execution_result", {kSqlFailureMessage}}, {"iteration_count", 0}});
}

std::string sql_syntax_condition(const State& state) {
  return read_flag(state, "is_valid_syntax") ? kSqlExecute : kSqlSyntaxError;
}

std::string sql_execution_condition(const State& state) {
  return read_flag(state, "execution_success") ? kPandasGeneration : kSqlExecutionError;
}

std::string sql_error_handler_condition(const State& state) {
  const auto iteration_count = read_int(state, "iteration_count");
  const auto max_iterations = read_int(state, "max_iterations");
  const auto rewrite_count = read_int(state, "rewrite_count");
  if (iteration_count < max_iterations && rewrite_count == 0) return kRegenerateSqlQuery;
  if (iteration_count == max_iterations && rewrite_count == 0) return kRewriteQuery;
  return kTerminalFailureResponse;
}

}  // namespace answer_nodes
