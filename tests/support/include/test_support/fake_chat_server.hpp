#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "state_graph/value.hpp"

namespace test_support {

using state_graph::Value;

// Token counts a scripted completion reports.
struct Usage {
  std::int64_t prompt_tokens = 10;
  std::int64_t completion_tokens = 5;
  std::int64_t cached_tokens = 0;
};

// One request as the fake server received it.
struct RecordedRequest {
  std::string method;
  std::string path;                            // without the query
  std::map<std::string, std::string> query;    // decoded query parameters
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  Value json;  // the parsed body; null when it is not JSON
  std::string remote_addr;
  int remote_port = 0;

  // The header's value, "" when it was not sent.
  std::string header(const std::string& name) const;
  bool has_header(const std::string& name) const;
  // The body's "messages" (an array of {role, content}), [] when absent.
  Value messages() const;
  // The content of the last message, "" when there is none.
  std::string last_message_content() const;
  // `response_format.json_schema.name`, "" when the request asked for no schema.
  std::string schema_name() const;
  // A top-level field of the body (max_tokens, temperature, top_p, model, ...), null when absent.
  Value parameter(const std::string& name) const;
};

// What the server does with one request. The static helpers build the answers of the real
// chat-completions protocol and its failure modes.
struct Reply {
  int status = 200;
  std::string body;
  std::string content_type = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;
  // Waited before answering (a slow service).
  std::chrono::milliseconds delay{0};
  // Send the status line and headers, then close the connection without the body.
  bool drop_connection = false;

  // A chat completion whose assistant message is `content`.
  static Reply completion(const std::string& content, const std::string& finish_reason = "stop",
                          Usage usage = {});
  // A completion whose content is `answer` written as JSON.
  static Reply json_answer(const Value& answer, Usage usage = {});
  // The model declines: message.refusal set, content null.
  static Reply refusal(const std::string& text);
  // An answer cut off at the token limit: finish_reason "length".
  static Reply truncated(const std::string& partial_content);
  // The output filter withheld the answer: finish_reason "content_filter" with filter results.
  static Reply content_filter();
  // An error status with the service's error body {"error": {message, type, param, code}}.
  static Reply error(int status, const std::string& code, const std::string& message,
                     const std::string& param = "");
  // 429 with `retry-after-ms` (and a `retry-after` in whole seconds, rounded up).
  static Reply rate_limited(std::chrono::milliseconds retry_after);
  // 429 with only `retry-after` in seconds.
  static Reply rate_limited_seconds(int retry_after_seconds);
  // 500 with an error body.
  static Reply server_error();
  // A connection dropped in the middle of the answer.
  static Reply dropped_connection();
  // `reply`, answered after `delay`.
  static Reply slow(Reply reply, std::chrono::milliseconds delay);
  // 200 with a body that is not JSON.
  static Reply malformed_body();
  // 400 "unsupported_parameter" for `max_tokens`, as models that want
  // `max_completion_tokens` answer.
  static Reply unsupported_max_tokens();
};

// A scripted chat-completions server on 127.0.0.1 with an ephemeral port, standing in for the
// model service in tests. It answers POSTs to any path ending in "/chat/completions" (so both the
// Azure route and the OpenAI-compatible route work) from the queue of pushed replies, then from
// the responder, and when neither has one with HTTP 400 "fake_script_exhausted". Every request is
// recorded, whatever it is answered with.
//
//   test_support::FakeChatServer server;
//   server.push_json_answer(Value{{"sql_query", "SELECT 1"}});
//   chat_model::AzureChatOpenAI model(server.azure_settings(), Value{{"max_tokens", 64}});
//
// Thread-safe: scripting and inspection may happen while requests are served.
class FakeChatServer {
 public:
  FakeChatServer();
  ~FakeChatServer();
  FakeChatServer(const FakeChatServer&) = delete;
  FakeChatServer& operator=(const FakeChatServer&) = delete;

  // "http://127.0.0.1:PORT": the endpoint of the Azure route.
  std::string url() const;
  // url() + "/v1": the base URL of the OpenAI-compatible route.
  std::string openai_base_url() const;
  int port() const;

  // Settings field maps for a client of this server (azure: endpoint, key, version, deployment;
  // openai_compatible: base URL, key, model).
  Value azure_settings(const std::string& deployment = "test-deployment",
                       const std::string& api_key = "test-azure-key") const;
  Value compatible_settings(const std::string& model = "test-model",
                            const std::string& api_key = "test-bearer-key") const;

  void push(Reply reply);
  void push_json_answer(const Value& answer);
  void push_text_answer(const std::string& content);
  // Answers requests once the queue is empty; called on the server's threads.
  void set_responder(std::function<Reply(const RecordedRequest&)> responder);

  std::vector<RecordedRequest> requests() const;
  // The last request; throws std::logic_error when there was none.
  RecordedRequest last_request() const;
  std::size_t request_count() const;
  // TCP connections the server has accepted.
  std::size_t connection_count() const;
  std::size_t pending_replies() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace test_support
