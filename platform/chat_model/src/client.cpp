#include "chat_model/client.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include "http_post.hpp"

namespace chat_model {

const char* to_string(ModelErrorKind kind) noexcept {
  switch (kind) {
    case ModelErrorKind::http:
      return "http";
    case ModelErrorKind::transport:
      return "transport";
    case ModelErrorKind::timeout:
      return "timeout";
    case ModelErrorKind::invalid_response:
      return "invalid_response";
    case ModelErrorKind::refusal:
      return "refusal";
    case ModelErrorKind::truncated:
      return "truncated";
    case ModelErrorKind::content_filter:
      return "content_filter";
    case ModelErrorKind::invalid_json:
      return "invalid_json";
    case ModelErrorKind::schema_mismatch:
      return "schema_mismatch";
    case ModelErrorKind::response_too_large:
      return "response_too_large";
  }
  return "unknown";
}

ModelError::ModelError(ModelErrorKind kind, const std::string& message, int http_status)
    : std::runtime_error(message), kind_(kind), http_status_(http_status) {}

namespace detail {

namespace {

enum class Provider { azure, openai_compatible };

enum class Kind { text, integer, number, boolean, object };

struct KnownParameter {
  const char* name;
  Kind kind;
};

constexpr KnownParameter kKnownParameters[] = {
    {"provider", Kind::text},
    {"azure_endpoint", Kind::text},
    {"azure_deployment", Kind::text},
    {"api_version", Kind::text},
    {"base_url", Kind::text},
    {"model", Kind::text},
    {"api_key", Kind::text},
    {"max_tokens", Kind::integer},
    {"temperature", Kind::number},
    {"model_kwargs", Kind::object},
    {"max_retries", Kind::integer},
    {"timeout", Kind::number},
    {"connect_timeout", Kind::number},
    {"retry_base_delay", Kind::number},
    {"schema_in_prompt", Kind::boolean},
    {"max_response_bytes", Kind::integer},
};

// Request fields the client writes itself; model_kwargs may not carry them.
constexpr const char* kReservedRequestFields[] = {
    "messages",    "model",           "max_tokens", "max_completion_tokens",
    "temperature", "response_format", "stream",     "n",
};

constexpr std::size_t kMaxBodyInMessage = 16 * 1024;
constexpr std::int64_t kMaxResponseBytesLimit = std::int64_t{1} << 30;
constexpr double kMaxBackoffSeconds = 8.0;
constexpr double kMaxRetryAfterSeconds = 60.0;

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::text:
      return "a text";
    case Kind::integer:
      return "a whole number";
    case Kind::number:
      return "a number";
    case Kind::boolean:
      return "true or false";
    case Kind::object:
      return "an object";
  }
  return "?";
}

bool fits(const Value& value, Kind kind) {
  switch (kind) {
    case Kind::text:
      return value.is_string();
    case Kind::integer:
      return value.is_number_integer();
    case Kind::number:
      return value.is_number();
    case Kind::boolean:
      return value.is_boolean();
    case Kind::object:
      return value.is_object();
  }
  return false;
}

// Merges the settings fields and the further parameters as one set of named parameters.
Value merge_parameters(const Value& settings_fields, const Value& parameters) {
  if (!settings_fields.is_object()) {
    throw std::invalid_argument(std::string("AzureChatOpenAI: the settings fields must be an ") +
                                "object, not " + settings_fields.type_name());
  }
  if (!parameters.is_object() && !parameters.is_null()) {
    throw std::invalid_argument(std::string("AzureChatOpenAI: the parameters must be an ") +
                                "object, not " + parameters.type_name());
  }
  Value merged = settings_fields;
  if (parameters.is_object()) {
    for (const auto& [name, value] : parameters.items()) {
      if (merged.contains(name)) {
        throw std::invalid_argument("AzureChatOpenAI got multiple values for the parameter '" +
                                    name + "': the settings carry a field '" + name +
                                    "' and it is also given as a named parameter");
      }
      merged[name] = value;
    }
  }
  return merged;
}

std::string strip_trailing_slashes(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

std::string url_escape(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string bounded(const std::string& text) {
  if (text.size() <= kMaxBodyInMessage) return text;
  return text.substr(0, kMaxBodyInMessage) + "... (" + std::to_string(text.size()) +
         " bytes in all)";
}

std::string normalise_role(const std::string& role) {
  if (role == "system" || role == "user" || role == "assistant" || role == "developer") {
    return role;
  }
  if (role == "human") return "user";
  if (role == "ai") return "assistant";
  throw std::invalid_argument("chat message role must be system, user or assistant, not '" + role +
                              "'");
}

// Reads "```json\n{...}\n```" as "{...}": servers asked for JSON through the prompt alone
// sometimes fence their answer.
std::string unfence(const std::string& content) {
  auto first = content.find_first_not_of(" \t\r\n");
  auto last = content.find_last_not_of(" \t\r\n");
  if (first == std::string::npos) return content;
  std::string text = content.substr(first, last - first + 1);
  if (text.rfind("```", 0) != 0 || text.size() < 6 ||
      text.compare(text.size() - 3, 3, "```") != 0) {
    return text;
  }
  auto newline = text.find('\n');
  if (newline == std::string::npos) return text;
  return text.substr(newline + 1, text.size() - 3 - newline - 1);
}

double jitter_factor() {
  thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.75, 1.0)(generator);
}

bool retryable_status(long status) {
  return status == 408 || status == 409 || status == 429 || status >= 500;
}

// The service's requested wait in seconds, or a negative value when it gave none we honour.
double retry_after_seconds(const HttpPostResult& result) {
  if (!result.retry_after_ms.empty()) {
    char* end = nullptr;
    const double ms = std::strtod(result.retry_after_ms.c_str(), &end);
    if (end != result.retry_after_ms.c_str() && *end == '\0' && ms >= 0 &&
        ms / 1000.0 <= kMaxRetryAfterSeconds) {
      return ms / 1000.0;
    }
  }
  if (!result.retry_after.empty()) {
    char* end = nullptr;
    double seconds = std::strtod(result.retry_after.c_str(), &end);
    if (end == result.retry_after.c_str() || *end != '\0') {
      seconds = seconds_until_http_date(result.retry_after);
    }
    if (seconds >= 0 && seconds <= kMaxRetryAfterSeconds) return seconds;
  }
  return -1;
}

}  // namespace

class ClientCore {
 public:
  explicit ClientCore(const Value& named);

  ChatCompletion complete(const std::vector<ChatMessage>& messages, const OutputSchema* schema);
  StructuredAnswer structured(const std::vector<ChatMessage>& messages, const OutputSchema& schema);

  TokenUsage total_usage() const {
    TokenUsage usage;
    usage.prompt_tokens = prompt_tokens_.load();
    usage.completion_tokens = completion_tokens_.load();
    usage.cached_tokens = cached_tokens_.load();
    usage.calls = calls_.load();
    return usage;
  }

  void set_observer(std::function<void(const RetryEvent&)> observer) {
    std::lock_guard lock(observer_mutex_);
    observer_ = std::move(observer);
  }

  void set_call_observer(std::function<void(const CallEvent&)> observer) {
    std::lock_guard lock(observer_mutex_);
    call_observer_ = std::move(observer);
  }

  const Value& parameters() const { return parameters_; }
  int max_tokens() const { return max_tokens_; }
  const std::string& url() const { return url_; }

 private:
  std::string request_body(const std::vector<ChatMessage>& messages, const OutputSchema* schema,
                           bool completion_tokens_name) const;
  ChatCompletion read_completion(const std::string& body, int attempts);
  ChatCompletion complete_attempts(const std::vector<ChatMessage>& messages,
                                   const OutputSchema* schema, int& attempts);
  void notify(const RetryEvent& event);
  void notify_call(const CallEvent& event);

  Provider provider_ = Provider::azure;
  std::string url_;
  std::vector<std::string> headers_;
  std::string model_;
  int max_tokens_ = 4096;
  double temperature_ = 0;
  Value model_kwargs_ = Value::object();
  int max_retries_ = 2;
  long timeout_ms_ = 120000;
  long connect_timeout_ms_ = 10000;
  double retry_base_delay_ = 0.5;
  bool schema_in_prompt_ = false;
  // A service (or something posing as one) must not make the client hold an unbounded body.
  std::int64_t max_response_bytes_ = 16 * 1024 * 1024;
  Value parameters_;

  // Set once the service has rejected `max_tokens`; later requests name the limit
  // `max_completion_tokens` straight away.
  std::atomic<bool> use_completion_tokens_name_{false};
  std::atomic<std::int64_t> prompt_tokens_{0};
  std::atomic<std::int64_t> completion_tokens_{0};
  std::atomic<std::int64_t> cached_tokens_{0};
  std::atomic<std::int64_t> calls_{0};

  std::mutex observer_mutex_;
  std::function<void(const RetryEvent&)> observer_;
  std::function<void(const CallEvent&)> call_observer_;
};

ClientCore::ClientCore(const Value& named) {
  for (const auto& [name, value] : named.items()) {
    const auto* known = std::find_if(std::begin(kKnownParameters), std::end(kKnownParameters),
                                     [&](const KnownParameter& p) { return name == p.name; });
    if (known == std::end(kKnownParameters)) {
      std::string list;
      for (const auto& p : kKnownParameters)
        list += (list.empty() ? "" : ", ") + std::string(p.name);
      throw std::invalid_argument("AzureChatOpenAI got an unknown parameter '" + name +
                                  "'; known parameters: " + list);
    }
    if (!fits(value, known->kind)) {
      throw std::invalid_argument("AzureChatOpenAI: the parameter '" + name + "' must be " +
                                  kind_name(known->kind) + ", not " + value.dump());
    }
  }
  auto text = [&](const char* name) {
    return named.contains(name) ? named.at(name).get<std::string>() : std::string();
  };

  std::string provider = text("provider");
  if (provider.empty()) {
    if (!text("azure_endpoint").empty()) {
      provider = "azure";
    } else if (!text("base_url").empty()) {
      provider = "openai_compatible";
    } else {
      throw std::invalid_argument(
          "AzureChatOpenAI needs azure_endpoint (Azure OpenAI) or base_url (an OpenAI-compatible "
          "server)");
    }
  }
  const std::string api_key = text("api_key");
  if (provider == "azure") {
    provider_ = Provider::azure;
    for (const char* required : {"azure_endpoint", "azure_deployment", "api_key"}) {
      if (text(required).empty()) {
        throw std::invalid_argument(std::string("AzureChatOpenAI for Azure OpenAI needs the ") +
                                    "parameter '" + required + "'");
      }
    }
    std::string version = text("api_version");
    if (version.empty()) version = kDefaultAzureApiVersion;
    url_ = strip_trailing_slashes(text("azure_endpoint")) + "/openai/deployments/" +
           url_escape(text("azure_deployment")) +
           "/chat/completions?api-version=" + url_escape(version);
    headers_.push_back("api-key: " + api_key);
  } else if (provider == "openai_compatible") {
    provider_ = Provider::openai_compatible;
    for (const char* required : {"base_url", "model"}) {
      if (text(required).empty()) {
        throw std::invalid_argument(std::string("AzureChatOpenAI for an OpenAI-compatible ") +
                                    "server needs the parameter '" + required + "'");
      }
    }
    url_ = strip_trailing_slashes(text("base_url")) + "/chat/completions";
    model_ = text("model");
    if (!api_key.empty()) headers_.push_back("Authorization: Bearer " + api_key);
  } else {
    throw std::invalid_argument(
        "AzureChatOpenAI: the parameter 'provider' must be 'azure' or 'openai_compatible', not '" +
        provider + "'");
  }
  headers_.push_back("Content-Type: application/json");
  headers_.push_back("Accept: application/json");

  if (named.contains("max_tokens")) {
    const auto value = named.at("max_tokens").get<std::int64_t>();
    if (value < 1 || value > 1'000'000) {
      throw std::invalid_argument("AzureChatOpenAI: max_tokens must be from 1 to 1000000, not " +
                                  std::to_string(value));
    }
    max_tokens_ = static_cast<int>(value);
  }
  if (named.contains("temperature")) temperature_ = named.at("temperature").get<double>();
  if (temperature_ < 0 || temperature_ > 2) {
    throw std::invalid_argument("AzureChatOpenAI: temperature must be from 0 to 2");
  }
  if (named.contains("model_kwargs")) {
    model_kwargs_ = named.at("model_kwargs");
    for (const char* reserved : kReservedRequestFields) {
      if (model_kwargs_.contains(reserved)) {
        throw std::invalid_argument(std::string("AzureChatOpenAI: model_kwargs may not carry '") +
                                    reserved + "'; the client sets it itself");
      }
    }
  }
  if (named.contains("max_retries")) {
    const auto value = named.at("max_retries").get<std::int64_t>();
    if (value < 0 || value > 100) {
      throw std::invalid_argument("AzureChatOpenAI: max_retries must be from 0 to 100, not " +
                                  std::to_string(value));
    }
    max_retries_ = static_cast<int>(value);
  }
  auto positive_ms = [&](const char* name, long fallback) {
    if (!named.contains(name)) return fallback;
    const double seconds = named.at(name).get<double>();
    if (!(seconds > 0) || seconds > 86400) {
      throw std::invalid_argument(std::string("AzureChatOpenAI: ") + name +
                                  " must be a positive number of seconds (at most 86400)");
    }
    return std::max(1L, static_cast<long>(std::lround(seconds * 1000)));
  };
  timeout_ms_ = positive_ms("timeout", timeout_ms_);
  connect_timeout_ms_ = positive_ms("connect_timeout", connect_timeout_ms_);
  if (named.contains("retry_base_delay")) {
    retry_base_delay_ = named.at("retry_base_delay").get<double>();
    if (retry_base_delay_ < 0 || retry_base_delay_ > kMaxBackoffSeconds) {
      throw std::invalid_argument("AzureChatOpenAI: retry_base_delay must be from 0 to 8 seconds");
    }
  }
  if (named.contains("schema_in_prompt"))
    schema_in_prompt_ = named.at("schema_in_prompt").get<bool>();
  if (named.contains("max_response_bytes")) {
    const auto value = named.at("max_response_bytes").get<std::int64_t>();
    if (value < 1 || value > kMaxResponseBytesLimit) {
      throw std::invalid_argument("AzureChatOpenAI: max_response_bytes must be from 1 to " +
                                  std::to_string(kMaxResponseBytesLimit) + " (1 GiB), not " +
                                  std::to_string(value));
    }
    max_response_bytes_ = value;
  }

  parameters_ = Value::object();
  parameters_["provider"] = provider;
  for (const char* name : {"azure_endpoint", "azure_deployment", "base_url", "model"}) {
    if (named.contains(name)) parameters_[name] = named.at(name);
  }
  if (provider_ == Provider::azure) {
    parameters_["api_version"] =
        text("api_version").empty() ? std::string(kDefaultAzureApiVersion) : text("api_version");
  }
  parameters_["max_tokens"] = max_tokens_;
  parameters_["temperature"] = temperature_;
  parameters_["model_kwargs"] = model_kwargs_;
  parameters_["max_retries"] = max_retries_;
  parameters_["timeout"] = timeout_ms_ / 1000.0;
  parameters_["connect_timeout"] = connect_timeout_ms_ / 1000.0;
  parameters_["retry_base_delay"] = retry_base_delay_;
  parameters_["schema_in_prompt"] = schema_in_prompt_;
  parameters_["max_response_bytes"] = max_response_bytes_;
}

std::string ClientCore::request_body(const std::vector<ChatMessage>& messages,
                                     const OutputSchema* schema,
                                     bool completion_tokens_name) const {
  Value body = Value::object();
  if (provider_ == Provider::openai_compatible) body["model"] = model_;
  Value list = Value::array();
  for (const auto& message : messages) {
    list.push_back(Value{{"role", normalise_role(message.role)}, {"content", message.content}});
  }
  if (schema != nullptr && schema_in_prompt_) {
    std::string& last = list.back()["content"].get_ref<std::string&>();
    last += "\n\nAnswer with one JSON object and nothing else. It must match this JSON Schema:\n";
    last += schema->json_schema().dump();
  }
  body["messages"] = std::move(list);
  body[completion_tokens_name ? "max_completion_tokens" : "max_tokens"] = max_tokens_;
  body["temperature"] = temperature_;
  for (const auto& [name, value] : model_kwargs_.items()) body[name] = value;
  if (schema != nullptr) body["response_format"] = schema->response_format();
  return body.dump();
}

void ClientCore::notify(const RetryEvent& event) {
  std::function<void(const RetryEvent&)> observer;
  {
    std::lock_guard lock(observer_mutex_);
    observer = observer_;
  }
  if (observer) observer(event);
}

void ClientCore::notify_call(const CallEvent& event) {
  std::function<void(const CallEvent&)> observer;
  {
    std::lock_guard lock(observer_mutex_);
    observer = call_observer_;
  }
  if (observer) observer(event);
}

ChatCompletion ClientCore::complete(const std::vector<ChatMessage>& messages,
                                    const OutputSchema* schema) {
  if (messages.empty()) throw std::invalid_argument("a chat model call needs at least one message");
  const auto start = std::chrono::steady_clock::now();
  int attempts = 0;
  CallEvent event;
  try {
    ChatCompletion completion = complete_attempts(messages, schema, attempts);
    event.elapsed = std::chrono::steady_clock::now() - start;
    event.usage = completion.usage;
    event.attempts = completion.attempts;
    notify_call(event);
    return completion;
  } catch (const std::exception& error) {
    event.elapsed = std::chrono::steady_clock::now() - start;
    event.attempts = attempts;
    event.ok = false;
    event.error = error.what();
    notify_call(event);
    throw;
  }
}

ChatCompletion ClientCore::complete_attempts(const std::vector<ChatMessage>& messages,
                                             const OutputSchema* schema, int& attempts) {
  bool completion_tokens_name = use_completion_tokens_name_.load();
  bool tried_completion_tokens_name = completion_tokens_name;
  std::string body = request_body(messages, schema, completion_tokens_name);

  attempts = 0;
  int retries = 0;
  while (true) {
    ++attempts;
    HttpPostRequest request;
    request.url = &url_;
    request.headers = &headers_;
    request.body = &body;
    request.timeout_ms = timeout_ms_;
    request.connect_timeout_ms = connect_timeout_ms_;
    request.max_body_bytes = static_cast<std::size_t>(max_response_bytes_);
    HttpPostResult result = http_post(request);

    const std::string tries =
        attempts == 1 ? std::string() : " (after " + std::to_string(attempts) + " attempts)";
    if (result.body_too_large) {
      throw ModelError(ModelErrorKind::response_too_large,
                       "chat model service at " + url_ + " sent a response body larger than " +
                           std::to_string(max_response_bytes_) + " bytes (HTTP " +
                           std::to_string(result.status) + tries +
                           "); it was not read. Raise the client parameter max_response_bytes "
                           "if such answers are expected",
                       static_cast<int>(result.status));
    }
    RetryEvent event;
    event.attempt = attempts;
    if (!result.transport_ok) {
      if (!result.transient || retries >= max_retries_) {
        throw ModelError(result.timed_out ? ModelErrorKind::timeout : ModelErrorKind::transport,
                         "chat model request to " + url_ + " failed" + tries + ": " + result.error);
      }
      event.reason = result.error;
    } else if (result.status >= 200 && result.status < 300) {
      return read_completion(result.body, attempts);
    } else {
      Value error_body = Value::parse(result.body, nullptr, false);
      Value error =
          error_body.is_object() && error_body.contains("error") ? error_body["error"] : Value();
      auto error_text = [&](const char* key) {
        return error.is_object() && error.contains(key) && error[key].is_string()
                   ? error[key].get<std::string>()
                   : std::string();
      };
      const std::string code = error_text("code");
      if (result.status == 400 && code == "unsupported_parameter" &&
          !tried_completion_tokens_name &&
          (error_text("param") == "max_tokens" ||
           error_text("message").find("max_tokens") != std::string::npos)) {
        tried_completion_tokens_name = true;
        use_completion_tokens_name_.store(true);
        body = request_body(messages, schema, true);
        continue;
      }
      const std::string message = "chat model service answered HTTP " +
                                  std::to_string(result.status) + tries + " for " + url_ + ": " +
                                  bounded(result.body);
      if (code == "content_filter") {
        throw ModelError(
            ModelErrorKind::content_filter,
            "the content filter of the chat model service rejected the prompt: " + message,
            static_cast<int>(result.status));
      }
      if (!retryable_status(result.status) || retries >= max_retries_) {
        throw ModelError(ModelErrorKind::http, message, static_cast<int>(result.status));
      }
      event.http_status = static_cast<int>(result.status);
      event.reason = "HTTP " + std::to_string(result.status);
      const double wait = retry_after_seconds(result);
      if (wait >= 0) {
        event.delay = std::chrono::milliseconds(std::llround(wait * 1000));
        event.from_retry_after = true;
      }
    }
    if (!event.from_retry_after) {
      const double backoff =
          std::min(kMaxBackoffSeconds, retry_base_delay_ * std::pow(2.0, retries)) *
          jitter_factor();
      event.delay = std::chrono::milliseconds(std::llround(backoff * 1000));
    }
    ++retries;
    notify(event);
    std::this_thread::sleep_for(event.delay);
  }
}

ChatCompletion ClientCore::read_completion(const std::string& body, int attempts) {
  const Value answer = Value::parse(body, nullptr, false);
  auto invalid = [&](const std::string& what) {
    return ModelError(
        ModelErrorKind::invalid_response,
        "chat model service answered " + url_ + " with " + what + ": " + bounded(body), 200);
  };
  if (answer.is_discarded() || !answer.is_object()) throw invalid("a body that is not JSON");
  if (!answer.contains("choices") || !answer["choices"].is_array() || answer["choices"].empty()) {
    throw invalid("no choices");
  }

  ChatCompletion completion;
  completion.attempts = attempts;
  if (answer.contains("model") && answer["model"].is_string()) completion.model = answer["model"];
  if (answer.contains("usage") && answer["usage"].is_object()) {
    const Value& usage = answer["usage"];
    auto count = [](const Value& object, const char* key) -> std::int64_t {
      return object.contains(key) && object[key].is_number_integer()
                 ? object[key].get<std::int64_t>()
                 : 0;
    };
    completion.usage.prompt_tokens = count(usage, "prompt_tokens");
    completion.usage.completion_tokens = count(usage, "completion_tokens");
    if (usage.contains("prompt_tokens_details") && usage["prompt_tokens_details"].is_object()) {
      completion.usage.cached_tokens = count(usage["prompt_tokens_details"], "cached_tokens");
    }
  }
  completion.usage.calls = 1;
  // Tokens are spent (and billed) whatever the answer turns out to be.
  prompt_tokens_ += completion.usage.prompt_tokens;
  completion_tokens_ += completion.usage.completion_tokens;
  cached_tokens_ += completion.usage.cached_tokens;
  ++calls_;

  const Value& choice = answer["choices"][0];
  if (!choice.is_object() || !choice.contains("message") || !choice["message"].is_object()) {
    throw invalid("a choice without a message");
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
                         std::to_string(max_tokens_) + ", " +
                         std::to_string(completion.usage.completion_tokens) +
                         " completion tokens); raise max_tokens or ask for a shorter answer",
                     200);
  }
  if (!message.contains("content") || !message["content"].is_string()) {
    throw invalid("a message without text content");
  }
  completion.content = message["content"];
  return completion;
}

StructuredAnswer ClientCore::structured(const std::vector<ChatMessage>& messages,
                                        const OutputSchema& schema) {
  StructuredAnswer answer;
  answer.completion = complete(messages, &schema);
  const std::string text = unfence(answer.completion.content);
  Value parsed = Value::parse(text, nullptr, false);
  if (parsed.is_discarded()) {
    std::string shown = answer.completion.content;
    if (shown.size() > 2000) shown = shown.substr(0, 2000) + "...";
    throw ModelError(ModelErrorKind::invalid_json,
                     "the answer for the schema " + schema.name() + " is not JSON: " + shown, 200);
  }
  try {
    answer.value = schema.validate(parsed);
  } catch (const ModelError& error) {
    throw ModelError(error.kind(), error.what(), 200);
  }
  return answer;
}

}  // namespace detail

AzureChatOpenAI::AzureChatOpenAI(const Value& settings_fields, const Value& parameters)
    : core_(std::make_shared<detail::ClientCore>(
          detail::merge_parameters(settings_fields, parameters))) {}

AzureChatOpenAI::AzureChatOpenAI(const Value& parameters)
    : AzureChatOpenAI(parameters, Value::object()) {}

AzureChatOpenAI::AzureChatOpenAI(const ChatModelSettings& settings, const Value& parameters)
    : AzureChatOpenAI(settings.fields(), parameters) {}

std::string AzureChatOpenAI::invoke(const std::vector<ChatMessage>& messages) const {
  return core_->complete(messages, nullptr).content;
}

std::string AzureChatOpenAI::invoke(const std::string& prompt_text) const {
  return invoke(std::vector<ChatMessage>{{"user", prompt_text}});
}

ChatCompletion AzureChatOpenAI::complete(const std::vector<ChatMessage>& messages,
                                         const OutputSchema* schema) const {
  return core_->complete(messages, schema);
}

StructuredChatModel AzureChatOpenAI::with_structured_output(const OutputSchema& schema) const {
  return StructuredChatModel(core_, std::make_shared<const OutputSchema>(schema));
}

TokenUsage AzureChatOpenAI::total_usage() const { return core_->total_usage(); }

void AzureChatOpenAI::set_retry_observer(std::function<void(const RetryEvent&)> observer) const {
  core_->set_observer(std::move(observer));
}

void AzureChatOpenAI::set_call_observer(std::function<void(const CallEvent&)> observer) const {
  core_->set_call_observer(std::move(observer));
}

Value AzureChatOpenAI::parameters() const { return core_->parameters(); }
int AzureChatOpenAI::max_tokens() const { return core_->max_tokens(); }
const std::string& AzureChatOpenAI::url() const { return core_->url(); }

StructuredChatModel::StructuredChatModel(std::shared_ptr<detail::ClientCore> core,
                                         std::shared_ptr<const OutputSchema> schema)
    : core_(std::move(core)), schema_(std::move(schema)) {}

Value StructuredChatModel::invoke(const std::vector<ChatMessage>& messages) const {
  return core_->structured(messages, *schema_).value;
}

Value StructuredChatModel::invoke(const std::string& prompt_text) const {
  return invoke(std::vector<ChatMessage>{{"user", prompt_text}});
}

StructuredAnswer StructuredChatModel::complete(const std::vector<ChatMessage>& messages) const {
  return core_->structured(messages, *schema_);
}

}  // namespace chat_model
