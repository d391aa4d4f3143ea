#include <gtest/gtest.h>

#include "dbtool/dbtool.hpp"
#include "dbtool_test.hpp"
#include "test_support/process.hpp"

namespace {

using dbtool::Value;
using dbtool_test::captured_stdout;

struct EnvironmentCase {
  const char* label;
  std::vector<std::string> environment;
  Value settings;  // as the library read them at load
  std::string check_line;
  Value invalid;
};

class SettingsFromEnvironment : public testing::TestWithParam<EnvironmentCase> {};

// Each case is a fresh process, since the environment is read once, at load.
TEST_P(SettingsFromEnvironment, ReadAtLoadAndCheckedExactly) {
  const EnvironmentCase& c = GetParam();
  test_support::ProcessOptions options;
  options.clean_env = true;
  for (const std::string& entry : c.environment) {
    const auto eq = entry.find('=');
    options.env[entry.substr(0, eq)] = eq == std::string::npos ? "" : entry.substr(eq + 1);
  }
  const test_support::ProcessResult probe =
      test_support::run_process({DBTOOL_SETTINGS_PROBE}, options);
  ASSERT_EQ(probe.exit_code, 0) << probe.out << probe.err;
  const std::string& output = probe.out;
  const std::string expected = c.settings.dump() + "\n" + c.check_line + "\n" + c.invalid.dump() +
                               "\n" + c.settings.dump() + "\n";
  EXPECT_EQ(output, expected);
}

Value settings(Value name, Value user, Value password, Value host) {
  return Value{{"db_name", name},
               {"db_user", user},
               {"db_password", password},
               {"db_host", host},
               {"db_port", 3306}};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsFromEnvironment,
    testing::Values(
        EnvironmentCase{"none",
                        {"PATH=/usr/bin:/bin"},
                        settings(nullptr, "root", "tqzn", nullptr),
                        "The following configuration variables are invalid: db_name, db_host",
                        Value{"db_name", "db_host"}},
        EnvironmentCase{"empty_host",
                        {"db_host=", "db_name=shop"},
                        settings("shop", "root", "tqzn", ""),
                        "The following configuration variables are invalid: db_host",
                        Value{"db_host"}},
        EnvironmentCase{"all_set",
                        {"db_user=ann", "db_password=pw", "db_host=db.example", "db_name=shop"},
                        settings("shop", "ann", "pw", "db.example"),
                        "All configuration variables are set correctly.",
                        Value::array()},
        EnvironmentCase{"empty_user_and_password",
                        {"db_user=", "db_password=", "db_host=h", "db_name="},
                        settings("", "", "", "h"),
                        "The following configuration variables are invalid: db_name, db_user, "
                        "db_password",
                        Value{"db_name", "db_user", "db_password"}},
        EnvironmentCase{"blanks_and_null_are_values",
                        {"db_user=  ", "db_password=null", "db_host= ", "db_name=None"},
                        settings("None", "  ", "null", " "),
                        "All configuration variables are set correctly.",
                        Value::array()},
        EnvironmentCase{"upper_case_names_are_other_variables",
                        {"DB_USER=ann", "DB_HOST=h", "DB_NAME=n"},
                        settings(nullptr, "root", "tqzn", nullptr),
                        "The following configuration variables are invalid: db_name, db_host",
                        Value{"db_name", "db_host"}}),
    [](const testing::TestParamInfo<EnvironmentCase>& param_info) {
      return param_info.param.label;
    });

// ---------------------------------------------------------------------------------------------

const char* const kRejection = "All parameters must be provided and 'port' must be an integer.";

void configure(const std::string& name, const std::string& user, const std::string& password,
               const std::string& host, std::int64_t port) {
  dbtool::set_database_config(name, user, password, host, Value(port));
}

std::string settings_text() {
  const dbtool::DatabaseSettings s = dbtool::database_settings();
  return s.db_name.value_or("<absent>") + "|" + s.db_user + "|" + s.db_password + "|" +
         s.db_host.value_or("<absent>") + "|" + s.db_port.dump();
}

TEST(SetDatabaseConfig, RejectsAbsentTextsAndNonIntegerPortsChangingNothing) {
  configure("shop", "ann", "pw", "h", 5432);
  const std::string before = settings_text();
  const std::optional<std::string> some = "x";
  const std::optional<std::string> none;
  struct Case {
    const char* label;
    std::optional<std::string> name, user, password, host;
    Value port;
  };
  const std::vector<Case> cases = {
      {"absent name", none, some, some, some, 1},
      {"absent user", some, none, some, some, 1},
      {"absent password", some, some, none, some, 1},
      {"absent host", some, some, some, none, 1},
      {"absent port", some, some, some, some, Value()},
      {"port as text", some, some, some, some, "3306"},
      {"port as float", some, some, some, some, 3306.0},
      {"port as boolean", some, some, some, some, true},
      {"port as list", some, some, some, some, Value::array({3306})},
      {"port beyond 64 bits", some, some, some, some, Value::parse("18446744073709551616")},
  };
  for (const Case& c : cases) {
    try {
      dbtool::set_database_config(c.name, c.user, c.password, c.host, c.port);
      ADD_FAILURE() << c.label << ": accepted";
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), kRejection) << c.label;
    }
    EXPECT_EQ(settings_text(), before) << c.label;
  }
}

TEST(SetDatabaseConfig, StoresEmptyTextsAndAnyIntegerPort) {
  configure("", "u", "p", "h", 0);
  EXPECT_EQ(settings_text(), "|u|p|h|0");
  std::vector<std::string> invalid;
  EXPECT_EQ(captured_stdout([&] { invalid = dbtool::check_db_config_variables(); }),
            "The following configuration variables are invalid: db_name\n");
  EXPECT_EQ(invalid, std::vector<std::string>{"db_name"});

  dbtool::set_database_config("n", "u", "p", "h", Value(std::uint64_t{70000}));
  EXPECT_EQ(settings_text(), "n|u|p|h|70000");
  dbtool::set_database_config("n", "u", "p", "h", Value(-1));
  EXPECT_EQ(settings_text(), "n|u|p|h|-1");
  // Integers past the signed 64-bit range are kept unchanged, and stay unsigned.
  for (const std::uint64_t port : {std::uint64_t{1} << 63, ~std::uint64_t{0}}) {
    dbtool::set_database_config("n", "u", "p", "h", Value(port));
    const Value stored = dbtool::database_settings().db_port;
    EXPECT_TRUE(stored.is_number_unsigned());
    EXPECT_EQ(stored.get<std::uint64_t>(), port);
    EXPECT_EQ(settings_text(), "n|u|p|h|" + std::to_string(port));
  }

  EXPECT_EQ(captured_stdout([&] { invalid = dbtool::check_db_config_variables(); }),
            "All configuration variables are set correctly.\n");
  EXPECT_TRUE(invalid.empty());

  configure("", "", "", "", 1);
  EXPECT_EQ(captured_stdout([&] { invalid = dbtool::check_db_config_variables(); }),
            "The following configuration variables are invalid: db_name, db_user, db_password, "
            "db_host\n");
  EXPECT_EQ(invalid, (std::vector<std::string>{"db_name", "db_user", "db_password", "db_host"}));
}

TEST(SetDatabaseConfig, AStoredPortBeyondAnyClientReachesTheClientsUnchanged) {
  dbtool::set_database_config("shop", "u", "p", "127.0.0.1", Value(~std::uint64_t{0}));
  std::optional<Value> result;
  EXPECT_EQ(captured_stdout([&] { result = dbtool::execute_mysql_query("SELECT 1"); }),
            "Failed to connect to the database: invalid port number 18446744073709551615 (a port "
            "is between 0 and 65535)\n");
  EXPECT_FALSE(result.has_value());
  const std::string pg_line =
      captured_stdout([&] { result = dbtool::execute_pgdb_query("SELECT 1"); });
  EXPECT_NE(pg_line.find("18446744073709551615"), std::string::npos) << pg_line;
  EXPECT_EQ(pg_line.rfind("The error '", 0), 0u) << pg_line;
  EXPECT_FALSE(result.has_value());
}

TEST(ConnectTimeout, RejectsValuesBelowTwoSeconds) {
  const auto before = dbtool::connect_timeout();
  EXPECT_THROW(dbtool::set_connect_timeout(std::chrono::seconds(1)), std::invalid_argument);
  EXPECT_EQ(dbtool::connect_timeout(), before);
  dbtool::set_connect_timeout(std::chrono::seconds(7));
  EXPECT_EQ(dbtool::connect_timeout(), std::chrono::seconds(7));
  dbtool::set_connect_timeout(before);
}

}  // namespace
