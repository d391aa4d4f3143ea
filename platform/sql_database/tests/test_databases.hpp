#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sql_database/custom_sql_database.hpp"

namespace sql_database::testing {

// A private, empty database of one kind for one test: a new SQLite file, a new PostgreSQL schema
// or a new MySQL database on the test servers. It is dropped again when the object goes.
// exec() and scalar() use a connection of their own that may write, for setting up and for
// checking that the wrapper changed nothing.
class TestDatabase {
 public:
  virtual ~TestDatabase() = default;

  const std::string& dialect() const noexcept { return dialect_; }
  // The URI and options CustomSQLDatabase::from_uri needs to open this database.
  const std::string& uri() const noexcept { return uri_; }
  const DatabaseOptions& options() const noexcept { return options_; }

  CustomSQLDatabase open(DatabaseOptions options) const;
  CustomSQLDatabase open() const { return open(options_); }

  // Runs each statement in order; fails the test (by exception) on a database error.
  virtual void exec_all(const std::vector<std::string>& statements) = 0;
  void exec(const std::string& statement) { exec_all(std::vector<std::string>{statement}); }
  // First column of the first row as text ("" for NULL or no row).
  virtual std::string scalar(const std::string& query) = 0;

 protected:
  std::string dialect_;
  std::string uri_;
  DatabaseOptions options_;
};

// The servers' URIs come from ASKDB_TEST_POSTGRES_URI and ASKDB_TEST_MYSQL_URI. Returns nullptr
// and sets `skip_reason` when the variable for `dialect` is unset.
std::unique_ptr<TestDatabase> make_test_database(const std::string& dialect,
                                                 std::string& skip_reason);

// A fresh unique lower-case name with the given prefix.
std::string unique_name(const std::string& prefix);

}  // namespace sql_database::testing
