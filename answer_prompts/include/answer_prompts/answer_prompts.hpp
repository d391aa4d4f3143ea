#pragma once

#include <string_view>

#include "answer_prompts/export.hpp"

// The prompt texts the answer nodes turn into chat templates. Each constant is the exact text,
// byte for byte: leading line breaks and blanks, the leading double quote of
// PANDAS_SYSTEM_TEMPLATE and its line break inside "agent" are part of the texts.
//
// Declared as `extern const std::string_view` and defined constexpr in the library, so the texts
// are constant-initialised data of libanswer_prompts.so: they may be read at any time, also
// during the static initialisation of another library, and from any thread. Each view refers to
// a string literal (null-terminated) that lives as long as the process.

namespace answer_prompts {

// System message, single-brace syntax; variable: dialect (used twice).
ANSWER_PROMPTS_EXPORT extern const std::string_view SQL_PREFIX;

// User message, single-brace syntax; variables: user_question, table_names_from_db.
ANSWER_PROMPTS_EXPORT extern const std::string_view GET_RELEVANT_TABLE_NAMES_TEMPLATE;

// Plain text, appended unchanged to the formatted user message of the table selection; its braces
// are literal characters, so it must never be formatted as a template.
ANSWER_PROMPTS_EXPORT extern const std::string_view TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE;

// System message, single-brace syntax; variables: user_question, schemas_from_all_tables.
ANSWER_PROMPTS_EXPORT extern const std::string_view REWRITE_QUESTION_TEMPLATE;

// Single-brace syntax; variables: user_question, schemas_from_relevant_tables.
ANSWER_PROMPTS_EXPORT extern const std::string_view GENERATE_SQL_TEMPLATE;

// User message, Jinja syntax; variables: user_question, schemas_from_relevant_tables,
// zipped_queries_errors (a list of [query, error] pairs, numbered from 1).
ANSWER_PROMPTS_EXPORT extern const std::string_view CORRECT_SQL_TEMPLATE;

// Jinja syntax; variable: save_path.
ANSWER_PROMPTS_EXPORT extern const std::string_view PANDAS_SYSTEM_TEMPLATE;

// User message, Jinja syntax; variables: original_question, zipped_queries_results (a list of
// [query, execution result] pairs, numbered from 1).
ANSWER_PROMPTS_EXPORT extern const std::string_view PANDAS_HUMAN_TEMPLATE;

}  // namespace answer_prompts
