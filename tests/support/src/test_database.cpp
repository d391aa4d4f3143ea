#include "test_support/test_database.hpp"

#include <libpq-fe.h>
#include <mysql.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "test_support/environment.hpp"

namespace test_support {
namespace {

using sql_database::CustomSQLDatabase;
using sql_database::DatabaseOptions;

class SqliteTestDatabase final : public TestDatabase {
 public:
  SqliteTestDatabase() {
    dialect_ = "sqlite";
    path_ = std::filesystem::temp_directory_path() / (unique_name("askdb_test_") + ".db");
    uri_ = "sqlite:///" + path_.string();
    if (sqlite3_open(path_.c_str(), &db_) != SQLITE_OK)
      throw std::runtime_error("cannot create " + path_.string());
  }
  ~SqliteTestDatabase() override {
    sqlite3_close(db_);
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  void exec_all(const std::vector<std::string>& statements) override {
    for (const auto& s : statements) {
      char* error = nullptr;
      if (sqlite3_exec(db_, s.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : "?";
        sqlite3_free(error);
        throw std::runtime_error("setup statement failed: " + s + ": " + message);
      }
    }
  }
  std::string scalar(const std::string& query) override {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, query.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
      throw std::runtime_error("check query failed: " + query + ": " + sqlite3_errmsg(db_));
    std::string out;
    if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr)
      out = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    return out;
  }

 private:
  std::filesystem::path path_;
  sqlite3* db_ = nullptr;
};

class PostgresTestDatabase final : public TestDatabase {
 public:
  explicit PostgresTestDatabase(const std::string& server_uri) {
    dialect_ = "postgresql";
    uri_ = server_uri;
    schema_ = unique_name("askdb_test_");
    options_.schema = schema_;
    conn_ = PQconnectdb(server_uri.c_str());
    if (PQstatus(conn_) != CONNECTION_OK)
      throw std::runtime_error(std::string("cannot connect to ") + server_uri + ": " +
                               PQerrorMessage(conn_));
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    exec_all({"CREATE SCHEMA " + schema_, "SET search_path = " + schema_});
  }
  ~PostgresTestDatabase() override {
    PGresult* res = PQexec(conn_, ("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE").c_str());
    PQclear(res);
    PQfinish(conn_);
  }
  void exec_all(const std::vector<std::string>& statements) override {
    for (const auto& s : statements) {
      PGresult* res = PQexec(conn_, s.c_str());
      const auto status = PQresultStatus(res);
      std::string message = PQresultErrorMessage(res);
      PQclear(res);
      if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error("setup statement failed: " + s + ": " + message);
    }
  }
  std::string scalar(const std::string& query) override {
    PGresult* res = PQexec(conn_, query.c_str());
    if (PQresultStatus(res) != PGRES_TUPLES_OK) {
      std::string message = PQresultErrorMessage(res);
      PQclear(res);
      throw std::runtime_error("check query failed: " + query + ": " + message);
    }
    std::string out = PQntuples(res) > 0 ? PQgetvalue(res, 0, 0) : "";
    PQclear(res);
    return out;
  }

 private:
  std::string schema_;
  PGconn* conn_ = nullptr;
};

class MysqlTestDatabase final : public TestDatabase {
 public:
  explicit MysqlTestDatabase(const ServerAddress& server) {
    dialect_ = "mysql";
    database_ = unique_name("askdb_test_");
    conn_ = mysql_init(nullptr);
    unsigned int protocol = MYSQL_PROTOCOL_TCP;
    mysql_options(conn_, MYSQL_OPT_PROTOCOL, &protocol);
    mysql_options(conn_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (!mysql_real_connect(conn_, server.host.c_str(), server.user.c_str(),
                            server.password.c_str(), server.database.c_str(),
                            static_cast<unsigned>(server.port ? server.port : 3306), nullptr, 0))
      throw std::runtime_error("cannot connect to " + server.uri + ": " + mysql_error(conn_));
    exec_all({"CREATE DATABASE " + database_ + " CHARACTER SET utf8mb4", "USE " + database_});
    uri_ = "mysql://" + server.user + ":" + server.password + "@" + server.host + ":" +
           std::to_string(server.port ? server.port : 3306) + "/" + database_;
  }
  ~MysqlTestDatabase() override {
    const std::string drop = "DROP DATABASE IF EXISTS " + database_;
    mysql_real_query(conn_, drop.data(), drop.size());
    mysql_close(conn_);
  }
  void exec_all(const std::vector<std::string>& statements) override {
    for (const auto& s : statements) {
      if (mysql_real_query(conn_, s.data(), s.size()) != 0)
        throw std::runtime_error("setup statement failed: " + s + ": " + mysql_error(conn_));
      if (MYSQL_RES* res = mysql_store_result(conn_)) mysql_free_result(res);
    }
  }
  std::string scalar(const std::string& query) override {
    if (mysql_real_query(conn_, query.data(), query.size()) != 0)
      throw std::runtime_error("check query failed: " + query + ": " + mysql_error(conn_));
    MYSQL_RES* res = mysql_store_result(conn_);
    std::string out;
    if (res != nullptr) {
      if (MYSQL_ROW row = mysql_fetch_row(res); row != nullptr && row[0] != nullptr) out = row[0];
      mysql_free_result(res);
    }
    return out;
  }

 private:
  std::string database_;
  MYSQL* conn_ = nullptr;
};

}  // namespace

CustomSQLDatabase TestDatabase::open(DatabaseOptions options) const {
  if (options.schema.empty()) options.schema = options_.schema;
  return CustomSQLDatabase::from_uri(uri_, std::move(options));
}

std::unique_ptr<TestDatabase> make_test_database(const std::string& dialect,
                                                 std::string& skip_reason) {
  if (dialect == "sqlite") return std::make_unique<SqliteTestDatabase>();
  if (dialect != "postgresql" && dialect != "mysql") {
    throw std::invalid_argument("make_test_database: the dialect must be sqlite, postgresql or " +
                                std::string("mysql, not '") + dialect + "'");
  }
  const char* variable = dialect == "postgresql" ? kPostgresUriVariable : kMysqlUriVariable;
  const std::optional<ServerAddress> server = server_from_environment(variable);
  if (!server) {
    skip_reason = missing_server_message(variable);
    return nullptr;
  }
  if (dialect == "postgresql") return std::make_unique<PostgresTestDatabase>(server->uri);
  return std::make_unique<MysqlTestDatabase>(*server);
}

}  // namespace test_support
