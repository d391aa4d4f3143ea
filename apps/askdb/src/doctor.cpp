// askdb doctor: checks everything a question needs, one line each, with what to do on failure.
#include <CLI/CLI.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "chat_model/client.hpp"
#include "chat_model/errors.hpp"
#include "cli.hpp"
#include "embedded_python/embedded_python.hpp"

namespace askdb_cli {
namespace {

namespace fs = std::filesystem;
using state_graph::Value;

struct DoctorOptions {
  std::string db;
  std::string save_path = "askdb-charts";
};

// One check: its name, then ok with a detail or FAIL with what to do.
struct Outcome {
  bool ok;
  std::string detail;
};

const chat_model::OutputSchema& check_schema() {
  static const chat_model::OutputSchema schema(
      "askdb_doctor_check", "A connectivity check",
      {chat_model::SchemaField{"ok", chat_model::FieldType::boolean, "Always true", false, {}}});
  return schema;
}

Outcome model_answers(const chat_model::ChatModelSettings& settings) {
  try {
    chat_model::AzureChatOpenAI client(settings.fields(),
                                       Value{{"max_tokens", 64}, {"temperature", 0}});
    const auto start = std::chrono::steady_clock::now();
    const Value answer = client.with_structured_output(check_schema())
                             .invoke("This is a connectivity check. Answer with ok = true.");
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::ostringstream detail;
    detail << "answered in " << std::fixed << std::setprecision(0) << ms << " ms (" << client.url()
           << ")";
    return {true, detail.str()};
  } catch (const std::exception& e) {
    return {false, std::string(e.what()) + " -- check the endpoint, key and model/deployment name"};
  }
}

}  // namespace

void add_doctor_command(CLI::App& app, int& exit_code) {
  auto options = std::make_shared<DoctorOptions>();
  CLI::App* doctor = app.add_subcommand("doctor", "Check the model, database, Python and charts");
  doctor->add_option("--db", options->db, "Database URI or SQLite file (default: the demo)");
  doctor->add_option("--save-path", options->save_path, "Chart directory to check")
      ->capture_default_str();
  doctor->callback([options, &exit_code] {
    bool all_ok = true;
    auto report = [&](const std::string& name, const Outcome& outcome) {
      all_ok = all_ok && outcome.ok;
      std::cout << (outcome.ok ? "ok   " : "FAIL ") << std::left << std::setw(22) << name << " "
                << outcome.detail << std::endl;
    };

    std::optional<ModelSettings> settings;
    try {
      settings.emplace(load_model_settings());
      const Value& fields = settings->config_35.fields();
      report("model settings",
             {true, "provider " + fields.value("provider", std::string("azure"))});
    } catch (const CommandError& e) {
      report("model settings", {false, e.what()});
    }
    if (settings) {
      report("smaller model (35)", model_answers(settings->config_35));
      report("stronger model (4)", model_answers(settings->config_4));
    } else {
      report("smaller model (35)", {false, "not checked: no model settings"});
      report("stronger model (4)", {false, "not checked: no model settings"});
    }

    try {
      auto db = open_database(options->db);
      const auto tables = db.get_usable_table_names();
      report("database", {!tables.empty(), db.dialect() + ", " + std::to_string(tables.size()) +
                                               " usable tables" +
                                               (tables.empty() ? " -- nothing to ask about" : "")});
      const std::string privileged = privilege_summary(db);
      report("read-only account",
             privileged.empty()
                 ? Outcome{true, "the account may only read"}
                 : Outcome{false, "the database is opened with " + privileged +
                                      " -- create a read-only account and use it:\n" +
                                      db.account_privileges().read_only_grants});
    } catch (const std::exception& e) {
      report("database", {false, e.what()});
    }

    try {
      embedded_python::Namespace ns;
      const auto result = embedded_python::run(
          ns, "import pandas, matplotlib\nprint(pandas.__version__, matplotlib.__version__)");
      if (result.success) {
        std::string versions = result.output;
        while (!versions.empty() && versions.back() == '\n') versions.pop_back();
        const auto blank = versions.find(' ');
        report("python analysis", {true, "pandas " + versions.substr(0, blank) + ", matplotlib " +
                                             versions.substr(blank + 1)});
      } else {
        report("python analysis",
               {false, result.error + " -- install python3-pandas and python3-matplotlib"});
      }
    } catch (const std::exception& e) {
      report("python analysis", {false, e.what()});
    }

    {
      std::error_code ec;
      const fs::path dir = fs::absolute(options->save_path);
      fs::create_directories(dir, ec);
      const fs::path probe = dir / ".askdb-doctor-probe";
      bool written = false;
      if (!ec) {
        std::ofstream out(probe);
        written = static_cast<bool>(out << "probe");
      }
      fs::remove(probe, ec);
      report("chart directory", {written, dir.string() + (written ? " is writable"
                                                                  : " is not writable -- choose "
                                                                    "another with --save-path")});
    }
    exit_code = all_ok ? kAnswered : kServiceFailure;
  });
}

}  // namespace askdb_cli
