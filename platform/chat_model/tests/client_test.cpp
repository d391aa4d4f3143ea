#include "chat_model/client.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "model_environment.hpp"
#include "test_support/fake_chat_server.hpp"

namespace chat_model {
namespace {

using test_support::FakeChatServer;
using test_support::Reply;
using ::testing::HasSubstr;
using ::testing::Not;

// The construction the graph performs: every settings field plus these three.
Value graph_parameters(int max_tokens) {
  return Value{
      {"max_tokens", max_tokens}, {"temperature", 0}, {"model_kwargs", Value{{"top_p", 0.95}}}};
}

OutputSchema sql_schema() {
  return OutputSchema(
      "SQLQueryInput", "",
      {{"sql_query", FieldType::text, "SQL query string to be executed", false, std::nullopt}});
}

OutputSchema generation_schema() {
  return OutputSchema("GenerationOutput", "",
                      {{"image_path", FieldType::text, "image path generated if exists in context",
                        true, Value("")},
                       {"final_response", FieldType::text, "final response", false, std::nullopt}});
}

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Loopback requests must never go through a proxy the machine may configure.
    env_.set("NO_PROXY", "127.0.0.1,localhost");
    env_.set("no_proxy", "127.0.0.1,localhost");
  }

  // A client of the fake server with fast retries.
  AzureChatOpenAI client(Value extra = Value::object()) {
    Value parameters = graph_parameters(256);
    parameters["retry_base_delay"] = 0.001;
    for (const auto& [name, value] : extra.items()) parameters[name] = value;
    return AzureChatOpenAI(server_.azure_settings(), parameters);
  }

  ModelEnvironment env_;
  FakeChatServer server_;
};

TEST_F(ClientTest, AzureRouteSendsTheMessagesAsGivenWithKeyHeaderAndParameters) {
  server_.push_json_answer(Value{{"sql_query", "SELECT 1"}});
  const std::vector<ChatMessage> messages = {{"system", "You write SQL.\n"},
                                             {"user", "  how many rows?  "}};
  const Value answer = client().with_structured_output(sql_schema()).invoke(messages);
  EXPECT_EQ(answer, (Value{{"sql_query", "SELECT 1"}}));

  const auto request = server_.last_request();
  EXPECT_EQ(request.path, "/openai/deployments/test-deployment/chat/completions");
  EXPECT_EQ(request.query.at("api-version"), "2024-10-21");
  EXPECT_EQ(request.header("api-key"), "test-azure-key");
  EXPECT_FALSE(request.has_header("authorization"));
  EXPECT_EQ(request.header("content-type"), "application/json");
  EXPECT_EQ(request.messages(), Value::parse(R"([{"role": "system", "content": "You write SQL.\n"},
                             {"role": "user", "content": "  how many rows?  "}])"));
  EXPECT_EQ(request.parameter("max_tokens"), 256);
  EXPECT_EQ(request.parameter("temperature"), 0);
  EXPECT_EQ(request.parameter("top_p"), 0.95);
  EXPECT_TRUE(request.parameter("model").is_null());
  EXPECT_EQ(request.schema_name(), "SQLQueryInput");
  EXPECT_EQ(request.parameter("response_format"), sql_schema().response_format());
}

TEST_F(ClientTest, CompatibleRouteSendsBearerKeyAndModel) {
  struct Case {
    std::string api_key;
    std::string authorization;
  };
  for (const Case& c : {Case{"secret", "Bearer secret"}, Case{"", ""}}) {
    server_.push_text_answer("plain text");
    AzureChatOpenAI model(server_.compatible_settings("llama3.1", c.api_key),
                          graph_parameters(4096));
    EXPECT_EQ(model.invoke("say something"), "plain text");
    const auto request = server_.last_request();
    EXPECT_EQ(request.path, "/v1/chat/completions");
    EXPECT_EQ(request.header("authorization"), c.authorization);
    EXPECT_EQ(request.has_header("authorization"), !c.api_key.empty());
    EXPECT_FALSE(request.has_header("api-key"));
    EXPECT_EQ(request.parameter("model"), "llama3.1");
    EXPECT_EQ(request.parameter("max_tokens"), 4096);
    EXPECT_TRUE(request.parameter("response_format").is_null());
    EXPECT_EQ(request.messages(),
              Value::parse(R"([{"role": "user", "content": "say something"}])"));
  }
}

TEST_F(ClientTest, SettingsFromTheEnvironmentBuildAWorkingClient) {
  env_.set("AZURE_OPENAI_ENDPOINT", server_.url() + "/");
  env_.set("AZURE_OPENAI_API_KEY", "env-key");
  env_.set("AZURE_OPENAI_CHAT4_DEPLOYMENT", "gpt 4o");
  server_.push_json_answer(Value{{"sql_query", "SELECT 2"}});
  AzureChatOpenAI model(AzureOpenAIChat4(), graph_parameters(4096));
  EXPECT_EQ(model.with_structured_output(sql_schema()).invoke("q")["sql_query"], "SELECT 2");
  const auto request = server_.last_request();
  EXPECT_EQ(request.path, "/openai/deployments/gpt 4o/chat/completions");
  EXPECT_EQ(request.header("api-key"), "env-key");
  EXPECT_EQ(model.parameters()["max_tokens"], 4096);
  EXPECT_FALSE(model.parameters().contains("api_key"));
}

TEST_F(ClientTest, AFieldGivenTwiceFailsConstructionNamingIt) {
  for (const char* field : {"temperature", "max_tokens", "model_kwargs"}) {
    Value settings = server_.azure_settings();
    settings[field] = graph_parameters(1)[field];
    try {
      AzureChatOpenAI model(settings, graph_parameters(8192));
      ADD_FAILURE() << field << " accepted twice";
    } catch (const std::invalid_argument& error) {
      EXPECT_THAT(error.what(),
                  HasSubstr("multiple values for the parameter '" + std::string(field) + "'"));
    }
  }
}

TEST_F(ClientTest, BadConstructionParametersAreRejectedWithTheirName) {
  struct Case {
    Value parameters;
    const char* message;
  };
  const Value azure = server_.azure_settings();
  auto with = [&](const char* name, Value value) {
    Value p = azure;
    p[name] = std::move(value);
    return p;
  };
  auto without = [&](const char* name) {
    Value p = azure;
    p.erase(name);
    return p;
  };
  const Case cases[] = {
      {with("max_tokenz", 5), "unknown parameter 'max_tokenz'"},
      {with("max_tokens", "many"), "the parameter 'max_tokens' must be a whole number"},
      {with("max_tokens", 0), "max_tokens must be from 1"},
      {with("model_kwargs", Value{{"messages", 1}}), "model_kwargs may not carry 'messages'"},
      {with("timeout", -3), "timeout must be a positive number of seconds"},
      {with("max_response_bytes", 0), "max_response_bytes must be from 1 to 1073741824"},
      {with("max_response_bytes", "big"), "the parameter 'max_response_bytes' must be a whole"},
      {without("azure_deployment"), "needs the parameter 'azure_deployment'"},
      {without("api_key"), "needs the parameter 'api_key'"},
      {Value{{"provider", "openai_compatible"}, {"base_url", "http://x"}},
       "needs the parameter 'model'"},
      {Value{{"api_key", "k"}}, "needs azure_endpoint"},
  };
  for (const auto& c : cases) {
    try {
      AzureChatOpenAI model(c.parameters);
      ADD_FAILURE() << c.parameters.dump() << " accepted";
    } catch (const std::invalid_argument& error) {
      EXPECT_THAT(error.what(), HasSubstr(c.message)) << c.parameters.dump();
    }
  }
}

TEST_F(ClientTest, StructuredAnswersAreValidatedAndDefaultsFilled) {
  const auto model = client().with_structured_output(generation_schema());
  server_.push_json_answer(Value{{"final_response", "42 rows"}});
  EXPECT_EQ(model.invoke("q").dump(), R"({"image_path":"","final_response":"42 rows"})");

  server_.push_json_answer(Value{{"image_path", nullptr}, {"final_response", "none"}});
  EXPECT_TRUE(model.invoke("q")["image_path"].is_null());

  // A server asked for JSON through the prompt alone may fence its answer.
  server_.push_text_answer(
      "```json\n{\"image_path\": \"/tmp/a.png\", \"final_response\": \"x\"}\n```");
  EXPECT_EQ(model.invoke("q")["image_path"], "/tmp/a.png");

  server_.push_json_answer(Value{{"image_path", "/tmp/a.png"}});
  try {
    model.invoke("q");
    ADD_FAILURE() << "an answer without final_response was accepted";
  } catch (const ModelError& error) {
    EXPECT_EQ(error.kind(), ModelErrorKind::schema_mismatch);
    EXPECT_THAT(error.what(), HasSubstr("schema GenerationOutput"));
    EXPECT_THAT(error.what(), HasSubstr("'final_response'"));
  }
}

TEST_F(ClientTest, EachFailureKindIsAModelErrorWithAClearMessage) {
  struct Case {
    const char* description;
    Reply reply;
    bool structured;
    ModelErrorKind kind;
    int status;
    std::vector<std::string> message;
  };
  const Case cases[] = {
      {"refusal",
       Reply::refusal("I cannot help with that."),
       true,
       ModelErrorKind::refusal,
       200,
       {"the model refused to answer: I cannot help with that."}},
      {"truncated",
       Reply::truncated("{\"sql_query\": \"SELECT"),
       true,
       ModelErrorKind::truncated,
       200,
       {"cut off at the token limit (max_tokens 256"}},
      {"truncated plain",
       Reply::truncated("half a sent"),
       false,
       ModelErrorKind::truncated,
       200,
       {"cut off at the token limit"}},
      {"content filter",
       Reply::content_filter(),
       true,
       ModelErrorKind::content_filter,
       200,
       {"content filter", "\"violence\":{\"filtered\":true"}},
      {"prompt filtered",
       Reply::error(400, "content_filter", "The response was filtered due to the prompt"),
       false,
       ModelErrorKind::content_filter,
       400,
       {"HTTP 400", "filtered due to the prompt"}},
      {"not a completion",
       Reply::malformed_body(),
       false,
       ModelErrorKind::invalid_response,
       200,
       {"a body that is not JSON", "this is not json"}},
      {"answer not JSON",
       Reply::completion("SELECT 1"),
       true,
       ModelErrorKind::invalid_json,
       200,
       {"the answer for the schema SQLQueryInput is not JSON: SELECT 1"}},
      {"wrong fields",
       Reply::json_answer(Value{{"query", "SELECT 1"}}),
       true,
       ModelErrorKind::schema_mismatch,
       200,
       {"the required field 'sql_query' (text) is missing"}},
      {"bad request",
       Reply::error(400, "invalid_value", "temperature too high", "temperature"),
       false,
       ModelErrorKind::http,
       400,
       {"HTTP 400", "\"temperature too high\""}},
      {"unauthorised",
       Reply::error(401, "invalid_api_key", "Access denied: bad key"),
       true,
       ModelErrorKind::http,
       401,
       {"HTTP 401", "Access denied: bad key"}},
  };
  const auto model = client();
  for (const auto& c : cases) {
    const std::size_t before = server_.request_count();
    server_.push(c.reply);
    try {
      if (c.structured) {
        model.with_structured_output(sql_schema()).invoke("q");
      } else {
        model.invoke("q");
      }
      ADD_FAILURE() << c.description << ": no error";
    } catch (const ModelError& error) {
      EXPECT_EQ(error.kind(), c.kind) << c.description << ": " << error.what();
      EXPECT_EQ(error.http_status(), c.status) << c.description;
      for (const auto& part : c.message) {
        EXPECT_THAT(error.what(), HasSubstr(part)) << c.description;
      }
    }
    EXPECT_EQ(server_.request_count(), before + 1) << c.description << ": not retried";
  }
}

// A service must not make the client hold an unbounded body: past the cap the transfer ends and
// the call fails, whatever the status, without a retry.
TEST_F(ClientTest, AResponseBodyBeyondTheCapIsAModelError) {
  struct Case {
    const AzureChatOpenAI model;
    Reply reply;
    int status;
    std::string limit;
  };
  const AzureChatOpenAI small = client(Value{{"max_response_bytes", 4096}});
  const AzureChatOpenAI standard = client();
  const Case cases[] = {
      {small, Reply::completion(std::string(5000, 'x')), 200, "4096"},
      {small, Reply::error(500, "server_error", std::string(5000, 'y')), 500, "4096"},
      {standard, Reply::completion(std::string(17 * 1024 * 1024, 'z')), 200, "16777216"},
  };
  for (const auto& c : cases) {
    const std::size_t before = server_.request_count();
    server_.push(c.reply);
    try {
      c.model.invoke("q");
      ADD_FAILURE() << "the body was read";
    } catch (const ModelError& error) {
      EXPECT_EQ(error.kind(), ModelErrorKind::response_too_large) << error.what();
      EXPECT_EQ(error.http_status(), c.status);
      EXPECT_THAT(error.what(), HasSubstr("sent a response body larger than " + c.limit +
                                          " bytes (HTTP " + std::to_string(c.status) + ")"));
      EXPECT_THAT(error.what(), HasSubstr("max_response_bytes"));
    }
    EXPECT_EQ(server_.request_count(), before + 1) << "retried";
  }
  EXPECT_EQ(to_string(ModelErrorKind::response_too_large), std::string("response_too_large"));
  EXPECT_EQ(standard.parameters()["max_response_bytes"], 16 * 1024 * 1024);
  // Within the cap the answer is read, also by calls after a cut transfer.
  server_.push(Reply::completion(std::string(3000, 'v')));
  EXPECT_EQ(small.invoke("q"), std::string(3000, 'v'));
  server_.push(Reply::completion(std::string(1 << 20, 'w')));
  EXPECT_EQ(standard.invoke("q").size(), std::size_t{1} << 20);
}

TEST_F(ClientTest, CallObserverReportsAnsweredAndFailedCalls) {
  const auto model = client();
  std::vector<CallEvent> calls;
  model.set_call_observer([&](const CallEvent& e) { calls.push_back(e); });

  server_.push(Reply::rate_limited(std::chrono::milliseconds(1)));
  server_.push(Reply::completion("done", "stop", test_support::Usage{7, 3, 2}));
  EXPECT_EQ(model.invoke("q"), "done");
  server_.push(Reply::error(400, "bad_request", "nope"));
  EXPECT_THROW(model.with_structured_output(sql_schema()).invoke("q"), ModelError);

  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[0].ok);
  EXPECT_EQ(calls[0].attempts, 2);
  EXPECT_EQ(calls[0].usage.prompt_tokens, 7);
  EXPECT_EQ(calls[0].usage.completion_tokens, 3);
  EXPECT_EQ(calls[0].usage.cached_tokens, 2);
  EXPECT_FALSE(calls[1].ok);
  EXPECT_EQ(calls[1].attempts, 1);
  EXPECT_THAT(calls[1].error, HasSubstr("nope"));
}

TEST_F(ClientTest, TransientFailuresAreRetriedHonouringRetryAfter) {
  const auto model = client();
  std::vector<RetryEvent> events;
  model.set_retry_observer([&](const RetryEvent& e) { events.push_back(e); });

  server_.push(Reply::rate_limited(std::chrono::milliseconds(25)));
  server_.push(Reply::rate_limited_seconds(0));
  server_.push_text_answer("done");
  EXPECT_EQ(model.invoke("q"), "done");
  EXPECT_EQ(server_.request_count(), 3u);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].http_status, 429);
  EXPECT_TRUE(events[0].from_retry_after);
  EXPECT_EQ(events[0].delay, std::chrono::milliseconds(25));  // retry-after-ms wins
  EXPECT_TRUE(events[1].from_retry_after);
  EXPECT_EQ(events[1].delay, std::chrono::milliseconds(0));
  EXPECT_EQ(events[1].attempt, 2);

  // Every transient kind is retried with backoff; all three of these succeed on the next try.
  events.clear();
  for (Reply fault : {Reply::server_error(), Reply::dropped_connection(),
                      Reply::error(503, "unavailable", "busy"), Reply::error(408, "", "timeout"),
                      Reply::error(409, "", "conflict")}) {
    const std::size_t before = server_.request_count();
    server_.push(fault);
    server_.push_text_answer("ok");
    EXPECT_EQ(model.invoke("q"), "ok");
    EXPECT_EQ(server_.request_count(), before + 2);
  }
  ASSERT_EQ(events.size(), 5u);
  for (const auto& e : events) EXPECT_FALSE(e.from_retry_after);
  EXPECT_EQ(events[1].http_status, 0);  // the dropped connection is a transport failure
}

TEST_F(ClientTest, RetriesStopAtTheConfiguredCount) {
  struct Case {
    int max_retries;
    Reply fault;
    ModelErrorKind kind;
    const char* message;
  };
  const Case cases[] = {
      {2, Reply::server_error(), ModelErrorKind::http, "HTTP 500 (after 3 attempts)"},
      {0, Reply::server_error(), ModelErrorKind::http, "HTTP 500 for"},
      {1, Reply::rate_limited(std::chrono::milliseconds(1)), ModelErrorKind::http,
       "HTTP 429 (after 2 attempts)"},
      {1, Reply::dropped_connection(), ModelErrorKind::transport, "failed (after 2 attempts)"},
  };
  for (const auto& c : cases) {
    FakeChatServer server;
    server.set_responder([&](const test_support::RecordedRequest&) { return c.fault; });
    AzureChatOpenAI model(server.azure_settings(),
                          Value{{"max_retries", c.max_retries}, {"retry_base_delay", 0.001}});
    try {
      model.invoke("q");
      ADD_FAILURE() << c.message << ": no error";
    } catch (const ModelError& error) {
      EXPECT_EQ(error.kind(), c.kind) << error.what();
      EXPECT_THAT(error.what(), HasSubstr(c.message));
    }
    EXPECT_EQ(server.request_count(), static_cast<std::size_t>(c.max_retries + 1)) << c.message;
  }
}

TEST_F(ClientTest, TimeoutsAndRefusedConnectionsAreTransportFailures) {
  server_.push(Reply::slow(Reply::completion("late"), std::chrono::milliseconds(3000)));
  try {
    client(Value{{"timeout", 0.2}, {"max_retries", 0}}).invoke("q");
    ADD_FAILURE() << "no timeout";
  } catch (const ModelError& error) {
    EXPECT_EQ(error.kind(), ModelErrorKind::timeout) << error.what();
    EXPECT_THAT(error.what(), HasSubstr("/openai/deployments/test-deployment/chat/completions"));
  }

  Value settings;
  {
    FakeChatServer gone;
    settings = gone.azure_settings();
  }
  try {
    AzureChatOpenAI(settings, Value{{"max_retries", 1}, {"retry_base_delay", 0.001}}).invoke("q");
    ADD_FAILURE() << "no error from a closed port";
  } catch (const ModelError& error) {
    EXPECT_EQ(error.kind(), ModelErrorKind::transport) << error.what();
    EXPECT_THAT(error.what(), HasSubstr("(after 2 attempts)"));
  }
}

TEST_F(ClientTest, RejectedMaxTokensIsResentOnceAsMaxCompletionTokens) {
  const auto model = client();
  server_.push(Reply::unsupported_max_tokens());
  server_.push_text_answer("first");
  server_.push_text_answer("second");
  EXPECT_EQ(model.invoke("q"), "first");
  EXPECT_EQ(model.invoke("q"), "second");
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].parameter("max_tokens"), 256);
  EXPECT_TRUE(requests[0].parameter("max_completion_tokens").is_null());
  for (int i : {1, 2}) {
    EXPECT_TRUE(requests[i].parameter("max_tokens").is_null()) << i;
    EXPECT_EQ(requests[i].parameter("max_completion_tokens"), 256) << i;
  }

  // A service that rejects both names is answered with its error, not asked forever.
  FakeChatServer strict;
  strict.set_responder([](const auto&) { return Reply::unsupported_max_tokens(); });
  try {
    AzureChatOpenAI(strict.azure_settings()).invoke("q");
    ADD_FAILURE() << "no error";
  } catch (const ModelError& error) {
    EXPECT_EQ(error.kind(), ModelErrorKind::http);
    EXPECT_THAT(error.what(), HasSubstr("unsupported_parameter"));
  }
  EXPECT_EQ(strict.request_count(), 2u);
}

TEST_F(ClientTest, SchemaInPromptIsOptIn) {
  for (bool on : {false, true}) {
    server_.push_json_answer(Value{{"sql_query", "SELECT 1"}});
    client(Value{{"schema_in_prompt", on}})
        .with_structured_output(sql_schema())
        .invoke(std::vector<ChatMessage>{{"system", "sys"}, {"user", "question"}});
    const auto request = server_.last_request();
    EXPECT_EQ(request.messages()[0]["content"], "sys");
    const std::string last = request.last_message_content();
    if (on) {
      EXPECT_EQ(last.rfind("question\n\n", 0), 0u);
      EXPECT_THAT(last, HasSubstr(sql_schema().json_schema().dump()));
    } else {
      EXPECT_EQ(last, "question");
    }
    EXPECT_EQ(request.schema_name(), "SQLQueryInput");
  }
}

TEST_F(ClientTest, MessagesAreCheckedBeforeSending) {
  const auto model = client();
  EXPECT_THROW(model.invoke(std::vector<ChatMessage>{}), std::invalid_argument);
  EXPECT_THROW(model.invoke(std::vector<ChatMessage>{{"robot", "x"}}), std::invalid_argument);
  EXPECT_EQ(server_.request_count(), 0u);
  server_.push_text_answer("ok");
  model.invoke(std::vector<ChatMessage>{{"human", "x"}, {"ai", "y"}, {"human", "z"}});
  EXPECT_EQ(
      server_.last_request().messages(),
      Value::parse(R"([{"role": "user", "content": "x"}, {"role": "assistant", "content": "y"},
                             {"role": "user", "content": "z"}])"));
}

TEST_F(ClientTest, TokenUsageIsReportedPerCallAndSummedPerClient) {
  const auto model = client();
  server_.push(Reply::json_answer(Value{{"sql_query", "a"}}, {100, 20, 64}));
  server_.push(Reply::completion("b", "stop", {7, 3, 0}));
  server_.push(Reply::truncated("c"));  // default usage 10 / 5 / 0, spent although it fails
  const StructuredAnswer first =
      model.with_structured_output(sql_schema()).complete({{"user", "q"}});
  EXPECT_EQ(first.completion.usage.prompt_tokens, 100);
  EXPECT_EQ(first.completion.usage.completion_tokens, 20);
  EXPECT_EQ(first.completion.usage.cached_tokens, 64);
  EXPECT_EQ(first.completion.model, "fake-model");
  EXPECT_EQ(first.completion.attempts, 1);
  EXPECT_EQ(model.complete({{"user", "q"}}).usage.prompt_tokens, 7);
  EXPECT_THROW(model.invoke("q"), ModelError);
  const TokenUsage total = model.total_usage();
  EXPECT_EQ(total.prompt_tokens, 117);
  EXPECT_EQ(total.completion_tokens, 28);
  EXPECT_EQ(total.cached_tokens, 64);
  EXPECT_EQ(total.calls, 3);
}

TEST_F(ClientTest, ConcurrentCallsShareTheClientAndEachThreadKeepsItsConnection) {
  // Echo the question back, so each caller can check it got its own answer.
  server_.set_responder([](const test_support::RecordedRequest& request) {
    return Reply::json_answer(Value{{"sql_query", request.last_message_content()}});
  });
  const auto model = client().with_structured_output(sql_schema());
  constexpr int kThreads = 4;
  constexpr int kCalls = 15;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        const std::string question = std::to_string(t) + "/" + std::to_string(i);
        if (model.invoke(question)["sql_query"] != question) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(server_.request_count(), static_cast<std::size_t>(kThreads * kCalls));
  EXPECT_EQ(server_.connection_count(), static_cast<std::size_t>(kThreads));
  EXPECT_EQ(client().total_usage().calls, 0);  // a new client starts its own totals
}

}  // namespace
}  // namespace chat_model
