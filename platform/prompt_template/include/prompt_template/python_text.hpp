#pragma once

#include <string>

#include "prompt_template/export.hpp"
#include "state_graph/value.hpp"

namespace prompt_template {

// The text Python's str() shows for the value that `value` stands for: a string as it is, null as
// None, booleans as True/False, integers in decimal, floats in Python's shortest round-trip form
// (2.5, 1.0, 1e-05, 1e+16, inf, nan), lists and objects in Python literal form with strings
// quoted as Python quotes them ([1, 'a', None], {'k': "it's"}). Record values reach prompts in
// this form, as analysis code and the model expect to read them.
// Pure function; safe to call from several threads.
PROMPT_TEMPLATE_EXPORT std::string python_str(const state_graph::Value& value);

// Python's repr(): as python_str, except that a top-level string is quoted and escaped.
// Pure function; safe to call from several threads.
PROMPT_TEMPLATE_EXPORT std::string python_repr(const state_graph::Value& value);

}  // namespace prompt_template
