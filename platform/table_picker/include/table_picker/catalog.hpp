#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "table_picker/export.hpp"

// What a table description text says about each table: its columns with their declared types
// and the foreign keys it declares. The text is the one CustomSQLDatabase::get_table_info and
// InfoSQLDatabaseTool produce (a CREATE statement per table, each optionally followed by a
// comment block of sample rows), for any of the dialects the wrapper speaks.

namespace table_picker {

struct TABLE_PICKER_EXPORT ColumnInfo {
  std::string name;
  std::string type;  // as declared, blanks collapsed; empty when the column declares none

  bool operator==(const ColumnInfo&) const = default;
};

struct TABLE_PICKER_EXPORT ForeignKey {
  std::vector<std::string> columns;             // referencing columns of this table
  std::string referenced_table;                 // without any schema qualifier
  std::vector<std::string> referenced_columns;  // empty when the declaration names none

  bool operator==(const ForeignKey&) const = default;
};

struct TABLE_PICKER_EXPORT TableDescription {
  std::string name;  // unquoted, without any schema qualifier
  bool is_view = false;
  // Declared columns in order. For a view (or a table whose statement lists none) the column
  // names of its sample-row comment, without types.
  std::vector<ColumnInfo> columns;
  std::vector<ForeignKey> foreign_keys;
};

// Parses every CREATE TABLE / CREATE VIEW statement of a description text, in text order. Text
// that is not part of such a statement (a leading note about unknown names, sample rows) is
// skipped; a statement that cannot be understood yields a table without columns rather than an
// error. Pure function; safe to call from several threads.
TABLE_PICKER_EXPORT std::vector<TableDescription> parse_table_descriptions(std::string_view text);

// A short description of the tables: one line per table with its column names and types, no
// sample rows. When the lines do not all fit in `budget_chars` characters, as many tables as fit
// are kept, in order, and a last line says how many were left out; the whole text, that line
// included, stays within the budget (a budget too small for even that line yields only as much
// of it as fits). A budget of 0 means no limit. Pure function; safe to call from several threads.
TABLE_PICKER_EXPORT std::string compact_schema_text(const std::vector<TableDescription>& tables,
                                                    std::size_t budget_chars);

}  // namespace table_picker
