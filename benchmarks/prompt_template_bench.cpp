// Cost of building and of formatting chat templates of the size the answer nodes use: a system
// message with one single-brace variable and a Jinja user message looping over query/error pairs.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <string>

#include "prompt_template/prompt_template.hpp"

namespace {

using prompt_template::ChatPromptTemplate;
using prompt_template::HumanMessagePromptTemplate;
using prompt_template::SystemMessagePromptTemplate;
using prompt_template::TemplateFormat;
using state_graph::Value;

const std::string kSystem =
    "\n<SQLAgent>\n  <Dialect>{dialect}</Dialect>\n  <Guidelines>\n    - Use correct syntax for "
    "{dialect}.\n    - Table names must match the database list exactly.\n  </Guidelines>\n"
    "</SQLAgent>\n";

const std::string kUser =
    "\n<context>\n  <user_question>{{ user_question }}</user_question>\n  <schemas>\n        {{ "
    "schemas }}\n  </schemas>\n  <sql_context>\n    {% for query, error in pairs %}\n      <pair>\n"
    "        <query index=\"{{ loop.index }}\">\n          {{ query }}\n        </query>\n"
    "        <error index=\"{{ loop.index }}\">\n          {{ error }}\n        </error>\n"
    "      </pair>\n    {% endfor %}\n  </sql_context>\n</context>\n<task>\n  Correct the SQL "
    "query.\n</task>\n";

ChatPromptTemplate build() {
  return ChatPromptTemplate::from_messages({
      SystemMessagePromptTemplate::from_template(kSystem),
      HumanMessagePromptTemplate::from_template(kUser, TemplateFormat::jinja2),
  });
}

Value variables(int pairs) {
  Value v = {{"dialect", "postgresql"},
             {"user_question", "Which customers ordered most last month?"},
             {"schemas", std::string(2000, 's')}};
  Value list = Value::array();
  for (int i = 0; i < pairs; ++i)
    list.push_back(Value::array({"SELECT name, SUM(total) FROM orders GROUP BY name LIMIT 20",
                                 "ERROR: column \"name\" does not exist"}));
  v["pairs"] = std::move(list);
  // The record fields the nodes pass along beside the template's own variables.
  for (int i = 0; i < 20; ++i) v["field_" + std::to_string(i)] = "value";
  return v;
}

void BM_BuildChatTemplate(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(build());
}
BENCHMARK(BM_BuildChatTemplate);

void BM_FormatMessages(benchmark::State& state) {
  const ChatPromptTemplate chat = build();
  const Value vars = variables(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(chat.format_messages(vars));
}
BENCHMARK(BM_FormatMessages)->Arg(0)->Arg(2)->Arg(5);

}  // namespace

BENCHMARK_MAIN();
