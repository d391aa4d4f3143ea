#include "sql_database/sql_tools.hpp"

#include <algorithm>

#include "text/text.hpp"

namespace sql_database {
namespace {

// "\"orders\"", "`orders`", "[orders]" -> "orders".
std::string_view unquote(std::string_view name) {
  if (name.size() >= 2) {
    const char first = name.front(), last = name.back();
    if ((first == '"' && last == '"') || (first == '`' && last == '`') ||
        (first == '[' && last == ']') || (first == '\'' && last == '\''))
      return text::trim(name.substr(1, name.size() - 2));
  }
  return name;
}

// The usable name `requested` means: exact, else exact without quotes, else the one name equal
// apart from letter case. Empty when there is none (or more than one by case).
std::string resolve(std::string_view requested, const std::vector<std::string>& usable) {
  for (std::string_view candidate : {requested, unquote(requested)}) {
    if (std::find(usable.begin(), usable.end(), candidate) != usable.end())
      return std::string(candidate);
  }
  const std::string wanted = text::ascii_lower(unquote(requested));
  std::string match;
  for (const auto& name : usable) {
    if (text::ascii_lower(name) != wanted) continue;
    if (!match.empty()) return {};
    match = name;
  }
  return match;
}

}  // namespace

ListSQLDatabaseTool::ListSQLDatabaseTool(CustomSQLDatabase db) : db_(std::move(db)) {}

std::string ListSQLDatabaseTool::_run() const {
  return text::join(db_.get_usable_table_names(), ", ");
}

InfoSQLDatabaseTool::InfoSQLDatabaseTool(CustomSQLDatabase db) : db_(std::move(db)) {}

std::string InfoSQLDatabaseTool::_run(std::string_view table_names) const {
  std::vector<std::string> requested;
  for (const std::string_view piece : text::split(table_names, ',')) {
    const std::string_view item = text::trim(piece);
    if (!item.empty()) requested.emplace_back(item);
  }
  if (requested.empty()) return db_.get_table_info();

  const std::vector<std::string> usable = db_.get_usable_table_names();
  std::vector<std::string> found, unknown;
  for (const auto& name : requested) {
    std::string match = resolve(name, usable);
    if (match.empty()) {
      if (std::find(unknown.begin(), unknown.end(), name) == unknown.end()) unknown.push_back(name);
    } else if (std::find(found.begin(), found.end(), match) == found.end()) {
      found.push_back(std::move(match));
    }
  }
  std::string out;
  if (!unknown.empty()) {
    out = std::string(unknown.size() == 1 ? "Unknown table: " : "Unknown tables: ") +
          text::join(unknown, ", ") + ". Valid table names: " + text::join(usable, ", ") + ".";
  }
  if (!found.empty()) {
    if (!out.empty()) out += "\n\n";
    out += db_.get_table_info(found);
  }
  return out;
}

}  // namespace sql_database
