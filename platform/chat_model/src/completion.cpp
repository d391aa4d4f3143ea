#include "completion.hpp"

#include <stdexcept>

namespace chat_model::detail {
namespace {

constexpr std::size_t kMaxBodyInMessage = 16 * 1024;

std::string normalise_role(const std::string& role) {
  if (role == "system" || role == "user" || role == "assistant" || role == "developer") {
    return role;
  }
  if (role == "human") return "user";
  if (role == "ai") return "assistant";
  throw std::invalid_argument("chat message role must be system, user or assistant, not '" + role +
                              "'");
}

ModelError invalid_response(const std::string& what, const std::string& body,
                            const std::string& url) {
  return ModelError(ModelErrorKind::invalid_response,
                    "chat model service answered " + url + " with " + what + ": " + bounded(body),
                    200);
}

std::int64_t count(const Value& object, const char* key) {
  return object.contains(key) && object[key].is_number_integer() ? object[key].get<std::int64_t>()
                                                                 : 0;
}

}  // namespace

std::string bounded(const std::string& body) {
  if (body.size() <= kMaxBodyInMessage) return body;
  return body.substr(0, kMaxBodyInMessage) + "... (" + std::to_string(body.size()) +
         " bytes in all)";
}

std::string request_body(const ClientOptions& options, const std::vector<ChatMessage>& messages,
                         const OutputSchema* schema, bool completion_tokens_name) {
  Value body = Value::object();
  if (options.provider == Provider::openai_compatible) body["model"] = options.model;
  Value list = Value::array();
  for (const auto& message : messages) {
    list.push_back(Value{{"role", normalise_role(message.role)}, {"content", message.content}});
  }
  if (schema != nullptr && options.schema_in_prompt) {
    std::string& last = list.back()["content"].get_ref<std::string&>();
    last += "\n\nAnswer with one JSON object and nothing else. It must match this JSON Schema:\n";
    last += schema->json_schema().dump();
  }
  body["messages"] = std::move(list);
  body[completion_tokens_name ? "max_completion_tokens" : "max_tokens"] = options.max_tokens;
  body["temperature"] = options.temperature;
  for (const auto& [name, value] : options.model_kwargs.items()) body[name] = value;
  if (schema != nullptr) body["response_format"] = schema->response_format();
  return body.dump();
}

CompletionBody read_completion_body(const std::string& body, const std::string& url) {
  CompletionBody parsed;
  parsed.answer = Value::parse(body, nullptr, false);
  const Value& answer = parsed.answer;
  if (answer.is_discarded() || !answer.is_object()) {
    throw invalid_response("a body that is not JSON", body, url);
  }
  if (!answer.contains("choices") || !answer["choices"].is_array() || answer["choices"].empty()) {
    throw invalid_response("no choices", body, url);
  }
  ChatCompletion& completion = parsed.completion;
  if (answer.contains("model") && answer["model"].is_string()) completion.model = answer["model"];
  if (answer.contains("usage") && answer["usage"].is_object()) {
    const Value& usage = answer["usage"];
    completion.usage.prompt_tokens = count(usage, "prompt_tokens");
    completion.usage.completion_tokens = count(usage, "completion_tokens");
    if (usage.contains("prompt_tokens_details") && usage["prompt_tokens_details"].is_object()) {
      completion.usage.cached_tokens = count(usage["prompt_tokens_details"], "cached_tokens");
    }
  }
  completion.usage.calls = 1;
  return parsed;
}

void read_first_choice(CompletionBody& parsed, const std::string& body, const std::string& url,
                       int max_tokens) {
  ChatCompletion& completion = parsed.completion;
  const Value& choice = parsed.answer["choices"][0];
  if (!choice.is_object() || !choice.contains("message") || !choice["message"].is_object()) {
    throw invalid_response("a choice without a message", body, url);
  }
  const Value& message = choice["message"];
  if (choice.contains("finish_reason") && choice["finish_reason"].is_string()) {
    completion.finish_reason = choice["finish_reason"];
  }
  if (message.contains("refusal") && message["refusal"].is_string() &&
      !message["refusal"].get_ref<const std::string&>().empty()) {
    throw ModelError(ModelErrorKind::refusal,
                     "the model refused to answer: " + message["refusal"].get<std::string>(), 200);
  }
  if (completion.finish_reason == "content_filter") {
    std::string detail;
    if (choice.contains("content_filter_results")) {
      detail = "; filter results: " + choice["content_filter_results"].dump();
    }
    throw ModelError(ModelErrorKind::content_filter,
                     "the content filter of the chat model service withheld the answer" + detail,
                     200);
  }
  if (completion.finish_reason == "length") {
    throw ModelError(ModelErrorKind::truncated,
                     "the answer was cut off at the token limit (max_tokens " +
                         std::to_string(max_tokens) + ", " +
                         std::to_string(completion.usage.completion_tokens) +
                         " completion tokens); raise max_tokens or ask for a shorter answer",
                     200);
  }
  if (!message.contains("content") || !message["content"].is_string()) {
    throw invalid_response("a message without text content", body, url);
  }
  completion.content = message["content"];
}

ServiceError read_service_error(const std::string& body) {
  const Value parsed = Value::parse(body, nullptr, false);
  const Value error = parsed.is_object() && parsed.contains("error") ? parsed["error"] : Value();
  auto text_of = [&](const char* key) {
    return error.is_object() && error.contains(key) && error[key].is_string()
               ? error[key].get<std::string>()
               : std::string();
  };
  return ServiceError{text_of("code"), text_of("param"), text_of("message")};
}

}  // namespace chat_model::detail
