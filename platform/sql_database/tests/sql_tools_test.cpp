#include "sql_database/sql_tools.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "chat_model/errors.hpp"
#include "test_databases.hpp"
#include "test_support/fake_chat_server.hpp"

namespace sql_database {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(SqlTools, CodeFencesAreRemoved) {
  const std::pair<std::string, std::string> cases[] = {
      {"SELECT 1", "SELECT 1"},
      {"  SELECT 1\n", "SELECT 1"},
      {"```sql\nSELECT a\nFROM t\n```", "SELECT a\nFROM t"},
      {"```\nSELECT 1\n```", "SELECT 1"},
      {"```SQL\nSELECT 1;\n```\n", "SELECT 1;"},
      {"```sql SELECT 1```", "SELECT 1"},
      {"Here it is:\n```sql\nSELECT 2\n```\nDone.", "SELECT 2"},
      {"```sql\nSELECT 3", "SELECT 3"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(strip_code_fence(in), out) << in;
}

class CheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string skip;
    db_ = testing::make_test_database("sqlite", skip);
    db_->exec("CREATE TABLE t (a INTEGER)");
  }
  std::unique_ptr<testing::TestDatabase> db_;
  test_support::FakeChatServer server_;
};

TEST_F(CheckerTest, AnEmptyAnswerKeepsTheOriginalQuery) {
  chat_model::AzureChatOpenAI llm(server_.azure_settings(), state_graph::Value{{"max_retries", 0}});
  const QuerySQLCheckerTool checker(db_->open(), llm);
  server_.push_json_answer({{"sql_query", "```sql\n```"}});
  EXPECT_EQ(checker._run("  SELECT a FROM t\n"), "SELECT a FROM t");
  // The query reaches the model unchanged, braces and all.
  server_.push_json_answer({{"sql_query", "SELECT '{dialect}'"}});
  EXPECT_EQ(checker._run("SELECT '{dialect}'"), "SELECT '{dialect}'");
  EXPECT_THAT(server_.last_request().last_message_content(),
              HasSubstr("Query:\nSELECT '{dialect}'"));
}

TEST_F(CheckerTest, ModelFailuresPropagate) {
  chat_model::AzureChatOpenAI llm(server_.azure_settings(), state_graph::Value{{"max_retries", 0}});
  const QuerySQLCheckerTool checker(db_->open(), llm);
  server_.push(test_support::Reply::error(400, "bad_request", "the service says no"));
  EXPECT_THROW(checker._run("SELECT 1"), chat_model::ModelError);
  server_.push_json_answer({{"wrong_field", "SELECT 1"}});
  EXPECT_THROW(checker._run("SELECT 1"), chat_model::ModelError);
}

TEST(SqlTools, InfoResolvesQuotedAndCasedNames) {
  std::string skip;
  auto db = testing::make_test_database("sqlite", skip);
  db->exec_all({"CREATE TABLE Orders (id INTEGER)", "CREATE TABLE orders_archive (id INTEGER)",
                "CREATE TABLE \"Mixed\" (x)", "CREATE TABLE mixed2 (x)"});
  const InfoSQLDatabaseTool info(db->open());
  const std::string orders = info._run("Orders");
  EXPECT_THAT(orders, StartsWith("CREATE TABLE Orders"));
  EXPECT_EQ(info._run("orders"), orders);
  EXPECT_EQ(info._run("\"Orders\""), orders);
  EXPECT_EQ(info._run("`orders`"), orders);
  EXPECT_EQ(info._run("[Orders]"), orders);
  EXPECT_THAT(info._run("order"), StartsWith("Unknown table: order. Valid table names: Mixed, "
                                             "Orders, mixed2, orders_archive."));
}

}  // namespace
}  // namespace sql_database
