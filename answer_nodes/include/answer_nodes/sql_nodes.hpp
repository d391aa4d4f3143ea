#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "chat_model/client.hpp"
#include "prompt_template/prompt_template.hpp"
#include "sql_database/custom_sql_database.hpp"
#include "sql_database/query_checker.hpp"
#include "sql_database/sql_tools.hpp"
#include "state_graph/graph.hpp"

// The nodes of the SQL path: table listing and selection, schema retrieval, SQL generation, the
// syntax check, execution and the question rewrite. Each takes its collaborators in the
// constructor and keeps them unchanged; invoke reads the record it is given and returns an
// update, ignoring the run options. Every node is safe to call from several threads at once (its
// members are immutable and the database wrapper and model clients are thread-safe).
//
// Table-name lists read from the record (table_names_from_db, relevant_tables) may be a list of
// names, joined with "," and no blank before use, or a text, used unchanged. Any other value is
// rejected with std::invalid_argument naming the field.

namespace answer_nodes {

// Lists every usable table of the database into table_names_from_db. Does not read the record.
class TableNamesLookup : public state_graph::Runnable {
 public:
  explicit TableNamesLookup(sql_database::CustomSQLDatabase db);

  // {table_names_from_db: the listing text}.
  state_graph::Update invoke(const state_graph::State& state,
                             const state_graph::Value& options = {}) override;

 private:
  sql_database::ListSQLDatabaseTool tool_;
};

// Asks the model which listed tables the question needs. Reads user_question,
// rewritten_question (used instead when it is a non-empty text) and table_names_from_db.
class RelevantTableNames : public state_graph::Runnable {
 public:
  RelevantTableNames(sql_database::CustomSQLDatabase db, const chat_model::AzureChatOpenAI& model);

  // The system message from SQL_PREFIX and the user message from
  // GET_RELEVANT_TABLE_NAMES_TEMPLATE, with TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE appended to
  // the user message after formatting (its braces reach the model as written).
  std::vector<prompt_template::Message> generate_prompt(const state_graph::State& state) const;

  // {relevant_tables: the model's list, as it comes}. Throws chat_model::ModelError.
  state_graph::Update invoke(const state_graph::State& state,
                             const state_graph::Value& options = {}) override;

 private:
  std::string dialect_;
  chat_model::StructuredChatModel model_;
  prompt_template::ChatPromptTemplate template_;
};

// Fetches the descriptions of the relevant tables and starts a fresh SQL attempt.
class RelevantSchemas : public state_graph::Runnable {
 public:
  explicit RelevantSchemas(sql_database::CustomSQLDatabase db);

  // {sql_generation_prompt_type: "generation", schemas_from_relevant_tables: the tool's text}.
  state_graph::Update invoke(const state_graph::State& state,
                             const state_graph::Value& options = {}) override;

 private:
  sql_database::InfoSQLDatabaseTool tool_;
};

// Asks the model for one SQL query: in "generation" mode from the question and the relevant
// schemas, in "correction" mode with every earlier query beside its execution result.
class SQLGeneration : public state_graph::Runnable {
 public:
  SQLGeneration(sql_database::CustomSQLDatabase db, const chat_model::AzureChatOpenAI& model);

  // The messages of the mode in sql_generation_prompt_type. Throws std::invalid_argument
  // "Messages not generated correctly." for any other mode.
  std::vector<prompt_template::Message> generate_messages(const state_graph::State& state) const;

  // {generated_sql_query: [the model's sql_query]}, and one info line
  // "Invoke generate sql query tooks: <seconds>" on the process logger.
  state_graph::Update invoke(const state_graph::State& state,
                             const state_graph::Value& options = {}) override;

 private:
  chat_model::StructuredChatModel model_;
  std::string dialect_;
  prompt_template::ChatPromptTemplate generate_template_;
  prompt_template::ChatPromptTemplate correct_template_;
};

// Passes the last generated query through the SQL checker tool and puts the tool's text in its
// place: the update overwrites generated_sql_query with the same list, its last entry replaced
// (the list keeps its length). When the tool gives the query back unchanged the update is empty.
class SQLSyntaxChecker : public state_graph::Runnable {
 public:
  SQLSyntaxChecker(sql_database::CustomSQLDatabase db, const chat_model::AzureChatOpenAI& model);

  // Throws std::invalid_argument when generated_sql_query is not a non-empty list of texts, and
  // chat_model::ModelError when the checker's model call fails.
  state_graph::Update invoke(const state_graph::State& state,
                             const state_graph::Value& options = {}) override;

 private:
  sql_database::QuerySQLCheckerTool tool_;
};

// Runs the last generated query and records the outcome. Every call appends exactly one entry to
// sql_execution_result: the rows, "None" for no rows, or the database's error text.
class SQLExecution : public state_graph::Runnable {
 public:
  explicit SQLExecution(sql_database::CustomSQLDatabase db);

  // Rows: {sql_execution_result: [rows], execution_success: true,
  // pandas_generation_prompt_type: "generation"}; no rows: {sql_execution_result: ["None"],
  // execution_success: false}; sql_database::DatabaseError: {sql_execution_result: [its text],
  // execution_success: false}. Other errors propagate; so does std::invalid_argument for a
  // generated_sql_query that is not a non-empty list of texts.
  state_graph::Update invoke(const state_graph::State& state,
                             const state_graph::Value& options = {}) override;

 private:
  sql_database::CustomSQLDatabase db_;
};

struct RewriteOptions {
  // Longest description of the whole database put into the rewrite prompt. Beyond it the prompt
  // carries the compact form instead (each table with its column names and types, no sample
  // rows), cut at this length with a line telling how many tables were left out. 0: no limit.
  std::size_t schema_budget_chars = 60000;
};

// Asks the model to rewrite the question against the description of every table of the
// database. Reads table_names_from_db and user_question.
class RewriteQuery : public state_graph::Runnable {
 public:
  RewriteQuery(sql_database::CustomSQLDatabase db, const chat_model::AzureChatOpenAI& model,
               RewriteOptions options = {});

  // One system message from REWRITE_QUESTION_TEMPLATE.
  std::vector<prompt_template::Message> generate_prompt(const state_graph::State& state) const;

  // {rewritten_question: the model's text, as it comes}. Throws chat_model::ModelError.
  state_graph::Update invoke(const state_graph::State& state,
                             const state_graph::Value& options = {}) override;

  const RewriteOptions& options() const noexcept { return options_; }

 private:
  chat_model::StructuredChatModel model_;
  sql_database::InfoSQLDatabaseTool tool_;
  prompt_template::ChatPromptTemplate template_;
  RewriteOptions options_;
};

}  // namespace answer_nodes
