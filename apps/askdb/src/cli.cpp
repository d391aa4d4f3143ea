#include "cli.hpp"

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string_view>

#include "chat_model/errors.hpp"

std::string_view askdb_demo_seed();

namespace askdb_cli {
namespace {

namespace fs = std::filesystem;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

constexpr const char* kModelHelp =
    "no language model is configured. Set either\n"
    "  Azure OpenAI:       AZURE_OPENAI_ENDPOINT, AZURE_OPENAI_API_KEY,\n"
    "                      AZURE_OPENAI_CHAT35_DEPLOYMENT, AZURE_OPENAI_CHAT4_DEPLOYMENT\n"
    "  OpenAI-compatible (OpenAI, Ollama, vLLM, llama.cpp):\n"
    "                      ASKDB_CHAT_PROVIDER=openai_compatible, OPENAI_BASE_URL\n"
    "                      (e.g. http://127.0.0.1:11434/v1), ASKDB_CHAT35_MODEL, "
    "ASKDB_CHAT4_MODEL,\n"
    "                      and OPENAI_API_KEY when the server needs one";

void on_interrupt(int) {
  static constexpr char kMessage[] = "\naskdb: interrupted\n";
  // Only async-signal-safe calls here. Statements run read-only, so stopping mid-question leaves
  // the database as it was.
  [[maybe_unused]] auto written = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  ::_exit(kInterrupted);
}

}  // namespace

std::string demo_database_path() {
  fs::path base;
  if (const std::string xdg = env("XDG_DATA_HOME"); !xdg.empty()) {
    base = xdg;
  } else if (const std::string home = env("HOME"); !home.empty()) {
    base = fs::path(home) / ".local" / "share";
  } else {
    throw CommandError(kUsageError,
                       "cannot find a data directory for the demo database: set HOME or "
                       "XDG_DATA_HOME, or pass --db");
  }
  return (base / "askdb" / "demo.db").string();
}

sql_database::CustomSQLDatabase open_database(const std::string& uri_in) {
  std::string uri = uri_in;
  if (uri.empty()) {
    const fs::path path = demo_database_path();
    if (!fs::exists(path)) {
      std::error_code ec;
      fs::create_directories(path.parent_path(), ec);
      if (ec) {
        throw CommandError(kUsageError,
                           "cannot create " + path.parent_path().string() + ": " + ec.message());
      }
      warn("building the demo shop database at " + path.string());
      try {
        sql_database::create_database_from_sql(path.string(), askdb_demo_seed());
      } catch (const std::exception& e) {
        throw CommandError(kUsageError, std::string("cannot build the demo database: ") + e.what());
      }
    }
    uri = "sqlite:///" + fs::absolute(path).string();
  } else if (uri.find("://") == std::string::npos) {
    // A bare path: an existing file is a SQLite database.
    if (!fs::is_regular_file(uri)) {
      throw CommandError(kUsageError,
                         "no database file '" + uri +
                             "' (askdb never creates an empty one); give an existing SQLite file "
                             "or a URI: sqlite:///path.db, postgresql://user:pw@host:port/db, "
                             "mysql://user:pw@host:port/db");
    }
    uri = "sqlite:///" + fs::absolute(uri).string();
  } else if (uri.rfind("sqlite:///", 0) == 0) {
    const std::string path = uri.substr(std::string_view("sqlite:///").size());
    if (path.empty() || !fs::is_regular_file(path)) {
      throw CommandError(kUsageError, "no SQLite database file '" + path +
                                          "' (askdb never creates an empty one; check the path; "
                                          "sqlite:///relative.db or sqlite:////absolute/path.db)");
    }
  }
  try {
    return sql_database::CustomSQLDatabase::from_uri(uri);
  } catch (const sql_database::DatabaseError& e) {
    throw CommandError(kUsageError, std::string("cannot open the database: ") + e.what());
  } catch (const std::invalid_argument& e) {
    throw CommandError(kUsageError, e.what());
  }
}

ModelSettings load_model_settings() {
  const bool azure = !env("AZURE_OPENAI_ENDPOINT").empty();
  const bool compatible = !env("OPENAI_BASE_URL").empty();
  if (!azure && !compatible) throw CommandError(kUsageError, kModelHelp);
  try {
    return ModelSettings{chat_model::AzureOpenAIChat35(), chat_model::AzureOpenAIChat4()};
  } catch (const chat_model::SettingsError& e) {
    throw CommandError(kUsageError, std::string("the model settings are incomplete: ") + e.what());
  }
}

std::string privilege_summary(const sql_database::CustomSQLDatabase& db) {
  const auto& privileges = db.account_privileges();
  if (!privileges.privileged) return "";
  std::string reasons;
  for (const auto& r : privileges.reasons) reasons += (reasons.empty() ? "" : ", ") + r;
  return "a privileged account (" + reasons + ")";
}

void warn(const std::string& message) { std::cerr << "askdb: " << message << std::endl; }

void install_interrupt_handler() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

}  // namespace askdb_cli
