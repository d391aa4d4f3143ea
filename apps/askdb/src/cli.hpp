#pragma once

// Shared parts of the askdb subcommands: exit codes, opening the database and the model
// settings, the progress display. Each subcommand lives in its own file and stays thin; what a C++
// host could want as well (the graph, the run, the trace) lives in the libraries.

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "chat_model/settings.hpp"
#include "sql_database/custom_sql_database.hpp"

namespace CLI {
class App;
}

namespace askdb_cli {

enum ExitCode : int {
  kAnswered = 0,
  kServiceFailure = 1,  // a model or database service failed
  kUsageError = 2,      // bad arguments or configuration
  kSqlGaveUp = 3,       // the SQL path gave up; the terminal answer was still printed
  kInterrupted = 130,
};

// Failures that end a command with their exit code and one line on stderr.
class CommandError : public std::runtime_error {
 public:
  CommandError(ExitCode code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  ExitCode code() const noexcept { return code_; }

 private:
  ExitCode code_;
};

// Where the bundled demo database lives: $XDG_DATA_HOME/askdb/demo.db, else
// ~/.local/share/askdb/demo.db.
std::string demo_database_path();

// Opens the database a command names. Empty `uri`: the demo database, built on first use (saying
// where on stderr). A bare path to an existing file is taken as SQLite. A SQLite file that does not
// exist is an error: askdb never creates an empty database for a typo. Throws CommandError
// (kUsageError) with the driver's own words for bad URIs, unreachable servers and wrong
// credentials.
sql_database::CustomSQLDatabase open_database(const std::string& uri);

// The two model settings from the environment. Throws CommandError (kUsageError) naming the
// variables to set for Azure and for an OpenAI-compatible server when none is configured.
struct ModelSettings {
  chat_model::AzureOpenAIChat35 config_35;
  chat_model::AzureOpenAIChat4 config_4;
};
ModelSettings load_model_settings();

// "a privileged account (superuser, FILE privilege)": the reasons of a privileged account, or ""
// when the account may only read.
std::string privilege_summary(const sql_database::CustomSQLDatabase& db);

// Warnings and errors on stderr, "askdb: " first.
void warn(const std::string& message);

// Ctrl-C ends the program at once with exit status 130.
void install_interrupt_handler();

// The subcommands. Each registers itself on the app and runs through its callback, throwing
// CommandError to end with a code other than 0.
void add_ask_command(CLI::App& app, int& exit_code);
void add_database_commands(CLI::App& app, int& exit_code);  // tables, describe, sql
void add_graph_command(CLI::App& app, int& exit_code);
void add_doctor_command(CLI::App& app, int& exit_code);
void add_serve_command(CLI::App& app, int& exit_code);

}  // namespace askdb_cli
