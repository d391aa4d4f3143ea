// The SQL checker against each of the three databases, with the scripted chat server as the model.

#include "sql_database/query_checker.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "chat_model/errors.hpp"
#include "test_support/fake_chat_server.hpp"
#include "test_support/test_database.hpp"

namespace sql_database {
namespace {

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;

TEST(QueryChecker, CodeFencesAreRemoved) {
  const std::pair<std::string, std::string> cases[] = {
      {"SELECT 1", "SELECT 1"},
      {"  SELECT 1\n", "SELECT 1"},
      {"```sql\nSELECT a\nFROM t\n```", "SELECT a\nFROM t"},
      {"```\nSELECT 1\n```", "SELECT 1"},
      {"```SQL\nSELECT 1;\n```\n", "SELECT 1;"},
      {"```sql SELECT 1```", "SELECT 1"},
      {"```SQL SELECT 1```", "SELECT 1"},
      {"```SELECT 1```", "SELECT 1"},
      {"Here it is:\n```sql\nSELECT 2\n```\nDone.", "SELECT 2"},
      {"```sql\nSELECT 3", "SELECT 3"},
      {"```sql\nSELECT 4\n```\nor\n```sql\nSELECT 5\n```", "SELECT 4"},
      {"```sql\n```", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(strip_code_fence(in), out) << in;
}

class QueryCheckerTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    std::string skip;
    db_ = test_support::make_test_database(GetParam(), skip);
    if (!db_) GTEST_SKIP() << skip;
    db_->exec("CREATE TABLE items (id INTEGER)");
  }
  const std::string& dialect() const { return db_->dialect(); }

  std::unique_ptr<test_support::TestDatabase> db_;
  test_support::FakeChatServer server_;
};

std::string param_name(const ::testing::TestParamInfo<std::string>& info) { return info.param; }

INSTANTIATE_TEST_SUITE_P(Databases, QueryCheckerTest,
                         ::testing::Values("sqlite", "postgresql", "mysql"), param_name);

TEST_P(QueryCheckerTest, AsksTheModelInTheDialectAndReturnsItsSql) {
  chat_model::AzureChatOpenAI llm(server_.azure_settings(),
                                  state_graph::Value{{"max_tokens", 256}});
  const QuerySQLCheckerTool checker(db_->open(), llm);

  server_.push_json_answer({{"sql_query", "```sql\nSELECT id FROM items WHERE id = 1\n```"}});
  EXPECT_EQ(checker._run("SELECT id FROM items WHERE id == 1"),
            "SELECT id FROM items WHERE id = 1");
  const auto request = server_.last_request();
  EXPECT_EQ(request.schema_name(), "CheckedSQLQuery");
  const auto messages = request.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0]["role"], "system");
  EXPECT_THAT(messages[0]["content"].get<std::string>(), HasSubstr(dialect()));
  EXPECT_THAT(messages[1]["content"].get<std::string>(),
              AllOf(HasSubstr(dialect()), EndsWith("Query:\nSELECT id FROM items WHERE id == 1")));
  // messages() is what was sent.
  const auto built = checker.messages("SELECT id FROM items WHERE id == 1");
  ASSERT_EQ(built.size(), 2u);
  for (std::size_t i = 0; i < built.size(); ++i) {
    EXPECT_EQ(built[i].role, messages[i]["role"]);
    EXPECT_EQ(built[i].content, messages[i]["content"]);
  }

  server_.push_json_answer({{"sql_query", "SELECT 2"}});
  EXPECT_EQ(checker._run("SELECT 2"), "SELECT 2");
}

TEST_P(QueryCheckerTest, AnEmptyAnswerKeepsTheOriginalQuery) {
  chat_model::AzureChatOpenAI llm(server_.azure_settings(), state_graph::Value{{"max_retries", 0}});
  const QuerySQLCheckerTool checker(db_->open(), llm);
  server_.push_json_answer({{"sql_query", "```sql\n```"}});
  EXPECT_EQ(checker._run("  SELECT id FROM items\n"), "SELECT id FROM items");
  // The query reaches the model unchanged, braces and all.
  server_.push_json_answer({{"sql_query", "SELECT '{dialect}'"}});
  EXPECT_EQ(checker._run("SELECT '{dialect}'"), "SELECT '{dialect}'");
  EXPECT_THAT(server_.last_request().last_message_content(),
              HasSubstr("Query:\nSELECT '{dialect}'"));
}

TEST_P(QueryCheckerTest, ModelFailuresPropagate) {
  chat_model::AzureChatOpenAI llm(server_.azure_settings(), state_graph::Value{{"max_retries", 0}});
  const QuerySQLCheckerTool checker(db_->open(), llm);
  server_.push(test_support::Reply::error(400, "bad_request", "the service says no"));
  EXPECT_THROW(checker._run("SELECT 1"), chat_model::ModelError);
  server_.push_json_answer({{"wrong_field", "SELECT 1"}});
  EXPECT_THROW(checker._run("SELECT 1"), chat_model::ModelError);
}

}  // namespace
}  // namespace sql_database
