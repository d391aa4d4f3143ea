// askdb serve, run as a user runs it, against the scripted model over HTTP and a real SQLite
// database: the API, the event streams, the limits, the token rule, the charts, the stop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <set>

#include "serve_fixture.hpp"

namespace serve_test {
namespace {

using testing::HasSubstr;
using testing::StartsWith;

constexpr const char* kRevenueSql =
    "SELECT c.name, ROUND(SUM(oi.quantity * oi.unit_price), 2) AS revenue FROM order_items oi "
    "JOIN products p ON p.product_id = oi.product_id JOIN categories c ON c.category_id = "
    "p.category_id GROUP BY c.name ORDER BY revenue DESC LIMIT 3";

// Node events pair up (each end after the start of the same node and step), steps never go
// back, and exactly one final event closes the stream.
void expect_well_formed(const std::vector<Event>& events, const std::string& last) {
  ASSERT_FALSE(events.empty());
  std::multiset<std::pair<int, std::string>> open;
  int step = 0;
  for (std::size_t i = 0; i + 1 < events.size(); ++i) {
    const Event& e = events[i];
    const std::pair<int, std::string> key{e.data["step"].get<int>(), e.data["name"]};
    EXPECT_GE(key.first, step) << e.name << " " << key.second;
    step = key.first;
    EXPECT_TRUE(e.data["seconds"].is_number()) << e.data.dump();
    if (e.name == "node_start") {
      open.insert(key);
    } else {
      ASSERT_EQ(e.name, "node_end") << "only node events come before the last one";
      ASSERT_EQ(open.count(key), 1u) << "end without start: " << key.second;
      open.erase(open.find(key));
    }
  }
  EXPECT_TRUE(open.empty()) << "nodes that never ended";
  EXPECT_EQ(events.back().name, last);
}

class Serve : public ServeFixture {};

TEST_F(Serve, AQuestionEndToEndWithItsEventsInOrder) {
  ScriptedModel::Script script;
  script.sql = {kRevenueSql};
  script.code = {plot_code()};
  model_.set_default(script);
  auto server = serve();

  auto res = server->post_question(Value{{"question", "Which category earned the most?"}});
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 202) << res->body;
  const std::string id = Value::parse(res->body)["id"];
  EXPECT_EQ(res->get_header_value("Location"), "/api/questions/" + id);

  const auto events = server->events(id);
  expect_well_formed(events, "done");
  EXPECT_EQ(events.front().name, "node_start");
  std::vector<std::string> ended;
  for (const auto& e : events) {
    if (e.name == "node_end") ended.push_back(e.data["name"]);
  }
  EXPECT_THAT(ended, testing::Contains("sql_generation_node"));
  EXPECT_EQ(ended.back(), "final_response_generation_node");

  const Value done = events.back().data;
  const std::string chart = (charts_ / id / "revenue.png").string();
  EXPECT_EQ(done["final_response"], "Answer: Plants & Seeds earned the most\nchart: " + chart);
  EXPECT_EQ(done["user_question"], "Which category earned the most?");
  EXPECT_EQ(done["generated_sql_query"], Value::array({kRevenueSql}));
  EXPECT_EQ(done["execution_success"], true);
  EXPECT_THAT(done["sql_execution_result"][0].get<std::string>(), StartsWith("[('"));
  EXPECT_EQ(done["image_path"], chart);
  EXPECT_EQ(done["chart_url"], "/charts/" + id + "/revenue.png");
  EXPECT_EQ(done["trace"]["nodes"].size(), ended.size());

  // The same result by its URL, with every node's time filled in.
  const Value status = server->status(id);
  EXPECT_EQ(status["state"], "done");
  EXPECT_EQ(status["result"]["final_response"], done["final_response"]);
  EXPECT_EQ(status["nodes"].size(), ended.size());
  for (const auto& n : status["nodes"]) EXPECT_TRUE(n["seconds"].is_number()) << n.dump();

  auto image = server->client().Get(done["chart_url"].get<std::string>());
  ASSERT_TRUE(image);
  EXPECT_EQ(image->status, 200);
  EXPECT_EQ(image->get_header_value("Content-Type"), "image/png");
  EXPECT_EQ(image->body, read_file(chart));
  EXPECT_EQ(image->body.substr(0, 4), "\x89PNG");

  // A stream opened after the end replays it whole.
  const auto again = server->events(id);
  ASSERT_EQ(again.size(), events.size());
  EXPECT_EQ(again.back().data, done);
}

TEST_F(Serve, ThePageAndTheInformationEndpoints) {
  auto server = serve();
  auto c = server->client();
  struct Case {
    std::string path;
    std::string type;
    std::string contains;
  };
  const std::vector<Case> cases = {
      {"/", "text/html; charset=utf-8", "<textarea id=\"question\""},
      {"/app.js", "text/javascript; charset=utf-8", "parsePythonRows"},
      {"/style.css", "text/css; charset=utf-8", "@media"},
      {"/api/graph", "text/plain; charset=utf-8", "sql_generation_node"},
      {"/api/health", "application/json", "\"queue_capacity\":32"},
      {"/api/tables", "application/json",
       "{\"tables\":[\"categories\",\"customers\",\"order_items\",\"order_totals\",\"orders\","
       "\"products\"]}"},
  };
  for (const auto& k : cases) {
    auto res = c.Get(k.path);
    ASSERT_TRUE(res) << k.path;
    EXPECT_EQ(res->status, 200) << k.path;
    EXPECT_EQ(res->get_header_value("Content-Type"), k.type) << k.path;
    EXPECT_THAT(res->body, HasSubstr(k.contains)) << k.path;
  }
  auto page = c.Get("/");
  EXPECT_THAT(page->get_header_value("Content-Security-Policy"), HasSubstr("default-src 'none'"));
  EXPECT_THAT(page->body, testing::Not(HasSubstr("http://")))
      << "the page loads nothing from elsewhere";
  const Value health = Value::parse(c.Get("/api/health")->body);
  EXPECT_EQ(health["status"], "ok");
  EXPECT_EQ(health["workers"], 4);
  EXPECT_EQ(health["database"], "sqlite");

  auto missing = c.Get("/api/questions/0123456789abcdef01234567");
  EXPECT_EQ(missing->status, 404);
  EXPECT_THAT(missing->body, HasSubstr("no question with the id"));
  EXPECT_EQ(c.Get("/api/questions/0123456789abcdef01234567/events")->status, 404);
  EXPECT_EQ(c.Get("/nothing")->status, 404);
}

TEST_F(Serve, SixteenQuestionsAtOnceAreAllAnsweredAndNoneMixed) {
  constexpr int kQuestions = 16;
  for (int i = 0; i < kQuestions; ++i) {
    ScriptedModel::Script script;
    script.sql = {"SELECT " + std::to_string(i) + " * 7 AS n"};
    script.code = {"print('question " + std::to_string(i) + " has', " + std::to_string(i * 7) +
                   ")"};
    model_.set_script("How much is " + std::to_string(i) + " times seven?", script);
  }
  model_.set_delay(std::chrono::milliseconds(20));
  auto server = serve();

  std::vector<std::vector<Event>> streams(kQuestions);
  std::vector<std::string> ids(kQuestions);
  std::vector<std::thread> clients;
  for (int i = 0; i < kQuestions; ++i) {
    clients.emplace_back([&, i] {
      ids[i] = server->ask("How much is " + std::to_string(i) + " times seven?");
      if (!ids[i].empty()) streams[i] = server->events(ids[i]);
    });
  }
  for (auto& t : clients) t.join();

  std::set<std::string> distinct(ids.begin(), ids.end());
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kQuestions));
  for (int i = 0; i < kQuestions; ++i) {
    SCOPED_TRACE("question " + std::to_string(i));
    expect_well_formed(streams[i], "done");
    if (streams[i].empty()) continue;
    const Value& r = streams[i].back().data;
    EXPECT_EQ(r["user_question"], "How much is " + std::to_string(i) + " times seven?");
    EXPECT_EQ(r["generated_sql_query"],
              Value::array({"SELECT " + std::to_string(i) + " * 7 AS n"}));
    EXPECT_EQ(r["sql_execution_result"], Value::array({"[(" + std::to_string(i * 7) + ",)]"}));
    EXPECT_EQ(r["final_response"],
              "Answer: question " + std::to_string(i) + " has " + std::to_string(i * 7))
        << "analysis code error: " << r["python_error_message"];
    EXPECT_EQ(r["save_path"], (fs::canonical(charts_) / ids[i]).string());
  }
  const Value health = Value::parse(server->client().Get("/api/health")->body);
  EXPECT_EQ(health["running"], 0);
  EXPECT_EQ(health["queued"], 0);
}

TEST_F(Serve, AFullQueueAnswers429WithRetryAfter) {
  model_.set_delay(std::chrono::milliseconds(150));
  auto server = serve({"--workers", "1", "--queue", "2"});
  const std::string first = server->ask("first");
  server->wait_for_state(first, {"running"});
  const std::string second = server->ask("second");
  const std::string third = server->ask("third");

  auto refused = server->post_question(Value{{"question", "fourth"}});
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 429);
  const std::string retry = refused->get_header_value("Retry-After");
  ASSERT_FALSE(retry.empty());
  EXPECT_GE(std::stoi(retry), 1);
  EXPECT_THAT(Value::parse(refused->body)["error"].get<std::string>(),
              HasSubstr("too many questions are waiting"));
  const Value health = Value::parse(server->client().Get("/api/health")->body);
  EXPECT_EQ(health["queued"], 2);
  EXPECT_EQ(health["running"], 1);

  for (const auto& id : {first, second, third}) {
    EXPECT_EQ(server->events(id).back().name, "done") << id;
  }
  // Room again once the queue has drained.
  const std::string later = server->ask("fifth");
  EXPECT_EQ(server->events(later).back().name, "done");
}

TEST_F(Serve, AnotherAddressThanLoopbackNeedsTheToken) {
  // Without a token the server does not start on an address other machines can reach.
  test_support::ProcessOptions options;
  options.env = model_env();
  const auto refused = test_support::run_process(serve_argv({"--host", "0.0.0.0"}), options);
  EXPECT_EQ(refused.exit_code, 2) << refused.err;
  EXPECT_THAT(refused.err, HasSubstr("ASKDB_SERVE_TOKEN"));
  EXPECT_EQ(refused.out, "");

  const std::string token = "s3cret-token-0123456789-abcdef";
  auto server = serve({"--host", "0.0.0.0"}, {{"ASKDB_SERVE_TOKEN", token}});
  EXPECT_EQ(server->url(), "http://0.0.0.0:" + std::to_string(server->port()) + "/");
  struct Case {
    std::string description;
    std::string path;
    std::string authorization;  // "" sends none
    int status;
  };
  const std::vector<Case> cases = {
      {"no token", "/api/health", "", 401},
      {"wrong token", "/api/health", "Bearer wrong", 401},
      {"token with a character more", "/api/health", "Bearer " + token + "x", 401},
      {"token missing its last character", "/api/health",
       "Bearer " + token.substr(0, token.size() - 1), 401},
      {"another scheme", "/api/health", "Basic " + token, 401},
      {"empty bearer", "/api/health", "Bearer ", 401},
      {"the token", "/api/health", "Bearer " + token, 200},
      {"the scheme in lower case", "/api/health", "bearer " + token, 200},
      {"tables need it", "/api/tables", "", 401},
      {"the graph needs it", "/api/graph", "", 401},
      {"charts need it", "/charts/x/y.png", "", 401},
      {"a chart that is not there, with the token", "/charts/x/y.png", "Bearer " + token, 404},
      {"the page itself holds no data", "/", "", 200},
      {"its script", "/app.js", "", 200},
  };
  for (const auto& k : cases) {
    httplib::Headers headers;
    if (!k.authorization.empty()) headers.emplace("Authorization", k.authorization);
    auto res = server->client().Get(k.path, headers);
    ASSERT_TRUE(res) << k.description;
    EXPECT_EQ(res->status, k.status) << k.description;
    if (k.status == 401) {
      EXPECT_EQ(res->get_header_value("WWW-Authenticate"), "Bearer realm=\"askdb\"");
    }
  }
  auto unauthorised = server->post_question(Value{{"question", "q"}});
  EXPECT_EQ(unauthorised->status, 401);
  EXPECT_EQ(model_.total_calls(), 0);
  auto asked =
      server->post_question(Value{{"question", "q"}}, {{"Authorization", "Bearer " + token}});
  EXPECT_EQ(asked->status, 202) << asked->body;
}

TEST_F(Serve, LoopbackRefusesOtherHostsOriginsAndBodiesThatAreNotJson) {
  auto server = serve();
  const std::string port = std::to_string(server->port());
  struct Case {
    std::string description;
    std::string request;
    int status;
  };
  auto post = [&](const std::string& host, const std::string& more, const std::string& type) {
    const std::string body = "{\"question\":\"q\"}";
    return "POST /api/questions HTTP/1.1\r\nHost: " + host + "\r\n" + more +
           "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
  };
  const std::vector<Case> cases = {
      {"a name that resolved to this machine",
       "GET /api/health HTTP/1.1\r\nHost: attacker.example:" + port +
           "\r\nConnection: close\r\n\r\n",
       403},
      {"no Host header", "GET /api/health HTTP/1.1\r\nConnection: close\r\n\r\n", 403},
      {"localhost",
       "GET /api/health HTTP/1.1\r\nHost: localhost:" + port + "\r\nConnection: close\r\n\r\n",
       200},
      {"a page of another site posting",
       post("127.0.0.1:" + port, "Origin: http://attacker.example\r\n", "application/json"), 403},
      {"a form post", post("127.0.0.1:" + port, "", "text/plain"), 415},
      {"a post from this page",
       post("127.0.0.1:" + port, "Origin: http://127.0.0.1:" + port + "\r\n", "application/json"),
       202},
      {"this page served through a proxy that ends TLS",
       post("localhost:" + port, "Origin: https://localhost:" + port + "\r\n", "application/json"),
       202},
      {"another port of this machine",
       post("127.0.0.1:" + port, "Origin: http://127.0.0.1:1\r\n", "application/json"), 403},
  };
  for (const auto& k : cases) {
    const std::string response = raw_exchange(server->port(), k.request);
    EXPECT_EQ(status_of(response), k.status) << k.description << "\n" << response;
  }
}

TEST_F(Serve, ChartsAreOnlyTheFilesTheServersRunsSaved) {
  ScriptedModel::Script script;
  script.sql = {kRevenueSql};
  script.code = {plot_code()};
  model_.set_default(script);
  auto server = serve();
  const std::string id = server->ask("Which category earned the most?");
  const Value done = server->events(id).back().data;
  ASSERT_EQ(done["chart_url"], "/charts/" + id + "/revenue.png") << done.dump();
  ASSERT_EQ(status_of(server->raw("/charts/" + id + "/revenue.png")), 200);

  // Files the server did not save from a run, and links out of the chart directory.
  std::ofstream(charts_ / "planted.png") << "not from a run";
  fs::create_symlink(db_path_, charts_ / id / "link.png");
  fs::create_symlink(db_path_, charts_ / "outside.png");

  const std::vector<std::string> refused = {
      "/charts/../shop.db",
      "/charts/..%2Fshop.db",
      "/charts/%2e%2e/shop.db",
      "/charts/%2E%2E%2Fshop.db",
      "/charts/" + id + "/../../shop.db",
      "/charts/" + id + "/..%2F..%2Fshop.db",
      "/charts/" + id + "%2Frevenue.png",
      "/charts/" + id + "%2frevenue.png",
      "/charts/" + id + "/./revenue.png",
      "/charts/" + id + "//revenue.png",
      "/charts/" + id + "\\revenue.png",
      "/charts/" + id + "%5Crevenue.png",
      "/charts/" + id + "/revenue.png%00",
      "/charts/" + id + "/REVENUE.png",
      "/charts/" + id + "/%72evenue.png",
      "/charts//etc/passwd",
      "/charts/%2Fetc%2Fpasswd",
      "/charts/" + db_path_.string(),
      "/charts/planted.png",
      "/charts/outside.png",
      "/charts/" + id + "/link.png",
      "/charts/" + id,
      "/charts/" + id + "/",
  };
  for (const auto& target : refused) {
    const std::string response = server->raw(target);
    EXPECT_EQ(status_of(response), 404) << target << "\n" << response.substr(0, 200);
    EXPECT_THAT(response, testing::Not(HasSubstr("SQLite format"))) << target;
  }

  // A link put in place of the saved chart afterwards is not followed.
  fs::remove(charts_ / id / "revenue.png");
  fs::create_symlink(db_path_, charts_ / id / "revenue.png");
  EXPECT_EQ(status_of(server->raw("/charts/" + id + "/revenue.png")), 404);
}

TEST_F(Serve, OversizedAndMalformedBodiesAreRefusedWithTheReason) {
  auto server = serve();
  struct Case {
    std::string description;
    std::string body;
    int status;
    std::string reason;
  };
  const std::string long_question(4001, 'x');
  std::string accents;
  for (int i = 0; i < 4000; ++i) accents += "\xC3\xA9";  // 4,000 characters in 8,000 bytes
  const std::vector<Case> cases = {
      {"over 64 KiB", Value{{"question", std::string(70 * 1024, 'y')}}.dump(), 413, "65536 bytes"},
      {"4,001 characters", Value{{"question", long_question}}.dump(), 400, "4001 characters"},
      {"4,000 two-byte characters", Value{{"question", accents}}.dump(), 202, ""},
      {"not JSON", "{\"question\": \"unfinished", 400, "not valid JSON"},
      {"not an object", "[\"question\"]", 400, "must be a JSON object"},
      {"no question", "{}", 400, "'question' is missing"},
      {"a question that is a number", "{\"question\": 5}", 400,
       "'question' is missing or not a text"},
      {"an empty question", "{\"question\": \"  \\n \"}", 400, "the question is empty"},
      {"a NUL in the question", "{\"question\": \"a\\u0000b\"}", 400, "NUL"},
      {"bytes that are not UTF-8", "{\"question\": \"caf\xE9\"}", 400, "not valid JSON"},
      {"an unknown field", "{\"question\": \"q\", \"max_pandas_iteration\": 2}", 400,
       "unknown field 'max_pandas_iteration'"},
      {"negative iterations", "{\"question\": \"q\", \"max_pandas_iterations\": -1}", 400,
       "from 0 to 6, got -1"},
      {"too many iterations", "{\"question\": \"q\", \"max_pandas_iterations\": 7}", 400,
       "from 0 to 6, got 7"},
      {"iterations as text", "{\"question\": \"q\", \"max_pandas_iterations\": \"2\"}", 400,
       "got \"2\""},
      {"iterations with a fraction", "{\"question\": \"q\", \"max_pandas_iterations\": 1.5}", 400,
       "got 1.5"},
      {"iterations given", "{\"question\": \"q\", \"max_pandas_iterations\": 0}", 202, ""},
  };
  for (const auto& k : cases) {
    auto res = server->client().Post("/api/questions", k.body, "application/json");
    ASSERT_TRUE(res) << k.description;
    EXPECT_EQ(res->status, k.status) << k.description << ": " << res->body;
    if (!k.reason.empty()) {
      EXPECT_THAT(Value::parse(res->body)["error"].get<std::string>(), HasSubstr(k.reason))
          << k.description;
    }
  }
  // A chunked body that grows past the limit is cut off too.
  std::string chunked =
      "POST /api/questions HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->port()) +
      "\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\nConnection: "
      "close\r\n\r\n";
  for (int i = 0; i < 80; ++i) chunked += "400\r\n" + std::string(1024, ' ') + "\r\n";
  chunked += "0\r\n\r\n";
  EXPECT_EQ(status_of(raw_exchange(server->port(), chunked)), 413);

  auto health = server->client().Get("/api/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
}

TEST_F(Serve, AClientThatDropsItsConnectionLeavesTheServerAndItsWorkerWell) {
  model_.set_delay(std::chrono::milliseconds(100));
  auto server = serve({"--workers", "1"});
  const std::string id = server->ask("dropped");
  const std::string host = "Host: 127.0.0.1:" + std::to_string(server->port()) + "\r\n";

  {  // Leaves the event stream after its first event.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(server->port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string request = "GET /api/questions/" + id + "/events HTTP/1.1\r\n" + host + "\r\n";
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    std::string seen;
    char buffer[1024];
    while (seen.find("event: node_start") == std::string::npos) {
      const auto n = ::recv(fd, buffer, sizeof buffer, 0);
      ASSERT_GT(n, 0);
      seen.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
  }
  // A body promised but never sent, and a connection that says nothing.
  raw_exchange(server->port(), "POST /api/questions HTTP/1.1\r\n" + host +
                                   "Content-Type: application/json\r\nContent-Length: 1000\r\n\r\n"
                                   "{\"question\": \"par");
  {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(server->port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
  }

  // The question still ends, and the single worker is free for the next one.
  EXPECT_EQ(server->wait_for_state(id, {"done", "error"})["state"], "done");
  const std::string next = server->ask("after the drop");
  EXPECT_EQ(server->events(next).back().name, "done");
  const Value health = Value::parse(server->client().Get("/api/health")->body);
  EXPECT_EQ(health["running"], 0);

  server->process().signal(SIGTERM);
  const auto r = server->process().wait(std::chrono::seconds(60));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_THAT(r.err, testing::Not(HasSubstr("terminate called")));
}

class ServeStop : public ServeFixture, public testing::WithParamInterface<int> {};

TEST_P(ServeStop, FinishesTheRunningQuestionEndsTheQueuedOneAndExitsZero) {
  model_.set_delay(std::chrono::milliseconds(300));
  auto server = serve({"--workers", "1"});
  const std::string running = server->ask("still running");
  const std::string queued = server->ask("still queued");
  server->wait_for_state(running, {"running"});

  // Both streams are open when the signal comes: the running one has had an event, the queued
  // one its headers.
  struct Stream {
    std::atomic<bool> open{false};
    std::vector<Event> events;
    std::thread reader;
  };
  Stream streams[2];
  const std::string ids[2] = {running, queued};
  for (int i = 0; i < 2; ++i) {
    streams[i].reader = std::thread([&, i] {
      std::string buffer;
      auto c = server->client();
      c.Get(
          "/api/questions/" + ids[i] + "/events",
          [&](const httplib::Response&) {
            if (i == 1) streams[i].open = true;
            return true;
          },
          [&](const char* data, std::size_t n) {
            buffer.append(data, n);
            take_events(buffer, streams[i].events);
            if (!streams[i].events.empty()) streams[i].open = true;
            return true;
          });
      streams[i].open = true;
    });
  }
  while (!streams[0].open || !streams[1].open) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  server->process().signal(GetParam());
  for (auto& s : streams) s.reader.join();
  const auto r = server->process().wait(std::chrono::seconds(60));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  ASSERT_FALSE(streams[0].events.empty());
  EXPECT_EQ(streams[0].events.back().name, "done") << "the running question finished";
  EXPECT_EQ(streams[0].events.back().data["user_question"], "still running");
  ASSERT_EQ(streams[1].events.size(), 1u);
  EXPECT_EQ(streams[1].events[0].name, "error");
  EXPECT_THAT(streams[1].events[0].data["message"].get<std::string>(),
              HasSubstr("the server stopped before this question ran"));
  EXPECT_THAT(r.err, HasSubstr("stopping"));
  EXPECT_THAT(r.err, HasSubstr("askdb: stopped"));
  for (const auto& request : model_server_.requests()) {
    EXPECT_THAT(request.body, testing::Not(HasSubstr("still queued")));
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, ServeStop, testing::Values(SIGINT, SIGTERM),
                         [](const testing::TestParamInfo<int>& param_info) {
                           return param_info.param == SIGINT ? std::string("Interrupt")
                                                             : std::string("Terminate");
                         });

TEST_F(Serve, ADatabaseAccountThatMayDoMoreThanReadIsRefusedUnlessAllowed) {
  std::vector<std::string> uris;
  for (const char* name : {"ASKDB_TEST_POSTGRES_URI", "ASKDB_TEST_MYSQL_URI"}) {
    if (const char* uri = std::getenv(name)) uris.push_back(uri);
  }
  if (uris.empty()) {
    GTEST_SKIP() << "needs the test database servers: eval \"$(scripts/db-servers start)\"";
  }
  for (const auto& uri : uris) {
    SCOPED_TRACE(uri);
    test_support::ProcessOptions options;
    options.env = model_env();
    const std::vector<std::string> argv = {ASKDB_BINARY, "serve", "--db",        uri,
                                           "--port",     "0",     "--save-path", charts_.string()};
    const auto refused = test_support::run_process(argv, options);
    EXPECT_EQ(refused.exit_code, 2) << refused.err;
    EXPECT_THAT(refused.err, HasSubstr("may do more than read"));
    EXPECT_THAT(refused.err, HasSubstr("--allow-privileged-db-user"));
    EXPECT_EQ(refused.out, "");

    std::vector<std::string> allowed_argv = argv;
    allowed_argv.push_back("--allow-privileged-db-user");
    Server allowed(allowed_argv, options);
    EXPECT_THAT(allowed.process().err_so_far(), HasSubstr("serving anyway"));
    auto health = allowed.client().Get("/api/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
    allowed.process().signal(SIGTERM);
    EXPECT_EQ(allowed.process().wait().exit_code, 0);
  }
}

}  // namespace
}  // namespace serve_test
