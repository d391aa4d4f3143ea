#pragma once

// Reading the record's fields on the analysis path: each function reads one field (a missing one
// throws state_graph::MissingFieldError) and checks that it holds the kind of value the path
// needs, throwing std::invalid_argument naming the field otherwise.

#include <cstdint>
#include <string>

#include "state_graph/state.hpp"

namespace answer_nodes::analysis {

const std::string& read_text(const state_graph::State& state, const char* field);
// A list; each element must be text.
const state_graph::Value& read_text_list(const state_graph::State& state, const char* field);
std::int64_t read_int(const state_graph::State& state, const char* field);
// True only for the boolean true.
bool read_flag(const state_graph::State& state, const char* field);

// Reads user_question, then rewritten_question: the rewritten question when it is non-empty,
// else the user's.
std::string question_shown(const state_graph::State& state);

}  // namespace answer_nodes::analysis
