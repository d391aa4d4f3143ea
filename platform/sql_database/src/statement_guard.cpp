#include "statement_guard.hpp"

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "text/text.hpp"

namespace sql_database {
namespace {

enum class TokenKind { word, quoted, literal, punct };

struct Token {
  TokenKind kind;
  std::string text;  // words and quoted names in lower case; the character of a punctuation mark
};

// How the server reads the parts of a statement that depend on its settings.
struct Reading {
  bool backslash_escapes;  // a backslash escapes the next character in '...' strings
  bool ansi_quotes;        // MySQL: "..." is a name, not a string
};

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool is_word_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_word_char(char c) { return is_word_start(c) || is_digit(c) || c == '$'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A quoted PostgreSQL name written U&"...": \XXXX and \+XXXXXX stand for characters. Only ASCII
// matters for the names checked here; other characters are kept as a marker that matches none.
std::string decode_unicode_name(std::string_view raw) {
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      out += raw[i];
      continue;
    }
    if (i + 1 < raw.size() && raw[i + 1] == '\\') {
      out += '\\';
      ++i;
      continue;
    }
    std::size_t digits = 4;
    std::size_t start = i + 1;
    if (start < raw.size() && raw[start] == '+') {
      digits = 6;
      ++start;
    }
    long code = 0;
    std::size_t k = 0;
    for (; k < digits && start + k < raw.size(); ++k) {
      const int v = hex_value(raw[start + k]);
      if (v < 0) break;
      code = code * 16 + v;
    }
    if (k < digits) {
      out += raw[i];  // not an escape the server accepts; it rejects the statement itself
      continue;
    }
    out += code > 0 && code < 0x80 ? static_cast<char>(code) : '\x01';
    i = start + digits - 1;
  }
  return out;
}

// Splits a statement into words, quoted names, literals and punctuation as `dialect` reads it
// under `reading`. Comments are dropped; the contents of MySQL's executable comments are code.
// An unterminated string or comment runs to the end of the text (the server rejects it).
std::vector<Token> tokenize(std::string_view s, ServerDialect dialect, Reading reading) {
  const bool pg = dialect == ServerDialect::postgresql;
  std::vector<Token> tokens;
  std::size_t i = 0;
  int executable_comments = 0;
  // End of the last word, to see a prefix written right before a quote (E'...', U&"...").
  std::size_t word_end = std::string_view::npos;
  auto previous_word_is = [&](const char* word) {
    return word_end == i && !tokens.empty() && tokens.back().kind == TokenKind::word &&
           tokens.back().text == word;
  };
  // Scans a quoted text starting at s[i] (the opening quote) and returns its raw contents.
  auto quoted = [&](char quote, bool backslash) {
    std::string raw;
    ++i;
    while (i < s.size()) {
      const char c = s[i];
      if (backslash && c == '\\' && i + 1 < s.size()) {
        raw += s[i + 1];
        i += 2;
      } else if (c == quote) {
        if (i + 1 < s.size() && s[i + 1] == quote) {
          raw += quote;
          i += 2;
        } else {
          ++i;
          break;
        }
      } else {
        raw += c;
        ++i;
      }
    }
    return raw;
  };

  while (i < s.size()) {
    const char c = s[i];
    const char next = i + 1 < s.size() ? s[i + 1] : '\0';
    if (is_space(c)) {
      ++i;
    } else if ((c == '-' && next == '-' &&
                (pg || i + 2 >= s.size() || static_cast<unsigned char>(s[i + 2]) <= ' ')) ||
               (!pg && c == '#')) {
      const auto nl = s.find('\n', i);
      i = nl == std::string_view::npos ? s.size() : nl + 1;
    } else if (c == '/' && next == '*') {
      if (!pg && i + 2 < s.size() &&
          (s[i + 2] == '!' || (s[i + 2] == 'M' && i + 3 < s.size() && s[i + 3] == '!'))) {
        // MySQL runs the text of /*! ... */ (and MariaDB that of /*M! ... */), whatever version
        // number follows.
        i += s[i + 2] == '!' ? 3 : 4;
        while (i < s.size() && is_digit(s[i])) ++i;
        ++executable_comments;
      } else if (pg) {
        // PostgreSQL comments nest.
        int depth = 1;
        i += 2;
        while (i < s.size() && depth > 0) {
          if (s[i] == '/' && i + 1 < s.size() && s[i + 1] == '*') {
            ++depth;
            i += 2;
          } else if (s[i] == '*' && i + 1 < s.size() && s[i + 1] == '/') {
            --depth;
            i += 2;
          } else {
            ++i;
          }
        }
      } else {
        const auto end = s.find("*/", i + 2);
        i = end == std::string_view::npos ? s.size() : end + 2;
      }
    } else if (!pg && executable_comments > 0 && c == '*' && next == '/') {
      --executable_comments;
      i += 2;
    } else if (c == '\'') {
      const bool escapes = reading.backslash_escapes || (pg && previous_word_is("e"));
      quoted('\'', escapes);
      tokens.push_back({TokenKind::literal, {}});
    } else if (c == '"' && (pg || reading.ansi_quotes)) {
      const bool unicode = pg && !tokens.empty() && tokens.back().kind == TokenKind::punct &&
                           tokens.back().text == "&" && tokens.size() >= 2 &&
                           tokens[tokens.size() - 2].kind == TokenKind::word &&
                           tokens[tokens.size() - 2].text == "u";
      std::string name = quoted('"', false);
      tokens.push_back(
          {TokenKind::quoted, text::ascii_lower(unicode ? decode_unicode_name(name) : name)});
    } else if (c == '"') {
      quoted('"', reading.backslash_escapes);
      tokens.push_back({TokenKind::literal, {}});
    } else if (!pg && c == '`') {
      tokens.push_back({TokenKind::quoted, text::ascii_lower(quoted('`', false))});
    } else if (pg && c == '$' && (next == '$' || is_word_start(next))) {
      // A dollar-quoted string: $tag$ ... $tag$.
      std::size_t k = i + 1;
      while (k < s.size() && is_word_char(s[k]) && s[k] != '$') ++k;
      if (k < s.size() && s[k] == '$') {
        const std::string_view tag = s.substr(i, k - i + 1);
        const auto end = s.find(tag, k + 1);
        i = end == std::string_view::npos ? s.size() : end + tag.size();
        tokens.push_back({TokenKind::literal, {}});
      } else {
        tokens.push_back({TokenKind::punct, std::string(1, c)});
        ++i;
      }
    } else if (is_word_start(c) || (!pg && is_digit(c))) {
      const std::size_t start = i;
      while (i < s.size() && is_word_char(s[i])) ++i;
      tokens.push_back({TokenKind::word, text::ascii_lower(s.substr(start, i - start))});
      word_end = i;
    } else if (is_digit(c)) {
      while (i < s.size() && (is_word_char(s[i]) || s[i] == '.')) ++i;
      tokens.push_back({TokenKind::literal, {}});
    } else {
      tokens.push_back({TokenKind::punct, std::string(1, c)});
      ++i;
    }
  }
  return tokens;
}

bool in(const std::string& word, std::initializer_list<const char*> words) {
  return std::any_of(words.begin(), words.end(), [&](const char* w) { return word == w; });
}

// Words that begin a statement, the reading ones first.
bool reading_statement(const std::string& word, ServerDialect dialect) {
  if (in(word, {"select", "with", "values", "table", "show", "explain"})) return true;
  return dialect == ServerDialect::mysql && in(word, {"describe", "desc"});
}

bool statement_keyword(const std::string& word, ServerDialect dialect) {
  if (dialect == ServerDialect::postgresql) {
    return in(word,
              {"abort",   "alter",    "analyze",  "analyse",  "begin",     "call",     "checkpoint",
               "close",   "cluster",  "comment",  "commit",   "copy",      "create",   "deallocate",
               "declare", "delete",   "discard",  "do",       "drop",      "end",      "execute",
               "fetch",   "grant",    "import",   "insert",   "listen",    "load",     "lock",
               "merge",   "move",     "notify",   "prepare",  "reassign",  "refresh",  "reindex",
               "release", "reset",    "revoke",   "rollback", "savepoint", "security", "set",
               "start",   "truncate", "unlisten", "update",   "vacuum"});
  }
  return in(word,
            {"alter",   "analyze",    "backup",  "begin",    "binlog",    "cache",   "call",
             "case",    "change",     "check",   "checksum", "clone",     "close",   "commit",
             "create",  "deallocate", "declare", "delete",   "do",        "drop",    "execute",
             "fetch",   "flush",      "for",     "get",      "grant",     "handler", "help",
             "if",      "import",     "insert",  "install",  "iterate",   "kill",    "leave",
             "load",    "lock",       "loop",    "open",     "optimize",  "prepare", "purge",
             "release", "rename",     "repair",  "repeat",   "replace",   "reset",   "resignal",
             "restart", "return",     "revoke",  "rollback", "savepoint", "set",     "shutdown",
             "signal",  "start",      "stop",    "truncate", "uninstall", "unlock",  "update",
             "use",     "while",      "xa"});
}

std::string statement_refusal(const std::string& word, ServerDialect dialect) {
  const bool pg = dialect == ServerDialect::postgresql;
  std::string reason;
  if (word == "set") {
    reason = pg ? " (settings are fixed for the session)"
                : " (a session setting would carry over to later queries on the connection, and "
                  "SET STATEMENT ... FOR would lift the statement timeout)";
  } else if (word == "copy") {
    reason = " (COPY reaches files and programs on the database server; use a SELECT query)";
  } else if (in(word, {"do", "execute", "prepare", "call", "begin", "if", "while", "loop", "repeat",
                       "case", "for"})) {
    reason = " (it runs statements that cannot be checked here)";
  } else if (in(word, {"kill", "shutdown", "restart"})) {
    reason = " (it stops server threads or the server itself)";
  }
  return text::ascii_upper(word) + " statements are not allowed here" + reason +
         ": only queries that read are run, statements starting with " +
         (pg ? "SELECT, WITH, VALUES, TABLE, SHOW or EXPLAIN"
             : "SELECT, WITH, VALUES, TABLE, SHOW, DESCRIBE or EXPLAIN");
}

// Why calling the PostgreSQL function `name` is refused; empty when it is not.
const char* postgres_function_refusal(const std::string& name) {
  if (in(name, {"pg_read_file", "pg_read_binary_file", "pg_ls_dir", "pg_stat_file", "pg_ls_logdir",
                "pg_ls_waldir", "pg_ls_tmpdir", "pg_ls_archive_statusdir", "pg_ls_logicalsnapdir",
                "pg_ls_logicalmapdir", "pg_ls_replslotdir", "pg_file_write", "pg_file_rename",
                "pg_file_unlink", "pg_file_sync", "pg_logdir_ls"}))
    return "it reads or writes files on the database server";
  if (in(name, {"lo_import", "lo_export", "lo_open", "lo_close", "lo_creat", "lo_create",
                "lo_unlink", "lo_lseek", "lo_lseek64", "lo_tell", "lo_tell64", "lo_truncate",
                "lo_truncate64", "lo_from_bytea", "lo_get", "lo_put", "loread", "lowrite"}))
    return "large objects reach files on the database server and data outside the tables";
  if (in(name, {"pg_terminate_backend",
                "pg_cancel_backend",
                "pg_signal_backend",
                "pg_reload_conf",
                "pg_rotate_logfile",
                "pg_promote",
                "pg_log_backend_memory_contexts",
                "pg_switch_wal",
                "pg_create_restore_point",
                "pg_backup_start",
                "pg_backup_stop",
                "pg_start_backup",
                "pg_stop_backup",
                "pg_wal_replay_pause",
                "pg_wal_replay_resume",
                "pg_create_physical_replication_slot",
                "pg_create_logical_replication_slot",
                "pg_drop_replication_slot",
                "pg_copy_physical_replication_slot",
                "pg_copy_logical_replication_slot",
                "pg_replication_slot_advance",
                "pg_logical_slot_get_changes",
                "pg_logical_slot_peek_changes",
                "pg_logical_slot_get_binary_changes",
                "pg_logical_slot_peek_binary_changes",
                "pg_logical_emit_message",
                "pg_import_system_collations"}) ||
      name.starts_with("pg_stat_reset") || name.starts_with("pg_replication_origin_"))
    return "it signals or controls server processes or changes server state";
  if (in(name, {"query_to_xml", "query_to_xmlschema", "query_to_xml_and_xmlschema", "ts_stat",
                "ts_rewrite", "crosstab", "crosstab2", "crosstab3", "crosstab4", "connectby",
                "xpath_table"}))
    return "it runs SQL given as text, which cannot be checked here";
  if (name.starts_with("dblink")) return "it connects to other databases";
  return nullptr;
}

const char* mysql_function_refusal(const std::string& name) {
  if (name == "load_file") return "it reads files on the database server";
  if (in(name, {"sys_exec", "sys_eval"})) return "it runs programs on the database server";
  return nullptr;
}

std::string check(const std::vector<Token>& tokens, ServerDialect dialect) {
  const bool pg = dialect == ServerDialect::postgresql;
  auto is_punct = [&](std::size_t k, char c) {
    return k < tokens.size() && tokens[k].kind == TokenKind::punct && tokens[k].text[0] == c;
  };
  // Every statement start: the beginning and each place after a semicolon.
  bool at_start = true;
  // After EXPLAIN (or MySQL's DESCRIBE): the statement explained is still to come.
  bool explained_next = false;
  for (std::size_t k = 0; k < tokens.size(); ++k) {
    const Token& t = tokens[k];
    if (is_punct(k, ';')) {
      at_start = true;
      explained_next = false;
      continue;
    }
    if (at_start && is_punct(k, '(')) continue;
    if (at_start) {
      at_start = false;
      if (t.kind == TokenKind::word) {
        if (!pg && is_punct(k + 1, ':'))
          return "labelled compound statements are not allowed here (they run statements that "
                 "cannot be checked here): only queries that read are run";
        if (statement_keyword(t.text, dialect) && !reading_statement(t.text, dialect))
          return statement_refusal(t.text, dialect);
        explained_next = in(t.text, {"explain", "describe", "desc"});
        continue;
      }
    } else if (explained_next && t.kind == TokenKind::word && !in(t.text, {"analyze", "analyse"})) {
      if (reading_statement(t.text, dialect)) {
        explained_next = false;
      } else if (statement_keyword(t.text, dialect)) {
        return statement_refusal(t.text, dialect);
      }
    }
    if (t.kind != TokenKind::word && t.kind != TokenKind::quoted) continue;
    if (is_punct(k + 1, '(')) {
      if (const char* why = pg ? postgres_function_refusal(t.text) : mysql_function_refusal(t.text))
        return t.text + "() is not allowed here: " + why;
    }
    if (t.kind != TokenKind::word) continue;
    if (pg && t.text == "uescape")
      return "UESCAPE is not allowed here: write the name or string without it";
    if (!pg && t.text == "into" && k + 1 < tokens.size() && tokens[k + 1].kind == TokenKind::word &&
        (tokens[k + 1].text == "outfile" || tokens[k + 1].text == "dumpfile"))
      return "INTO " + text::ascii_upper(tokens[k + 1].text) +
             " is not allowed here: it writes a file on the database server";
  }
  return {};
}

}  // namespace

std::string refused_statement(std::string_view sql, ServerDialect dialect) {
  // PostgreSQL reads backslashes in plain strings as escapes only with
  // standard_conforming_strings off; MySQL unless NO_BACKSLASH_ESCAPES is set, and double quotes
  // as names under ANSI_QUOTES.
  static constexpr Reading kPostgresReadings[] = {{false, false}, {true, false}};
  static constexpr Reading kMysqlReadings[] = {
      {true, false}, {false, false}, {true, true}, {false, true}};
  const bool pg = dialect == ServerDialect::postgresql;
  const Reading* begin = pg ? std::begin(kPostgresReadings) : std::begin(kMysqlReadings);
  const Reading* end = pg ? std::end(kPostgresReadings) : std::end(kMysqlReadings);
  for (const Reading* r = begin; r != end; ++r) {
    std::string why = check(tokenize(sql, dialect, *r), dialect);
    if (!why.empty()) return why;
  }
  return {};
}

}  // namespace sql_database
