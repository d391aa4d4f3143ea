#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "answer_nodes/sql_routing.hpp"
#include "chat_model/client.hpp"
#include "prompt_template/prompt_template.hpp"
#include "state_graph/graph.hpp"
#include "state_graph/state.hpp"

// The analysis path and the end of every run: the model writes Python analysis code over the SQL
// results (PandasGenerator), the code runs in the embedded Python runtime (PandasExecutor), a
// failing run is retried within a host-given bound (handle_pandas_error and the routers), and the
// model writes the answer (GenerateResponse).
//
// Every node and function here keeps no state between calls and is safe to call from several
// threads at once (the graph may answer several questions at the same time). Fields are read in a
// fixed order, so the first field missing from the record is the one reported
// (state_graph::MissingFieldError); a field holding a value of the wrong kind is a
// std::invalid_argument naming the field and what it should hold.

namespace answer_nodes {

// Labels returned by the routers of the analysis path (the handler's give-up label is
// kTerminalFailureResponse of sql_routing.hpp).
inline constexpr const char* kFinalResponse = "final_response";
inline constexpr const char* kPandasExecutionError = "pandas_execution_error";
inline constexpr const char* kRegeneratePandasCode = "regenerate_pandas_code";
inline constexpr const char* kUsePandas = "use_pandas";
inline constexpr const char* kGenerateResponse = "generate_response";

// The executed output the final answer shows when the handler finds the bound already reached.
inline constexpr const char* kPandasFailureMessage =
    "Python generation failed after max iterations";

// The text asking the model to fix analysis code, single-brace placeholders user_question,
// python_code and error. Constant-initialised data, readable at any time from any thread.
extern const std::string_view PANDAS_CORRECTION_TEMPLATE;

// The prompt of PandasGenerator: the [system, user] messages in mode "generation", one text (sent
// as one user message) in mode "correction".
using PandasPrompt = std::variant<std::vector<prompt_template::Message>, std::string>;

// pandas_generator_node: asks the model (bound to PythonCodeInput) for analysis code and writes
// it to pandas_code. The mode is pandas_generation_prompt_type.
//
// Reads user_question, rewritten_question (shown instead of the question when non-empty),
// pandas_generation_prompt_type; then in mode "generation" generated_sql_query,
// sql_execution_result (paired by position, as many pairs as the shorter list) and save_path;
// in mode "correction" pandas_code and python_error_message. Any other mode is a
// std::invalid_argument before any model call. Model errors (chat_model::ModelError) propagate.
// Thread-safe.
class PandasGenerator : public state_graph::Runnable {
 public:
  explicit PandasGenerator(const chat_model::AzureChatOpenAI& model);

  PandasPrompt generate_prompt(const state_graph::State& state) const;
  // Update: exactly {"pandas_code": the model's code}.
  state_graph::Update invoke(const state_graph::State& state,
                             const state_graph::Value& options = {}) override;

 private:
  chat_model::StructuredChatModel model_;
  prompt_template::ChatPromptTemplate template_;
  prompt_template::PromptTemplate correction_template_;
};

// Options of PandasExecutor, set where the host builds the graph.
struct ExecutorOptions {
  // A run of the code that lasts longer fails with "TimeoutError: ..." (an ordinary failure,
  // routed to the error handler). std::nullopt: no limit. Code blocked inside one long C call is
  // stopped only when that call returns.
  std::optional<std::chrono::milliseconds> time_limit = std::chrono::seconds(120);
  // The code runs under the runtime's guard (embedded_python::Guard): no processes, network or
  // native code, and writes only under the record's save_path and the system temporary directory.
  // A refused action is a failure of the code like any other ("PermissionError: ..."). Off: the
  // code has every permission of the host.
  bool guarded = true;
};

// pandas_executor_node: runs pandas_code in the embedded Python runtime, in a fresh namespace
// holding only `datetime` (parsed with the parser's default file name, compiled as "<ast>", one
// dict for globals and locals; nothing of one run survives into the next).
//
// Success: {"python_executed_output": what the code printed, "python_execution_success": true}.
// Failure: {"python_execution_success": false, "python_error_message": "Type: message"}, the
// printed text discarded. Failures are every error of the code: parse, compile and run-time
// errors, the time limit, SystemExit (exit(), quit(), sys.exit(...): "SystemExit: <str of the
// exception>") and other exceptions outside Exception, a missing pandas_code ("KeyError:
// 'pandas_code'") or one that is not text. Only KeyboardInterrupt (the user stopping the program)
// leaves invoke, as embedded_python::PythonError.
//
// What the code prints is captured per thread, so executions on several threads at once never
// see each other's output. The model is kept for the node's contract; invoke never calls it.
// Thread-safe.
class PandasExecutor : public state_graph::Runnable {
 public:
  explicit PandasExecutor(const chat_model::AzureChatOpenAI& model, ExecutorOptions options = {});

  state_graph::Update invoke(const state_graph::State& state,
                             const state_graph::Value& options = {}) override;

  const ExecutorOptions& options() const noexcept { return options_; }

 private:
  chat_model::AzureChatOpenAI model_;
  ExecutorOptions options_;
};

// The correction prompt on its own, as a node (not placed in the assembled graph, where
// PandasGenerator's mode "correction" builds the same text). Reads user_question,
// rewritten_question, pandas_code, python_error_message. Thread-safe.
class PandasCorrection : public state_graph::Runnable {
 public:
  explicit PandasCorrection(const chat_model::AzureChatOpenAI& model);

  std::string generate_prompt(const state_graph::State& state) const;
  // Update: exactly {"pandas_code": the model's code}. Model errors propagate.
  state_graph::Update invoke(const state_graph::State& state,
                             const state_graph::Value& options = {}) override;

 private:
  chat_model::StructuredChatModel model_;
  prompt_template::PromptTemplate template_;
};

// final_response_generation_node: lays out what the run gathered in one text and asks the model
// (bound to GenerationOutput) for the answer. Logs "Enter generate response" first and, after the
// model has answered, "Finish generating response, took <seconds>". Model errors propagate (and
// the second line is not written). Thread-safe.
class GenerateResponse : public state_graph::Runnable {
 public:
  explicit GenerateResponse(const chat_model::AzureChatOpenAI& model);

  // The prompt text: "User question: " user_question, "SQL query: " the list display of
  // generated_sql_query (as Python shows a list of str), "SQL query result: " the last element of
  // sql_execution_result, "Python code: " pandas_code, "Python executed result: "
  // python_executed_output, each followed by a line break, then "Use the above result to address
  // user's question.". Texts are inserted verbatim. Fields are read in that order; an empty
  // sql_execution_result is a std::out_of_range.
  static std::string prompt_text(const state_graph::State& state);

  // Update: exactly {"final_response", "image_path"} as the model's answer holds them (image_path
  // "" when the model left it out, null when it answered null).
  state_graph::Update invoke(const state_graph::State& state,
                             const state_graph::Value& options = {}) override;

 private:
  chat_model::StructuredChatModel model_;
};

// pandas_error_handler_node: while iteration_count_pandas < max_iterations_pandas, one more
// correction ({"iteration_count_pandas": 1, "pandas_generation_prompt_type": "correction"});
// otherwise {"python_executed_output": kPandasFailureMessage, "iteration_count_pandas": 0}.
state_graph::Update handle_pandas_error(const state_graph::State& state);

// python_execution_success true: kFinalResponse; otherwise kPandasExecutionError.
std::string pandas_execution_condition(const state_graph::State& state);
// Called after handle_pandas_error's update has been merged: iteration_count_pandas <
// max_iterations_pandas gives kRegeneratePandasCode, otherwise kTerminalFailureResponse.
std::string pandas_error_handler_condition(const state_graph::State& state);
// use_pandas_ai_flag true: kUsePandas; otherwise kGenerateResponse.
std::string pandas_code_condition(const state_graph::State& state);

}  // namespace answer_nodes
