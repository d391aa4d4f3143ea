#pragma once

#include <nlohmann/json.hpp>

#include "chat_model/export.hpp"
#include "state_graph/value.hpp"

namespace chat_model {

using state_graph::Value;

// The API version used for Azure deployments when OPENAI_API_VERSION is not set: the first
// generally available version that accepts `response_format` of type "json_schema".
inline constexpr const char* kDefaultAzureApiVersion = "2024-10-21";

// Model settings read from the environment. The field map (`fields()`) is what a client is built
// from: every entry is handed to AzureChatOpenAI as a named parameter.
//
// Environment variables (an empty value counts as unset):
//
//   ASKDB_CHAT_PROVIDER                  "azure" (default) or "openai_compatible".
//
//   Provider "azure" (Azure OpenAI deployments; POST
//   {endpoint}/openai/deployments/{deployment}/chat/completions?api-version={version}, header
//   `api-key`):
//   AZURE_OPENAI_ENDPOINT                required, e.g. https://my-resource.openai.azure.com
//   AZURE_OPENAI_API_KEY                 required
//   OPENAI_API_VERSION                   optional, default 2024-10-21
//   AZURE_OPENAI_CHAT35_DEPLOYMENT       required by AzureOpenAIChat35: the deployment name
//   AZURE_OPENAI_CHAT4_DEPLOYMENT        required by AzureOpenAIChat4: the deployment name
//
//   Provider "openai_compatible" (any server speaking the chat-completions protocol, e.g.
//   Ollama, vLLM or llama.cpp's server; POST {base_url}/chat/completions, header
//   `Authorization: Bearer {key}` when a key is set):
//   OPENAI_BASE_URL                      required, e.g. http://127.0.0.1:11434/v1
//   OPENAI_API_KEY                       optional (local servers usually need none)
//   ASKDB_CHAT35_MODEL                   required by AzureOpenAIChat35: the model name
//   ASKDB_CHAT4_MODEL                    required by AzureOpenAIChat4: the model name
//
//   Either provider, optional (entered in the field map only when set):
//   ASKDB_CHAT_MAX_RETRIES               retries of transient failures, default 2
//   ASKDB_CHAT_TIMEOUT_SECONDS           whole-request timeout, default 120
//   ASKDB_CHAT_CONNECT_TIMEOUT_SECONDS   connection set-up timeout, default 10
//   ASKDB_CHAT_SCHEMA_IN_PROMPT          "1"/"true": also append the JSON Schema of a structured
//                                        call to the last message, for servers that ignore
//                                        `response_format` (default off)
//
// Field map keys: provider, azure_endpoint, api_key, api_version, azure_deployment (azure);
// provider, base_url, api_key, model (openai_compatible); max_retries, timeout,
// connect_timeout, schema_in_prompt when their variables are set.
//
// Immutable once built; safe to share between threads.
class CHAT_MODEL_EXPORT ChatModelSettings {
 public:
  virtual ~ChatModelSettings() = default;

  // Every setting as a named parameter for AzureChatOpenAI, in a fixed order.
  const Value& fields() const noexcept { return fields_; }

 protected:
  // Reads the environment; `model_key` is "CHAT35" or "CHAT4" and selects the per-model
  // variables. Throws SettingsError naming the variable to set.
  ChatModelSettings(const char* class_name, const char* model_key);
  // Takes the field map as given (no environment is read). Throws std::invalid_argument when
  // `fields` is not an object.
  ChatModelSettings(const char* class_name, Value fields);

 private:
  Value fields_;
};

// Settings of the smaller, faster model (used for table picking, analysis code and answers).
class CHAT_MODEL_EXPORT AzureOpenAIChat35 : public ChatModelSettings {
 public:
  AzureOpenAIChat35();
  explicit AzureOpenAIChat35(Value fields);
};

// Settings of the stronger model (used for SQL generation).
class CHAT_MODEL_EXPORT AzureOpenAIChat4 : public ChatModelSettings {
 public:
  AzureOpenAIChat4();
  explicit AzureOpenAIChat4(Value fields);
};

}  // namespace chat_model
