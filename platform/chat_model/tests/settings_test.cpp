#include "chat_model/settings.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "chat_model/errors.hpp"
#include "model_environment.hpp"

namespace chat_model {
namespace {

using ::testing::HasSubstr;

void set_azure(ModelEnvironment& env) {
  env.set("AZURE_OPENAI_ENDPOINT", "https://example.openai.azure.com");
  env.set("AZURE_OPENAI_API_KEY", "key-1");
  env.set("AZURE_OPENAI_CHAT35_DEPLOYMENT", "gpt-35");
  env.set("AZURE_OPENAI_CHAT4_DEPLOYMENT", "gpt-4o");
}

TEST(SettingsTest, AzureFieldsComeFromTheEnvironmentWithTheDefaultApiVersion) {
  ModelEnvironment env;
  set_azure(env);
  EXPECT_EQ(AzureOpenAIChat35().fields().dump(),
            Value::parse(R"({"provider": "azure", "azure_endpoint":
              "https://example.openai.azure.com", "api_key": "key-1", "api_version": "2024-10-21",
              "azure_deployment": "gpt-35"})")
                .dump());
  env.set("OPENAI_API_VERSION", "2025-01-01-preview");
  env.set("ASKDB_CHAT_MAX_RETRIES", "5");
  env.set("ASKDB_CHAT_TIMEOUT_SECONDS", "30.5");
  env.set("ASKDB_CHAT_SCHEMA_IN_PROMPT", "true");
  const Value fields = AzureOpenAIChat4().fields();
  EXPECT_EQ(fields["azure_deployment"], "gpt-4o");
  EXPECT_EQ(fields["api_version"], "2025-01-01-preview");
  EXPECT_EQ(fields["max_retries"], 5);
  EXPECT_EQ(fields["timeout"], 30.5);
  EXPECT_EQ(fields["schema_in_prompt"], true);
  EXPECT_FALSE(fields.contains("connect_timeout"));
}

TEST(SettingsTest, CompatibleFieldsComeFromTheEnvironment) {
  ModelEnvironment env;
  env.set("ASKDB_CHAT_PROVIDER", "openai_compatible");
  env.set("OPENAI_BASE_URL", "http://127.0.0.1:11434/v1");
  env.set("ASKDB_CHAT35_MODEL", "llama3.1");
  EXPECT_EQ(AzureOpenAIChat35().fields().dump(),
            Value::parse(R"({"provider": "openai_compatible", "base_url":
              "http://127.0.0.1:11434/v1", "api_key": "", "model": "llama3.1"})")
                .dump());
}

TEST(SettingsTest, AMissingOrMalformedSettingNamesTheVariableToSet) {
  struct Case {
    const char* description;
    std::function<void(ModelEnvironment&)> arrange;
    bool chat4;
    const char* variable;
  };
  const Case cases[] = {
      {"no endpoint",
       [](ModelEnvironment& e) {
         set_azure(e);
         e.unset("AZURE_OPENAI_ENDPOINT");
       },
       false, "set the environment variable AZURE_OPENAI_ENDPOINT"},
      {"empty key",
       [](ModelEnvironment& e) {
         set_azure(e);
         e.set("AZURE_OPENAI_API_KEY", "");
       },
       false, "set the environment variable AZURE_OPENAI_API_KEY"},
      {"no 3.5 deployment",
       [](ModelEnvironment& e) {
         set_azure(e);
         e.unset("AZURE_OPENAI_CHAT35_DEPLOYMENT");
       },
       false, "set the environment variable AZURE_OPENAI_CHAT35_DEPLOYMENT"},
      {"no 4 deployment",
       [](ModelEnvironment& e) {
         set_azure(e);
         e.unset("AZURE_OPENAI_CHAT4_DEPLOYMENT");
       },
       true, "set the environment variable AZURE_OPENAI_CHAT4_DEPLOYMENT"},
      {"no base url",
       [](ModelEnvironment& e) { e.set("ASKDB_CHAT_PROVIDER", "openai_compatible"); }, false,
       "set the environment variable OPENAI_BASE_URL"},
      {"no model",
       [](ModelEnvironment& e) {
         e.set("ASKDB_CHAT_PROVIDER", "openai_compatible");
         e.set("OPENAI_BASE_URL", "http://127.0.0.1:1/v1");
         e.set("ASKDB_CHAT35_MODEL", "m");
       },
       true, "set the environment variable ASKDB_CHAT4_MODEL"},
      {"unknown provider", [](ModelEnvironment& e) { e.set("ASKDB_CHAT_PROVIDER", "acme"); }, false,
       "ASKDB_CHAT_PROVIDER must be 'azure' or 'openai_compatible', not 'acme'"},
      {"bad retries",
       [](ModelEnvironment& e) {
         set_azure(e);
         e.set("ASKDB_CHAT_MAX_RETRIES", "two");
       },
       false, "ASKDB_CHAT_MAX_RETRIES must be a whole number"},
      {"bad timeout",
       [](ModelEnvironment& e) {
         set_azure(e);
         e.set("ASKDB_CHAT_CONNECT_TIMEOUT_SECONDS", "-1");
       },
       false, "ASKDB_CHAT_CONNECT_TIMEOUT_SECONDS must be a positive number of seconds"},
  };
  for (const auto& c : cases) {
    ModelEnvironment env;
    c.arrange(env);
    try {
      if (c.chat4) {
        AzureOpenAIChat4 settings;
      } else {
        AzureOpenAIChat35 settings;
      }
      ADD_FAILURE() << c.description << ": no error";
    } catch (const SettingsError& error) {
      EXPECT_THAT(error.what(), HasSubstr(c.variable)) << c.description;
      EXPECT_THAT(error.what(), HasSubstr(c.chat4 ? "AzureOpenAIChat4: " : "AzureOpenAIChat35: "));
    }
  }
}

}  // namespace
}  // namespace chat_model
