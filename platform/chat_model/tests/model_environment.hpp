#pragma once

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

// Sets environment variables for one test and restores the previous values afterwards. Every
// variable the model settings read is cleared first, so the machine's own settings never leak in.
class EnvGuard {
 public:
  EnvGuard() {
    for (const char* name :
         {"ASKDB_CHAT_PROVIDER", "AZURE_OPENAI_ENDPOINT", "AZURE_OPENAI_API_KEY",
          "OPENAI_API_VERSION", "AZURE_OPENAI_CHAT35_DEPLOYMENT", "AZURE_OPENAI_CHAT4_DEPLOYMENT",
          "OPENAI_BASE_URL", "OPENAI_API_KEY", "ASKDB_CHAT35_MODEL", "ASKDB_CHAT4_MODEL",
          "ASKDB_CHAT_MAX_RETRIES", "ASKDB_CHAT_TIMEOUT_SECONDS",
          "ASKDB_CHAT_CONNECT_TIMEOUT_SECONDS", "ASKDB_CHAT_SCHEMA_IN_PROMPT"}) {
      unset(name);
    }
  }
  ~EnvGuard() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

  void set(const std::string& name, const std::string& value) {
    save(name);
    setenv(name.c_str(), value.c_str(), 1);
  }
  void unset(const std::string& name) {
    save(name);
    unsetenv(name.c_str());
  }

 private:
  void save(const std::string& name) {
    if (saved_.count(name)) return;
    const char* value = std::getenv(name.c_str());
    saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
  }
  std::map<std::string, std::optional<std::string>> saved_;
};
