// Prints the settings as the library read them at load, runs the check, then changes the
// environment and prints the settings again (they must not change).

#include <cstdlib>
#include <iostream>

#include "dbtool/dbtool.hpp"

namespace {

void print_settings() {
  const dbtool::DatabaseSettings s = dbtool::database_settings();
  dbtool::Value out = dbtool::Value::object();
  out["db_name"] = s.db_name ? dbtool::Value(*s.db_name) : dbtool::Value(nullptr);
  out["db_user"] = s.db_user;
  out["db_password"] = s.db_password;
  out["db_host"] = s.db_host ? dbtool::Value(*s.db_host) : dbtool::Value(nullptr);
  out["db_port"] = s.db_port;
  std::cout << out.dump() << std::endl;
}

}  // namespace

int main() {
  print_settings();
  const std::vector<std::string> invalid = dbtool::check_db_config_variables();
  std::cout << dbtool::Value(invalid).dump() << std::endl;
  setenv("db_user", "changed", 1);
  setenv("db_host", "changed", 1);
  print_settings();
  return 0;
}
