#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "prompt_template/prompt_template.hpp"

namespace {

using prompt_template::MissingVariableError;
using prompt_template::PromptTemplate;
using prompt_template::TemplateError;
using prompt_template::TemplateFormat;
using prompt_template::TemplateSyntaxError;
using state_graph::Value;

constexpr auto kF = TemplateFormat::f_string;
constexpr auto kJ = TemplateFormat::jinja2;

struct RenderCase {
  const char* label;
  TemplateFormat format;
  std::string text;
  const char* variables;  // JSON object
  std::string expected;
};

TEST(PromptTemplate, RendersTableOfCases) {
  const std::vector<RenderCase> cases = {
      // single-brace
      {"f plain", kF, "no variables\n", "{}", "no variables\n"},
      {"f twice", kF, "<D>{dialect}</D> use {dialect}.", R"({"dialect": "sqlite"})",
       "<D>sqlite</D> use sqlite."},
      {"f adjacent", kF, "{a}{b}", R"({"a": "1", "b": "2"})", "12"},
      {"f braces without a bare name stay", kF,
       R"({"relevant_tables": ["T"]} {} { a } {1a} {a-b} {)", R"({"a": "X"})",
       R"({"relevant_tables": ["T"]} {} { a } {1a} {a-b} {)"},
      {"f double braces hold a placeholder", kF, "{{a}}", R"({"a": "X"})", "{X}"},
      {"f values are not re-expanded", kF, "{a}|{b}", R"({"a": "{b}", "b": "no"})", "{b}|no"},
      {"f extra variables ignored", kF, "{a}", R"({"z": 1, "a": "x", "y": null})", "x"},
      {"f non-string values", kF, "{n} {t} {i} {f} {l}",
       R"({"n": null, "t": true, "i": 3, "f": 2.5, "l": ["a", 1]})", "None True 3 2.5 ['a', 1]"},
      {"f line breaks in values kept", kF, "code:\n    {c}", R"({"c": "a\nb"})", "code:\n    a\nb"},
      {"f utf-8 kept", kF, "\xc3\xa9{a}\xe2\x82\xac", R"({"a": "\u00fc"})",
       "\xc3\xa9\xc3\xbc\xe2\x82\xac"},
      {"f trailing newline kept", kF, "{a}\n", R"({"a": "x"})", "x\n"},
      // Jinja subset
      {"j spacing inside tags", kJ, "{{ a }}|{{a}}|{{   a\n}}", R"({"a": "x"})", "x|x|x"},
      {"j stray delimiters are text", kJ, "} }} %} { a {x}", "{}", "} }} %} { a {x}"},
      {"j no escaping", kJ, "<q>{{ a }}</q>", R"({"a": "<b>&'\"</b>"})", "<q><b>&'\"</b></q>"},
      {"j values are not re-rendered", kJ, "{{ a }}", R"({"a": "{{ b }}{% for %}"})",
       "{{ b }}{% for %}"},
      {"j non-string values", kJ, "{{ n }} {{ t }} {{ f }}",
       R"({"n": null, "t": false, "f": 1e16})", "None False 1e+16"},
      {"j empty loop keeps the text around it", kJ,
       "<c>\n    {% for q, e in xs %}\n  <p>{{ q }}</p>\n    {% endfor %}\n</c>", R"({"xs": []})",
       "<c>\n    \n</c>"},
      {"j loop with one pair", kJ,
       "[{% for q, e in xs %}({{ loop.index }}:{{ q }}={{ e }}){% endfor %}]",
       R"({"xs": [["q1", "e1"]]})", "[(1:q1=e1)]"},
      {"j loop with two pairs in order", kJ,
       "{% for q, e in xs %}\n<i n=\"{{ loop.index }}\">{{ q }}/{{ e }}</i>\n{% endfor %}.",
       R"({"xs": [["q1", "e1"], ["q2", null]]})",
       "\n<i n=\"1\">q1/e1</i>\n\n<i n=\"2\">q2/None</i>\n."},
      {"j compact for tag", kJ, "{%for a,b in xs%}{{a}}{{b}}{%endfor%}", R"({"xs": [[1, 2]]})",
       "12"},
      {"j single-name loop binds the element", kJ,
       "{% for x in xs %}{{ loop.index }}{{ x }};{% endfor %}", R"({"xs": ["a", ["b", 1]]})",
       "1a;2['b', 1];"},
      {"j loop names hide outer variables", kJ,
       "{{ q }}{% for q, e in xs %}{{ q }}{% endfor %}{{ q }}",
       R"({"q": "out", "xs": [["in", "-"]]})", "outinout"},
      {"j nested loops number innermost", kJ,
       "{% for a, bs in xs %}{{ loop.index }}{{ a }}({% for b in bs %}{{ loop.index }}{{ b }}{% "
       "endfor %}){{ loop.index }} {% endfor %}",
       R"({"xs": [["x", ["p", "q"]], ["y", []]]})", "1x(1p2q)1 2y()2 "},
      {"j one final line break dropped", kJ, "a {{ v }}\n", R"({"v": "b"})", "a b"},
      {"j only one final line break dropped", kJ, "a\n\n", "{}", "a\n"},
      {"j final crlf dropped and crlf written as lf", kJ, "a\r\nb\rc\r\n", "{}", "a\nb\nc"},
      {"j line breaks in values kept as they are", kJ, "{{ v }}", R"({"v": "x\r\n"})", "x\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const PromptTemplate t = PromptTemplate::from_template(c.text, c.format);
    EXPECT_EQ(t.format(Value::parse(c.variables)), c.expected);
    EXPECT_EQ(t.template_text(), c.text);
    EXPECT_EQ(t.template_format(), c.format);
  }
}

TEST(PromptTemplate, InputVariablesInOrderOfFirstUseWithoutLoopNames) {
  EXPECT_EQ(PromptTemplate::from_template("{b} {a} {b} {{c}}").input_variables(),
            (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_EQ(PromptTemplate::from_template(
                "{{ q }}{% for q, e in xs %}{{ q }}{{ e }}{{ s }}{% endfor %}{{ e }}", kJ)
                .input_variables(),
            (std::vector<std::string>{"q", "xs", "s", "e"}));
}

struct SyntaxCase {
  std::string text;
  std::string says;  // part of the message
  std::size_t offset, line, column;
};

TEST(PromptTemplate, RejectsUnsupportedJinjaSyntaxWhenBuiltWithItsPosition) {
  const std::vector<SyntaxCase> cases = {
      {"ab {{ name | upper }}", "filters are not supported", 3, 1, 4},
      {"{% if x %}y{% endif %}", "unsupported statement 'if'", 0, 1, 1},
      {"x\n{# note #}", "comments", 2, 2, 1},
      {"line1\nline2 {{ name", "unclosed tag", 12, 2, 7},
      {"a {% for q, e in xs", "unclosed tag: '{%' without '%}'", 2, 1, 3},
      {"\n\n  {% for q, e in xs %}{{ q }}", "for loop without '{% endfor %}'", 4, 3, 3},
      {"{% for a in xs %}{% for b in a %}{% endfor %}", "for loop without", 0, 1, 1},
      {"x {% endfor %}", "'endfor' without an open for loop", 2, 1, 3},
      {"{{ a.b }}", "only a variable name or 'loop.index'", 0, 1, 1},
      {"{% for a in xs %}{{ loop.index0 }}{% endfor %}", "only a variable name", 17, 1, 18},
      {"{% for a in xs %}{{ loop }}{% endfor %}", "only 'loop.index'", 17, 1, 18},
      {"{{ loop.index }}", "'loop.index' outside a for loop", 0, 1, 1},
      {"{{ }}", "only a variable name", 0, 1, 1},
      {"{% %}", "empty statement tag", 0, 1, 1},
      {"{%- for a in xs %}{% endfor %}", "whitespace control", 0, 1, 1},
      {"{% for a in xs -%}{% endfor %}", "whitespace control", 0, 1, 1},
      {"{{- a }}", "whitespace control", 0, 1, 1},
      {"{% for a b in xs %}{% endfor %}", "unsupported for loop", 0, 1, 1},
      {"{% for a, b, c in xs %}{% endfor %}", "unsupported for loop", 0, 1, 1},
      {"{% for a in xs | reverse %}{% endfor %}", "unsupported for loop", 0, 1, 1},
      {"{% for a in xs if a %}{% endfor %}", "unsupported for loop", 0, 1, 1},
      {"{% for a in %}{% endfor %}", "unsupported for loop", 0, 1, 1},
      {"{% for a, a in xs %}{% endfor %}", "same name", 0, 1, 1},
      {"{% for loop in xs %}{% endfor %}", "'loop' cannot be a loop variable", 0, 1, 1},
      {"{% for a in xs %}{% else %}{% endfor %}", "unsupported statement 'else'", 17, 1, 18},
      {"{% endfor x %}", "unexpected words", 0, 1, 1},
      {"{% raw %}{{ x }}{% endraw %}", "unsupported statement 'raw'", 0, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      PromptTemplate::from_template(c.text, kJ);
      ADD_FAILURE() << "built without an error";
    } catch (const TemplateSyntaxError& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find(c.says), std::string::npos) << message;
      const std::string where = "line " + std::to_string(c.line) + ", column " +
                                std::to_string(c.column) + " (offset " + std::to_string(c.offset) +
                                ")";
      EXPECT_NE(message.find(where), std::string::npos) << message;
      EXPECT_EQ(e.offset(), c.offset);
      EXPECT_EQ(e.line(), c.line);
      EXPECT_EQ(e.column(), c.column);
    }
  }
}

TEST(PromptTemplate, SyntaxErrorsAreTemplateAndArgumentErrors) {
  EXPECT_THROW(PromptTemplate::from_template("{{ a | b }}", kJ), TemplateError);
  EXPECT_THROW(PromptTemplate::from_template("{{ a | b }}", kJ), std::invalid_argument);
  // The same text is fine in the single-brace syntax, where it holds no placeholder.
  EXPECT_EQ(PromptTemplate::from_template("{{ a | b }}").format(Value::object()), "{{ a | b }}");
}

struct MissingCase {
  TemplateFormat format;
  std::string text;
  const char* variables;
  std::string missing;
};

TEST(PromptTemplate, MissingVariableIsNamed) {
  const std::vector<MissingCase> cases = {
      {kF, "{user_question} and {dialect}", R"({"user_question": "q"})", "dialect"},
      {kF, "{a}", "null", "a"},
      {kJ, "x {{ save_path }}", R"({"other": 1})", "save_path"},
      {kJ, "{% for q, e in zipped %}{% endfor %}", "{}", "zipped"},
      {kJ, "{% for q, e in xs %}{{ q }}{{ outer }}{% endfor %}", R"({"xs": [["a", "b"]]})",
       "outer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const PromptTemplate t = PromptTemplate::from_template(c.text, c.format);
    try {
      t.format(Value::parse(c.variables));
      ADD_FAILURE() << "formatted without an error";
    } catch (const MissingVariableError& e) {
      EXPECT_EQ(e.name(), c.missing);
      EXPECT_NE(std::string(e.what()).find("'" + c.missing + "'"), std::string::npos) << e.what();
    }
  }
  // A loop over an empty list never needs the names used only inside it.
  EXPECT_EQ(PromptTemplate::from_template("{% for q in xs %}{{ nowhere }}{% endfor %}", kJ)
                .format(Value::parse(R"({"xs": []})")),
            "");
}

TEST(PromptTemplate, LoopOverValuesOfTheWrongShapeIsAnError) {
  const PromptTemplate pairs =
      PromptTemplate::from_template("{% for q, r in xs %}{{ q }}{% endfor %}", kJ);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {R"({"xs": "ab"})", "must be a list to loop over, not string"},
      {R"({"xs": null})", "must be a list to loop over, not null"},
      {R"({"xs": {"a": 1}})", "must be a list to loop over, not object"},
      {R"({"xs": [["q", "r"], ["q", "r", "extra"]]})", "element 2 of template variable 'xs'"},
      {R"({"xs": ["qr"]})", "element 1 of template variable 'xs'"},
  };
  for (const auto& [vars, says] : cases) {
    SCOPED_TRACE(vars);
    try {
      pairs.format(Value::parse(vars));
      ADD_FAILURE() << "formatted without an error";
    } catch (const TemplateError& e) {
      EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
    }
  }
}

TEST(PromptTemplate, VariablesMustBeAnObject) {
  const PromptTemplate t = PromptTemplate::from_template("plain");
  EXPECT_EQ(t.format(Value()), "plain");
  EXPECT_THROW(t.format(Value::array({1})), std::invalid_argument);
  EXPECT_THROW(t.format(Value("a")), std::invalid_argument);
}

}  // namespace
