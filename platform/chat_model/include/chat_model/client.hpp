#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "chat_model/errors.hpp"
#include "chat_model/export.hpp"
#include "chat_model/output_schema.hpp"
#include "chat_model/settings.hpp"
#include "state_graph/value.hpp"

namespace chat_model {

using state_graph::Value;

// One message of a chat. Roles: "system", "user", "assistant" ("human" and "ai" are accepted
// as "user" and "assistant").
struct CHAT_MODEL_EXPORT ChatMessage {
  std::string role;
  std::string content;
};

// Tokens the service reports for one call, or summed over calls.
struct CHAT_MODEL_EXPORT TokenUsage {
  std::int64_t prompt_tokens = 0;
  std::int64_t completion_tokens = 0;
  std::int64_t cached_tokens = 0;  // part of prompt_tokens served from the prompt cache
  std::int64_t calls = 0;          // answered calls the totals cover
};

// The answer of one call.
struct CHAT_MODEL_EXPORT ChatCompletion {
  std::string content;
  std::string finish_reason;
  std::string model;  // the model the service says answered
  TokenUsage usage;
  int attempts = 0;  // HTTP requests made, retries included
};

// A structured call's record together with the completion it came from.
struct CHAT_MODEL_EXPORT StructuredAnswer {
  Value value;
  ChatCompletion completion;
};

// Reported before the client waits to retry a transient failure.
struct CHAT_MODEL_EXPORT RetryEvent {
  int attempt = 0;      // the attempt that failed, from 1
  int http_status = 0;  // 0 for a transport failure
  std::string reason;   // status line or transport error text
  std::chrono::milliseconds delay{0};
  bool from_retry_after = false;  // the delay is the service's retry-after-ms / retry-after
};

// Reported after each call, answered or failed, on the thread that made it.
struct CHAT_MODEL_EXPORT CallEvent {
  std::chrono::nanoseconds elapsed{0};  // the whole call, retries and waits included
  TokenUsage usage;                     // of the answer (zero when the call failed)
  int attempts = 0;                     // HTTP requests made
  bool ok = true;
  std::string error;  // the failure's message when !ok
};

namespace detail {
class ClientCore;
}

class StructuredChatModel;

// A chat-completions client for one model: an Azure OpenAI deployment or an OpenAI-compatible
// server.
//
// Built from named parameters, given as a settings field map (see ChatModelSettings) and a map
// of further parameters; a name given in both is an error, as is a name the client does not
// know:
//   provider          "azure" or "openai_compatible" (default: azure when azure_endpoint is
//                     given, else openai_compatible when base_url is given)
//   azure_endpoint, azure_deployment, api_version      azure
//   base_url, model                                    openai_compatible
//   api_key           sent as `api-key` (azure) or `Authorization: Bearer` (openai_compatible,
//                     left out when empty)
//   max_tokens        answer length limit, default 4096
//   temperature       default 0
//   model_kwargs      object of further request fields, e.g. {"top_p": 0.95}
//   max_retries       retries of transient failures, default 2
//   timeout           whole-request timeout in seconds, default 120
//   connect_timeout   connection set-up timeout in seconds, default 10
//   retry_base_delay  first backoff in seconds, default 0.5 (doubled per retry, capped at 8,
//                     jittered)
//   schema_in_prompt  default false; see with_structured_output
//   max_response_bytes  the largest response body read, default 16 MiB (16777216); a longer
//                     one fails the call with ModelError kind response_too_large, unretried
//
// Transient failures (connection errors, timeouts, HTTP 408, 409, 429, 5xx) are retried with
// exponential backoff and jitter; a `retry-after-ms` or `retry-after` header of at most 60 s is
// honoured instead. A service that rejects `max_tokens` as an unsupported parameter is asked
// once more with `max_completion_tokens`, which the client then keeps using.
//
// Each thread keeps one HTTP handle and so reuses its connection across calls (keep-alive).
// Copies share one state (settings, token totals). Thread-safe: calls may run concurrently.
class CHAT_MODEL_EXPORT AzureChatOpenAI {
 public:
  // Throws std::invalid_argument for a name given twice (naming it), an unknown name, a value
  // of the wrong kind or missing connection settings.
  AzureChatOpenAI(const Value& settings_fields, const Value& parameters);
  explicit AzureChatOpenAI(const Value& parameters);
  AzureChatOpenAI(const ChatModelSettings& settings, const Value& parameters);

  // Plain text answer. Throws ModelError; std::invalid_argument for an empty message list or an
  // unknown role.
  std::string invoke(const std::vector<ChatMessage>& messages) const;
  // `prompt_text` is sent as one user message.
  std::string invoke(const std::string& prompt_text) const;

  // One call with full detail; with a schema, `response_format` asks for it (the answer's text is
  // returned unvalidated).
  ChatCompletion complete(const std::vector<ChatMessage>& messages,
                          const OutputSchema* schema = nullptr) const;

  // A client whose answers are records of `schema`: each call sends the schema as a strict
  // `response_format`, parses the answer as JSON and validates it (OutputSchema::validate).
  // Messages reach the model exactly as given, unless `schema_in_prompt` is on: then a short
  // instruction carrying the JSON Schema is appended to the last message.
  StructuredChatModel with_structured_output(const OutputSchema& schema) const;

  // Tokens summed over every answered call of this client (and its copies and structured
  // clients).
  TokenUsage total_usage() const;
  // Called (on the calling thread) before each retry wait. Replaces any earlier observer.
  void set_retry_observer(std::function<void(const RetryEvent&)> observer) const;
  // Called (on the calling thread) after every call of this client and its copies and structured
  // clients, answered or failed. Replaces any earlier observer. Structured calls report the call
  // itself; an answer that then fails its schema is reported as answered.
  void set_call_observer(std::function<void(const CallEvent&)> observer) const;

  // The effective parameters, defaults filled in, api_key left out.
  Value parameters() const;
  int max_tokens() const;
  // The URL requests go to.
  const std::string& url() const;

 private:
  std::shared_ptr<detail::ClientCore> core_;
};

// A client bound to one output schema (see AzureChatOpenAI::with_structured_output).
// Thread-safe; copies share the client's state.
class CHAT_MODEL_EXPORT StructuredChatModel {
 public:
  // The validated record. Throws ModelError (invalid_json, schema_mismatch or any call failure).
  Value invoke(const std::vector<ChatMessage>& messages) const;
  Value invoke(const std::string& prompt_text) const;
  StructuredAnswer complete(const std::vector<ChatMessage>& messages) const;

  const OutputSchema& schema() const noexcept { return *schema_; }

 private:
  friend class AzureChatOpenAI;
  StructuredChatModel(std::shared_ptr<detail::ClientCore> core,
                      std::shared_ptr<const OutputSchema> schema);

  std::shared_ptr<detail::ClientCore> core_;
  std::shared_ptr<const OutputSchema> schema_;
};

}  // namespace chat_model
