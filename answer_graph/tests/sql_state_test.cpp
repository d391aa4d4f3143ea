#include "answer_graph/sql_state.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace answer_graph {
namespace {

using state_graph::MergeRule;
using state_graph::Value;

TEST(SQLState, DeclaresTheFieldsInOrderWithTheirRules) {
  const auto& fields = SQLState::schema()->fields();
  ASSERT_EQ(fields.size(), 25u);
  std::vector<std::string> names;
  for (const auto& f : fields) names.push_back(f.name);
  EXPECT_EQ(names.front(), "user_question");
  EXPECT_EQ(names.back(), "pandas_generation_prompt_type");
  std::vector<std::string> appended, added;
  for (const auto& f : fields) {
    if (f.rule == MergeRule::append) appended.push_back(f.name);
    if (f.rule == MergeRule::add) added.push_back(f.name);
  }
  EXPECT_EQ(appended, (std::vector<std::string>{"follow_up_question", "generated_sql_query",
                                                "execution_error", "sql_execution_result"}));
  EXPECT_EQ(added, (std::vector<std::string>{"iteration_count", "iteration_count_pandas"}));
}

TEST(SQLState, MergesAsTheRunExpects) {
  auto s = SQLState::make();
  EXPECT_EQ(s.get("iteration_count_pandas"), 0) << "an unwritten counter reads 0";
  EXPECT_THROW((void)s.get("user_question"), state_graph::MissingFieldError);

  s.merge(Value{{"generated_sql_query", {"SELECT 1"}},
                {"sql_execution_result", {"[(1,)]"}},
                {"iteration_count", 4}});
  s.merge(Value{{"generated_sql_query", {"SELECT 2"}}, {"iteration_count", 1}});
  s.merge(Value::object());
  EXPECT_EQ(s.get("generated_sql_query"), (Value{"SELECT 1", "SELECT 2"}));
  EXPECT_EQ(s.get("sql_execution_result"), (Value{"[(1,)]"}));
  EXPECT_EQ(s.get("iteration_count"), 5);
  s.merge(Value{{"iteration_count", 0}});
  EXPECT_EQ(s.get("iteration_count"), 5);
}

}  // namespace
}  // namespace answer_graph
