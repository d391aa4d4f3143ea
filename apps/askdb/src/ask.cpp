// askdb ask [options] QUESTION: one question, answered on standard output.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "answer_graph/answer_graph.hpp"
#include "answer_graph/run_trace.hpp"
#include "chat_model/errors.hpp"
#include "cli.hpp"
#include "logging/logging.hpp"
#include "progress.hpp"

namespace askdb_cli {
namespace {

namespace fs = std::filesystem;
using state_graph::Value;

struct AskOptions {
  std::string question;
  std::string db;
  std::string save_path = "askdb-charts";
  int max_pandas_iterations = 3;
  bool json = false;
  std::string trace_file;
  bool show_sql = false;
  bool verbose = false;
  bool quiet = false;
  bool unguarded = false;
};

// Steps of the longest run that still succeeds: every SQL correction and the rewrite (30 steps to
// the successful execution), then analysis code failing each time, 3 steps an attempt, and the
// final answer.
constexpr int kStepsBeforeAnalysis = 31;
constexpr int kStepsPerAnalysisAttempt = 3;

int largest_pandas_iterations(int recursion_limit) {
  return (recursion_limit - kStepsBeforeAnalysis) / kStepsPerAnalysisAttempt;
}

void check_iterations(int n, int recursion_limit) {
  const int largest = largest_pandas_iterations(recursion_limit);
  if (n < 0) {
    throw CommandError(kUsageError,
                       "--max-pandas-iterations must be 0 or more, got " + std::to_string(n));
  }
  if (n > largest) {
    throw CommandError(kUsageError,
                       "--max-pandas-iterations " + std::to_string(n) +
                           " is more than a run of at most " + std::to_string(recursion_limit) +
                           " steps can carry to the end (a question that needs every SQL retry "
                           "and every analysis retry would stop half-way); the largest that works "
                           "is " +
                           std::to_string(largest));
  }
}

std::string node_names(const std::vector<std::string>& names) {
  if (names.empty()) return "the graph";
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

void write_trace(const std::string& path, const Value& trace) {
  std::ofstream out(path, std::ios::trunc);
  if (!out) throw CommandError(kUsageError, "cannot write the trace file '" + path + "'");
  out << trace.dump(2) << "\n";
}

int run_ask(const AskOptions& o) {
  const int recursion_limit = answer_graph::AnswerGraph::_config_graph().recursion_limit;
  check_iterations(o.max_pandas_iterations, recursion_limit);
  if (o.question.empty()) throw CommandError(kUsageError, "the question is empty");

  if (o.verbose) {
    logging::to_stderr();
    logging::set_level(logging::Level::debug);
  } else {
    logging::silence();
  }

  ModelSettings settings = load_model_settings();
  sql_database::CustomSQLDatabase db = open_database(o.db);
  if (const std::string privileged = privilege_summary(db); !privileged.empty()) {
    warn("the database is opened with " + privileged +
         "; askdb refuses writes and server-side effects it knows, but give it an account that "
         "may only read (askdb doctor prints the statements)");
  }

  std::error_code ec;
  const fs::path save_path = fs::absolute(o.save_path);
  fs::create_directories(save_path, ec);
  if (ec || !fs::is_directory(save_path)) {
    throw CommandError(kUsageError, "cannot create the chart directory " + save_path.string() +
                                        (ec ? ": " + ec.message() : std::string()));
  }

  answer_graph::GraphOptions graph_options;
  graph_options.guard_analysis_code = !o.unguarded;
  if (o.unguarded) {
    warn(
        "--unguarded-code: model-written analysis code runs with every permission of this "
        "process (processes, network, any file); use it only with a model you trust");
  }
  std::optional<answer_graph::AnswerGraph> graph;
  try {
    graph.emplace(db, settings.config_35, settings.config_4, graph_options);
  } catch (const std::invalid_argument& e) {
    throw CommandError(kUsageError, e.what());
  }

  const Value inputs{{"user_question", o.question},
                     {"save_path", save_path.string()},
                     {"max_iterations_pandas", o.max_pandas_iterations},
                     {"pandas_code", ""},
                     {"python_executed_output", ""}};
  answer_graph::RunTrace trace;
  Progress progress(trace, o.quiet || o.json);
  Value record;
  auto fail = [&](const std::string& what, const std::exception& e) {
    progress.finish();
    if (!o.trace_file.empty()) write_trace(o.trace_file, trace.to_json());
    return CommandError(kServiceFailure,
                        what + " failed in " + node_names(trace.running()) + ": " + e.what());
  };
  try {
    record = graph->invoke(inputs, &progress);
  } catch (const chat_model::ModelError& e) {
    throw fail("the model service", e);
  } catch (const sql_database::DatabaseError& e) {
    throw fail("the database", e);
  } catch (const std::exception& e) {
    throw fail("the run", e);
  }
  progress.finish();
  const Value trace_json = trace.to_json();
  if (!o.trace_file.empty()) write_trace(o.trace_file, trace_json);

  const std::string answer =
      record.contains("final_response") && record["final_response"].is_string()
          ? record["final_response"].get<std::string>()
          : std::string();
  std::string image;
  if (record.contains("image_path") && record["image_path"].is_string()) {
    image = record["image_path"].get<std::string>();
  }
  if (!image.empty() && !fs::is_regular_file(image)) {
    warn("the answer names a chart that was not saved: " + image);
    image.clear();
  }
  const bool sql_succeeded =
      record.contains("execution_success") && record["execution_success"] == true;

  if (o.json) {
    Value out = record;
    out["trace"] = trace_json;
    std::cout << out.dump(2) << std::endl;
  } else {
    if (o.show_sql && record.contains("generated_sql_query")) {
      std::cout << "SQL:\n";
      for (const auto& q : record["generated_sql_query"]) std::cout << q.get<std::string>() << "\n";
      if (record.contains("sql_execution_result") && !record["sql_execution_result"].empty()) {
        std::cout << "\nResult:\n"
                  << record["sql_execution_result"].back().get<std::string>() << "\n";
      }
      std::cout << "\n";
    }
    std::cout << answer << "\n";
    if (!image.empty()) std::cout << "\nchart: " << image << "\n";
    std::cout << std::flush;
  }
  if (!sql_succeeded) {
    warn("no query of the SQL path succeeded; the answer above says so");
    return kSqlGaveUp;
  }
  return kAnswered;
}

}  // namespace

void add_ask_command(CLI::App& app, int& exit_code) {
  auto options = std::make_shared<AskOptions>();
  CLI::App* ask = app.add_subcommand("ask", "Answer a question about the database");
  ask->add_option("question", options->question, "The question, in plain words")->required();
  ask->add_option(
      "--db", options->db,
      "Database URI: sqlite:///path.db, postgresql://user:pw@host:port/db, "
      "mysql://user:pw@host:port/db, or a SQLite file (default: the bundled demo shop)");
  ask->add_option("--save-path", options->save_path, "Directory for charts, created when missing")
      ->capture_default_str();
  ask->add_option("--max-pandas-iterations", options->max_pandas_iterations,
                  "Attempts the analysis code gets before the answer is given without it")
      ->capture_default_str();
  ask->add_flag("--json", options->json,
                "Print one JSON object: every field of the final record, and the trace");
  ask->add_option("--trace", options->trace_file,
                  "Write the run's trace (nodes, model calls, tokens, totals) as JSON to FILE");
  ask->add_flag("--show-sql", options->show_sql, "Print the queries run and the last result");
  ask->add_flag("-v,--verbose", options->verbose, "Show the log lines on standard error");
  ask->add_flag("-q,--quiet", options->quiet, "Hide the progress lines");
  ask->add_flag("--unguarded-code", options->unguarded,
                "Run analysis code without the guard (processes, network, writes allowed)");
  ask->callback([options, &exit_code] { exit_code = run_ask(*options); });
}

}  // namespace askdb_cli
