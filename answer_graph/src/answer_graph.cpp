#include "answer_graph/answer_graph.hpp"

#include <stdexcept>
#include <string>
#include <utility>

#include "answer_graph/run_trace.hpp"
#include "answer_nodes/analysis_nodes.hpp"
#include "answer_nodes/sql_nodes.hpp"
#include "answer_nodes/sql_routing.hpp"
#include "table_picker/table_picker.hpp"

namespace answer_graph {
namespace {

using state_graph::END;

// Every client of the graph: the settings' fields plus these, each given once.
Value client_parameters(int max_tokens) {
  return Value{
      {"max_tokens", max_tokens}, {"temperature", 0}, {"model_kwargs", Value{{"top_p", 0.95}}}};
}

chat_model::AzureChatOpenAI make_client(const chat_model::ChatModelSettings& settings,
                                        int max_tokens) {
  return chat_model::AzureChatOpenAI(settings.fields(), client_parameters(max_tokens));
}

// The settings object itself must not carry a parameter the graph sets: the picker builds its own
// client from it and would otherwise get that parameter twice.
void reject_graph_parameters(const chat_model::ChatModelSettings& settings, const char* which) {
  for (const char* name : {"max_tokens", "temperature", "model_kwargs"}) {
    if (settings.fields().contains(name)) {
      throw std::invalid_argument(std::string(which) + " carries the field '" + name +
                                  "', which AnswerGraph sets for every client itself; remove it "
                                  "from the settings");
    }
  }
}

// Hands each call of a client to the listener of the run whose node made it, if any.
void hook_calls(const chat_model::AzureChatOpenAI& client, std::string name) {
  client.set_call_observer([name = std::move(name)](const chat_model::CallEvent& call) {
    const state_graph::NodeScope* scope = state_graph::current_node_scope();
    if (!scope || !scope->observer) return;
    if (auto* listener = dynamic_cast<ModelCallListener*>(scope->observer)) {
      listener->on_model_call(name, *scope->node, call);
    }
  });
}

}  // namespace

AnswerGraph::AnswerGraph(sql_database::CustomSQLDatabase custom_sql_db,
                         const chat_model::AzureOpenAIChat35& config_35,
                         const chat_model::AzureOpenAIChat4& config_4)
    : AnswerGraph(std::move(custom_sql_db), config_35, config_4, GraphOptions{}) {}

AnswerGraph::AnswerGraph(sql_database::CustomSQLDatabase custom_sql_db,
                         const chat_model::AzureOpenAIChat35& config_35,
                         const chat_model::AzureOpenAIChat4& config_4, GraphOptions options)
    : options_(std::move(options)),
      db_((reject_graph_parameters(config_35, "config_35"),
           reject_graph_parameters(config_4, "config_4"), std::move(custom_sql_db))),
      graph_(SQLState::schema()),
      runnable_config_(_config_graph()),
      relevant_tables_model_(make_client(config_35, 8192)),
      sql_generation_model_(make_client(config_4, 4096)),
      response_model_(make_client(config_35, 4096)),
      pandas_code_model_(make_client(config_35, 8192)),
      pandas_ai_model_(make_client(config_35, 8192)) {
  table_picker::PickerOptions picker_options;
  picker_options.small_database_tables = options_.picker_small_database_tables;
  relevant_table_picker_ =
      std::make_shared<table_picker::RelevantTablePicker>(config_35, db_, picker_options);
  hook_calls(relevant_tables_model_, "relevant_tables_model");
  hook_calls(sql_generation_model_, "sql_generation_model");
  hook_calls(response_model_, "response_model");
  hook_calls(pandas_code_model_, "pandas_code_model");
  hook_calls(pandas_ai_model_, "pandas_ai_model");
  hook_calls(relevant_table_picker_->model(), "relevant_table_picker");
  compiled_graph_.emplace(_compile_graph());
}

AnswerGraph::~AnswerGraph() = default;

state_graph::CompiledGraph AnswerGraph::_compile_graph() {
  using namespace answer_nodes;
  auto& g = graph_;
  g.add_node("init_node", initialisation);
  g.set_entry_point("init_node");
  g.add_node("table_names_lookup_node", std::make_shared<TableNamesLookup>(db_));
  g.add_edge("init_node", "table_names_lookup_node");
  g.add_node("relevant_table_names_node", relevant_table_picker_);
  g.add_edge("table_names_lookup_node", "relevant_table_names_node");
  g.add_node("relevant_schemas_node", std::make_shared<RelevantSchemas>(db_));
  g.add_edge("relevant_table_names_node", "relevant_schemas_node");
  g.add_node("sql_generation_node", std::make_shared<SQLGeneration>(db_, sql_generation_model_));
  g.add_edge("relevant_schemas_node", "sql_generation_node");
  RewriteOptions rewrite_options;
  rewrite_options.schema_budget_chars = options_.rewrite_schema_budget_chars;
  g.add_node("rewrite_query_node",
             std::make_shared<RewriteQuery>(db_, pandas_ai_model_, rewrite_options));
  g.add_edge("rewrite_query_node", "relevant_table_names_node");
  g.add_node("sql_syntax_checker_node",
             std::make_shared<SQLSyntaxChecker>(db_, relevant_tables_model_));
  g.add_edge("sql_generation_node", "sql_syntax_checker_node");
  g.add_node("sql_execution_node", std::make_shared<SQLExecution>(db_));
  g.add_edge("sql_syntax_checker_node", "sql_execution_node");
  g.add_node("pandas_generator_node", std::make_shared<PandasGenerator>(pandas_code_model_));
  ExecutorOptions executor_options;
  executor_options.time_limit = options_.analysis_time_limit;
  executor_options.guarded = options_.guard_analysis_code;
  g.add_node("pandas_executor_node",
             std::make_shared<PandasExecutor>(pandas_ai_model_, executor_options));
  g.add_edge("pandas_generator_node", "pandas_executor_node");
  g.add_node("final_response_generation_node", std::make_shared<GenerateResponse>(response_model_));
  g.add_edge("final_response_generation_node", END);
  g.add_edge("pandas_executor_node", "final_response_generation_node");
  g.add_node("pandas_error_handler_node", handle_pandas_error);
  g.add_conditional_edges("pandas_executor_node", pandas_execution_condition,
                          {{kFinalResponse, "final_response_generation_node"},
                           {kPandasExecutionError, "pandas_error_handler_node"}});
  g.add_node("sql_error_handler_node", handle_sql_error);
  g.add_conditional_edges("sql_execution_node", sql_execution_condition,
                          {{kPandasGeneration, "pandas_generator_node"},
                           {kSqlExecutionError, "sql_error_handler_node"}});
  g.add_conditional_edges("sql_error_handler_node", sql_error_handler_condition,
                          {{kRegenerateSqlQuery, "sql_generation_node"},
                           {kTerminalFailureResponse, "final_response_generation_node"},
                           {kRewriteQuery, "rewrite_query_node"}});
  g.add_conditional_edges("pandas_error_handler_node", pandas_error_handler_condition,
                          {{kRegeneratePandasCode, "pandas_generator_node"},
                           {kTerminalFailureResponse, "final_response_generation_node"}});
  return g.compile();
}

state_graph::RunnableConfig AnswerGraph::_config_graph(
    const std::optional<Value>& metadata, const std::optional<Value>& tags,
    const std::optional<Value>& max_concurrency, const std::optional<Value>& recursion_limit) {
  state_graph::RunnableConfig config;
  if (metadata && !metadata->is_null()) {
    if (!metadata->is_object()) {
      throw std::invalid_argument(std::string("_config_graph: metadata must be a map or absent, "
                                              "got ") +
                                  metadata->type_name());
    }
    config.metadata = *metadata;
  }
  if (tags) {
    if (!tags->is_array()) {
      throw std::invalid_argument(std::string("_config_graph: tags must be a list of texts, got ") +
                                  tags->type_name());
    }
    for (const auto& tag : *tags) {
      if (!tag.is_string()) {
        throw std::invalid_argument(
            std::string("_config_graph: tags must be a list of texts, it holds a ") +
            tag.type_name());
      }
      config.tags.push_back(tag.get<std::string>());
    }
  } else {
    config.tags = {"answer_graph"};
  }
  if (max_concurrency) {
    if (max_concurrency->is_null()) {
      config.max_concurrency.reset();
    } else if (max_concurrency->is_number_integer()) {
      config.max_concurrency = max_concurrency->get<int>();
    } else {
      throw std::invalid_argument(
          std::string("_config_graph: max_concurrency must be an integer or absent, got ") +
          max_concurrency->type_name());
    }
  } else {
    config.max_concurrency = 20;
  }
  if (recursion_limit) {
    if (!recursion_limit->is_number_integer()) {
      throw std::invalid_argument(
          std::string("_config_graph: recursion_limit must be an integer, got ") +
          recursion_limit->type_name());
    }
    config.recursion_limit = recursion_limit->get<int>();
  } else {
    config.recursion_limit = 50;
  }
  return config;
}

const std::vector<std::string>& AnswerGraph::required_inputs() {
  static const std::vector<std::string> fields = {"user_question", "save_path",
                                                  "max_iterations_pandas", "pandas_code",
                                                  "python_executed_output"};
  return fields;
}

Value AnswerGraph::invoke(const Value& inputs) const { return invoke(inputs, nullptr); }

Value AnswerGraph::invoke(const Value& inputs, state_graph::RunObserver* observer) const {
  if (!inputs.is_object()) {
    throw std::invalid_argument(std::string("AnswerGraph::invoke: inputs must be a map from field "
                                            "names to values, got ") +
                                inputs.type_name());
  }
  // These are read before any node writes them, some only after several paid model calls, so a
  // run without them is refused before it starts.
  for (const auto& field : required_inputs()) {
    if (!inputs.contains(field)) throw state_graph::MissingFieldError(field);
  }
  return compiled_graph_->invoke(inputs, runnable_config_, observer).values();
}

chat_model::TokenUsage AnswerGraph::total_usage() const {
  chat_model::TokenUsage total;
  for (const auto* client : {&relevant_tables_model_, &sql_generation_model_, &response_model_,
                             &pandas_code_model_, &pandas_ai_model_}) {
    const auto usage = client->total_usage();
    total.prompt_tokens += usage.prompt_tokens;
    total.completion_tokens += usage.completion_tokens;
    total.cached_tokens += usage.cached_tokens;
    total.calls += usage.calls;
  }
  // The picker's own client, built from config_35.
  const auto picker = relevant_table_picker_->model().total_usage();
  total.prompt_tokens += picker.prompt_tokens;
  total.completion_tokens += picker.completion_tokens;
  total.cached_tokens += picker.cached_tokens;
  total.calls += picker.calls;
  return total;
}

}  // namespace answer_graph
