#include "table_picker/catalog.hpp"

#include <algorithm>
#include <cctype>
#include <optional>

#include "text/text.hpp"

namespace table_picker {
namespace {

enum class Kind { word, quoted, string, number, punct, comment };

struct Token {
  Kind kind;
  std::string_view raw;  // the token as it stands in the text
  std::string text;      // words as written, quoted identifiers unquoted, comment bodies
};

bool is_word_char(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '$' || u >= 0x80;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The content between `open` and its closing `close`, where a doubled `close` stands for one.
// Returns the position after the closing character (text.size() when it never closes).
std::size_t read_quoted(std::string_view text, std::size_t pos, char close, bool doubling,
                        std::string& out) {
  ++pos;
  while (pos < text.size()) {
    const char c = text[pos];
    if (c == close) {
      if (doubling && pos + 1 < text.size() && text[pos + 1] == close) {
        out += close;
        pos += 2;
        continue;
      }
      return pos + 1;
    }
    out += c;
    ++pos;
  }
  return pos;
}

// Splits SQL text into tokens. Block comments are kept (their body is the text): the sample-row
// comments of a description carry column names. A comment that opens with "/*" and a line break
// ends at the first line that starts with "*/", so a value in a sample row that happens to hold
// "*/" does not end it early.
std::vector<Token> tokenize(std::string_view text) {
  std::vector<Token> tokens;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char c = text[pos];
    const std::size_t start = pos;
    if (is_blank(c)) {
      ++pos;
      continue;
    }
    if (c == '-' && pos + 1 < text.size() && text[pos + 1] == '-') {
      const auto end = text.find('\n', pos);
      pos = end == std::string_view::npos ? text.size() : end + 1;
      continue;
    }
    if (c == '/' && pos + 1 < text.size() && text[pos + 1] == '*') {
      const bool framed = pos + 2 < text.size() && text[pos + 2] == '\n';
      const std::string_view closer = framed ? "\n*/" : "*/";
      auto end = text.find(closer, pos + 2);
      if (framed && end == std::string_view::npos) end = text.find("*/", pos + 2);
      const std::size_t body_end = end == std::string_view::npos ? text.size() : end;
      pos = end == std::string_view::npos ? text.size()
                                          : end + (text.substr(end, 3) == "\n*/" ? 3 : 2);
      tokens.push_back({Kind::comment, text.substr(start, pos - start),
                        std::string(text.substr(start + 2, body_end - start - 2))});
      continue;
    }
    Token token{Kind::punct, {}, {}};
    if (c == '"' || c == '`') {
      token.kind = Kind::quoted;
      pos = read_quoted(text, pos, c, true, token.text);
    } else if (c == '[') {
      token.kind = Kind::quoted;
      pos = read_quoted(text, pos, ']', false, token.text);
    } else if (c == '\'') {
      token.kind = Kind::string;
      pos = read_quoted(text, pos, '\'', true, token.text);
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      token.kind = Kind::number;
      while (pos < text.size() && (is_word_char(text[pos]) || text[pos] == '.')) ++pos;
      token.text = std::string(text.substr(start, pos - start));
    } else if (is_word_char(c)) {
      token.kind = Kind::word;
      while (pos < text.size() && is_word_char(text[pos])) ++pos;
      token.text = std::string(text.substr(start, pos - start));
    } else {
      ++pos;
      token.text = std::string(1, c);
    }
    token.raw = text.substr(start, pos - start);
    tokens.push_back(std::move(token));
  }
  return tokens;
}

bool is_keyword(const Token& t, std::string_view keyword) {
  return t.kind == Kind::word && t.text.size() == keyword.size() &&
         text::ascii_upper(t.text) == keyword;
}

bool is_punct(const Token& t, char c) {
  return t.kind == Kind::punct && t.text.size() == 1 && t.text[0] == c;
}

bool is_identifier(const Token& t) {
  return t.kind == Kind::word || t.kind == Kind::quoted || t.kind == Kind::string;
}

// Tokens of one statement without comments, and the comments that follow it.
using Span = std::vector<const Token*>;

// A possibly qualified name ("public"."orders", db.t) starting at `i`; returns its last part and
// moves `i` past it.
std::optional<std::string> read_name(const Span& s, std::size_t& i) {
  if (i >= s.size() || !is_identifier(*s[i])) return std::nullopt;
  std::string name = s[i]->text;
  ++i;
  while (i + 1 < s.size() && is_punct(*s[i], '.') && is_identifier(*s[i + 1])) {
    name = s[i + 1]->text;
    i += 2;
  }
  return name;
}

// "(a, b)" at `i`: the identifiers it lists. Moves `i` past the closing parenthesis.
std::vector<std::string> read_name_list(const Span& s, std::size_t& i) {
  std::vector<std::string> names;
  if (i >= s.size() || !is_punct(*s[i], '(')) return names;
  int depth = 0;
  for (; i < s.size(); ++i) {
    if (is_punct(*s[i], '(')) {
      ++depth;
    } else if (is_punct(*s[i], ')')) {
      if (--depth == 0) {
        ++i;
        break;
      }
    } else if (depth == 1 && is_identifier(*s[i])) {
      names.push_back(s[i]->text);
    }
  }
  return names;
}

// "REFERENCES t [(cols)]" starting at the REFERENCES keyword.
std::optional<ForeignKey> read_references(const Span& s, std::size_t i,
                                          std::vector<std::string> columns) {
  ++i;
  auto table = read_name(s, i);
  if (!table) return std::nullopt;
  ForeignKey fk;
  fk.columns = std::move(columns);
  fk.referenced_table = std::move(*table);
  fk.referenced_columns = read_name_list(s, i);
  return fk;
}

bool starts_constraint(const Token& t) {
  static const char* const kWords[] = {"CONSTRAINT", "PRIMARY", "FOREIGN", "UNIQUE",
                                       "CHECK",      "KEY",     "INDEX",   "FULLTEXT",
                                       "SPATIAL",    "EXCLUDE", "PERIOD",  "LIKE"};
  if (t.kind != Kind::word) return false;
  const std::string u = text::ascii_upper(t.text);
  return std::any_of(std::begin(kWords), std::end(kWords), [&](const char* w) { return u == w; });
}

// Words that end a column's type and start its constraints.
bool ends_type(const Span& item, std::size_t i, bool type_started) {
  static const char* const kWords[] = {
      "CONSTRAINT",    "PRIMARY", "NOT",        "NULL",      "UNIQUE", "CHECK",
      "DEFAULT",       "COLLATE", "REFERENCES", "GENERATED", "AS",     "AUTO_INCREMENT",
      "AUTOINCREMENT", "COMMENT", "ON",         "IDENTITY",  "KEY",    "CHARSET"};
  const Token& t = *item[i];
  if (t.kind != Kind::word) return false;
  const std::string u = text::ascii_upper(t.text);
  if (std::any_of(std::begin(kWords), std::end(kWords), [&](const char* w) { return u == w; }))
    return true;
  // "varchar(20) CHARACTER SET utf8" (MySQL) but "character varying(20)" (PostgreSQL).
  return type_started && u == "CHARACTER" && i + 1 < item.size() && is_keyword(*item[i + 1], "SET");
}

std::string collapse_blanks(std::string_view s) {
  std::string out;
  bool blank = false;
  for (char c : s) {
    if (is_blank(c)) {
      blank = true;
      continue;
    }
    if (blank && !out.empty()) out += ' ';
    blank = false;
    out += c;
  }
  return out;
}

constexpr std::size_t kMaxTypeChars = 80;

void parse_item(const Span& item, TableDescription& table) {
  if (item.empty()) return;
  if (starts_constraint(*item[0])) {
    for (std::size_t i = 0; i + 1 < item.size(); ++i) {
      if (!is_keyword(*item[i], "FOREIGN") || !is_keyword(*item[i + 1], "KEY")) continue;
      std::size_t j = i + 2;
      // MySQL allows an index name here: FOREIGN KEY fk_name (col).
      if (j < item.size() && is_identifier(*item[j])) ++j;
      std::vector<std::string> columns = read_name_list(item, j);
      if (j < item.size() && is_keyword(*item[j], "REFERENCES")) {
        if (auto fk = read_references(item, j, std::move(columns)))
          table.foreign_keys.push_back(std::move(*fk));
      }
      break;
    }
    return;
  }
  if (!is_identifier(*item[0])) return;
  ColumnInfo column{item[0]->text, {}};
  std::size_t i = 1;
  const std::size_t type_begin = i;
  int depth = 0;
  for (; i < item.size(); ++i) {
    if (is_punct(*item[i], '(')) {
      ++depth;
    } else if (is_punct(*item[i], ')')) {
      --depth;
    } else if (depth == 0 && ends_type(item, i, i > type_begin)) {
      break;
    }
  }
  if (i > type_begin) {
    const char* first = item[type_begin]->raw.data();
    const char* last = item[i - 1]->raw.data() + item[i - 1]->raw.size();
    column.type = collapse_blanks(std::string_view(first, static_cast<std::size_t>(last - first)));
    if (column.type.size() > kMaxTypeChars)
      column.type = column.type.substr(0, kMaxTypeChars) + "...";
  }
  for (; i < item.size(); ++i) {
    if (is_keyword(*item[i], "REFERENCES")) {
      if (auto fk = read_references(item, i, {column.name}))
        table.foreign_keys.push_back(std::move(*fk));
      break;
    }
  }
  table.columns.push_back(std::move(column));
}

// The column list "(...)" of CREATE TABLE, starting at its opening parenthesis.
void parse_column_list(const Span& s, std::size_t i, TableDescription& table) {
  int depth = 0;
  Span item;
  for (; i < s.size(); ++i) {
    const Token& t = *s[i];
    if (is_punct(t, '(')) {
      if (depth++ == 0) continue;
    } else if (is_punct(t, ')')) {
      if (--depth == 0) break;
    } else if (depth == 1 && is_punct(t, ',')) {
      parse_item(item, table);
      item.clear();
      continue;
    }
    item.push_back(&t);
  }
  parse_item(item, table);
}

// The column names of a sample-row comment: "3 sample rows from t (a, b, c):" or
// "0 sample rows from t (a, b)".
std::vector<ColumnInfo> sample_comment_columns(std::string_view body, std::string_view table) {
  std::vector<ColumnInfo> columns;
  while (!body.empty() && is_blank(body.front())) body.remove_prefix(1);
  const auto line_end = body.find('\n');
  std::string_view line = body.substr(0, line_end);
  const std::string marker = " from " + std::string(table) + " (";
  const auto at = line.find(marker);
  if (at == std::string_view::npos || line.find("sample row") == std::string_view::npos)
    return columns;
  line.remove_prefix(at + marker.size());
  auto close = line.rfind(')');
  if (close == std::string_view::npos) return columns;
  line = line.substr(0, close);
  while (!line.empty()) {
    const auto comma = line.find(", ");
    std::string_view name = line.substr(0, comma);
    if (!name.empty()) columns.push_back({std::string(name), {}});
    if (comma == std::string_view::npos) break;
    line.remove_prefix(comma + 2);
  }
  return columns;
}

}  // namespace

std::vector<TableDescription> parse_table_descriptions(std::string_view text) {
  const std::vector<Token> tokens = tokenize(text);
  std::vector<TableDescription> tables;
  std::size_t i = 0;
  while (i < tokens.size()) {
    if (!is_keyword(tokens[i], "CREATE")) {
      // A comment right after a statement: the sample rows of the table just read.
      if (tokens[i].kind == Kind::comment && !tables.empty() && tables.back().columns.empty())
        tables.back().columns = sample_comment_columns(tokens[i].text, tables.back().name);
      ++i;
      continue;
    }
    // The statement runs to the next top-level ';' or CREATE, or the next comment.
    Span s;
    std::size_t j = i;
    int depth = 0;
    for (; j < tokens.size(); ++j) {
      const Token& t = tokens[j];
      if (t.kind == Kind::comment) break;
      if (j > i && depth == 0 && (is_punct(t, ';') || is_keyword(t, "CREATE"))) break;
      if (is_punct(t, '(')) ++depth;
      if (is_punct(t, ')') && depth > 0) --depth;
      s.push_back(&t);
    }
    i = j;

    // CREATE [OR REPLACE] [TEMP] [ALGORITHM=... DEFINER=... SQL SECURITY ...] TABLE|VIEW name
    std::size_t k = 1;
    std::optional<bool> is_view;
    for (; k < s.size() && !is_punct(*s[k], '('); ++k) {
      if (is_keyword(*s[k], "TABLE")) {
        is_view = false;
        break;
      }
      if (is_keyword(*s[k], "VIEW")) {
        is_view = true;
        break;
      }
      if (is_keyword(*s[k], "INDEX") || is_keyword(*s[k], "TRIGGER")) break;
    }
    if (!is_view || k >= s.size()) continue;
    ++k;
    if (k + 2 < s.size() && is_keyword(*s[k], "IF") && is_keyword(*s[k + 1], "NOT") &&
        is_keyword(*s[k + 2], "EXISTS"))
      k += 3;
    auto name = read_name(s, k);
    if (!name) continue;
    TableDescription table;
    table.name = std::move(*name);
    table.is_view = *is_view;
    if (!table.is_view && k < s.size() && is_punct(*s[k], '(')) parse_column_list(s, k, table);
    tables.push_back(std::move(table));
  }
  return tables;
}

std::string compact_schema_text(const std::vector<TableDescription>& tables,
                                std::size_t budget_chars) {
  auto line_of = [](const TableDescription& t) {
    std::string line = (t.is_view ? "View " : "Table ") + t.name;
    for (std::size_t c = 0; c < t.columns.size(); ++c) {
      line += c == 0 ? ": " : ", ";
      line += t.columns[c].name;
      if (!t.columns[c].type.empty()) line += " " + t.columns[c].type;
    }
    return line;
  };
  auto left_out_line = [](std::size_t n) {
    return "... " + std::to_string(n) + (n == 1 ? " more table" : " more tables") +
           " left out to keep this description within the prompt budget.";
  };

  std::vector<std::string> lines;
  std::size_t total = 0;
  for (const auto& t : tables) {
    lines.push_back(line_of(t));
    total += lines.back().size() + (lines.size() > 1 ? 1 : 0);
  }
  std::string out;
  if (budget_chars == 0 || total <= budget_chars) {
    for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? "\n" : "") + lines[i];
    return out;
  }
  for (std::size_t i = 0; i < tables.size(); ++i) {
    const std::string& line = lines[i];
    const std::size_t needed = out.size() + (out.empty() ? 0 : 1) + line.size();
    // Room must stay for the closing line should a later table not fit.
    const std::size_t rest = tables.size() - i - 1;
    const std::size_t reserve = rest == 0 ? 0 : 1 + left_out_line(rest).size();
    if (needed + reserve > budget_chars) {
      std::string closing = left_out_line(tables.size() - i);
      if (!out.empty()) closing.insert(closing.begin(), '\n');
      if (out.size() + closing.size() > budget_chars)
        closing.resize(budget_chars > out.size() ? budget_chars - out.size() : 0);
      return out + closing;
    }
    if (!out.empty()) out += '\n';
    out += line;
  }
  return out;
}

}  // namespace table_picker
