#include "sql_database/query_checker.hpp"

#include <nlohmann/json.hpp>
#include <utility>

#include "text/text.hpp"

namespace sql_database {
namespace {

constexpr const char* kCheckerSystem =
    "You are a careful reviewer of {dialect} SQL. You check queries written by someone else "
    "before they run against a {dialect} database and correct them where they are wrong.";

constexpr const char* kCheckerRequest =
    "Look over this {dialect} query for the usual mistakes:\n"
    "- NOT IN over a subquery or list that may hold NULL values\n"
    "- UNION where UNION ALL is meant (or the other way round)\n"
    "- BETWEEN used for a range whose upper end should be left out\n"
    "- comparisons or joins between columns of different data types\n"
    "- identifiers that need quoting, or quotes of the wrong kind for {dialect}\n"
    "- functions that {dialect} does not have, or that get the wrong number or kind of "
    "arguments\n"
    "- casts to the wrong data type\n"
    "- joins on the wrong columns\n"
    "- aggregates mixed with columns that are not grouped\n"
    "- more than one statement, or a statement that changes data: only one read-only query "
    "may run\n"
    "\n"
    "If you find a mistake, rewrite the query to fix it. If you find none, give the query back "
    "exactly as it is. Give only the SQL of the query in `sql_query`: no explanation and no "
    "markdown.\n"
    "\n"
    "Query:\n"
    "{query}";

std::string fill(std::string prompt, std::string_view dialect, std::string_view query) {
  auto replace_all = [&](std::string_view key, std::string_view value) {
    for (std::size_t pos = 0; (pos = prompt.find(key, pos)) != std::string::npos;
         pos += value.size())
      prompt.replace(pos, key.size(), value);
  };
  replace_all("{dialect}", dialect);
  replace_all("{query}", query);  // last: the query's own text is not searched for keys
  return prompt;
}

}  // namespace

const chat_model::OutputSchema& checked_query_schema() {
  static const chat_model::OutputSchema schema(
      "CheckedSQLQuery", "A SQL query after review, corrected where it was wrong.",
      {chat_model::SchemaField{
          "sql_query", chat_model::FieldType::text,
          "The SQL query to run: the reviewed query, corrected where needed. SQL only, with no "
          "explanation and no markdown.",
          false, std::nullopt}});
  return schema;
}

std::string strip_code_fence(std::string_view answer) {
  answer = text::trim(answer);
  const auto block = text::first_fenced_block(answer);
  if (!block) return std::string(answer);
  std::string_view sql = block->body;
  // A block all on one line may still name the language: "```sql SELECT 1```".
  if (!block->has_info_line && text::ascii_lower(sql.substr(0, 3)) == "sql") sql.remove_prefix(3);
  return std::string(text::trim(sql));
}

QuerySQLCheckerTool::QuerySQLCheckerTool(CustomSQLDatabase db, chat_model::AzureChatOpenAI llm)
    : db_(std::move(db)),
      llm_(std::move(llm)),
      checker_(llm_.with_structured_output(checked_query_schema())) {}

std::vector<chat_model::ChatMessage> QuerySQLCheckerTool::messages(std::string_view query) const {
  return {{"system", fill(kCheckerSystem, db_.dialect(), query)},
          {"user", fill(kCheckerRequest, db_.dialect(), query)}};
}

std::string QuerySQLCheckerTool::_run(std::string_view query) const {
  const chat_model::Value answer = checker_.invoke(messages(query));
  const std::string sql = strip_code_fence(answer.at("sql_query").get<std::string>());
  // An empty answer would lose the query; the original is the better thing to run.
  return sql.empty() ? std::string(text::trim(query)) : sql;
}

}  // namespace sql_database
