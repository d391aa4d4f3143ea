#include "sql_database/custom_sql_database.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <stdexcept>
#include <system_error>

#include "backend.hpp"
#include "sqlite_handles.hpp"
#include "text/text.hpp"

namespace sql_database {

bool may_take_session_lock(std::string_view sql) noexcept {
  for (size_t i = 0; i + 4 <= sql.size(); ++i) {
    auto lower = [&](size_t k) { return static_cast<char>(sql[i + k] | 0x20); };
    if (lower(0) == 'l' && lower(1) == 'o' && lower(2) == 'c' && lower(3) == 'k') return true;
  }
  return false;
}

std::string_view trim_statement(std::string_view sql) noexcept {
  static constexpr std::string_view kBlanksAndSemicolons = " \t\n\v\f\r;";
  return text::trim_end(text::trim_start(sql), kBlanksAndSemicolons);
}

std::string quote_name(std::string_view name, char quote) {
  std::string out(1, quote);
  for (char c : name) {
    if (c == quote) out += quote;
    out += c;
  }
  out += quote;
  return out;
}

namespace detail {

class DatabaseCore {
 public:
  DatabaseCore(std::unique_ptr<Backend> backend, DatabaseOptions options)
      : backend_(std::move(backend)), options_(std::move(options)) {}

  const Backend& backend() const noexcept { return *backend_; }
  const DatabaseOptions& options() const noexcept { return options_; }

  std::string run(std::string_view command, std::string_view fetch, bool include_columns) const {
    if (fetch != "all" && fetch != "one")
      throw std::invalid_argument("fetch must be \"all\" or \"one\", not \"" + std::string(fetch) +
                                  "\"");
    const std::string_view sql = trim_statement(command);
    if (sql.empty()) throw DatabaseError("the SQL text holds no statement");
    ResultText::Limits limits;
    limits.max_chars = options_.max_result_chars;
    limits.max_value_chars = options_.max_value_chars;
    limits.max_rows = fetch == "one" ? 1 : 0;
    ResultText out(limits, include_columns);
    backend_->run(sql, out);
    return out.finish();
  }

  // Every table and view of the database with the usable flag applied, sorted by name.
  std::vector<TableEntry> usable_tables() const {
    std::vector<TableEntry> all = backend_->list_tables();
    std::vector<TableEntry> usable;
    for (auto& t : all) {
      if (t.is_view && !options_.include_views) continue;
      if (!options_.include_tables.empty() &&
          std::find(options_.include_tables.begin(), options_.include_tables.end(), t.name) ==
              options_.include_tables.end())
        continue;
      if (std::find(options_.ignore_tables.begin(), options_.ignore_tables.end(), t.name) !=
          options_.ignore_tables.end())
        continue;
      usable.push_back(std::move(t));
    }
    std::sort(usable.begin(), usable.end(),
              [](const TableEntry& a, const TableEntry& b) { return a.name < b.name; });
    return usable;
  }

  // The names given in the options must exist, or the option is surely a mistake.
  void check_option_names() const {
    if (options_.include_tables.empty() && options_.ignore_tables.empty()) return;
    std::set<std::string> present;
    for (const auto& t : backend_->list_tables()) present.insert(t.name);
    for (const auto* list : {&options_.include_tables, &options_.ignore_tables}) {
      std::vector<std::string> missing;
      for (const auto& name : *list)
        if (!present.count(name)) missing.push_back(name);
      if (!missing.empty()) {
        std::string message = list == &options_.include_tables ? "include_tables" : "ignore_tables";
        message += " names tables the database does not have: ";
        for (std::size_t i = 0; i < missing.size(); ++i) message += (i ? ", " : "") + missing[i];
        throw std::invalid_argument(message);
      }
    }
  }

  std::string table_info(const std::vector<std::string>& names, int samples) const {
    const std::vector<TableEntry> usable = usable_tables();
    std::vector<const TableEntry*> chosen;
    if (names.empty()) {
      for (const auto& t : usable) chosen.push_back(&t);
    } else {
      std::vector<std::string> unknown;
      for (const auto& name : names) {
        auto it = std::find_if(usable.begin(), usable.end(),
                               [&](const TableEntry& t) { return t.name == name; });
        if (it == usable.end()) {
          unknown.push_back(name);
        } else if (std::find(chosen.begin(), chosen.end(), &*it) == chosen.end()) {
          chosen.push_back(&*it);
        }
      }
      if (!unknown.empty()) {
        std::string message = "unknown table names: ";
        for (std::size_t i = 0; i < unknown.size(); ++i) message += (i ? ", " : "") + unknown[i];
        message += "; the usable tables are: ";
        for (std::size_t i = 0; i < usable.size(); ++i) message += (i ? ", " : "") + usable[i].name;
        throw std::invalid_argument(message);
      }
    }
    std::string out;
    for (const TableEntry* t : chosen) {
      if (!out.empty()) out += "\n\n";
      out += describe(*t, samples);
    }
    return out;
  }

 private:
  std::string describe(const TableEntry& table, int samples) const {
    std::string out = backend_->create_statement(table);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ' || out.back() == ';'))
      out.pop_back();
    if (samples <= 0) return out;
    ResultText::Limits limits;
    limits.max_chars = 0;
    limits.max_value_chars = 100;
    limits.max_rows = static_cast<std::size_t>(samples);
    ResultText rows(limits, false, ResultText::Layout::lines);
    try {
      backend_->run("SELECT * FROM " + backend_->quote_identifier(table.name) + " LIMIT " +
                        std::to_string(samples),
                    rows);
    } catch (const DatabaseError& e) {
      // A view over a dropped table, a table the user may not read: the schema text is still
      // worth having, and the reason goes to the reader.
      return out + "\n\n/*\nNo sample rows from " + table.name + ": " + e.what() + "\n*/";
    }
    const std::size_t count = rows.row_count();
    std::string columns;
    for (std::size_t i = 0; i < rows.columns().size(); ++i)
      columns += (i ? ", " : "") + rows.columns()[i];
    out += "\n\n/*\n";
    out += std::to_string(count) + (count == 1 ? " sample row" : " sample rows") + " from " +
           table.name + " (" + columns + ")";
    const std::string text = rows.finish();
    if (!text.empty()) out += ":\n" + text;
    out += "\n*/";
    return out;
  }

  std::unique_ptr<Backend> backend_;
  DatabaseOptions options_;
};

}  // namespace detail

CustomSQLDatabase::CustomSQLDatabase(std::shared_ptr<detail::DatabaseCore> core)
    : core_(std::move(core)) {}

CustomSQLDatabase CustomSQLDatabase::from_uri(std::string_view uri, DatabaseOptions options) {
  const ParsedUri parsed = parse_uri(uri);
  std::unique_ptr<Backend> backend;
  if (parsed.dialect == "sqlite") {
    backend = make_sqlite_backend(parsed, options);
  } else if (parsed.dialect == "postgresql") {
    backend = make_postgres_backend(parsed, options);
  } else {
    backend = make_mysql_backend(parsed, options);
  }
  auto core = std::make_shared<detail::DatabaseCore>(std::move(backend), std::move(options));
  core->check_option_names();
  return CustomSQLDatabase(std::move(core));
}

const std::string& CustomSQLDatabase::dialect() const noexcept {
  return core_->backend().dialect();
}

const DatabaseOptions& CustomSQLDatabase::options() const noexcept { return core_->options(); }

const AccountPrivileges& CustomSQLDatabase::account_privileges() const noexcept {
  return core_->backend().account_privileges();
}

std::string CustomSQLDatabase::run(std::string_view command, std::string_view fetch,
                                   bool include_columns) const {
  return core_->run(command, fetch, include_columns);
}

std::vector<std::string> CustomSQLDatabase::get_usable_table_names() const {
  std::vector<std::string> names;
  for (auto& t : core_->usable_tables()) names.push_back(std::move(t.name));
  return names;
}

std::string CustomSQLDatabase::get_table_info(const std::vector<std::string>& table_names) const {
  return core_->table_info(table_names, core_->options().sample_rows_in_table_info);
}

std::string CustomSQLDatabase::get_table_info(const std::vector<std::string>& table_names,
                                              int sample_rows) const {
  return core_->table_info(table_names, sample_rows);
}

void create_database_from_sql(const std::string& path, std::string_view sql_text) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::exists(path, ec))
    throw std::invalid_argument("cannot create the database " + path +
                                ": the file already exists (it is left unchanged)");
  std::random_device rd;
  const std::string temp = path + ".partial-" + std::to_string(rd());
  // The temporary name goes in every case: after success the file lives on under `path`.
  struct Cleanup {
    const std::string& file;
    ~Cleanup() {
      std::error_code ignored;
      fs::remove(file, ignored);
    }
  } cleanup{temp};
  {
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(temp.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    SqliteDb db(raw);
    if (rc != SQLITE_OK)
      throw DatabaseError(std::string(raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)) + ": " +
                          temp);
    // The file under construction is thrown away on any failure, so it needs neither a journal
    // nor syncing; the text may hold its own transactions.
    sqlite3_exec(db.get(), "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF", nullptr, nullptr,
                 nullptr);
    const std::string script(sql_text);
    char* error = nullptr;
    if (sqlite3_exec(db.get(), script.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string message = error != nullptr ? error : sqlite3_errmsg(db.get());
      sqlite3_free(error);
      throw DatabaseError(message);
    }
    if (sqlite3_close(db.release()) != SQLITE_OK)
      throw DatabaseError("cannot finish writing " + temp);
  }
  // A hard link, unlike a rename, never replaces a file that appeared in the meantime.
  if (::link(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    if (err == EEXIST)
      throw std::invalid_argument("cannot create the database " + path +
                                  ": the file already exists (it is left unchanged)");
    throw DatabaseError("cannot create " + path + ": " + std::strerror(err));
  }
}

}  // namespace sql_database
