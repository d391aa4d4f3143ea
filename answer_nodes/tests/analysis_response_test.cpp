#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "analysis_support.hpp"
#include "answer_nodes/analysis_nodes.hpp"
#include "test_support/fake_chat_server.hpp"

namespace answer_nodes {
namespace {

using state_graph::MissingFieldError;
using state_graph::State;
using state_graph::Value;
using test_support::FakeChatServer;
using test_support::Reply;
using testing_support::LogLines;
using testing_support::model_of;
using testing_support::state_with;

Value orders_record() {
  return Value{{"user_question", "How many orders?"},
               {"generated_sql_query", {"SELECT COUNT(*) FROM orders"}},
               {"sql_execution_result", {"[(42,)]"}},
               {"pandas_code", "print(42)"},
               {"python_executed_output", "42\n"}};
}

TEST(GenerateResponsePrompt, LayoutByteForByte) {
  EXPECT_EQ(GenerateResponse::prompt_text(state_with(orders_record())),
            "User question: How many orders?\nSQL query: ['SELECT COUNT(*) FROM orders']\n"
            "SQL query result: [(42,)]\nPython code: print(42)\nPython executed result: 42\n\n"
            "Use the above result to address user's question.");

  // Only the line of the queries changes with them; texts are inserted verbatim.
  struct Case {
    Value queries;
    Value results;
    std::string query_line;
    std::string result_line;
  };
  const std::vector<Case> cases = {
      {{"SELECT 1", "SELECT 2"},
       {"[(1,)]", "[(2,)]"},
       "SQL query: ['SELECT 1', 'SELECT 2']",
       "SQL query result: [(2,)]"},
      {{"SELECT * FROM t WHERE name = 'x'"},
       {"[]"},
       "SQL query: [\"SELECT * FROM t WHERE name = 'x'\"]",
       "SQL query result: []"},
      {{"SELECT id\nFROM orders"},
       {"[(1,)]"},
       "SQL query: ['SELECT id\\nFROM orders']",
       "SQL query result: [(1,)]"},
      {Value::array(),
       {"SQL generation failed after max iterations"},
       "SQL query: []",
       "SQL query result: SQL generation failed after max iterations"},
      {{"SELECT 'it''s', \"col\"\t-- \\ Müller ✓"},
       {"[('x\ny',)]"},
       "SQL query: ['SELECT \\'it\\'\\'s\\', \"col\"\\t-- \\\\ Müller ✓']",
       "SQL query result: [('x\ny',)]"},
  };
  for (const auto& c : cases) {
    Value record = orders_record();
    record["generated_sql_query"] = c.queries;
    record["sql_execution_result"] = c.results;
    EXPECT_EQ(GenerateResponse::prompt_text(state_with(record)),
              "User question: How many orders?\n" + c.query_line + "\n" + c.result_line +
                  "\nPython code: print(42)\nPython executed result: 42\n\n"
                  "Use the above result to address user's question.");
  }
}

TEST(GenerateResponsePrompt, FieldsAreReadInOrder) {
  struct Case {
    std::vector<std::string> remove;
    const char* missing;
  };
  const std::vector<Case> cases = {
      {{"user_question", "pandas_code"}, "user_question"},
      {{"pandas_code", "python_executed_output"}, "pandas_code"},
      {{"python_executed_output"}, "python_executed_output"},
  };
  for (const auto& c : cases) {
    Value record = orders_record();
    for (const auto& f : c.remove) record.erase(f);
    try {
      GenerateResponse::prompt_text(state_with(record));
      ADD_FAILURE() << "expected MissingFieldError for " << c.missing;
    } catch (const MissingFieldError& e) {
      EXPECT_EQ(e.field(), c.missing);
    }
  }
  // The last result is taken before the code is read.
  Value record = orders_record();
  record["sql_execution_result"] = Value::array();
  record.erase("pandas_code");
  EXPECT_THROW(GenerateResponse::prompt_text(state_with(record)), std::out_of_range);
  // A query that is not text cannot be shown as one.
  record = orders_record();
  record["generated_sql_query"] = Value::array({"SELECT 1", nullptr});
  EXPECT_THROW(GenerateResponse::prompt_text(state_with(record)), std::invalid_argument);
}

TEST(GenerateResponse, InvokeSendsThePromptLogsAndReturnsExactlyTheTwoFields) {
  FakeChatServer server;
  GenerateResponse node(model_of(server));
  struct Case {
    Value answer;
    Value update;
  };
  const std::vector<Case> cases = {
      {Value{{"final_response", "There are 42 orders."}},
       Value{{"final_response", "There are 42 orders."}, {"image_path", ""}}},
      {Value{{"final_response", "See the chart."}, {"image_path", "charts/orders.png"}},
       Value{{"final_response", "See the chart."}, {"image_path", "charts/orders.png"}}},
      {Value{{"image_path", nullptr}, {"final_response", "No chart."}},
       Value{{"final_response", "No chart."}, {"image_path", nullptr}}},
  };
  const State s = state_with(orders_record());
  for (const auto& c : cases) {
    server.push_json_answer(c.answer);
    LogLines log;
    const auto update = node.invoke(s);
    EXPECT_EQ(update.values, c.update);
    EXPECT_TRUE(update.overwrites.empty());
    const auto request = server.last_request();
    EXPECT_EQ(
        request.messages(),
        (Value::array({Value{{"role", "user"}, {"content", GenerateResponse::prompt_text(s)}}})));
    EXPECT_EQ(request.schema_name(), "GenerationOutput");
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Enter generate response");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(Finish generating response, took )"
                                                      R"((\d+\.\d+|\d(\.\d+)?e-\d\d))")))
        << lines[1];
  }
}

TEST(GenerateResponse, FailuresBeforeAndDuringTheModelCall) {
  FakeChatServer server;
  GenerateResponse node(model_of(server));
  {
    // No result to show: the error comes after the first log line and before any model call.
    Value record = orders_record();
    record["sql_execution_result"] = Value::array();
    LogLines log;
    EXPECT_THROW(node.invoke(state_with(record)), std::out_of_range);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Enter generate response"});
    EXPECT_EQ(server.request_count(), 0u);
  }
  {
    // The model fails: the error propagates and the finish line is not written.
    server.push(Reply::error(400, "invalid_request", "the prompt was rejected"));
    LogLines log;
    EXPECT_THROW(node.invoke(state_with(orders_record())), chat_model::ModelError);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Enter generate response"});
  }
  {
    // An answer without final_response does not fit the schema.
    server.push_json_answer(Value{{"image_path", "a.png"}});
    EXPECT_THROW(node.invoke(state_with(orders_record())), chat_model::ModelError);
  }
}

}  // namespace
}  // namespace answer_nodes
