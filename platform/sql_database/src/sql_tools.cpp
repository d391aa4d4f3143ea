#include "sql_database/sql_tools.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace sql_database {
namespace {

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return out;
}

std::string join(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += separator;
    out += items[i];
  }
  return out;
}

// "\"orders\"", "`orders`", "[orders]" -> "orders".
std::string_view unquote(std::string_view name) {
  if (name.size() >= 2) {
    const char first = name.front(), last = name.back();
    if ((first == '"' && last == '"') || (first == '`' && last == '`') ||
        (first == '[' && last == ']') || (first == '\'' && last == '\''))
      return trim(name.substr(1, name.size() - 2));
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
  const std::string wanted = lower(unquote(requested));
  std::string match;
  for (const auto& name : usable) {
    if (lower(name) != wanted) continue;
    if (!match.empty()) return {};
    match = name;
  }
  return match;
}

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

std::string fill(std::string text, std::string_view dialect, std::string_view query) {
  auto replace_all = [&](std::string_view key, std::string_view value) {
    for (std::size_t pos = 0; (pos = text.find(key, pos)) != std::string::npos; pos += value.size())
      text.replace(pos, key.size(), value);
  };
  replace_all("{dialect}", dialect);
  replace_all("{query}", query);  // last: the query's own text is not searched for keys
  return text;
}

}  // namespace

ListSQLDatabaseTool::ListSQLDatabaseTool(CustomSQLDatabase db) : db_(std::move(db)) {}

std::string ListSQLDatabaseTool::_run() const { return join(db_.get_usable_table_names(), ", "); }

InfoSQLDatabaseTool::InfoSQLDatabaseTool(CustomSQLDatabase db) : db_(std::move(db)) {}

std::string InfoSQLDatabaseTool::_run(std::string_view table_names) const {
  std::vector<std::string> requested;
  while (true) {
    const auto comma = table_names.find(',');
    const std::string_view item = trim(table_names.substr(0, comma));
    if (!item.empty()) requested.emplace_back(item);
    if (comma == std::string_view::npos) break;
    table_names.remove_prefix(comma + 1);
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
          join(unknown, ", ") + ". Valid table names: " + join(usable, ", ") + ".";
  }
  if (!found.empty()) {
    if (!out.empty()) out += "\n\n";
    out += db_.get_table_info(found);
  }
  return out;
}

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

std::string strip_code_fence(std::string_view text) {
  text = trim(text);
  const auto open = text.find("```");
  if (open == std::string_view::npos) return std::string(text);
  std::string_view rest = text.substr(open + 3);
  // The fence line may name the language ("```sql").
  const auto line_end = rest.find('\n');
  if (line_end != std::string_view::npos) {
    rest = rest.substr(line_end + 1);
  } else if (lower(rest.substr(0, 3)) == "sql") {
    rest = rest.substr(3);  // all on one line: "```sql SELECT 1```"
  }
  const auto close = rest.find("```");
  if (close != std::string_view::npos) rest = rest.substr(0, close);
  return std::string(trim(rest));
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
  return sql.empty() ? std::string(trim(query)) : sql;
}

}  // namespace sql_database
