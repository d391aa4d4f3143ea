#pragma once

#include "test_support/environment.hpp"

// The environment of one test, with every variable the model settings read removed first so that
// the machine's own settings never leak in; everything is restored when it ends.
class ModelEnvironment : public test_support::ScopedEnvironment {
 public:
  ModelEnvironment()
      : ScopedEnvironment({"ASKDB_CHAT_PROVIDER", "AZURE_OPENAI_ENDPOINT", "AZURE_OPENAI_API_KEY",
                           "OPENAI_API_VERSION", "AZURE_OPENAI_CHAT35_DEPLOYMENT",
                           "AZURE_OPENAI_CHAT4_DEPLOYMENT", "OPENAI_BASE_URL", "OPENAI_API_KEY",
                           "ASKDB_CHAT35_MODEL", "ASKDB_CHAT4_MODEL", "ASKDB_CHAT_MAX_RETRIES",
                           "ASKDB_CHAT_TIMEOUT_SECONDS", "ASKDB_CHAT_CONNECT_TIMEOUT_SECONDS",
                           "ASKDB_CHAT_SCHEMA_IN_PROMPT"}) {}
};
