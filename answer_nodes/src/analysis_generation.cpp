// Analysis-code generation in its two modes, and the correction prompt as a node of its own.

#include <algorithm>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "analysis_fields.hpp"
#include "answer_nodes/analysis_nodes.hpp"
#include "answer_nodes/schemas.hpp"
#include "answer_prompts/answer_prompts.hpp"

namespace answer_nodes {

using prompt_template::ChatPromptTemplate;
using prompt_template::HumanMessagePromptTemplate;
using prompt_template::PromptTemplate;
using prompt_template::SystemMessagePromptTemplate;
using prompt_template::TemplateFormat;
using state_graph::State;
using state_graph::Update;
using state_graph::Value;

// The header declares it extern, so this constexpr definition has external linkage.
constexpr std::string_view PANDAS_CORRECTION_TEMPLATE =
    "The user asked the following question:\n"
    "            {user_question}\n"
    "\n"
    "            You generated this python code:\n"
    "            {python_code}\n"
    "\n"
    "            It fails with the following error:\n"
    "            {error}\n"
    "\n"
    "            Fix the python code above and return the new python code:";

namespace {

// Reads pandas_code, then python_error_message, and fills the correction text. The engine
// inserts values verbatim: braces inside the code or the error are not placeholders.
std::string correction_prompt(const PromptTemplate& correction_template,
                              const std::string& question, const State& state) {
  const std::string& code = analysis::read_text(state, "pandas_code");
  const std::string& error = analysis::read_text(state, "python_error_message");
  return correction_template.format(
      Value{{"user_question", question}, {"python_code", code}, {"error", error}});
}

std::vector<chat_model::ChatMessage> to_chat(const std::vector<prompt_template::Message>& in) {
  std::vector<chat_model::ChatMessage> out;
  out.reserve(in.size());
  for (const auto& m : in) out.push_back({m.role, m.content});
  return out;
}

Update code_update(const Value& answer) { return Value{{"pandas_code", answer.at("code")}}; }

}  // namespace

PandasGenerator::PandasGenerator(const chat_model::AzureChatOpenAI& model)
    : model_(model.with_structured_output(PythonCodeInput())),
      template_(ChatPromptTemplate::from_messages(
          {SystemMessagePromptTemplate::from_template(answer_prompts::PANDAS_SYSTEM_TEMPLATE,
                                                      TemplateFormat::jinja2),
           HumanMessagePromptTemplate::from_template(answer_prompts::PANDAS_HUMAN_TEMPLATE,
                                                     TemplateFormat::jinja2)})),
      correction_template_(PromptTemplate::from_template(PANDAS_CORRECTION_TEMPLATE)) {}

PandasPrompt PandasGenerator::generate_prompt(const State& state) const {
  const std::string question = analysis::question_shown(state);
  const std::string& mode = analysis::read_text(state, "pandas_generation_prompt_type");
  if (mode == "generation") {
    const Value& queries = analysis::read_text_list(state, "generated_sql_query");
    const Value& results = analysis::read_text_list(state, "sql_execution_result");
    Value pairs = Value::array();
    for (std::size_t i = 0; i < std::min(queries.size(), results.size()); ++i)
      pairs.push_back(Value::array({queries[i], results[i]}));
    const std::string& save_path = analysis::read_text(state, "save_path");
    return template_.format_messages(Value{{"original_question", question},
                                           {"zipped_queries_results", std::move(pairs)},
                                           {"save_path", save_path}});
  }
  if (mode == "correction") return correction_prompt(correction_template_, question, state);
  throw std::invalid_argument(
      "state field 'pandas_generation_prompt_type' must be \"generation\" or \"correction\", "
      "got " +
      Value(mode).dump() + ": no prompt was built");
}

Update PandasGenerator::invoke(const State& state, const Value& /*options*/) {
  const PandasPrompt prompt = generate_prompt(state);
  if (const auto* messages = std::get_if<std::vector<prompt_template::Message>>(&prompt))
    return code_update(model_.invoke(to_chat(*messages)));
  return code_update(model_.invoke(std::get<std::string>(prompt)));
}

PandasCorrection::PandasCorrection(const chat_model::AzureChatOpenAI& model)
    : model_(model.with_structured_output(PythonCodeInput())),
      template_(PromptTemplate::from_template(PANDAS_CORRECTION_TEMPLATE)) {}

std::string PandasCorrection::generate_prompt(const State& state) const {
  return correction_prompt(template_, analysis::question_shown(state), state);
}

Update PandasCorrection::invoke(const State& state, const Value& /*options*/) {
  return code_update(model_.invoke(generate_prompt(state)));
}

}  // namespace answer_nodes
