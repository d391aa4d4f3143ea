#pragma once

#include <stdexcept>
#include <string>

#include "chat_model/export.hpp"

namespace chat_model {

// What went wrong in a model call.
enum class ModelErrorKind {
  http,              // the service answered with an error status (message carries status and body)
  transport,         // no answer: connection refused or dropped, TLS or DNS failure
  timeout,           // no complete answer within the request timeout
  invalid_response,  // a success status whose body is not a chat completion
  refusal,           // the model declined to answer
  truncated,         // finish_reason "length": the answer was cut off at the token limit
  content_filter,    // the service's content filter withheld the prompt or the answer
  invalid_json,      // a structured answer that is not JSON
  schema_mismatch,   // a structured answer that does not fit the output schema
  response_too_large,  // the response body passed max_response_bytes; it was not read (or
                       // retried), whatever its status
};

CHAT_MODEL_EXPORT const char* to_string(ModelErrorKind kind) noexcept;

// A failed model call. The message names the failure and carries the service's own text
// (error body, refusal, filter result) unchanged.
class CHAT_MODEL_EXPORT ModelError : public std::runtime_error {
 public:
  ModelError(ModelErrorKind kind, const std::string& message, int http_status = 0);

  ModelErrorKind kind() const noexcept { return kind_; }
  // The HTTP status of the last answer, 0 when there was none.
  int http_status() const noexcept { return http_status_; }

 private:
  ModelErrorKind kind_;
  int http_status_;
};

// A model setting that is missing or malformed in the environment. The message names the
// environment variable to set.
class CHAT_MODEL_EXPORT SettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace chat_model
