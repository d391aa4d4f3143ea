#pragma once

// The client's named parameters, checked and turned into the settings of its requests.

#include <cstdint>
#include <string>
#include <vector>

#include "chat_model/client.hpp"

namespace chat_model::detail {

enum class Provider { azure, openai_compatible };

// Everything a client needs to make requests, read once from its named parameters.
struct ClientOptions {
  Provider provider = Provider::azure;
  std::string url;                   // where requests go
  std::vector<std::string> headers;  // "Name: value" lines, the credentials among them
  std::string model;                 // the request's "model" (openai_compatible only)
  int max_tokens = 4096;
  double temperature = 0;
  Value model_kwargs = Value::object();
  int max_retries = 2;
  long timeout_ms = 120000;
  long connect_timeout_ms = 10000;
  double retry_base_delay = 0.5;  // seconds
  bool schema_in_prompt = false;
  // A service (or something posing as one) must not make the client hold an unbounded body.
  std::int64_t max_response_bytes = 16 * 1024 * 1024;
  // The effective parameters as AzureChatOpenAI::parameters() shows them (no api_key).
  Value parameters;
};

// The settings fields and the further parameters as one set of named parameters. Throws
// std::invalid_argument when either is not an object or a name is given in both.
Value merge_parameters(const Value& settings_fields, const Value& parameters);

// Checks every named parameter (known name, kind, range, the connection settings the provider
// needs) and builds the request settings, URL included. Throws std::invalid_argument naming the
// parameter and what it must be.
ClientOptions parse_client_options(const Value& named);

}  // namespace chat_model::detail
