#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "prompt_template/prompt_template.hpp"

// Readable failure output for messages.
namespace prompt_template {
void PrintTo(const Message& m, std::ostream* os) {
  *os << "{" << m.role << ": \"" << m.content << "\"}";
}
}  // namespace prompt_template

namespace {

using prompt_template::ChatPromptTemplate;
using prompt_template::HumanMessagePromptTemplate;
using prompt_template::Message;
using prompt_template::MessagePromptTemplate;
using prompt_template::MissingVariableError;
using prompt_template::PromptTemplate;
using prompt_template::SystemMessagePromptTemplate;
using prompt_template::TemplateFormat;
using prompt_template::TemplateSyntaxError;
using state_graph::Value;

TEST(ChatPromptTemplate, MessageTemplatesKeepOrderRoleAndFormat) {
  const ChatPromptTemplate chat = ChatPromptTemplate::from_messages({
      SystemMessagePromptTemplate::from_template("Use {dialect}."),
      HumanMessagePromptTemplate::from_template(
          "{{ q }}:{% for a, b in xs %} {{ loop.index }}={{ a }}{{ b }}{% endfor %}",
          TemplateFormat::jinja2),
      SystemMessagePromptTemplate::from_template("{{q}} {{ q }} {q}"),
  });
  const Value vars = Value::parse(
      R"({"dialect": "postgresql", "q": "Q", "xs": [["a", 1], ["b", 2]], "unused": [1, 2]})");
  const std::vector<Message> expected = {
      {"system", "Use postgresql."},
      {"user", "Q: 1=a1 2=b2"},
      {"system", "{Q} {{ q }} Q"},  // single-brace: only braces around a bare name count
  };
  EXPECT_EQ(chat.format_messages(vars), expected);
  EXPECT_EQ(chat.input_variables(), (std::vector<std::string>{"dialect", "q", "xs"}));
  ASSERT_EQ(chat.messages().size(), 3u);
  EXPECT_EQ(chat.messages()[1].role(), "user");
  EXPECT_EQ(chat.messages()[1].prompt().template_format(), TemplateFormat::jinja2);
}

TEST(ChatPromptTemplate, RoleAndTextPairsUseSingleBraces) {
  const ChatPromptTemplate chat = ChatPromptTemplate::from_messages({
      {"system", "A {dialect} agent {{ not_jinja }}"},
      {"user", "{user_question}\n Schemas: {schemas}"},
  });
  std::vector<Message> messages = chat.format_messages(
      Value::parse(R"j({"dialect": "sqlite", "user_question": "How many?", "schemas": "T(a)",
                        "not_jinja": "N"})j"));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], (Message{"system", "A sqlite agent {{ not_jinja }}"}));
  EXPECT_EQ(messages[1], (Message{"user", "How many?\n Schemas: T(a)"}));
  // Content is a plain text that callers extend after formatting; braces appended are literal.
  messages[1].content += "\n{\"relevant_tables\": []}";
  EXPECT_EQ(messages[1].content, "How many?\n Schemas: T(a)\n{\"relevant_tables\": []}");
  // The template itself is unchanged by that.
  EXPECT_EQ(chat.format_messages(Value::parse(
                R"({"dialect": "d", "user_question": "u", "schemas": "s", "not_jinja": ""})"))[1]
                .content,
            "u\n Schemas: s");
}

TEST(ChatPromptTemplate, BadInputIsRejectedWithClearErrors) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  try {
    ChatPromptTemplate::from_messages(Pairs{{"assistant", "x"}});
    ADD_FAILURE() << "role accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("\"assistant\""), std::string::npos) << e.what();
  }
  EXPECT_THROW(ChatPromptTemplate::from_messages(Pairs{}), std::invalid_argument);
  EXPECT_THROW(ChatPromptTemplate::from_messages(std::vector<MessagePromptTemplate>{}),
               std::invalid_argument);
  EXPECT_THROW(MessagePromptTemplate("System", PromptTemplate::from_template("x")),
               std::invalid_argument);
  EXPECT_THROW(HumanMessagePromptTemplate::from_template("{% if a %}", TemplateFormat::jinja2),
               TemplateSyntaxError);

  const ChatPromptTemplate chat = ChatPromptTemplate::from_messages(
      Pairs{{"system", "{dialect}"}, {"user", "{user_question}"}});
  try {
    chat.format_messages(Value::parse(R"({"dialect": "x"})"));
    ADD_FAILURE() << "formatted without user_question";
  } catch (const MissingVariableError& e) {
    EXPECT_EQ(e.name(), "user_question");
  }
}

// Built templates are shared read-only; formatting from several threads at once gives every
// thread the same texts (run under ASKDB_SANITIZE=thread to check for races).
TEST(ChatPromptTemplate, FormatsFromSeveralThreadsAtOnce) {
  const ChatPromptTemplate chat = ChatPromptTemplate::from_messages({
      SystemMessagePromptTemplate::from_template("{dialect}"),
      HumanMessagePromptTemplate::from_template(
          "{% for a, b in xs %}{{ loop.index }}{{ a }}{{ b }}{% endfor %}", TemplateFormat::jinja2),
  });
  const ChatPromptTemplate copy = chat;  // copies share the parsed form
  std::vector<std::vector<Message>> results(8);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&, t] {
      const Value vars = {{"dialect", "t" + std::to_string(t)},
                          {"xs", Value::array({Value::array({"a", t}), Value::array({"b", t})})}};
      for (int i = 0; i < 200; ++i) results[t] = (t % 2 ? copy : chat).format_messages(vars);
    });
  }
  for (auto& th : threads) th.join();
  for (std::size_t t = 0; t < results.size(); ++t) {
    const std::string n = std::to_string(t);
    EXPECT_EQ(results[t],
              (std::vector<Message>{{"system", "t" + n}, {"user", "1a" + n + "2b" + n}}));
  }
}

}  // namespace
