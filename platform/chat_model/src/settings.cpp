#include "chat_model/settings.hpp"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "chat_model/errors.hpp"

namespace chat_model {

namespace {

std::string env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value == nullptr ? std::string() : std::string(value);
}

std::string require(const std::string& class_name, const std::string& name,
                    const std::string& what) {
  std::string value = env(name);
  if (value.empty()) {
    throw SettingsError(class_name + ": " + what +
                        " is not configured: set the environment variable " + name);
  }
  return value;
}

double parse_seconds(const std::string& class_name, const std::string& name,
                     const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0' || !(value > 0)) {
    throw SettingsError(class_name + ": the environment variable " + name +
                        " must be a positive number of seconds, not '" + text + "'");
  }
  return value;
}

void read_common(const std::string& class_name, Value& fields) {
  if (std::string text = env("ASKDB_CHAT_MAX_RETRIES"); !text.empty()) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value < 0 || value > 100) {
      throw SettingsError(class_name +
                          ": the environment variable ASKDB_CHAT_MAX_RETRIES must be a whole "
                          "number from 0 to 100, not '" +
                          text + "'");
    }
    fields["max_retries"] = value;
  }
  if (std::string text = env("ASKDB_CHAT_TIMEOUT_SECONDS"); !text.empty()) {
    fields["timeout"] = parse_seconds(class_name, "ASKDB_CHAT_TIMEOUT_SECONDS", text);
  }
  if (std::string text = env("ASKDB_CHAT_CONNECT_TIMEOUT_SECONDS"); !text.empty()) {
    fields["connect_timeout"] =
        parse_seconds(class_name, "ASKDB_CHAT_CONNECT_TIMEOUT_SECONDS", text);
  }
  if (std::string text = env("ASKDB_CHAT_SCHEMA_IN_PROMPT"); !text.empty()) {
    if (text == "1" || text == "true" || text == "yes" || text == "on") {
      fields["schema_in_prompt"] = true;
    } else if (text == "0" || text == "false" || text == "no" || text == "off") {
      fields["schema_in_prompt"] = false;
    } else {
      throw SettingsError(class_name +
                          ": the environment variable ASKDB_CHAT_SCHEMA_IN_PROMPT must be 1 or 0 "
                          "(true or false), not '" +
                          text + "'");
    }
  }
}

}  // namespace

ChatModelSettings::ChatModelSettings(const char* class_name, const char* model_key)
    : fields_(Value::object()) {
  const std::string cls = class_name;
  const std::string key = model_key;
  std::string provider = env("ASKDB_CHAT_PROVIDER");
  if (provider.empty()) provider = "azure";
  if (provider == "azure") {
    fields_["provider"] = "azure";
    fields_["azure_endpoint"] = require(cls, "AZURE_OPENAI_ENDPOINT", "the Azure OpenAI endpoint");
    fields_["api_key"] = require(cls, "AZURE_OPENAI_API_KEY", "the Azure OpenAI API key");
    std::string version = env("OPENAI_API_VERSION");
    fields_["api_version"] = version.empty() ? std::string(kDefaultAzureApiVersion) : version;
    fields_["azure_deployment"] =
        require(cls, "AZURE_OPENAI_" + key + "_DEPLOYMENT", "the Azure OpenAI deployment");
  } else if (provider == "openai_compatible") {
    fields_["provider"] = "openai_compatible";
    fields_["base_url"] = require(cls, "OPENAI_BASE_URL", "the chat-completions base URL");
    fields_["api_key"] = env("OPENAI_API_KEY");
    fields_["model"] = require(cls, "ASKDB_" + key + "_MODEL", "the model name");
  } else {
    throw SettingsError(cls + ": the environment variable ASKDB_CHAT_PROVIDER must be 'azure' or " +
                        "'openai_compatible', not '" + provider + "'");
  }
  read_common(cls, fields_);
}

ChatModelSettings::ChatModelSettings(const char* class_name, Value fields)
    : fields_(std::move(fields)) {
  if (!fields_.is_object()) {
    throw std::invalid_argument(std::string(class_name) +
                                ": the settings fields must be an object, not " +
                                fields_.type_name());
  }
}

AzureOpenAIChat35::AzureOpenAIChat35() : ChatModelSettings("AzureOpenAIChat35", "CHAT35") {}
AzureOpenAIChat35::AzureOpenAIChat35(Value fields)
    : ChatModelSettings("AzureOpenAIChat35", std::move(fields)) {}

AzureOpenAIChat4::AzureOpenAIChat4() : ChatModelSettings("AzureOpenAIChat4", "CHAT4") {}
AzureOpenAIChat4::AzureOpenAIChat4(Value fields)
    : ChatModelSettings("AzureOpenAIChat4", std::move(fields)) {}

}  // namespace chat_model
