// The final answer of every run.

#include <chrono>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "analysis_fields.hpp"
#include "answer_nodes/analysis_nodes.hpp"
#include "answer_nodes/schemas.hpp"
#include "logging/logging.hpp"
#include "python_text/python_text.hpp"

namespace answer_nodes {

using state_graph::State;
using state_graph::Update;
using state_graph::Value;

GenerateResponse::GenerateResponse(const chat_model::AzureChatOpenAI& model)
    : model_(model.with_structured_output(GenerationOutput())) {}

std::string GenerateResponse::prompt_text(const State& state) {
  const std::string& question = analysis::read_text(state, "user_question");
  const Value& queries = analysis::read_text_list(state, "generated_sql_query");
  const Value& results = analysis::read_text_list(state, "sql_execution_result");
  if (results.empty())
    throw std::out_of_range(
        "state field 'sql_execution_result' is empty: the final response shows its last "
        "element, so at least one SQL execution must have been recorded");
  const std::string& last_result = results.back().get_ref<const std::string&>();
  const std::string& code = analysis::read_text(state, "pandas_code");
  const std::string& output = analysis::read_text(state, "python_executed_output");

  std::string prompt;
  prompt.reserve(question.size() + last_result.size() + code.size() + output.size() + 256);
  prompt.append("User question: ").append(question).append("\n");
  prompt.append("SQL query: ");
  // Queries are shown as Python shows a list of str, so a query of several lines stands on one.
  python_text::append_list(prompt, queries, [](std::string& out, const Value& query) {
    python_text::append_str_repr(out, query.get_ref<const std::string&>());
  });
  prompt.append("\n");
  prompt.append("SQL query result: ").append(last_result).append("\n");
  prompt.append("Python code: ").append(code).append("\n");
  prompt.append("Python executed result: ").append(output).append("\n");
  prompt.append("Use the above result to address user's question.");
  return prompt;
}

Update GenerateResponse::invoke(const State& state, const Value& /*options*/) {
  logging::info("Enter generate response");
  const auto start = std::chrono::steady_clock::now();
  const std::string prompt = prompt_text(state);
  const Value answer = model_.invoke(prompt);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  logging::info("Finish generating response, took " + logging::seconds_text(took.count()));
  return Value{{"final_response", answer.at("final_response")},
               {"image_path", answer.at("image_path")}};
}

}  // namespace answer_nodes
