#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "prompt_template/prompt_template.hpp"

namespace prompt_template::detail {

// One piece of a parsed template.
struct Segment {
  enum class Kind { text, variable, loop_index, loop };
  Kind kind = Kind::text;
  std::string text;                // text: the literal; variable: the name; loop: the list name
  std::vector<std::string> names;  // loop: the names bound to each element (one or two)
  std::vector<Segment> body;       // loop: the repeated part
};

// The parsed form of a template; never changed after parsing.
struct Compiled {
  TemplateFormat format = TemplateFormat::f_string;
  std::string source;
  std::vector<Segment> segments;
  std::vector<std::string> input_variables;
  std::size_t literal_size = 0;  // bytes of literal text outside loops, to size the output once
};

Compiled parse_f_string(std::string_view text);
Compiled parse_jinja(std::string_view text);

std::string render(const Compiled& compiled, const state_graph::Value& variables);

}  // namespace prompt_template::detail
