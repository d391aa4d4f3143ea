#include "answer_nodes/sql_nodes.hpp"

#include <chrono>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "answer_nodes/schemas.hpp"
#include "answer_prompts/answer_prompts.hpp"
#include "logging/logging.hpp"
#include "table_picker/catalog.hpp"

namespace answer_nodes {

using prompt_template::ChatPromptTemplate;
using prompt_template::HumanMessagePromptTemplate;
using prompt_template::Message;
using prompt_template::SystemMessagePromptTemplate;
using prompt_template::TemplateFormat;
using state_graph::State;
using state_graph::Update;
using state_graph::Value;

namespace {

// The system message of a first query; {dialect} is the database's dialect name.
constexpr const char* kGenerationSystem =
    "You are an agent designed to interact with a SQL database.\n"
    "Given an input question, create a syntactically correct {dialect} query to run, then look at "
    "the results of the query and return the answer.\n"
    "Unless the user specifies a specific number of examples they wish to obtain, always limit "
    "your query to at most 20 results.\n"
    "You can order the results by a relevant column to return the most interesting examples in "
    "the database.\n"
    "Never query for all the columns from a specific table, only ask for the relevant columns "
    "given the question.\n"
    "You have access to tools for interacting with the database.\n"
    "Only use the below tools. Only use the information returned by the below tools to "
    "construct your final answer.\n"
    "You MUST double check your query before executing it. If you get an error while executing a "
    "query, rewrite the query and try again.\n"
    "\n"
    "DO NOT make any DML statements (INSERT, UPDATE, DELETE, DROP etc.) to the database.\n"
    "\n"
    "If the question does not seem related to the database, just return \"I don't know\" as the "
    "answer.";

constexpr const char* kGenerationHuman =
    "{user_question}\n Schemas_from_relevant_tables: {schemas_from_relevant_tables}";

// A table-name list of the record as the tools and prompts take it: a list joined with ",", a
// text unchanged.
std::string table_names_text(const State& state, const char* field) {
  const Value& value = state.get(field);
  if (value.is_string()) return value.get<std::string>();
  if (value.is_array()) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (!value[i].is_string())
        throw std::invalid_argument(std::string(field) +
                                    " must be a text or a list of table-name texts; it holds " +
                                    value.dump());
      if (i) out += ',';
      out += value[i].get_ref<const std::string&>();
    }
    return out;
  }
  throw std::invalid_argument(std::string(field) +
                              " must be a text or a list of table-name texts, not " + value.dump());
}

std::vector<chat_model::ChatMessage> to_chat(const std::vector<Message>& messages) {
  std::vector<chat_model::ChatMessage> out;
  out.reserve(messages.size());
  for (const auto& m : messages) out.push_back({m.role, m.content});
  return out;
}

// The generated queries, which must be a non-empty list of texts for the check and execution.
const Value& generated_queries(const State& state, const char* node) {
  const Value& queries = state.get("generated_sql_query");
  if (!queries.is_array() || queries.empty() || !queries.back().is_string())
    throw std::invalid_argument(std::string(node) +
                                " needs generated_sql_query to end in a query text; it holds " +
                                queries.dump());
  return queries;
}

}  // namespace

// ---- TableNamesLookup ----

TableNamesLookup::TableNamesLookup(sql_database::CustomSQLDatabase db) : tool_(std::move(db)) {}

Update TableNamesLookup::invoke(const State& /*state*/, const Value& /*options*/) {
  return Update(Value{{"table_names_from_db", tool_._run()}});
}

// ---- RelevantTableNames ----

RelevantTableNames::RelevantTableNames(sql_database::CustomSQLDatabase db,
                                       const chat_model::AzureChatOpenAI& model)
    : dialect_(db.dialect()),
      model_(model.with_structured_output(RelevantTablesOutput())),
      template_(ChatPromptTemplate::from_messages(
          {SystemMessagePromptTemplate::from_template(answer_prompts::SQL_PREFIX),
           HumanMessagePromptTemplate::from_template(
               answer_prompts::GET_RELEVANT_TABLE_NAMES_TEMPLATE)})) {}

std::vector<Message> RelevantTableNames::generate_prompt(const State& state) const {
  Value question = state.get("user_question");
  const Value& rewritten = state.get("rewritten_question");
  if (rewritten.is_string() && !rewritten.get_ref<const std::string&>().empty())
    question = rewritten;
  std::vector<Message> messages = template_.format_messages(
      Value{{"dialect", dialect_},
            {"user_question", question},
            {"table_names_from_db", table_names_text(state, "table_names_from_db")}});
  messages[1].content += answer_prompts::TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE;
  return messages;
}

Update RelevantTableNames::invoke(const State& state, const Value& /*options*/) {
  const Value answer = model_.invoke(to_chat(generate_prompt(state)));
  return Update(Value{{"relevant_tables", answer.at("relevant_tables")}});
}

// ---- RelevantSchemas ----

RelevantSchemas::RelevantSchemas(sql_database::CustomSQLDatabase db) : tool_(std::move(db)) {}

Update RelevantSchemas::invoke(const State& state, const Value& /*options*/) {
  const std::string names = table_names_text(state, "relevant_tables");
  return Update(Value{{"sql_generation_prompt_type", "generation"},
                      {"schemas_from_relevant_tables", tool_._run(names)}});
}

// ---- SQLGeneration ----

SQLGeneration::SQLGeneration(sql_database::CustomSQLDatabase db,
                             const chat_model::AzureChatOpenAI& model)
    : model_(model.with_structured_output(SQLQueryInput())),
      dialect_(db.dialect()),
      generate_template_(ChatPromptTemplate::from_messages(
          {SystemMessagePromptTemplate::from_template(kGenerationSystem),
           HumanMessagePromptTemplate::from_template(kGenerationHuman)})),
      correct_template_(ChatPromptTemplate::from_messages(
          {SystemMessagePromptTemplate::from_template(answer_prompts::SQL_PREFIX),
           HumanMessagePromptTemplate::from_template(answer_prompts::CORRECT_SQL_TEMPLATE,
                                                     TemplateFormat::jinja2)})) {}

std::vector<Message> SQLGeneration::generate_messages(const State& state) const {
  const Value& mode = state.get("sql_generation_prompt_type");
  Value variables = state.values();
  variables["dialect"] = dialect_;
  if (mode == "generation") return generate_template_.format_messages(variables);
  if (mode == "correction") {
    const Value& queries = state.get("generated_sql_query");
    const Value& results = state.get("sql_execution_result");
    Value pairs = Value::array();
    for (std::size_t i = 0; i < queries.size() && i < results.size(); ++i)
      pairs.push_back(Value::array({queries[i], results[i]}));
    variables["zipped_queries_errors"] = std::move(pairs);
    return correct_template_.format_messages(variables);
  }
  throw std::invalid_argument("Messages not generated correctly.");
}

Update SQLGeneration::invoke(const State& state, const Value& /*options*/) {
  const auto start = std::chrono::steady_clock::now();
  const std::vector<Message> messages = generate_messages(state);
  const Value answer = model_.invoke(to_chat(messages));
  const Value query = answer.at("sql_query");
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  logging::info("Invoke generate sql query tooks: " + logging::seconds_text(elapsed.count()));
  return Update(Value{{"generated_sql_query", Value::array({query})}});
}

// ---- SQLSyntaxChecker ----

SQLSyntaxChecker::SQLSyntaxChecker(sql_database::CustomSQLDatabase db,
                                   const chat_model::AzureChatOpenAI& model)
    : tool_(std::move(db), model) {}

Update SQLSyntaxChecker::invoke(const State& state, const Value& /*options*/) {
  const Value& queries = generated_queries(state, "the syntax check");
  const std::string& last = queries.back().get_ref<const std::string&>();
  std::string checked = tool_._run(last);
  Update update;
  if (checked == last) return update;
  Value replaced = queries;
  replaced.back() = std::move(checked);
  update.overwrite("generated_sql_query", std::move(replaced));
  return update;
}

// ---- SQLExecution ----

SQLExecution::SQLExecution(sql_database::CustomSQLDatabase db) : db_(std::move(db)) {}

Update SQLExecution::invoke(const State& state, const Value& /*options*/) {
  const std::string query = generated_queries(state, "SQL execution").back().get<std::string>();
  std::string result;
  try {
    result = db_.run(query, "all", false);
  } catch (const sql_database::DatabaseError& e) {
    return Update(
        Value{{"sql_execution_result", Value::array({e.what()})}, {"execution_success", false}});
  }
  if (result.empty())
    return Update(
        Value{{"sql_execution_result", Value::array({"None"})}, {"execution_success", false}});
  return Update(Value{{"sql_execution_result", Value::array({result})},
                      {"execution_success", true},
                      {"pandas_generation_prompt_type", "generation"}});
}

// ---- RewriteQuery ----

RewriteQuery::RewriteQuery(sql_database::CustomSQLDatabase db,
                           const chat_model::AzureChatOpenAI& model, RewriteOptions options)
    : model_(model.with_structured_output(RewriteQueryOutput())),
      tool_(std::move(db)),
      template_(ChatPromptTemplate::from_messages(
          {SystemMessagePromptTemplate::from_template(answer_prompts::REWRITE_QUESTION_TEMPLATE)})),
      options_(options) {}

std::vector<Message> RewriteQuery::generate_prompt(const State& state) const {
  const std::string names = table_names_text(state, "table_names_from_db");
  std::string schemas = tool_._run(names);
  const std::size_t budget = options_.schema_budget_chars;
  if (budget != 0 && schemas.size() > budget) {
    // The whole description would not fit any model's context on a large database; the
    // columns and their types are what a rewrite against the schema needs.
    const auto tables = table_picker::parse_table_descriptions(schemas);
    if (!tables.empty()) {
      schemas = table_picker::compact_schema_text(tables, budget);
    } else {
      const std::string note = "\n... the description was cut here to fit the prompt.";
      schemas = budget > note.size() ? schemas.substr(0, budget - note.size()) + note
                                     : note.substr(0, budget);
    }
  }
  return template_.format_messages(
      Value{{"user_question", state.get("user_question")}, {"schemas_from_all_tables", schemas}});
}

Update RewriteQuery::invoke(const State& state, const Value& /*options*/) {
  const Value answer = model_.invoke(to_chat(generate_prompt(state)));
  return Update(Value{{"rewritten_question", answer.at("rewritten_question")}});
}

}  // namespace answer_nodes
