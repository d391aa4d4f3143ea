#pragma once

// The HTTP side of `askdb serve`: the JSON API, the event streams, the charts and the page, with
// the checks every request passes (host, token, origin, sizes).

#include <atomic>
#include <string>
#include <string_view>

#include "serve_questions.hpp"

namespace httplib {
class Server;
}

namespace answer_graph {
class AnswerGraph;
}

namespace askdb_cli {

inline constexpr std::size_t kMaxRequestBodyBytes = 64 * 1024;
inline constexpr std::size_t kMaxQuestionCharacters = 4000;

struct HttpSettings {
  std::string host;  // as bound
  int port = 0;      // as bound (set before the server accepts)
  bool loopback = true;
  // When not empty, every request for /api/ or /charts/ must carry "Authorization: Bearer TOKEN".
  std::string token;
  int default_pandas_iterations = 3;
  int largest_pandas_iterations = 6;
};

// What the routes use; outlives the server.
struct ServeContext {
  QuestionBoard& board;
  const answer_graph::AnswerGraph& graph;
  HttpSettings settings;
  std::string mermaid;  // the graph's diagram, drawn once
  // Event streams being written; a stop waits for them to deliver their last event, since
  // stopping the HTTP server cuts every response still going.
  std::atomic<int> open_streams{0};
};

// Registers the routes and the request checks on `server`.
void install_routes(httplib::Server& server, ServeContext& context);

// 127.0.0.0/8, ::1 (also as ::ffff:127.x.y.z) and "localhost".
bool is_loopback_host(const std::string& host);

// Compares a presented token with the expected one in time that depends only on the expected
// token's length.
bool tokens_equal(std::string_view presented, std::string_view expected);

}  // namespace askdb_cli
