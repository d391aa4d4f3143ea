#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

#include "prompt_template/export.hpp"

namespace prompt_template {

// Every error of this library: a template that cannot be built or cannot be filled with the
// variables given. An argument error, hence std::invalid_argument.
class PROMPT_TEMPLATE_EXPORT TemplateError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A template text that uses syntax the engine does not support, or whose tags are not closed.
// Raised when the template is built, never while formatting. The position is that of the first
// character of the offending tag: a 0-based byte offset and a 1-based line and column (bytes).
class PROMPT_TEMPLATE_EXPORT TemplateSyntaxError : public TemplateError {
 public:
  TemplateSyntaxError(const std::string& problem, std::size_t offset, std::size_t line,
                      std::size_t column);
  std::size_t offset() const noexcept { return offset_; }
  std::size_t line() const noexcept { return line_; }
  std::size_t column() const noexcept { return column_; }

 private:
  std::size_t offset_;
  std::size_t line_;
  std::size_t column_;
};

// A variable that the template uses but the caller did not pass.
class PROMPT_TEMPLATE_EXPORT MissingVariableError : public TemplateError {
 public:
  explicit MissingVariableError(std::string name, const std::string& message);
  const std::string& name() const noexcept { return name_; }

 private:
  std::string name_;
};

}  // namespace prompt_template
