#include "client_options.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <stdexcept>

#include "text/text.hpp"

namespace chat_model::detail {
namespace {

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

constexpr std::int64_t kMaxResponseBytesLimit = std::int64_t{1} << 30;
constexpr double kMaxRetryBaseDelaySeconds = 8.0;

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

// Every name known and every value of its kind.
void check_names_and_kinds(const Value& named) {
  for (const auto& [name, value] : named.items()) {
    const auto* known = std::find_if(std::begin(kKnownParameters), std::end(kKnownParameters),
                                     [&](const KnownParameter& p) { return name == p.name; });
    if (known == std::end(kKnownParameters)) {
      std::vector<std::string> names;
      for (const auto& p : kKnownParameters) names.emplace_back(p.name);
      throw std::invalid_argument("AzureChatOpenAI got an unknown parameter '" + name +
                                  "'; known parameters: " + text::join(names, ", "));
    }
    if (!fits(value, known->kind)) {
      throw std::invalid_argument("AzureChatOpenAI: the parameter '" + name + "' must be " +
                                  kind_name(known->kind) + ", not " + value.dump());
    }
  }
}

std::string url_escape(const std::string& part) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : part) {
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

std::string without_trailing_slashes(const std::string& url) {
  return std::string(text::trim_end(url, "/"));
}

// The provider, the URL and the headers that carry the credentials.
void read_connection(const Value& named, ClientOptions& options, std::string& provider) {
  auto text_of = [&](const char* name) {
    return named.contains(name) ? named.at(name).get<std::string>() : std::string();
  };
  provider = text_of("provider");
  if (provider.empty()) {
    if (!text_of("azure_endpoint").empty()) {
      provider = "azure";
    } else if (!text_of("base_url").empty()) {
      provider = "openai_compatible";
    } else {
      throw std::invalid_argument(
          "AzureChatOpenAI needs azure_endpoint (Azure OpenAI) or base_url (an OpenAI-compatible "
          "server)");
    }
  }
  const std::string api_key = text_of("api_key");
  if (provider == "azure") {
    options.provider = Provider::azure;
    for (const char* required : {"azure_endpoint", "azure_deployment", "api_key"}) {
      if (text_of(required).empty()) {
        throw std::invalid_argument(std::string("AzureChatOpenAI for Azure OpenAI needs the ") +
                                    "parameter '" + required + "'");
      }
    }
    std::string version = text_of("api_version");
    if (version.empty()) version = kDefaultAzureApiVersion;
    options.url = without_trailing_slashes(text_of("azure_endpoint")) + "/openai/deployments/" +
                  url_escape(text_of("azure_deployment")) +
                  "/chat/completions?api-version=" + url_escape(version);
    options.headers.push_back("api-key: " + api_key);
  } else if (provider == "openai_compatible") {
    options.provider = Provider::openai_compatible;
    for (const char* required : {"base_url", "model"}) {
      if (text_of(required).empty()) {
        throw std::invalid_argument(std::string("AzureChatOpenAI for an OpenAI-compatible ") +
                                    "server needs the parameter '" + required + "'");
      }
    }
    options.url = without_trailing_slashes(text_of("base_url")) + "/chat/completions";
    options.model = text_of("model");
    if (!api_key.empty()) options.headers.push_back("Authorization: Bearer " + api_key);
  } else {
    throw std::invalid_argument(
        "AzureChatOpenAI: the parameter 'provider' must be 'azure' or 'openai_compatible', not '" +
        provider + "'");
  }
  options.headers.push_back("Content-Type: application/json");
  options.headers.push_back("Accept: application/json");
}

// Generation, retry, timeout and size settings, each checked against its range.
void read_limits(const Value& named, ClientOptions& options) {
  if (named.contains("max_tokens")) {
    const auto value = named.at("max_tokens").get<std::int64_t>();
    if (value < 1 || value > 1'000'000) {
      throw std::invalid_argument("AzureChatOpenAI: max_tokens must be from 1 to 1000000, not " +
                                  std::to_string(value));
    }
    options.max_tokens = static_cast<int>(value);
  }
  if (named.contains("temperature")) options.temperature = named.at("temperature").get<double>();
  if (options.temperature < 0 || options.temperature > 2) {
    throw std::invalid_argument("AzureChatOpenAI: temperature must be from 0 to 2");
  }
  if (named.contains("model_kwargs")) {
    options.model_kwargs = named.at("model_kwargs");
    for (const char* reserved : kReservedRequestFields) {
      if (options.model_kwargs.contains(reserved)) {
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
    options.max_retries = static_cast<int>(value);
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
  options.timeout_ms = positive_ms("timeout", options.timeout_ms);
  options.connect_timeout_ms = positive_ms("connect_timeout", options.connect_timeout_ms);
  if (named.contains("retry_base_delay")) {
    options.retry_base_delay = named.at("retry_base_delay").get<double>();
    if (options.retry_base_delay < 0 || options.retry_base_delay > kMaxRetryBaseDelaySeconds) {
      throw std::invalid_argument("AzureChatOpenAI: retry_base_delay must be from 0 to 8 seconds");
    }
  }
  if (named.contains("schema_in_prompt")) {
    options.schema_in_prompt = named.at("schema_in_prompt").get<bool>();
  }
  if (named.contains("max_response_bytes")) {
    const auto value = named.at("max_response_bytes").get<std::int64_t>();
    if (value < 1 || value > kMaxResponseBytesLimit) {
      throw std::invalid_argument("AzureChatOpenAI: max_response_bytes must be from 1 to " +
                                  std::to_string(kMaxResponseBytesLimit) + " (1 GiB), not " +
                                  std::to_string(value));
    }
    options.max_response_bytes = value;
  }
}

Value effective_parameters(const Value& named, const ClientOptions& options,
                           const std::string& provider) {
  Value parameters = Value::object();
  parameters["provider"] = provider;
  for (const char* name : {"azure_endpoint", "azure_deployment", "base_url", "model"}) {
    if (named.contains(name)) parameters[name] = named.at(name);
  }
  if (options.provider == Provider::azure) {
    const bool given = named.contains("api_version") &&
                       !named.at("api_version").get_ref<const std::string&>().empty();
    parameters["api_version"] =
        given ? named.at("api_version").get<std::string>() : std::string(kDefaultAzureApiVersion);
  }
  parameters["max_tokens"] = options.max_tokens;
  parameters["temperature"] = options.temperature;
  parameters["model_kwargs"] = options.model_kwargs;
  parameters["max_retries"] = options.max_retries;
  parameters["timeout"] = options.timeout_ms / 1000.0;
  parameters["connect_timeout"] = options.connect_timeout_ms / 1000.0;
  parameters["retry_base_delay"] = options.retry_base_delay;
  parameters["schema_in_prompt"] = options.schema_in_prompt;
  parameters["max_response_bytes"] = options.max_response_bytes;
  return parameters;
}

}  // namespace

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

ClientOptions parse_client_options(const Value& named) {
  check_names_and_kinds(named);
  ClientOptions options;
  std::string provider;
  read_connection(named, options, provider);
  read_limits(named, options);
  options.parameters = effective_parameters(named, options, provider);
  return options;
}

}  // namespace chat_model::detail
