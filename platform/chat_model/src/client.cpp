#include "chat_model/client.hpp"

#include <atomic>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "client_options.hpp"
#include "completion.hpp"
#include "http_post.hpp"
#include "retry_policy.hpp"
#include "text/text.hpp"

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

class ClientCore {
 public:
  explicit ClientCore(const Value& named) : options_(parse_client_options(named)) {}

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

  const Value& parameters() const { return options_.parameters; }
  int max_tokens() const { return options_.max_tokens; }
  const std::string& url() const { return options_.url; }

 private:
  ChatCompletion read_completion(const std::string& body, int attempts);
  ChatCompletion complete_attempts(const std::vector<ChatMessage>& messages,
                                   const OutputSchema* schema, int& attempts);
  void notify(const RetryEvent& event);
  void notify_call(const CallEvent& event);

  const ClientOptions options_;

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

// Posts the request until it is answered, fails for good or has used up its retries (see
// retry_policy.hpp); a rejected `max_tokens` is renamed once, outside the retry count.
ChatCompletion ClientCore::complete_attempts(const std::vector<ChatMessage>& messages,
                                             const OutputSchema* schema, int& attempts) {
  bool completion_tokens_name = use_completion_tokens_name_.load();
  bool tried_completion_tokens_name = completion_tokens_name;
  std::string body = request_body(options_, messages, schema, completion_tokens_name);
  const std::string& url = options_.url;

  attempts = 0;
  int retries = 0;
  while (true) {
    ++attempts;
    HttpPostRequest request;
    request.url = url;
    request.headers = options_.headers;
    request.body = body;
    request.timeout_ms = options_.timeout_ms;
    request.connect_timeout_ms = options_.connect_timeout_ms;
    request.max_body_bytes = static_cast<std::size_t>(options_.max_response_bytes);
    const HttpPostResult result = http_post(request);

    const std::string tries =
        attempts == 1 ? std::string() : " (after " + std::to_string(attempts) + " attempts)";
    if (result.body_too_large) {
      throw ModelError(ModelErrorKind::response_too_large,
                       "chat model service at " + url + " sent a response body larger than " +
                           std::to_string(options_.max_response_bytes) + " bytes (HTTP " +
                           std::to_string(result.status) + tries +
                           "); it was not read. Raise the client parameter max_response_bytes "
                           "if such answers are expected",
                       static_cast<int>(result.status));
    }
    RetryEvent event;
    event.attempt = attempts;
    if (!result.transport_ok) {
      if (!result.transient || retries >= options_.max_retries) {
        throw ModelError(result.timed_out ? ModelErrorKind::timeout : ModelErrorKind::transport,
                         "chat model request to " + url + " failed" + tries + ": " + result.error);
      }
      event.reason = result.error;
    } else if (result.status >= 200 && result.status < 300) {
      return read_completion(result.body, attempts);
    } else {
      const ServiceError error = read_service_error(result.body);
      if (result.status == 400 && error.code == "unsupported_parameter" &&
          !tried_completion_tokens_name &&
          (error.param == "max_tokens" || error.message.find("max_tokens") != std::string::npos)) {
        tried_completion_tokens_name = true;
        use_completion_tokens_name_.store(true);
        body = request_body(options_, messages, schema, true);
        continue;
      }
      const std::string message = "chat model service answered HTTP " +
                                  std::to_string(result.status) + tries + " for " + url + ": " +
                                  bounded(result.body);
      if (error.code == "content_filter") {
        throw ModelError(
            ModelErrorKind::content_filter,
            "the content filter of the chat model service rejected the prompt: " + message,
            static_cast<int>(result.status));
      }
      if (!retryable_status(result.status) || retries >= options_.max_retries) {
        throw ModelError(ModelErrorKind::http, message, static_cast<int>(result.status));
      }
      event.http_status = static_cast<int>(result.status);
      event.reason = "HTTP " + std::to_string(result.status);
      if (const double wait = retry_after_seconds(result); wait >= 0) {
        event.delay = std::chrono::milliseconds(std::llround(wait * 1000));
        event.from_retry_after = true;
      }
    }
    if (!event.from_retry_after) event.delay = backoff_delay(options_.retry_base_delay, retries);
    ++retries;
    notify(event);
    std::this_thread::sleep_for(event.delay);
  }
}

ChatCompletion ClientCore::read_completion(const std::string& body, int attempts) {
  CompletionBody parsed = read_completion_body(body, options_.url);
  // Tokens are spent (and billed) whatever the answer turns out to be.
  const TokenUsage& usage = parsed.completion.usage;
  prompt_tokens_ += usage.prompt_tokens;
  completion_tokens_ += usage.completion_tokens;
  cached_tokens_ += usage.cached_tokens;
  ++calls_;
  read_first_choice(parsed, body, options_.url, options_.max_tokens);
  parsed.completion.attempts = attempts;
  return std::move(parsed.completion);
}

StructuredAnswer ClientCore::structured(const std::vector<ChatMessage>& messages,
                                        const OutputSchema& schema) {
  StructuredAnswer answer;
  answer.completion = complete(messages, &schema);
  // Servers asked for JSON through the prompt alone sometimes fence their whole answer.
  const std::string_view document =
      text::unwrap_fenced_document(answer.completion.content, " \t\r\n");
  Value parsed = Value::parse(document.begin(), document.end(), nullptr, false);
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
