// askdb tables | describe TABLE... | sql "SELECT ...": the database side, without a model.
#include <CLI/CLI.hpp>
#include <iostream>

#include "cli.hpp"
#include "sql_database/sql_tools.hpp"

namespace askdb_cli {
namespace {

struct DatabaseOptions {
  std::string db;
  std::vector<std::string> tables;
  std::string statement;
};

void add_db_option(CLI::App* command, std::string& target) {
  command->add_option("--db", target,
                      "Database URI or SQLite file (default: the bundled demo shop database)");
}

}  // namespace

void add_database_commands(CLI::App& app, int& exit_code) {
  auto options = std::make_shared<DatabaseOptions>();

  CLI::App* tables = app.add_subcommand("tables", "List the tables and views askdb can use");
  add_db_option(tables, options->db);
  tables->callback([options, &exit_code] {
    auto db = open_database(options->db);
    try {
      for (const auto& name : db.get_usable_table_names()) std::cout << name << "\n";
    } catch (const sql_database::DatabaseError& e) {
      throw CommandError(kServiceFailure, std::string("listing the tables failed: ") + e.what());
    }
    exit_code = kAnswered;
  });

  CLI::App* describe =
      app.add_subcommand("describe", "Show the CREATE statement and sample rows of tables");
  add_db_option(describe, options->db);
  describe->add_option("table", options->tables, "Table names")->required();
  describe->callback([options, &exit_code] {
    auto db = open_database(options->db);
    try {
      std::cout << db.get_table_info(options->tables) << "\n";
    } catch (const std::invalid_argument& e) {
      throw CommandError(kUsageError, e.what());
    } catch (const sql_database::DatabaseError& e) {
      throw CommandError(kServiceFailure, std::string("describing failed: ") + e.what());
    }
    exit_code = kAnswered;
  });

  CLI::App* sql = app.add_subcommand(
      "sql", "Run one read-only statement, under the same guard as the model's queries");
  add_db_option(sql, options->db);
  sql->add_option("statement", options->statement, "One SQL statement")->required();
  sql->callback([options, &exit_code] {
    auto db = open_database(options->db);
    try {
      const std::string rows = db.run(options->statement, "all", false);
      std::cout << (rows.empty() ? "(no rows)" : rows) << "\n";
    } catch (const sql_database::DatabaseError& e) {
      throw CommandError(kServiceFailure,
                         std::string("the database refused the statement: ") + e.what());
    }
    exit_code = kAnswered;
  });
}

}  // namespace askdb_cli
