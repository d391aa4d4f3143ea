#pragma once

// Private databases for tests of code that reads databases (library test_databases).

#include <memory>
#include <string>
#include <vector>

#include "sql_database/custom_sql_database.hpp"

namespace test_support {

// A private, empty database of one kind for one test: a new SQLite file, a new PostgreSQL schema
// or a new MySQL database on the test servers. It is dropped again when the object goes.
// exec() and scalar() use a connection of their own that may write, for setting up and for
// checking that the wrapper changed nothing. Not for use from several threads at once.
class TestDatabase {
 public:
  TestDatabase() = default;
  virtual ~TestDatabase() = default;
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  const std::string& dialect() const noexcept { return dialect_; }
  // The URI and options sql_database::CustomSQLDatabase::from_uri needs to open this database.
  const std::string& uri() const noexcept { return uri_; }
  const sql_database::DatabaseOptions& options() const noexcept { return options_; }

  sql_database::CustomSQLDatabase open(sql_database::DatabaseOptions options) const;
  sql_database::CustomSQLDatabase open() const { return open(options_); }

  // Runs each statement in order; throws std::runtime_error naming the statement on a database
  // error.
  virtual void exec_all(const std::vector<std::string>& statements) = 0;
  void exec(const std::string& statement) { exec_all(std::vector<std::string>{statement}); }
  // First column of the first row as text ("" for NULL or no row).
  virtual std::string scalar(const std::string& query) = 0;

 protected:
  std::string dialect_;
  std::string uri_;
  sql_database::DatabaseOptions options_;
};

// `dialect` is "sqlite", "postgresql" or "mysql". The servers come from kPostgresUriVariable and
// kMysqlUriVariable (test_support/environment.hpp); returns nullptr and sets `skip_reason` to
// missing_server_message() when the variable for `dialect` is unset.
std::unique_ptr<TestDatabase> make_test_database(const std::string& dialect,
                                                 std::string& skip_reason);

}  // namespace test_support
