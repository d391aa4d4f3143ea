#pragma once

// The listing and description tools of the database wrapper. The SQL checker tool, which needs
// a chat model, is in sql_database/query_checker.hpp (library sql_database_checker).

#include <string>
#include <string_view>
#include <vector>

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

}  // namespace sql_database
