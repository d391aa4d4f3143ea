#include <atomic>
#include <cstdlib>
#include <iostream>
#include <mutex>

#include "internal.hpp"

namespace dbtool {
namespace {

std::optional<std::string> environment_text(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

DatabaseSettings settings_from_environment() {
  DatabaseSettings settings;
  settings.db_user = environment_text("db_user").value_or("root");
  settings.db_password = environment_text("db_password").value_or("tqzn");
  settings.db_host = environment_text("db_host");
  settings.db_name = environment_text("db_name");
  settings.db_port = 3306;
  return settings;
}

// The process-wide settings. The lock only keeps a reader from seeing half of a replacement; the
// values themselves are plain data.
struct SettingsStore {
  std::mutex mutex;
  DatabaseSettings current = settings_from_environment();
};

// Initialised when the library is loaded: the environment is read exactly once, then.
SettingsStore g_store;

std::atomic<std::int64_t> g_connect_timeout_seconds{10};

}  // namespace

DatabaseSettings database_settings() {
  std::lock_guard lock(g_store.mutex);
  return g_store.current;
}

void set_database_config(const std::optional<std::string>& name,
                         const std::optional<std::string>& user,
                         const std::optional<std::string>& password,
                         const std::optional<std::string>& host, const Value& port) {
  // Any integer the value model holds (signed or unsigned 64 bits) is stored as it is.
  if (!name || !user || !password || !host || !port.is_number_integer()) {
    throw std::invalid_argument("All parameters must be provided and 'port' must be an integer.");
  }
  std::lock_guard lock(g_store.mutex);
  g_store.current.db_name = *name;
  g_store.current.db_user = *user;
  g_store.current.db_password = *password;
  g_store.current.db_host = *host;
  g_store.current.db_port = port;
}

std::vector<std::string> check_db_config_variables() {
  const DatabaseSettings settings = database_settings();
  auto invalid_text = [](const std::optional<std::string>& value) {
    return !value.has_value() || value->empty();
  };
  std::vector<std::string> invalid_vars;
  if (invalid_text(settings.db_name)) invalid_vars.push_back("db_name");
  if (settings.db_user.empty()) invalid_vars.push_back("db_user");
  if (settings.db_password.empty()) invalid_vars.push_back("db_password");
  if (invalid_text(settings.db_host)) invalid_vars.push_back("db_host");
  // db_port is an integer and so never the empty text.

  if (invalid_vars.empty()) {
    detail::print_line("All configuration variables are set correctly.");
  } else {
    std::string line = "The following configuration variables are invalid:";
    for (std::size_t i = 0; i < invalid_vars.size(); ++i) {
      line += (i == 0 ? " " : ", ");
      line += invalid_vars[i];
    }
    detail::print_line(line);
  }
  return invalid_vars;
}

void set_connect_timeout(std::chrono::seconds timeout) {
  if (timeout < std::chrono::seconds(2)) {
    throw std::invalid_argument("connect timeout must be at least 2 seconds, got " +
                                std::to_string(timeout.count()));
  }
  g_connect_timeout_seconds.store(timeout.count());
}

std::chrono::seconds connect_timeout() {
  return std::chrono::seconds(g_connect_timeout_seconds.load());
}

}  // namespace dbtool
