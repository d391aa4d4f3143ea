// askdb: answers questions about a relational database from the shell.
#include <CLI/CLI.hpp>

#include <iostream>

#include "cli.hpp"

#ifndef ASKDB_VERSION
#define ASKDB_VERSION "0.0.0"
#endif

int main(int argc, char** argv) {
  askdb_cli::install_interrupt_handler();
  CLI::App app{"askdb answers natural-language questions about a relational database.\n"
               "Standard output carries only results; progress and warnings go to standard error."};
  app.set_version_flag("--version", "askdb " ASKDB_VERSION);
  app.require_subcommand(1);
  app.footer(
      "Exit status: 0 answered, 1 a model or database service failed, 2 usage or configuration "
      "error,\n3 the SQL path gave up (its answer is still printed), 130 interrupted.\n"
      "Run 'askdb COMMAND --help' for the options of a command.");
  int exit_code = 0;
  askdb_cli::add_ask_command(app, exit_code);
  askdb_cli::add_database_commands(app, exit_code);
  askdb_cli::add_graph_command(app, exit_code);
  askdb_cli::add_doctor_command(app, exit_code);
  askdb_cli::add_serve_command(app, exit_code);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : askdb_cli::kUsageError;
  } catch (const askdb_cli::CommandError& e) {
    std::cout << std::flush;
    askdb_cli::warn(e.what());
    return e.code();
  } catch (const std::exception& e) {
    std::cout << std::flush;
    askdb_cli::warn(e.what());
    return askdb_cli::kServiceFailure;
  }
  return exit_code;
}
