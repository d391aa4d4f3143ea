#include "serve_http.hpp"

#include <arpa/inet.h>
#include <httplib.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "answer_graph/answer_graph.hpp"
#include "serve_web.hpp"
#include "sql_database/custom_sql_database.hpp"

namespace askdb_cli {

namespace fs = std::filesystem;
using state_graph::Value;

namespace {

using httplib::Request;
using httplib::Response;
using HandlerResponse = httplib::Server::HandlerResponse;

// Texts the run produced may hold bytes that are not UTF-8 (database values, program output);
// they are replaced rather than failing the response.
std::string dump(const Value& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void send_json(Response& res, int status, const Value& body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(dump(body), "application/json");
}

void send_error(Response& res, int status, const std::string& message) {
  send_json(res, status, Value{{"error", message}});
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::size_t utf8_characters(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string url_host(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// Names under which a loopback-bound server may be addressed. Any other Host header comes from
// a page that had a name of its own resolve to this machine, and is refused.
bool host_header_allowed(const std::string& header, const HttpSettings& settings) {
  const std::string port = ":" + std::to_string(settings.port);
  const std::string h = lower(header);
  for (const std::string& name : {url_host(lower(settings.host)), std::string("localhost"),
                                  std::string("127.0.0.1"), std::string("[::1]")}) {
    if (h == name + port) return true;
  }
  return false;
}

bool is_protected(const std::string& path) {
  return path == "/api" || starts_with(path, "/api/") || starts_with(path, "/charts/");
}

std::string bearer_token(const Request& req) {
  const std::string header = req.get_header_value("Authorization");
  if (header.size() < 7 || lower(header.substr(0, 7)) != "bearer ") return "";
  std::string token = header.substr(7);
  const auto first = token.find_first_not_of(' ');
  return first == std::string::npos ? "" : token.substr(first);
}

HandlerResponse check_request(const Request& req, Response& res, const HttpSettings& settings) {
  if (settings.loopback && !host_header_allowed(req.get_header_value("Host"), settings)) {
    send_error(res, 403,
               "this server answers only requests addressed to 127.0.0.1:" +
                   std::to_string(settings.port) +
                   " or localhost:" + std::to_string(settings.port) + ", not to the host '" +
                   req.get_header_value("Host") + "'");
    return HandlerResponse::Handled;
  }
  if (!settings.token.empty() && is_protected(req.path) &&
      !tokens_equal(bearer_token(req), settings.token)) {
    res.set_header("WWW-Authenticate", "Bearer realm=\"askdb\"");
    send_error(res, 401,
               "this server needs its access token: send 'Authorization: Bearer TOKEN' with the "
               "value of ASKDB_SERVE_TOKEN it was started with");
    return HandlerResponse::Handled;
  }
  if (req.method != "GET" && req.method != "HEAD" && req.has_header("Origin")) {
    // The scheme is left aside: behind a proxy that ends TLS the page's origin is https.
    std::string origin = lower(req.get_header_value("Origin"));
    for (const char* scheme : {"http://", "https://"}) {
      if (starts_with(origin, scheme)) origin.erase(0, std::string_view(scheme).size());
    }
    if (origin != lower(req.get_header_value("Host"))) {
      send_error(res, 403,
                 "requests from the page of another site are refused (Origin " +
                     req.get_header_value("Origin") + ")");
      return HandlerResponse::Handled;
    }
  }
  return HandlerResponse::Unhandled;
}

void send_asset(Response& res, std::string_view body, const std::string& type) {
  res.status = 200;
  res.set_header("Cache-Control", "no-cache");
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob:; "
                 "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
  res.set_content(body.data(), body.size(), type);
}

// The request target as sent, without its query.
std::string raw_path(const Request& req) {
  std::string target = req.target;
  const auto query = target.find('?');
  return query == std::string::npos ? target : target.substr(0, query);
}

std::string chart_type(const fs::path& file) {
  const std::string ext = lower(file.extension().string());
  if (ext == ".png") return "image/png";
  if (ext == ".jpg" || ext == ".jpeg") return "image/jpeg";
  if (ext == ".gif") return "image/gif";
  if (ext == ".webp") return "image/webp";
  if (ext == ".svg") return "image/svg+xml";
  return "application/octet-stream";
}

void handle_chart(const Request& req, Response& res, const QuestionBoard& board) {
  const std::string name = req.matches[1];
  // Only the one spelling the server hands out: other encodings of the same bytes (%2F, %2e,
  // doubled slashes, backslashes) name nothing.
  if (raw_path(req) != "/charts/" + percent_encode_path(name)) {
    send_error(res, 404, "no such chart");
    return;
  }
  const auto file = board.chart(name);
  if (!file) {
    send_error(res, 404, "no such chart");
    return;
  }
  std::ifstream in(*file, std::ios::binary);
  std::stringstream body;
  body << in.rdbuf();
  if (!in) {
    send_error(res, 404, "no such chart");
    return;
  }
  res.status = 200;
  res.set_header("Cache-Control", "private, max-age=3600");
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; style-src 'unsafe-inline'; sandbox");
  res.set_content(body.str(), chart_type(*file));
}

void handle_post_question(const Request& req, Response& res, const ServeContext& ctx) {
  const std::string type = lower(req.get_header_value("Content-Type"));
  if (!starts_with(type, "application/json")) {
    send_error(res, 415,
               "send the question as JSON with 'Content-Type: application/json', e.g. "
               "{\"question\": \"How many orders were placed in 2024?\"}");
    return;
  }
  if (req.body.size() > kMaxRequestBodyBytes) {
    send_error(
        res, 413,
        "the request body is larger than " + std::to_string(kMaxRequestBodyBytes) + " bytes");
    return;
  }
  Value body;
  try {
    body = Value::parse(req.body);
  } catch (const nlohmann::json::parse_error& e) {
    send_error(res, 400, std::string("the request body is not valid JSON: ") + e.what());
    return;
  }
  if (!body.is_object()) {
    send_error(res, 400,
               "the request body must be a JSON object: {\"question\": TEXT, "
               "\"max_pandas_iterations\": NUMBER (optional)}");
    return;
  }
  for (const auto& [key, value] : body.items()) {
    if (key != "question" && key != "max_pandas_iterations") {
      send_error(res, 400,
                 "unknown field '" + key +
                     "'; a question has the fields 'question' and 'max_pandas_iterations'");
      return;
    }
  }
  if (!body.contains("question") || !body["question"].is_string()) {
    send_error(res, 400, "the field 'question' is missing or not a text");
    return;
  }
  const std::string question = body["question"];
  if (question.find_first_not_of(" \t\r\n") == std::string::npos) {
    send_error(res, 400, "the question is empty");
    return;
  }
  if (question.find('\0') != std::string::npos) {
    send_error(res, 400, "the question contains a NUL character");
    return;
  }
  const std::size_t characters = utf8_characters(question);
  if (characters > kMaxQuestionCharacters) {
    send_error(res, 400,
               "the question has " + std::to_string(characters) + " characters; at most " +
                   std::to_string(kMaxQuestionCharacters) + " are accepted");
    return;
  }
  int iterations = ctx.settings.default_pandas_iterations;
  if (body.contains("max_pandas_iterations")) {
    const Value& n = body["max_pandas_iterations"];
    const int largest = ctx.settings.largest_pandas_iterations;
    if (!n.is_number_integer() || n.get<long long>() < 0 || n.get<long long>() > largest) {
      send_error(res, 400,
                 "max_pandas_iterations must be a whole number from 0 to " +
                     std::to_string(largest) + ", got " + dump(n));
      return;
    }
    iterations = n.get<int>();
  }
  const auto submission = ctx.board.submit(question, iterations);
  switch (submission.admission) {
    case QuestionBoard::Admission::accepted: {
      const std::string url = "/api/questions/" + submission.id;
      res.set_header("Location", url);
      send_json(res, 202,
                Value{{"id", submission.id}, {"status_url", url}, {"events_url", url + "/events"}});
      return;
    }
    case QuestionBoard::Admission::queue_full:
      res.set_header("Retry-After", std::to_string(submission.retry_after_seconds));
      send_error(res, 429,
                 "too many questions are waiting; ask again in " +
                     std::to_string(submission.retry_after_seconds) + " s");
      return;
    case QuestionBoard::Admission::stopping:
      send_error(res, 503, "the server is stopping and takes no new questions");
      return;
  }
}

std::string sse_event(std::size_t index, const QuestionEvent& event) {
  return "id: " + std::to_string(index) + "\nevent: " + event.name + "\ndata: " + dump(event.data) +
         "\n\n";
}

void handle_events(const Request& req, Response& res, ServeContext& ctx) {
  const QuestionBoard& board = ctx.board;
  const std::string id = req.matches[1];
  if (!board.status(id)) {
    send_error(res, 404, "no question with the id '" + id + "'");
    return;
  }
  // A client that reconnects says where it was.
  std::size_t from = 0;
  const std::string last = req.get_header_value("Last-Event-ID");
  if (!last.empty() && last.size() < 10 && std::all_of(last.begin(), last.end(), ::isdigit)) {
    from = std::stoul(last) + 1;
  }
  res.status = 200;
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Accel-Buffering", "no");
  auto next = std::make_shared<std::size_t>(from);
  res.set_chunked_content_provider(
      "text/event-stream",
      [&board, id, next](std::size_t, httplib::DataSink& sink) {
        const auto batch = board.events(id, *next, std::chrono::seconds(2));
        if (!batch.known) {
          sink.done();
          return true;
        }
        std::string out;
        for (const auto& event : batch.events) out += sse_event((*next)++, event);
        // A comment while nothing happens: a client that went away makes the write fail, which
        // ends this stream and frees its thread.
        if (out.empty() && !batch.finished) out = ": waiting\n\n";
        if (!out.empty() && !sink.write(out.data(), out.size())) return false;
        if (batch.finished) sink.done();
        return true;
      },
      [&ctx](bool) { --ctx.open_streams; });
  ++ctx.open_streams;
}

}  // namespace

bool is_loopback_host(const std::string& host) {
  if (lower(host) == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) return v6.s6_addr[12] == 127;
  }
  return false;
}

bool tokens_equal(std::string_view presented, std::string_view expected) {
  unsigned char diff = presented.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const unsigned char p = i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0;
    diff |= static_cast<unsigned char>(p ^ static_cast<unsigned char>(expected[i]));
  }
  return diff == 0 && !expected.empty();
}

void install_routes(httplib::Server& server, ServeContext& ctx) {
  server.set_pre_routing_handler(
      [&ctx](const Request& req, Response& res) { return check_request(req, res, ctx.settings); });
  server.set_error_handler([](const Request& req, Response& res) {
    if (!res.body.empty()) return;
    switch (res.status) {
      case 404:
        send_error(res, 404, "nothing here: " + req.path);
        break;
      case 413:
        send_error(
            res, 413,
            "the request body is larger than " + std::to_string(kMaxRequestBodyBytes) + " bytes");
        break;
      default:
        send_error(res, res.status,
                   "the request was refused (HTTP " + std::to_string(res.status) + ")");
    }
  });
  server.set_exception_handler([](const Request&, Response& res, std::exception_ptr ep) {
    std::string message = "the server failed on this request";
    try {
      if (ep) std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      message += std::string(": ") + e.what();
    } catch (...) {
    }
    send_error(res, 500, message);
  });

  server.Get("/", [](const Request&, Response& res) {
    send_asset(res, askdb_web::index_html(), "text/html; charset=utf-8");
  });
  server.Get("/app.js", [](const Request&, Response& res) {
    send_asset(res, askdb_web::app_js(), "text/javascript; charset=utf-8");
  });
  server.Get("/style.css", [](const Request&, Response& res) {
    send_asset(res, askdb_web::style_css(), "text/css; charset=utf-8");
  });

  server.Post("/api/questions",
              [&ctx](const Request& req, Response& res) { handle_post_question(req, res, ctx); });
  server.Get(R"(/api/questions/([0-9a-z]+))", [&ctx](const Request& req, Response& res) {
    const std::string id = req.matches[1];
    const auto status = ctx.board.status(id);
    if (!status) {
      send_error(res, 404, "no question with the id '" + id + "'");
      return;
    }
    send_json(res, 200, *status);
  });
  server.Get(R"(/api/questions/([0-9a-z]+)/events)",
             [&ctx](const Request& req, Response& res) { handle_events(req, res, ctx); });
  server.Get("/api/tables", [&ctx](const Request&, Response& res) {
    try {
      send_json(res, 200, Value{{"tables", ctx.graph.db().get_usable_table_names()}});
    } catch (const sql_database::DatabaseError& e) {
      send_error(res, 503, std::string("the database failed: ") + e.what());
    }
  });
  server.Get("/api/graph", [&ctx](const Request&, Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(ctx.mermaid, "text/plain; charset=utf-8");
  });
  server.Get("/api/health", [&ctx](const Request&, Response& res) {
    Value health = ctx.board.health();
    health["database"] = ctx.graph.db().dialect();
    send_json(res, 200, health);
  });
  server.Get(R"(/charts/(.+))",
             [&ctx](const Request& req, Response& res) { handle_chart(req, res, ctx.board); });
}

}  // namespace askdb_cli
