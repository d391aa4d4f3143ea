#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "analysis_support.hpp"
#include "answer_nodes/analysis_nodes.hpp"
#include "answer_prompts/answer_prompts.hpp"
#include "test_support/fake_chat_server.hpp"

namespace answer_nodes {
namespace {

using prompt_template::Message;
using state_graph::MissingFieldError;
using state_graph::State;
using state_graph::Value;
using test_support::FakeChatServer;
using testing_support::model_of;
using testing_support::state_with;

// The correction text written out by hand for the given values.
std::string correction_text(const std::string& question, const std::string& code,
                            const std::string& error) {
  const std::string indent(12, ' ');
  return "The user asked the following question:\n" + indent + question + "\n\n" + indent +
         "You generated this python code:\n" + indent + code + "\n\n" + indent +
         "It fails with the following error:\n" + indent + error + "\n\n" + indent +
         "Fix the python code above and return the new python code:";
}

// The user message of mode "generation" written out by hand: the human template's layout with
// one block per query and result, numbered from 1.
std::string human_text(const std::string& question,
                       const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string text = "\n<context>\n    <original_question>" + question +
                     "</original_question>\n    <sql_context>\n      ";
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    text += "\n          <query index=\"" + n + "\">\n            " + pairs[i].first +
            "\n          </query>\n          <execution_result index=\"" + n + "\">\n            " +
            pairs[i].second + "\n          </execution_result>\n      ";
  }
  return text + "\n    </sql_context>\n</context>";
}

Value generation_record(const std::string& rewritten = "") {
  return Value{{"user_question", "Plot sales per month"},
               {"rewritten_question", rewritten},
               {"pandas_generation_prompt_type", "generation"},
               {"generated_sql_query", {"SELECT 1", "SELECT month, SUM(total) FROM sales"}},
               {"sql_execution_result", {"[(1,)]", "[('2024-01', Decimal('9.50'))]"}},
               {"save_path", "charts/run-7"}};
}

Value correction_record(const std::string& rewritten = "") {
  return Value{{"user_question", "Plot sales per month"},
               {"rewritten_question", rewritten},
               {"pandas_generation_prompt_type", "correction"},
               {"pandas_code", "df.plot()"},
               {"python_error_message", "NameError: name 'df' is not defined"}};
}

class PandasGeneratorTest : public ::testing::Test {
 protected:
  FakeChatServer server_;
  PandasGenerator generator_{model_of(server_)};
};

TEST_F(PandasGeneratorTest, CorrectionTextOfTheExampleByteForByte) {
  const PandasPrompt prompt = generator_.generate_prompt(state_with(correction_record()));
  ASSERT_TRUE(std::holds_alternative<std::string>(prompt));
  EXPECT_EQ(std::get<std::string>(prompt),
            "The user asked the following question:\n            Plot sales per month\n\n"
            "            You generated this python code:\n            df.plot()\n\n"
            "            It fails with the following error:\n"
            "            NameError: name 'df' is not defined\n\n"
            "            Fix the python code above and return the new python code:");
  EXPECT_EQ(PANDAS_CORRECTION_TEMPLATE,
            correction_text("{user_question}", "{python_code}", "{error}"));
}

TEST_F(PandasGeneratorTest, CorrectionValuesAreInsertedVerbatim) {
  struct Case {
    std::string question, code, error;
  };
  const std::vector<Case> cases = {
      // Multi-line code keeps its own line breaks; only its first line follows the indentation.
      {"Plot it", "import pandas as pd\ndf = pd.DataFrame()\n    df.plot()",
       "IndentationError: unexpected indent (<unknown>, line 3)"},
      // Braces in values are not placeholders, not even the template's own names.
      {"Why {error}?", "print({'python_code': 1})\nprint(f'{x}')", "KeyError: '{user_question}'"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    Value record = correction_record();
    record["user_question"] = c.question;
    record["pandas_code"] = c.code;
    record["python_error_message"] = c.error;
    EXPECT_EQ(std::get<std::string>(generator_.generate_prompt(state_with(record))),
              correction_text(c.question, c.code, c.error));
  }
}

TEST_F(PandasGeneratorTest, GenerationPairsQueriesWithResultsInOrder) {
  const auto messages =
      std::get<std::vector<Message>>(generator_.generate_prompt(state_with(generation_record())));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].role, "system");
  EXPECT_EQ(messages[1].role, "user");
  EXPECT_EQ(messages[1].content,
            human_text("Plot sales per month", {{"SELECT 1", "[(1,)]"},
                                                {"SELECT month, SUM(total) FROM sales",
                                                 "[('2024-01', Decimal('9.50'))]"}}));
  // The system text with save_path in place, its leading double quote still first.
  std::string system(answer_prompts::PANDAS_SYSTEM_TEMPLATE);
  system.replace(system.find("{{ save_path }}"), 15, "charts/run-7");
  system.pop_back();  // the template's final line break is not rendered
  EXPECT_EQ(messages[0].content, system);
  EXPECT_EQ(messages[0].content.front(), '"');

  // More queries than results: the surplus query is dropped.
  Value record = generation_record();
  record["generated_sql_query"].push_back("SELECT 3");
  const auto three = std::get<std::vector<Message>>(generator_.generate_prompt(state_with(record)));
  EXPECT_EQ(three[1].content, messages[1].content);

  // No queries at all: the loop renders nothing.
  record["generated_sql_query"] = Value::array();
  const auto none = std::get<std::vector<Message>>(generator_.generate_prompt(state_with(record)));
  EXPECT_EQ(none[1].content, human_text("Plot sales per month", {}));
}

TEST_F(PandasGeneratorTest, RewrittenQuestionIsShownWhenNonEmptyInBothModes) {
  for (const std::string rewritten : {"", "Total of sales.total per calendar month"}) {
    const std::string shown = rewritten.empty() ? "Plot sales per month" : rewritten;
    const auto messages = std::get<std::vector<Message>>(
        generator_.generate_prompt(state_with(generation_record(rewritten))));
    EXPECT_NE(messages[1].content.find("<original_question>" + shown + "</original_question>"),
              std::string::npos);
    EXPECT_EQ(
        std::get<std::string>(generator_.generate_prompt(state_with(correction_record(rewritten)))),
        correction_text(shown, "df.plot()", "NameError: name 'df' is not defined"));
  }
}

// Each mode reads only its own fields, in order, so the first missing one is reported.
TEST_F(PandasGeneratorTest, FieldsAreReadInOrderAndOnlyByTheirMode) {
  struct Case {
    Value record;
    std::vector<std::string> remove;
    const char* missing;  // nullptr: the prompt is built
  };
  const std::vector<Case> cases = {
      {generation_record(), {"user_question", "rewritten_question"}, "user_question"},
      {generation_record(),
       {"rewritten_question", "pandas_generation_prompt_type"},
       "rewritten_question"},
      {generation_record(),
       {"pandas_generation_prompt_type", "save_path"},
       "pandas_generation_prompt_type"},
      {generation_record(), {"save_path"}, "save_path"},
      {correction_record(), {"pandas_code", "python_error_message"}, "pandas_code"},
      {correction_record(), {"python_error_message"}, "python_error_message"},
      // Correction reads no query, result or save_path; generation no code or error.
      {correction_record(), {}, nullptr},
      {generation_record(), {"pandas_code", "python_error_message"}, nullptr},
  };
  for (const auto& c : cases) {
    Value record = c.record;
    for (const auto& field : c.remove) record.erase(field);
    SCOPED_TRACE(record.dump());
    if (c.missing == nullptr) {
      EXPECT_NO_THROW(generator_.generate_prompt(state_with(record)));
      continue;
    }
    try {
      generator_.generate_prompt(state_with(record));
      ADD_FAILURE() << "expected MissingFieldError";
    } catch (const MissingFieldError& e) {
      EXPECT_EQ(e.field(), c.missing);
    }
  }
}

TEST_F(PandasGeneratorTest, UnknownModeBuildsNoPromptAndCallsNoModel) {
  Value record = generation_record();
  record["pandas_generation_prompt_type"] = "analysis";
  try {
    generator_.invoke(state_with(record));
    ADD_FAILURE() << "expected std::invalid_argument";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("\"analysis\""), std::string::npos) << e.what();
  }
  EXPECT_EQ(server_.request_count(), 0u);
}

TEST_F(PandasGeneratorTest, InvokeSendsThePromptOfItsModeAndReturnsOnlyTheCode) {
  server_.push_json_answer(Value{{"code", "print('generated')"}});
  const State generation = state_with(generation_record());
  const auto update = generator_.invoke(generation);
  EXPECT_EQ(update.values, (Value{{"pandas_code", "print('generated')"}}));
  EXPECT_TRUE(update.overwrites.empty());
  const auto messages = std::get<std::vector<Message>>(generator_.generate_prompt(generation));
  auto request = server_.last_request();
  EXPECT_EQ(request.schema_name(), "PythonCodeInput");
  EXPECT_EQ(request.messages(),
            (Value::array({Value{{"role", "system"}, {"content", messages[0].content}},
                           Value{{"role", "user"}, {"content", messages[1].content}}})));

  server_.push_json_answer(Value{{"code", "print('fixed')"}});
  const State correction = state_with(correction_record());
  EXPECT_EQ(generator_.invoke(correction).values, (Value{{"pandas_code", "print('fixed')"}}));
  request = server_.last_request();
  EXPECT_EQ(request.messages(),
            (Value::array({Value{
                {"role", "user"},
                {"content", std::get<std::string>(generator_.generate_prompt(correction))}}})));
}

TEST(PandasCorrection, SameTextAsTheGeneratorsCorrectionModeAndReturnsTheCode) {
  FakeChatServer server;
  const PandasCorrection correction(model_of(server));
  const PandasGenerator generator(model_of(server));
  for (const std::string rewritten : {"", "Monthly totals of sales"}) {
    const State s = state_with(correction_record(rewritten));
    EXPECT_EQ(correction.generate_prompt(s), std::get<std::string>(generator.generate_prompt(s)));
  }
  // It needs no mode: the correction prompt is all it builds.
  Value record = correction_record();
  record.erase("pandas_generation_prompt_type");
  record.erase("python_error_message");
  try {
    correction.generate_prompt(state_with(record));
    ADD_FAILURE() << "expected MissingFieldError";
  } catch (const MissingFieldError& e) {
    EXPECT_EQ(e.field(), "python_error_message");
  }

  server.push_json_answer(Value{{"code", "print(2)"}});
  PandasCorrection node(model_of(server));
  const State s = state_with(correction_record());
  EXPECT_EQ(node.invoke(s).values, (Value{{"pandas_code", "print(2)"}}));
  EXPECT_EQ(server.last_request().last_message_content(), correction.generate_prompt(s));
  EXPECT_EQ(server.last_request().schema_name(), "PythonCodeInput");

  // An answer without the code does not fit the schema: the model error propagates.
  server.push_json_answer(Value{{"python", "print(2)"}});
  EXPECT_THROW(node.invoke(s), chat_model::ModelError);
}

}  // namespace
}  // namespace answer_nodes
