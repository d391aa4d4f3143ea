// askdb serve: the question-answering graph behind an HTTP API and a web page.
#include <fcntl.h>
#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>

#include "answer_graph/answer_graph.hpp"
#include "cli.hpp"
#include "logging/logging.hpp"
#include "serve_http.hpp"
#include "serve_questions.hpp"

namespace askdb_cli {
namespace {

namespace fs = std::filesystem;
using state_graph::Value;

struct ServeOptions {
  std::string db;
  std::string host = "127.0.0.1";
  int port = 8765;
  std::string save_path = "askdb-charts";
  int workers = 4;
  int queue = 32;
  int stop_timeout_seconds = 60;
  bool allow_privileged_db_user = false;
  bool verbose = false;
};

// Steps of the longest run that still succeeds: every SQL correction and the rewrite (30 steps
// to the successful execution), then analysis code failing each time, 3 steps an attempt, and
// the final answer. The same bound `askdb ask` applies.
constexpr int kStepsBeforeAnalysis = 31;
constexpr int kStepsPerAnalysisAttempt = 3;

// The first signal asks for a graceful stop through the pipe; a second one ends at once.
int g_stop_pipe[2] = {-1, -1};
std::atomic<int> g_stop_signals{0};

void on_stop_signal(int) {
  if (g_stop_signals.fetch_add(1) > 0) {
    static constexpr char kMessage[] = "\naskdb: stopped without waiting\n";
    [[maybe_unused]] auto w = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    ::_exit(kInterrupted);
  }
  const char byte = 's';
  [[maybe_unused]] auto w = ::write(g_stop_pipe[1], &byte, 1);
}

void install_stop_handlers() {
  if (::pipe2(g_stop_pipe, O_CLOEXEC) != 0) {
    throw CommandError(kServiceFailure,
                       std::string("cannot create a pipe: ") + std::strerror(errno));
  }
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A client that goes away mid-response must end that response, not the process.
  std::signal(SIGPIPE, SIG_IGN);
}

void wait_for_stop() {
  char byte = 0;
  while (::read(g_stop_pipe[0], &byte, 1) < 0 && errno == EINTR) {
  }
}

void check_options(const ServeOptions& o) {
  if (o.port < 0 || o.port > 65535) {
    throw CommandError(kUsageError, "--port must be from 0 (any free port) to 65535, got " +
                                        std::to_string(o.port));
  }
  if (o.workers < 1 || o.workers > 64) {
    throw CommandError(kUsageError,
                       "--workers must be from 1 to 64, got " + std::to_string(o.workers));
  }
  if (o.queue < 0 || o.queue > 10000) {
    throw CommandError(kUsageError,
                       "--queue must be from 0 to 10000, got " + std::to_string(o.queue));
  }
  if (o.stop_timeout_seconds < 0) {
    throw CommandError(kUsageError, "--stop-timeout must be 0 or more seconds, got " +
                                        std::to_string(o.stop_timeout_seconds));
  }
}

// A database account that may do more than read is refused unless the user says otherwise:
// the server puts model-written SQL within reach of anyone who can open the page.
void check_account(const sql_database::CustomSQLDatabase& db, bool allowed) {
  const auto& privileges = db.account_privileges();
  if (!privileges.privileged) return;
  std::string reasons;
  for (const auto& r : privileges.reasons) reasons += (reasons.empty() ? "" : ", ") + r;
  if (allowed) {
    warn("the database account may do more than read (" + reasons +
         "); serving anyway because of --allow-privileged-db-user");
    return;
  }
  std::string message = "the database account may do more than read (" + reasons +
                        "); give askdb serve an account that may only read";
  if (!privileges.read_only_grants.empty()) {
    message += ", for example:\n" + privileges.read_only_grants;
    if (message.back() == '\n') message.pop_back();
    message += "\n";
  } else {
    message += "; ";
  }
  message += "or pass --allow-privileged-db-user to serve with it anyway";
  throw CommandError(kUsageError, message);
}

std::string url_of(const std::string& host, int port) {
  const std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return "http://" + h + ":" + std::to_string(port) + "/";
}

int run_serve(const ServeOptions& o) {
  check_options(o);
  const int recursion_limit = answer_graph::AnswerGraph::_config_graph().recursion_limit;
  const int largest_iterations =
      std::max(0, (recursion_limit - kStepsBeforeAnalysis) / kStepsPerAnalysisAttempt);

  HttpSettings http;
  http.host = o.host;
  http.loopback = is_loopback_host(o.host);
  if (const char* token = std::getenv("ASKDB_SERVE_TOKEN")) http.token = token;
  if (!http.loopback && http.token.empty()) {
    throw CommandError(kUsageError,
                       "refusing to serve on " + o.host +
                           " without an access token: other machines could reach it. Set "
                           "ASKDB_SERVE_TOKEN to a long random secret (clients send "
                           "'Authorization: Bearer TOKEN'), or serve on 127.0.0.1");
  }
  if (!http.token.empty() && http.token.size() < 16) {
    warn("ASKDB_SERVE_TOKEN is shorter than 16 characters; a longer random secret is safer");
  }
  http.default_pandas_iterations = std::min(3, largest_iterations);
  http.largest_pandas_iterations = largest_iterations;

  if (o.verbose) {
    logging::to_stderr();
    logging::set_level(logging::Level::debug);
  } else {
    logging::silence();
  }

  ModelSettings settings = load_model_settings();
  sql_database::CustomSQLDatabase db = open_database(o.db);
  check_account(db, o.allow_privileged_db_user);

  std::error_code ec;
  const fs::path save_root = fs::absolute(o.save_path);
  fs::create_directories(save_root, ec);
  if (ec || !fs::is_directory(save_root)) {
    throw CommandError(kUsageError, "cannot create the chart directory " + save_root.string() +
                                        (ec ? ": " + ec.message() : std::string()));
  }

  std::optional<answer_graph::AnswerGraph> graph;
  try {
    graph.emplace(db, settings.config_35, settings.config_4);
  } catch (const std::invalid_argument& e) {
    throw CommandError(kUsageError, e.what());
  }

  install_stop_handlers();

  QuestionBoard::Options board_options;
  board_options.workers = static_cast<std::size_t>(o.workers);
  board_options.queue_capacity = static_cast<std::size_t>(o.queue);
  board_options.save_root = save_root;
  QuestionBoard board(
      [&graph](const Value& inputs, state_graph::RunObserver& observer) {
        return graph->invoke(inputs, &observer);
      },
      board_options);

  ServeContext context{board, *graph, http, graph->draw_mermaid()};
  httplib::Server server;
  server.set_tcp_nodelay(true);
  server.set_payload_max_length(kMaxRequestBodyBytes);
  server.set_read_timeout(std::chrono::seconds(10));
  server.set_keep_alive_timeout(5);
  // Event streams hold a thread each while their question runs; browsers keep a few idle
  // connections open besides.
  const std::size_t http_threads =
      std::min<std::size_t>(256, 16 + 2 * (board_options.workers + board_options.queue_capacity));
  server.new_task_queue = [http_threads] { return new httplib::ThreadPool(http_threads); };
  install_routes(server, context);

  // cpp-httplib listens with a backlog of 5: a burst of clients (a page and its streams, many
  // questions at once) would see new connections dropped. The socket is kept to listen again
  // with room once bound.
  int listen_fd = -1;
  server.set_socket_options([&listen_fd](socket_t sock) {
    httplib::default_socket_options(sock);
    listen_fd = sock;
  });
  int port = o.port;
  if (port == 0) {
    port = server.bind_to_any_port(o.host);
  } else if (!server.bind_to_port(o.host, port)) {
    port = -1;
  }
  if (port < 0) {
    throw CommandError(kUsageError, "cannot listen on " + o.host + " port " +
                                        std::to_string(o.port) + ": " + std::strerror(errno) +
                                        " (is another server using it? --port 0 picks a free one)");
  }
  context.settings.port = port;
  if (listen_fd >= 0) ::listen(listen_fd, SOMAXCONN);

  std::thread listener([&server] {
    server.listen_after_bind();
    const char byte = 'l';
    [[maybe_unused]] auto w = ::write(g_stop_pipe[1], &byte, 1);
  });

  const std::string url = url_of(o.host, port);
  std::cout << url << std::endl;
  std::cerr << "askdb: serving the " << db.dialect() << " database on " << url << " with "
            << o.workers << " workers; Ctrl-C stops" << std::endl;
  if (!http.token.empty()) {
    std::cerr << "askdb: the page asks for the token of ASKDB_SERVE_TOKEN (or open " << url
              << "#token=TOKEN); API clients send 'Authorization: Bearer TOKEN'" << std::endl;
  }

  wait_for_stop();
  if (g_stop_signals == 0) {
    // The listener ended without being asked to.
    board.stop_accepting();
    board.wait_until_idle(std::chrono::seconds(o.stop_timeout_seconds));
    listener.join();
    throw CommandError(kServiceFailure, "the HTTP server on " + url + " stopped unexpectedly");
  }
  const auto running = board.health()["running"].get<int>();
  std::cerr << "askdb: stopping; " << running << " running question" << (running == 1 ? "" : "s")
            << " may finish (at most " << o.stop_timeout_seconds << " s)" << std::endl;
  // New questions are refused from here on (503); the server keeps answering reads so that the
  // running questions' streams can deliver their results.
  board.stop_accepting();
  if (!board.wait_until_idle(std::chrono::seconds(o.stop_timeout_seconds))) {
    warn("questions still running after " + std::to_string(o.stop_timeout_seconds) +
         " s; stopping without them");
    std::cout << std::flush;
    std::_Exit(kServiceFailure);
  }
  // Every stream now has its last event; give the clients a moment to take it.
  for (int i = 0; i < 250 && context.open_streams > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  server.stop();
  listener.join();
  std::cerr << "askdb: stopped" << std::endl;
  return kAnswered;
}

}  // namespace

void add_serve_command(CLI::App& app, int& exit_code) {
  auto options = std::make_shared<ServeOptions>();
  CLI::App* serve =
      app.add_subcommand("serve", "Answer questions over HTTP: a JSON API and a web page");
  serve->add_option("--db", options->db,
                    "Database URI: sqlite:///path.db, postgresql://user:pw@host:port/db, "
                    "mysql://user:pw@host:port/db, or a SQLite file (default: the bundled demo "
                    "shop)");
  serve
      ->add_option("--host", options->host,
                   "Address to listen on; any other than loopback needs ASKDB_SERVE_TOKEN")
      ->capture_default_str();
  serve->add_option("--port", options->port, "Port to listen on; 0 picks a free one")
      ->capture_default_str();
  serve
      ->add_option("--save-path", options->save_path,
                   "Directory for charts (one folder per question), created when missing")
      ->capture_default_str();
  serve->add_option("--workers", options->workers, "Questions answered at the same time")
      ->capture_default_str();
  serve
      ->add_option("--queue", options->queue,
                   "Questions that may wait for a worker; more are refused with 429")
      ->capture_default_str();
  serve
      ->add_option("--stop-timeout", options->stop_timeout_seconds,
                   "Seconds running questions get to finish after Ctrl-C or SIGTERM")
      ->capture_default_str();
  serve->add_flag("--allow-privileged-db-user", options->allow_privileged_db_user,
                  "Serve even when the database account may do more than read");
  serve->add_flag("-v,--verbose", options->verbose, "Show the log lines on standard error");
  serve->callback([options, &exit_code] { exit_code = run_serve(*options); });
}

}  // namespace askdb_cli
