#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "chat_model/client.hpp"
#include "sql_database/custom_sql_database.hpp"

namespace sql_database {

// Lists the usable tables and views of a database.
// Thread-safe (as the database it holds).
class ListSQLDatabaseTool {
 public:
  explicit ListSQLDatabaseTool(CustomSQLDatabase db);

  // The usable table names, sorted, separated by ", " ("categories, customers, orders").
  // Throws DatabaseError.
  std::string _run() const;

  const CustomSQLDatabase& db() const noexcept { return db_; }

 private:
  CustomSQLDatabase db_;
};

// Describes tables for a prompt: for each, its CREATE statement and a few sample rows.
// Thread-safe (as the database it holds).
class InfoSQLDatabaseTool {
 public:
  explicit InfoSQLDatabaseTool(CustomSQLDatabase db);

  // `table_names`: names joined by "," (blanks around them are trimmed, empty items skipped,
  // so the listing text of ListSQLDatabaseTool works too). The empty text describes every usable
  // table. A name that matches no table exactly but one table apart from letter case or quotes
  // ("Orders", "\"orders\"") means that table. Names that match no usable table do not fail the
  // call: the text then starts with a line naming them and listing the valid names, followed by
  // the description of the names that did match. Throws DatabaseError.
  std::string _run(std::string_view table_names = "") const;

  const CustomSQLDatabase& db() const noexcept { return db_; }

 private:
  CustomSQLDatabase db_;
};

// Has the chat model look over a query for common mistakes before it runs, and returns the
// query it gives back (the original query when it gives back nothing). The model is asked for a
// structured answer with one field, `sql_query`; a markdown code fence around the SQL is removed.
// Thread-safe (as the database and the model client it holds).
class QuerySQLCheckerTool {
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
const chat_model::OutputSchema& checked_query_schema();

// Removes a markdown code fence around SQL ("```sql\nSELECT 1\n```" -> "SELECT 1") and the
// blanks around it; other text is returned trimmed.
std::string strip_code_fence(std::string_view text);

}  // namespace sql_database
