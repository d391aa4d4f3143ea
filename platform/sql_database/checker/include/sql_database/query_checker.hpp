#pragma once

// The SQL checker tool of the database wrapper. It is a library of its own (sql_database_checker)
// so that the wrapper itself stays free of the chat-model client: a program that only reads
// databases links libsql_database and never loads HTTP code.

#include <string>
#include <string_view>
#include <vector>

#include "chat_model/client.hpp"
#include "chat_model/output_schema.hpp"
#include "sql_database/custom_sql_database.hpp"
#include "sql_database_checker/export.hpp"

namespace sql_database {

// Has the chat model look over a query for common mistakes before it runs, and returns the
// query it gives back (the original query when it gives back nothing). The model is asked for a
// structured answer with one field, `sql_query`; a markdown code fence around the SQL is removed.
// Thread-safe (as the database and the model client it holds).
class SQL_DATABASE_CHECKER_EXPORT QuerySQLCheckerTool {
 public:
  QuerySQLCheckerTool(CustomSQLDatabase db, chat_model::AzureChatOpenAI llm);

  // Throws chat_model::ModelError when the model call fails.
  std::string _run(std::string_view query) const;

  // The messages _run sends for `query`.
  std::vector<chat_model::ChatMessage> messages(std::string_view query) const;

  const CustomSQLDatabase& db() const noexcept { return db_; }

 private:
  CustomSQLDatabase db_;
  chat_model::AzureChatOpenAI llm_;
  chat_model::StructuredChatModel checker_;
};

// The schema of the checker's answer: one text field, "sql_query".
SQL_DATABASE_CHECKER_EXPORT const chat_model::OutputSchema& checked_query_schema();

// The SQL of a model's answer: the body of its first markdown code fence when it has one
// ("Here it is:\n```sql\nSELECT 1\n```" -> "SELECT 1", also "```sql SELECT 1```"), else the
// whole text; blanks around it removed.
SQL_DATABASE_CHECKER_EXPORT std::string strip_code_fence(std::string_view text);

}  // namespace sql_database
