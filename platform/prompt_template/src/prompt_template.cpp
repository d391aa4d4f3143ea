#include "prompt_template/prompt_template.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "compiled.hpp"

namespace prompt_template {

using state_graph::Value;

PromptTemplate::PromptTemplate(std::shared_ptr<const detail::Compiled> compiled)
    : compiled_(std::move(compiled)) {}

PromptTemplate PromptTemplate::from_template(std::string_view text, TemplateFormat format) {
  switch (format) {
    case TemplateFormat::f_string:
      return PromptTemplate(std::make_shared<const detail::Compiled>(detail::parse_f_string(text)));
    case TemplateFormat::jinja2:
      return PromptTemplate(std::make_shared<const detail::Compiled>(detail::parse_jinja(text)));
  }
  throw std::invalid_argument("unknown template format; use TemplateFormat::f_string or jinja2");
}

std::string PromptTemplate::format(const Value& variables) const {
  if (!variables.is_object() && !variables.is_null()) {
    throw std::invalid_argument(
        "template variables must be an object mapping names to values, not " +
        std::string(variables.type_name()));
  }
  return detail::render(*compiled_, variables);
}

const std::string& PromptTemplate::template_text() const noexcept { return compiled_->source; }

TemplateFormat PromptTemplate::template_format() const noexcept { return compiled_->format; }

const std::vector<std::string>& PromptTemplate::input_variables() const noexcept {
  return compiled_->input_variables;
}

MessagePromptTemplate::MessagePromptTemplate(std::string role, PromptTemplate prompt)
    : role_(std::move(role)), prompt_(std::move(prompt)) {
  if (role_ != kSystemRole && role_ != kUserRole) {
    throw std::invalid_argument("message role must be \"system\" or \"user\", not \"" + role_ +
                                "\"");
  }
}

Message MessagePromptTemplate::format(const Value& variables) const {
  return Message{role_, prompt_.format(variables)};
}

SystemMessagePromptTemplate::SystemMessagePromptTemplate(PromptTemplate prompt)
    : MessagePromptTemplate(std::string(kSystemRole), std::move(prompt)) {}

SystemMessagePromptTemplate SystemMessagePromptTemplate::from_template(std::string_view text,
                                                                       TemplateFormat format) {
  return SystemMessagePromptTemplate(PromptTemplate::from_template(text, format));
}

HumanMessagePromptTemplate::HumanMessagePromptTemplate(PromptTemplate prompt)
    : MessagePromptTemplate(std::string(kUserRole), std::move(prompt)) {}

HumanMessagePromptTemplate HumanMessagePromptTemplate::from_template(std::string_view text,
                                                                     TemplateFormat format) {
  return HumanMessagePromptTemplate(PromptTemplate::from_template(text, format));
}

ChatPromptTemplate::ChatPromptTemplate(std::vector<MessagePromptTemplate> messages)
    : messages_(std::move(messages)) {
  if (messages_.empty()) throw std::invalid_argument("a chat template needs at least one message");
  for (const auto& m : messages_) {
    for (const auto& name : m.prompt().input_variables()) {
      if (std::find(input_variables_.begin(), input_variables_.end(), name) ==
          input_variables_.end()) {
        input_variables_.push_back(name);
      }
    }
  }
}

ChatPromptTemplate ChatPromptTemplate::from_messages(std::vector<MessagePromptTemplate> messages) {
  return ChatPromptTemplate(std::move(messages));
}

ChatPromptTemplate ChatPromptTemplate::from_messages(
    const std::vector<std::pair<std::string, std::string>>& role_and_text) {
  std::vector<MessagePromptTemplate> messages;
  messages.reserve(role_and_text.size());
  for (const auto& [role, text] : role_and_text)
    messages.emplace_back(role, PromptTemplate::from_template(text, TemplateFormat::f_string));
  return ChatPromptTemplate(std::move(messages));
}

std::vector<Message> ChatPromptTemplate::format_messages(const Value& variables) const {
  std::vector<Message> out;
  out.reserve(messages_.size());
  for (const auto& m : messages_) out.push_back(m.format(variables));
  return out;
}

}  // namespace prompt_template
