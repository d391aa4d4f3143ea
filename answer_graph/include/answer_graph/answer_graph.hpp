#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "answer_graph/export.hpp"
#include "answer_graph/sql_state.hpp"
#include "chat_model/client.hpp"
#include "chat_model/settings.hpp"
#include "sql_database/custom_sql_database.hpp"
#include "state_graph/graph.hpp"
#include "state_graph/value.hpp"

namespace table_picker {
class RelevantTablePicker;
}

namespace answer_graph {

using state_graph::Value;

// Host-facing options of an AnswerGraph that the three-argument constructor leaves at their
// defaults. Everything here is set once, where the host builds the graph.
struct ANSWER_GRAPH_EXPORT GraphOptions {
  // Each run of model-written analysis code fails with "TimeoutError: ..." after this long (and
  // goes to the analysis error handler). std::nullopt: no limit.
  std::optional<std::chrono::milliseconds> analysis_time_limit = std::chrono::seconds(120);
  // Analysis code runs under the guard of the embedded runtime (no processes, network, native
  // code or writes outside save_path and the temp directory). Switch off only for trusted models.
  bool guard_analysis_code = true;
  // Tables up to which the relevant-table step takes every table without asking the model.
  std::size_t picker_small_database_tables = 12;
  // Above this many characters the rewrite prompt describes the tables in compact form.
  std::size_t rewrite_schema_budget_chars = 60000;
};

// The question-answering object a host builds once per database and pair of model settings.
//
// Construction builds the five chat clients (every field of their settings object plus
// max_tokens, temperature 0 and top_p 0.95), the relevant-table picker and the run
// configuration, registers the topology and compiles it. Each invoke is one independent run.
//
// Thread-safe: invoke may be called from several threads at once; runs share the node objects,
// clients and database wrapper, all of which are safe for concurrent use.
class ANSWER_GRAPH_EXPORT AnswerGraph {
 public:
  // Throws std::invalid_argument when a settings object carries max_tokens, temperature or
  // model_kwargs (the client would get that parameter twice; the message names it) or lacks the
  // connection settings of its provider.
  AnswerGraph(sql_database::CustomSQLDatabase custom_sql_db,
              const chat_model::AzureOpenAIChat35& config_35,
              const chat_model::AzureOpenAIChat4& config_4);
  AnswerGraph(sql_database::CustomSQLDatabase custom_sql_db,
              const chat_model::AzureOpenAIChat35& config_35,
              const chat_model::AzureOpenAIChat4& config_4, GraphOptions options);
  ~AnswerGraph();
  AnswerGraph(const AnswerGraph&) = delete;
  AnswerGraph& operator=(const AnswerGraph&) = delete;

  // The run configuration. Arguments left as std::nullopt take the defaults: metadata absent,
  // tags ["answer_graph"], max_concurrency 20, recursion_limit 50. A metadata that is neither an
  // object nor null, tags that are not a list of texts, a max_concurrency that is neither an
  // integer nor null, or a recursion_limit that is not an integer throw std::invalid_argument.
  static state_graph::RunnableConfig _config_graph(
      const std::optional<Value>& metadata = std::nullopt,
      const std::optional<Value>& tags = std::nullopt,
      const std::optional<Value>& max_concurrency = std::nullopt,
      const std::optional<Value>& recursion_limit = std::nullopt);

  // Runs one question. `inputs` must be an object (std::invalid_argument otherwise, before any
  // node runs) holding user_question, save_path, max_iterations_pandas, pandas_code and
  // python_executed_output: the first of these that is absent is reported as
  // state_graph::MissingFieldError before any node (and so any model call) runs. Returns the
  // record the run ended with, every field holding a value, in declaration order. Errors of the
  // run (a model failure, a missing field, state_graph::GraphRecursionError) leave unchanged.
  Value invoke(const Value& inputs) const;
  // The same, reporting node starts and ends and step boundaries to `observer` (progress
  // display, traces). The observer's calls of one run are serialised.
  Value invoke(const Value& inputs, state_graph::RunObserver* observer) const;

  // "ascii" (exactly): the drawing on standard output, no file touched. Anything else: the
  // diagram rendered to a PNG (Graphviz, in-process, no network) and written to save_graph_path;
  // a path that cannot be written fails after rendering. Non-text arguments throw
  // std::invalid_argument.
  void visualize_graph(const Value& visualization_type = "ascii",
                       const Value& save_graph_path = "graph_visualization.png") const;
  // The ASCII drawing visualize_graph prints.
  std::string draw_ascii() const;
  // The diagram as Mermaid flowchart text (conditional edges dashed and labelled).
  std::string draw_mermaid() const;
  // The diagram as PNG bytes. Throws std::runtime_error when rendering fails.
  std::string draw_png() const;

  // Members, in the order the constructor sets them.
  const sql_database::CustomSQLDatabase& db() const noexcept { return db_; }
  const state_graph::RunnableConfig& runnable_config() const noexcept { return runnable_config_; }
  const chat_model::AzureChatOpenAI& relevant_tables_model() const noexcept {
    return relevant_tables_model_;
  }
  const chat_model::AzureChatOpenAI& sql_generation_model() const noexcept {
    return sql_generation_model_;
  }
  const chat_model::AzureChatOpenAI& response_model() const noexcept { return response_model_; }
  const chat_model::AzureChatOpenAI& pandas_code_model() const noexcept {
    return pandas_code_model_;
  }
  const chat_model::AzureChatOpenAI& pandas_ai_model() const noexcept { return pandas_ai_model_; }
  const table_picker::RelevantTablePicker& relevant_table_picker() const noexcept {
    return *relevant_table_picker_;
  }
  const state_graph::CompiledGraph& compiled_graph() const noexcept { return *compiled_graph_; }
  const GraphOptions& options() const noexcept { return options_; }

  // Tokens of all five clients together, over every run so far.
  chat_model::TokenUsage total_usage() const;

  // The fields invoke requires in its input, in the order they are checked.
  static const std::vector<std::string>& required_inputs();

 private:
  state_graph::CompiledGraph _compile_graph();

  GraphOptions options_;
  sql_database::CustomSQLDatabase db_;
  state_graph::StateGraph graph_;
  state_graph::RunnableConfig runnable_config_;
  chat_model::AzureChatOpenAI relevant_tables_model_;
  chat_model::AzureChatOpenAI sql_generation_model_;
  chat_model::AzureChatOpenAI response_model_;
  chat_model::AzureChatOpenAI pandas_code_model_;
  chat_model::AzureChatOpenAI pandas_ai_model_;
  std::shared_ptr<table_picker::RelevantTablePicker> relevant_table_picker_;
  std::optional<state_graph::CompiledGraph> compiled_graph_;
};

}  // namespace answer_graph
