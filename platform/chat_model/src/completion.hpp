#pragma once

// The chat-completions wire format: the request body the client sends and the reading of what
// the service answers.

#include <string>
#include <vector>

#include "chat_model/client.hpp"
#include "client_options.hpp"

namespace chat_model::detail {

// The JSON request body. `completion_tokens_name` names the answer limit
// "max_completion_tokens" instead of "max_tokens". Throws std::invalid_argument for an unknown
// message role.
std::string request_body(const ClientOptions& options, const std::vector<ChatMessage>& messages,
                         const OutputSchema* schema, bool completion_tokens_name);

// A service's answer body parsed as a completion: its JSON with a non-empty `choices` list, the
// model name and the token usage. Throws ModelError invalid_response (naming `url` and quoting the
// body) when it is not one.
struct CompletionBody {
  Value answer;
  ChatCompletion completion;  // model, usage (calls = 1); content and finish_reason not yet read
};
CompletionBody read_completion_body(const std::string& body, const std::string& url);

// Fills in the first choice's text and finish reason. Throws ModelError for a choice without a
// message (invalid_response), a refusal, a content filter, an answer cut off at `max_tokens`
// (truncated) or a message without text.
void read_first_choice(CompletionBody& parsed, const std::string& body, const std::string& url,
                       int max_tokens);

// The `error` object of a failed call's body, where the service sent one.
struct ServiceError {
  std::string code;
  std::string param;
  std::string message;
};
ServiceError read_service_error(const std::string& body);

// A body as it is quoted in an error message: cut after 16 KiB, with its full size.
std::string bounded(const std::string& body);

}  // namespace chat_model::detail
