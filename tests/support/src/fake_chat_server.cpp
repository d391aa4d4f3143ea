#include "test_support/fake_chat_server.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace test_support {

std::string RecordedRequest::header(const std::string& name) const {
  std::string key = name;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  auto it = headers.find(key);
  return it == headers.end() ? std::string() : it->second;
}

bool RecordedRequest::has_header(const std::string& name) const {
  std::string key = name;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return headers.count(key) != 0;
}

Value RecordedRequest::messages() const {
  if (json.is_object() && json.contains("messages")) return json["messages"];
  return Value::array();
}

std::string RecordedRequest::last_message_content() const {
  const Value list = messages();
  if (!list.is_array() || list.empty() || !list.back().contains("content") ||
      !list.back()["content"].is_string()) {
    return "";
  }
  return list.back()["content"].get<std::string>();
}

std::string RecordedRequest::schema_name() const {
  if (!json.is_object()) return "";
  const auto it = json.find("response_format");
  if (it == json.end() || !it->is_object()) return "";
  const auto schema = it->find("json_schema");
  if (schema == it->end() || !schema->is_object() || !schema->contains("name")) return "";
  return (*schema)["name"].is_string() ? (*schema)["name"].get<std::string>() : "";
}

Value RecordedRequest::parameter(const std::string& name) const {
  if (json.is_object() && json.contains(name)) return json[name];
  return nullptr;
}

namespace {

std::atomic<std::int64_t> completion_counter{0};

Value completion_body(const Value& content, const Value& refusal, const std::string& finish_reason,
                      Usage usage) {
  Value message = Value::object();
  message["role"] = "assistant";
  message["content"] = content;
  message["refusal"] = refusal;
  Value choice = Value::object();
  choice["index"] = 0;
  choice["message"] = std::move(message);
  choice["finish_reason"] = finish_reason;
  choice["logprobs"] = nullptr;
  Value body = Value::object();
  body["id"] = "chatcmpl-fake-" + std::to_string(++completion_counter);
  body["object"] = "chat.completion";
  body["created"] = 1700000000;
  body["model"] = "fake-model";
  body["choices"] = Value::array({std::move(choice)});
  body["usage"] = Value{{"prompt_tokens", usage.prompt_tokens},
                        {"completion_tokens", usage.completion_tokens},
                        {"total_tokens", usage.prompt_tokens + usage.completion_tokens},
                        {"prompt_tokens_details", Value{{"cached_tokens", usage.cached_tokens}}}};
  return body;
}

}  // namespace

Reply Reply::completion(const std::string& content, const std::string& finish_reason, Usage usage) {
  Reply reply;
  reply.body = completion_body(content, nullptr, finish_reason, usage).dump();
  return reply;
}

Reply Reply::json_answer(const Value& answer, Usage usage) {
  return completion(answer.dump(), "stop", usage);
}

Reply Reply::refusal(const std::string& text) {
  Reply reply;
  reply.body = completion_body(nullptr, text, "stop", Usage{}).dump();
  return reply;
}

Reply Reply::truncated(const std::string& partial_content) {
  return completion(partial_content, "length");
}

Reply Reply::content_filter() {
  Value body = completion_body(nullptr, nullptr, "content_filter", Usage{});
  body["choices"][0]["content_filter_results"] =
      Value{{"hate", {{"filtered", false}, {"severity", "safe"}}},
            {"violence", {{"filtered", true}, {"severity", "high"}}}};
  Reply reply;
  reply.body = body.dump();
  return reply;
}

Reply Reply::error(int status, const std::string& code, const std::string& message,
                   const std::string& param) {
  Value error = Value::object();
  error["message"] = message;
  error["type"] = status == 429 ? "rate_limit_error" : "invalid_request_error";
  error["param"] = param.empty() ? Value(nullptr) : Value(param);
  error["code"] = code;
  Reply reply;
  reply.status = status;
  reply.body = Value{{"error", std::move(error)}}.dump();
  return reply;
}

Reply Reply::rate_limited(std::chrono::milliseconds retry_after) {
  Reply reply = error(429, "rate_limit_exceeded", "Rate limit reached. Please retry later.");
  reply.headers.emplace_back("retry-after-ms", std::to_string(retry_after.count()));
  reply.headers.emplace_back("retry-after", std::to_string((retry_after.count() + 999) / 1000));
  return reply;
}

Reply Reply::rate_limited_seconds(int retry_after_seconds) {
  Reply reply = error(429, "rate_limit_exceeded", "Rate limit reached. Please retry later.");
  reply.headers.emplace_back("retry-after", std::to_string(retry_after_seconds));
  return reply;
}

Reply Reply::server_error() {
  return error(500, "internal_error", "The server had an error while processing your request.");
}

Reply Reply::dropped_connection() {
  Reply reply = json_answer(Value{{"never", "delivered"}});
  reply.drop_connection = true;
  return reply;
}

Reply Reply::slow(Reply reply, std::chrono::milliseconds delay) {
  reply.delay = delay;
  return reply;
}

Reply Reply::malformed_body() {
  Reply reply;
  reply.body = "{\"choices\": [ this is not json";
  return reply;
}

Reply Reply::unsupported_max_tokens() {
  return error(400, "unsupported_parameter",
               "Unsupported parameter: 'max_tokens' is not supported with this model. Use "
               "'max_completion_tokens' instead.",
               "max_tokens");
}

namespace {

// Counts accepted connections: the server hands every accepted socket to its task queue once.
class CountingQueue : public httplib::TaskQueue {
 public:
  CountingQueue(std::atomic<std::size_t>& count, std::size_t threads)
      : count_(count), pool_(threads) {}
  void enqueue(std::function<void()> fn) override {
    ++count_;
    pool_.enqueue(std::move(fn));
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  std::atomic<std::size_t>& count_;
  httplib::ThreadPool pool_;
};

}  // namespace

struct FakeChatServer::Impl {
  httplib::Server server;
  std::thread listener;
  int port = 0;
  std::atomic<bool> stopping{false};
  std::atomic<std::size_t> connections{0};

  mutable std::mutex mutex;
  std::deque<Reply> replies;
  std::function<Reply(const RecordedRequest&)> responder;
  std::vector<RecordedRequest> requests;

  void handle(const httplib::Request& req, httplib::Response& res);
  void shut_down_accepted_sockets() const;
};

void FakeChatServer::Impl::handle(const httplib::Request& req, httplib::Response& res) {
  RecordedRequest recorded;
  recorded.method = req.method;
  recorded.path = req.path;
  for (const auto& [name, value] : req.params) recorded.query[name] = value;
  for (const auto& [name, value] : req.headers) {
    std::string key = name;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    recorded.headers[key] = value;
  }
  recorded.body = req.body;
  recorded.json = Value::parse(req.body, nullptr, false);
  if (recorded.json.is_discarded()) recorded.json = nullptr;
  recorded.remote_addr = req.remote_addr;
  recorded.remote_port = req.remote_port;

  Reply reply;
  std::function<Reply(const RecordedRequest&)> respond;
  bool have_reply = false;
  {
    std::lock_guard lock(mutex);
    requests.push_back(recorded);
    if (!replies.empty()) {
      reply = std::move(replies.front());
      replies.pop_front();
      have_reply = true;
    } else {
      respond = responder;
    }
  }
  if (!have_reply) {
    reply = respond ? respond(recorded)
                    : Reply::error(400, "fake_script_exhausted",
                                   "fake chat server: no scripted reply left for this request");
  }

  const auto until = std::chrono::steady_clock::now() + reply.delay;
  while (!stopping && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }

  res.status = reply.status;
  for (const auto& [name, value] : reply.headers) res.set_header(name.c_str(), value);
  if (reply.drop_connection) {
    // The headers promise the body's length; failing the provider closes the connection before
    // any byte of it is sent.
    res.set_content_provider(reply.body.size(), reply.content_type,
                             [](size_t, size_t, httplib::DataSink&) { return false; });
    return;
  }
  res.set_content(reply.body, reply.content_type.c_str());
}

// A connection kept alive by a client blocks the server's worker until the keep-alive timeout;
// shutting the server's end of each accepted socket down lets the workers finish at once.
void FakeChatServer::Impl::shut_down_accepted_sockets() const {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  std::vector<int> fds;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    fds.push_back(std::atoi(entry->d_name));
  }
  closedir(dir);
  for (int fd : fds) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) continue;
    if (local.sin_family != AF_INET || ntohs(local.sin_port) != port) continue;
    sockaddr_in peer{};
    length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
    ::shutdown(fd, SHUT_RDWR);
  }
}

FakeChatServer::FakeChatServer() : impl_(std::make_unique<Impl>()) {
  Impl& impl = *impl_;
  // A kept-alive connection holds its worker for as long as it stays open, and concurrent
  // questions keep one connection per thread: enough workers for many at once.
  impl.server.new_task_queue = [&impl] { return new CountingQueue(impl.connections, 64); };
  impl.server.set_tcp_nodelay(true);
  impl.server.set_keep_alive_max_count(1000000);
  impl.server.set_keep_alive_timeout(30);
  impl.server.set_read_timeout(30);
  impl.server.set_write_timeout(30);
  impl.server.Post(
      R"(.*/chat/completions)",
      [&impl](const httplib::Request& req, httplib::Response& res) { impl.handle(req, res); });
  // cpp-httplib listens with a backlog of 5: many clients connecting at once would see their
  // connections dropped and retried a second later. The socket is kept to listen again with room.
  int listen_fd = -1;
  impl.server.set_socket_options([&listen_fd](socket_t sock) {
    httplib::default_socket_options(sock);
    listen_fd = sock;
  });
  impl.port = impl.server.bind_to_any_port("127.0.0.1");
  if (impl.port <= 0) throw std::runtime_error("fake chat server: could not bind 127.0.0.1");
  if (listen_fd >= 0) ::listen(listen_fd, SOMAXCONN);
  impl.listener = std::thread([&impl] { impl.server.listen_after_bind(); });
  while (!impl.server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeChatServer::~FakeChatServer() {
  impl_->stopping = true;
  impl_->server.stop();
  impl_->shut_down_accepted_sockets();
  if (impl_->listener.joinable()) impl_->listener.join();
}

std::string FakeChatServer::url() const {
  return "http://127.0.0.1:" + std::to_string(impl_->port);
}

std::string FakeChatServer::openai_base_url() const { return url() + "/v1"; }

int FakeChatServer::port() const { return impl_->port; }

Value FakeChatServer::azure_settings(const std::string& deployment,
                                     const std::string& api_key) const {
  return Value{{"provider", "azure"},
               {"azure_endpoint", url()},
               {"api_key", api_key},
               {"api_version", "2024-10-21"},
               {"azure_deployment", deployment}};
}

Value FakeChatServer::compatible_settings(const std::string& model,
                                          const std::string& api_key) const {
  return Value{{"provider", "openai_compatible"},
               {"base_url", openai_base_url()},
               {"api_key", api_key},
               {"model", model}};
}

void FakeChatServer::push(Reply reply) {
  std::lock_guard lock(impl_->mutex);
  impl_->replies.push_back(std::move(reply));
}

void FakeChatServer::push_json_answer(const Value& answer) { push(Reply::json_answer(answer)); }

void FakeChatServer::push_text_answer(const std::string& content) {
  push(Reply::completion(content));
}

void FakeChatServer::set_responder(std::function<Reply(const RecordedRequest&)> responder) {
  std::lock_guard lock(impl_->mutex);
  impl_->responder = std::move(responder);
}

std::vector<RecordedRequest> FakeChatServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

RecordedRequest FakeChatServer::last_request() const {
  std::lock_guard lock(impl_->mutex);
  if (impl_->requests.empty()) throw std::logic_error("fake chat server: no request received");
  return impl_->requests.back();
}

std::size_t FakeChatServer::request_count() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests.size();
}

std::size_t FakeChatServer::connection_count() const { return impl_->connections.load(); }

std::size_t FakeChatServer::pending_replies() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->replies.size();
}

}  // namespace test_support
