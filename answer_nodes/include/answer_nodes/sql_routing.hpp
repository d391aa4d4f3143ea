#pragma once

#include <string>

#include "state_graph/state.hpp"

namespace answer_nodes {

// Retry policy of the SQL path. All functions are stateless and safe to call from several
// threads at once; every field they read is required, and a missing one throws
// state_graph::MissingFieldError.

// Labels returned by the routers.
inline constexpr const char* kSqlExecute = "sql_execute";
inline constexpr const char* kSqlSyntaxError = "sql_syntax_error";
inline constexpr const char* kPandasGeneration = "pandas_generation";
inline constexpr const char* kSqlExecutionError = "sql_execution_error";
inline constexpr const char* kRegenerateSqlQuery = "regenerate_sql_query";
inline constexpr const char* kRewriteQuery = "rewrite_query";
inline constexpr const char* kTerminalFailureResponse = "terminal_failure_response";

// Appended to the execution results when the handler gives up.
inline constexpr const char* kSqlFailureMessage = "SQL generation failed after max iterations";

// Entry node. Its update holds only the seven seeds: iteration_count 0, max_iterations 5,
// rewrite_count 0, rewritten_question "", and empty generated_sql_query, execution_error and
// sql_execution_result. Merged, the counter and lists leave host-supplied values as they were;
// everything else the host supplied stays exactly as given (it is not carried back through the
// update, which would append every host list and double every host counter a second time).
state_graph::Update initialisation(const state_graph::State& inputs);

// Node after a failed execution: one more correction while iteration_count < max_iterations and
// no rewrite happened; the rewrite once the bound is reached; otherwise the failure message.
state_graph::Update handle_sql_error(const state_graph::State& state);

// Reads `is_valid_syntax`, which the answer record does not declare; kept for hosts whose record
// does. On the answer record it throws MissingFieldError.
std::string sql_syntax_condition(const state_graph::State& state);
std::string sql_execution_condition(const state_graph::State& state);
// Called after handle_sql_error's update has been merged.
std::string sql_error_handler_condition(const state_graph::State& state);

}  // namespace answer_nodes
