#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "prompt_template/errors.hpp"
#include "prompt_template/export.hpp"
#include "state_graph/value.hpp"

// Text and chat-message templates.
//
// Two template syntaxes:
//
// f_string (single braces): "{name}", a bare name (ASCII letters, digits, '_', not starting with
//   a digit) between one opening and one closing brace, is replaced by the variable's text. Every
//   other character, including any brace that does not enclose a bare name, stays as it is; there
//   is no escape syntax.
//
// jinja2 (a subset of the Jinja language, default whitespace handling, no escaping):
//   "{{ name }}"                        the variable's text (blanks inside the braces optional)
//   "{{ loop.index }}"                  inside a loop: 1-based position of the current element
//   "{% for a, b in list %}...{% endfor %}"   once per element of `list`, each element a list of
//                                       two members bound to a and b; an empty list renders
//                                       nothing. "{% for a in list %}" binds the whole element.
//   Loops nest; loop names hide variables of the same name inside the loop. The text around tags,
//   including line breaks right after or before a tag, is kept exactly, with the language's
//   default rendering: one line break at the very end of the template text is dropped, and the
//   template's own line breaks ("\r\n", "\r") are written as "\n" (values are inserted
//   untouched). Anything else that opens a tag ("{#", "{%-", filters, attributes other than
//   loop.index, other statements such as if) is rejected when the template is built, with its
//   position.
//
// Variables are passed as one Value object mapping names to values; names the template does not
// use are ignored. A string value is inserted as it is; any other value as python_str() shows it
// (python_text.hpp). A name the template uses but the caller does not pass is a
// MissingVariableError naming it.

namespace prompt_template {

enum class TemplateFormat { f_string, jinja2 };

inline constexpr std::string_view kSystemRole = "system";
inline constexpr std::string_view kUserRole = "user";

// One formatted chat message. `role` is "system" or "user"; `content` may be read and replaced.
// A plain value; not synchronised.
struct PROMPT_TEMPLATE_EXPORT Message {
  std::string role;
  std::string content;

  bool operator==(const Message&) const = default;
};

namespace detail {
struct Compiled;
}

// A text template, parsed once when built. Immutable once built and cheap to copy (copies share
// the parsed form): safe to format from several threads at once.
class PROMPT_TEMPLATE_EXPORT PromptTemplate {
 public:
  // Throws TemplateSyntaxError for unsupported syntax or unclosed tags.
  static PromptTemplate from_template(std::string_view text,
                                      TemplateFormat format = TemplateFormat::f_string);

  // `variables` is an object (or null for none). Throws MissingVariableError for a variable the
  // template uses that is not passed, TemplateError for a loop over something that is not a list
  // of elements of the loop's shape, std::invalid_argument when `variables` is not an object.
  std::string format(const state_graph::Value& variables) const;

  const std::string& template_text() const noexcept;
  TemplateFormat template_format() const noexcept;
  // Names the caller must pass, in order of first use (loop names excluded).
  const std::vector<std::string>& input_variables() const noexcept;

 private:
  explicit PromptTemplate(std::shared_ptr<const detail::Compiled> compiled);
  std::shared_ptr<const detail::Compiled> compiled_;
};

// A template for one chat message: a role and a text template. Immutable once built: safe to
// format from several threads at once.
class PROMPT_TEMPLATE_EXPORT MessagePromptTemplate {
 public:
  // `role` must be "system" or "user" (std::invalid_argument otherwise).
  MessagePromptTemplate(std::string role, PromptTemplate prompt);

  const std::string& role() const noexcept { return role_; }
  const PromptTemplate& prompt() const noexcept { return prompt_; }
  Message format(const state_graph::Value& variables) const;

 private:
  std::string role_;
  PromptTemplate prompt_;
};

// A message template of role "system". Immutable: safe to share between threads.
class PROMPT_TEMPLATE_EXPORT SystemMessagePromptTemplate : public MessagePromptTemplate {
 public:
  static SystemMessagePromptTemplate from_template(
      std::string_view text, TemplateFormat format = TemplateFormat::f_string);

 private:
  explicit SystemMessagePromptTemplate(PromptTemplate prompt);
};

// A message template of role "user". Immutable: safe to share between threads.
class PROMPT_TEMPLATE_EXPORT HumanMessagePromptTemplate : public MessagePromptTemplate {
 public:
  static HumanMessagePromptTemplate from_template(std::string_view text,
                                                  TemplateFormat format = TemplateFormat::f_string);

 private:
  explicit HumanMessagePromptTemplate(PromptTemplate prompt);
};

// An ordered list of message templates, all formatted with the same variables (each uses the
// names it needs). Immutable once built: safe to format from several threads at once.
class PROMPT_TEMPLATE_EXPORT ChatPromptTemplate {
 public:
  // Throws std::invalid_argument for an empty list.
  static ChatPromptTemplate from_messages(std::vector<MessagePromptTemplate> messages);
  // Pairs of role ("system" or "user") and single-brace template text. Throws
  // std::invalid_argument for an empty list or another role, TemplateSyntaxError as
  // PromptTemplate::from_template.
  static ChatPromptTemplate from_messages(
      const std::vector<std::pair<std::string, std::string>>& role_and_text);

  // One message per template, in order. Errors as PromptTemplate::format.
  std::vector<Message> format_messages(const state_graph::Value& variables) const;

  const std::vector<MessagePromptTemplate>& messages() const noexcept { return messages_; }
  // Union of the messages' input variables, in order of first use.
  const std::vector<std::string>& input_variables() const noexcept { return input_variables_; }

 private:
  explicit ChatPromptTemplate(std::vector<MessagePromptTemplate> messages);
  std::vector<MessagePromptTemplate> messages_;
  std::vector<std::string> input_variables_;
};

}  // namespace prompt_template
