#pragma once

// What the tests of `askdb serve` share: a demo shop database in a temp directory, the scripted
// model on its fake chat server, the real askdb binary serving on a free port, and plain HTTP
// clients (cpp-httplib for ordinary requests, raw sockets where the bytes on the wire matter).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sql_database/custom_sql_database.hpp"
#include "test_support/fake_chat_server.hpp"
#include "test_support/process.hpp"
#include "test_support/scripted_model.hpp"

namespace serve_test {

namespace fs = std::filesystem;
using state_graph::Value;
using test_support::ScriptedModel;

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Event {
  std::string name;
  Value data;
};

// Splits a server-sent event stream into its events (comments skipped).
inline void take_events(std::string& buffer, std::vector<Event>& events) {
  std::size_t end;
  while ((end = buffer.find("\n\n")) != std::string::npos) {
    const std::string block = buffer.substr(0, end);
    buffer.erase(0, end + 2);
    Event event;
    std::string data;
    std::istringstream lines(block);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("event: ", 0) == 0) event.name = line.substr(7);
      if (line.rfind("data: ", 0) == 0) data += line.substr(6);
    }
    if (event.name.empty()) continue;
    event.data = Value::parse(data);
    events.push_back(std::move(event));
  }
}

// One HTTP/1.1 exchange on a fresh connection, bytes exactly as given; the whole response.
inline std::string raw_exchange(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{60, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return "";
  }
  std::size_t sent = 0;
  while (sent < request.size()) {
    const auto n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  std::string response;
  char buffer[4096];
  for (;;) {
    const auto n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    response.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return response;
}

inline int status_of(const std::string& response) {
  if (response.rfind("HTTP/1.1 ", 0) != 0 || response.size() < 12) return -1;
  return std::stoi(response.substr(9, 3));
}

// A running `askdb serve`.
class Server {
 public:
  Server(const std::vector<std::string>& argv, const test_support::ProcessOptions& options)
      : process_(std::make_unique<test_support::BackgroundProcess>(argv, options)) {
    for (int i = 0; i < 1200; ++i) {
      const std::string out = process_->out_so_far();
      const auto newline = out.find('\n');
      if (newline != std::string::npos) {
        url_ = out.substr(0, newline);
        const auto colon = url_.rfind(':');
        port_ = std::stoi(url_.substr(colon + 1));
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "askdb serve printed no URL; stderr:\n" << process_->err_so_far();
  }

  int port() const { return port_; }
  const std::string& url() const { return url_; }
  test_support::BackgroundProcess& process() { return *process_; }

  httplib::Client client() const {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(std::chrono::seconds(120));
    c.set_connection_timeout(std::chrono::seconds(10));
    return c;
  }

  httplib::Result post_question(const Value& body, httplib::Headers headers = {}) const {
    return client().Post("/api/questions", headers, body.dump(), "application/json");
  }

  // Asks and returns the id; fails the test when the server does not accept it.
  std::string ask(const std::string& question) const {
    auto res = post_question(Value{{"question", question}});
    if (!res || res->status != 202) {
      ADD_FAILURE() << "question not accepted: "
                    << (res ? res->body : "no response (" + httplib::to_string(res.error()) + ")");
      return "";
    }
    return Value::parse(res->body)["id"].get<std::string>();
  }

  // The whole event stream of a question, to its last event.
  std::vector<Event> events(const std::string& id) const {
    std::string buffer;
    std::vector<Event> events;
    auto c = client();
    auto res = c.Get("/api/questions/" + id + "/events", [&](const char* data, std::size_t n) {
      buffer.append(data, n);
      take_events(buffer, events);
      return true;
    });
    if (!res || res->status != 200) ADD_FAILURE() << "no event stream for " << id;
    return events;
  }

  Value status(const std::string& id) const {
    auto res = client().Get("/api/questions/" + id);
    if (!res || res->status != 200) {
      ADD_FAILURE() << "no status for " << id;
      return Value();
    }
    return Value::parse(res->body);
  }

  // Polls the question until its state is one of `states`.
  Value wait_for_state(const std::string& id, const std::vector<std::string>& states) const {
    Value s;
    for (int i = 0; i < 2400; ++i) {
      s = status(id);
      for (const auto& want : states) {
        if (s.is_object() && s["state"] == want) return s;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ADD_FAILURE() << "question " << id << " never reached the expected state: " << s.dump();
    return s;
  }

  std::string raw(const std::string& target, const std::string& extra_headers = "") const {
    return raw_exchange(port_, "GET " + target +
                                   " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                                   "\r\n" + extra_headers + "Connection: close\r\n\r\n");
  }

 private:
  std::unique_ptr<test_support::BackgroundProcess> process_;
  std::string url_;
  int port_ = 0;
};

class ServeFixture : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = test_support::unique_temp_path("serve");
    fs::create_directories(dir_);
    db_path_ = dir_ / "shop.db";
    sql_database::create_database_from_sql(db_path_.string(), read_file(ASKDB_DEMO_SEED));
    charts_ = dir_ / "charts";
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::map<std::string, std::optional<std::string>> model_env() const {
    return {{"ASKDB_CHAT_PROVIDER", "openai_compatible"},
            {"OPENAI_BASE_URL", model_server_.openai_base_url()},
            {"OPENAI_API_KEY", "k"},
            {"ASKDB_CHAT35_MODEL", "small"},
            {"ASKDB_CHAT4_MODEL", "large"},
            {"ASKDB_CHAT_MAX_RETRIES", "0"},
            {"AZURE_OPENAI_ENDPOINT", std::nullopt},
            {"ASKDB_SERVE_TOKEN", std::nullopt},
            {"XDG_DATA_HOME", (dir_ / "data").string()}};
  }

  std::vector<std::string> serve_argv(const std::vector<std::string>& extra = {}) const {
    std::vector<std::string> argv = {
        ASKDB_BINARY, "serve", "--db",        "sqlite:///" + db_path_.string(),
        "--port",     "0",     "--save-path", charts_.string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }

  std::unique_ptr<Server> serve(const std::vector<std::string>& extra = {},
                                const std::map<std::string, std::string>& env = {}) const {
    test_support::ProcessOptions options;
    options.env = model_env();
    for (const auto& [k, v] : env) options.env[k] = v;
    options.working_directory = dir_.string();
    return std::make_unique<Server>(serve_argv(extra), options);
  }

  // Analysis code that draws a bar chart of `rows` (a Python literal of (label, value) pairs)
  // into the one question directory under the chart root (the test asks one question at a time
  // when it uses this), and prints `said` and where the chart went.
  std::string plot_code(
      const std::string& said = "Plants & Seeds earned the most",
      const std::string& rows =
          "[('Plants & Seeds', 1520.5), ('Tools', 980.25), ('Books', 410.0)]") const {
    return "import os\nimport matplotlib.pyplot as plt\n"
           "root = " +
           Value(charts_.string()).dump() +
           "\n"
           "folders = [os.path.join(root, d) for d in os.listdir(root)]\n"
           "path = os.path.join(folders[0], 'revenue.png')\n"
           "rows = " +
           rows +
           "\n"
           "plt.figure(figsize=(6, 3.5)); plt.bar([r[0] for r in rows], [r[1] for r in rows])\n"
           "plt.title('Revenue by category'); plt.tight_layout()\n"
           "plt.savefig(path); plt.close('all')\n"
           "print(" +
           Value(said).dump() + ")\nprint('chart:', path)\n";
  }

  fs::path dir_;
  fs::path db_path_;
  fs::path charts_;
  test_support::FakeChatServer model_server_;
  ScriptedModel model_{model_server_};
};

}  // namespace serve_test
