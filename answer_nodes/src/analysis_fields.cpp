#include "analysis_fields.hpp"

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace answer_nodes::analysis {

using state_graph::State;
using state_graph::Value;

namespace {

[[noreturn]] void wrong_kind(const char* field, const char* expected, const Value& got) {
  throw std::invalid_argument(std::string("state field '") + field + "' must hold " + expected +
                              ", got " + got.dump());
}

}  // namespace

const std::string& read_text(const State& state, const char* field) {
  const Value& v = state.get(field);
  if (!v.is_string()) wrong_kind(field, "text", v);
  return v.get_ref<const std::string&>();
}

const Value& read_text_list(const State& state, const char* field) {
  const Value& v = state.get(field);
  if (!v.is_array()) wrong_kind(field, "a list of texts", v);
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (!v[i].is_string()) {
      throw std::invalid_argument(std::string("state field '") + field +
                                  "' must hold a list of texts; element " + std::to_string(i) +
                                  " is " + v[i].dump());
    }
  }
  return v;
}

std::int64_t read_int(const State& state, const char* field) {
  const Value& v = state.get(field);
  if (!v.is_number_integer()) wrong_kind(field, "an integer", v);
  return v.get<std::int64_t>();
}

bool read_flag(const State& state, const char* field) {
  const Value& v = state.get(field);
  return v.is_boolean() && v.get<bool>();
}

std::string question_shown(const State& state) {
  const std::string& user_question = read_text(state, "user_question");
  const std::string& rewritten_question = read_text(state, "rewritten_question");
  return rewritten_question.empty() ? user_question : rewritten_question;
}

}  // namespace answer_nodes::analysis
