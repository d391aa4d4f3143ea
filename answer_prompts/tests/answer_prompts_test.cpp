// The prompt constants, byte for byte, and each one rendered the way the answer nodes render it.
// The expected texts here are written out independently of the library's definitions.
#include "answer_prompts/answer_prompts.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "prompt_template/prompt_template.hpp"

// Readable failure output for messages.
namespace prompt_template {
void PrintTo(const Message& m, std::ostream* os) {
  *os << "{" << m.role << ": \"" << m.content << "\"}";
}
}  // namespace prompt_template

namespace {

using namespace answer_prompts;  // NOLINT(google-build-using-namespace): the constants' own names
using prompt_template::ChatPromptTemplate;
using prompt_template::HumanMessagePromptTemplate;
using prompt_template::Message;
using prompt_template::PromptTemplate;
using prompt_template::SystemMessagePromptTemplate;
using prompt_template::TemplateFormat;
using state_graph::Value;

struct ConstantCase {
  const char* name;
  std::string_view constant;
  std::string_view expected;
};

TEST(AnswerPrompts, ConstantsAreTheExactTextsInOrder) {
  // clang-format off
  const std::vector<ConstantCase> cases = {
    {"SQL_PREFIX", SQL_PREFIX,
     "\n<SQLAgent>\n  <Dialect>{dialect}</Dialect>\n  <Guidelines>\n    - Use correct syntax for {dialect}.\n    - Table names must match the database list exactly.\n    - No DML operations (INSERT, UPDATE, DELETE, DROP, etc.).\n    - Limit query results and avoid querying all columns where applicable.\n  </Guidelines>\n</SQLAgent>\n"},
    {"GET_RELEVANT_TABLE_NAMES_TEMPLATE", GET_RELEVANT_TABLE_NAMES_TEMPLATE,
     "\n  <context>\n    <user_question>{user_question}</user_question>\n    <table_names>{table_names_from_db}</table_names>\n  </context>\n"},
    {"TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE", TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE,
     "\n  <task>\n    Identify and return relevant table names from <table_names>. Ensure matching case. Format as JSON: \n    {\"relevant_tables\": [\"TABLE_NAME_1\", \"TABLE_NAME_2\"]}.\n  </task>\n"},
    {"REWRITE_QUESTION_TEMPLATE", REWRITE_QUESTION_TEMPLATE,
     "\n<context>\n  <user_question>{user_question}</user_question>\n  <database_info>\n      <schemas_database>\n        {schemas_from_all_tables}\n      </schemas_database>\n  </database_info>\n</context>\n<task>\n Rewrite this question by adapting database information. Enclose the rewritten question in <rewritten_question> tags.\n</task>\n"},
    {"GENERATE_SQL_TEMPLATE", GENERATE_SQL_TEMPLATE,
     "\n  <context>\n    <user_question>{user_question}</user_question>\n\n    <database_info>\n      <schemas_database>\n        {schemas_from_relevant_tables}\n      </schemas_database>\n    </database_info>\n\n  </context>\n\n  <task>\n    Generate a SQL query for the user's question. Enclose the query in <sql_query> tags.\n    Do not return anything other than the sql query in <sql_query> tags.\n    The questions asking for trends/forecasting will need you to reason highly, deal with errors such as incorrect date formatting since you are an intelligent agent.\n  </task>\n"},
    {"CORRECT_SQL_TEMPLATE", CORRECT_SQL_TEMPLATE,
     "\n<context>\n  <user_question>{{ user_question }}</user_question>\n\n  <database_info>\n    <schemas_database>\n        {{ schemas_from_relevant_tables }}\n    </schemas_database>\n  </database_info>\n\n  <sql_context>\n    {% for query, error in zipped_queries_errors %}\n      <query_execution_pair>\n        <query index=\"{{ loop.index }}\">\n          {{ query }}\n        </query>\n        <error index=\"{{ loop.index }}\">\n          {{ error }}\n        </error>\n      </query_execution_pair>\n    {% endfor %}\n  </sql_context>\n</context>\n\n<task>\n  <sql_analysis>\n    Analyze the SQL queries and respective errors provided in the <sql_context> section.\n    Use the indexed pairs to identify the most likely cause of each error and reason briefly about how to fix it.\n  </sql_analysis>\n  <sql_correction>\n    Based on the analysis, correct the SQL query.\n    Use your reasoning from the <sql_analysis> to make specific adjustments.\n    Enclose the query in <sql_query> tags.\n  </sql_correction>\n</task>\n"},
    {"PANDAS_SYSTEM_TEMPLATE", PANDAS_SYSTEM_TEMPLATE,
     "\"\nYou are an pandas assistant code. \nUse this script for filling None/Na value.\n```\ndef fillna_based_on_dtype(df):\n    for column in df.columns:\n        if pd.api.types.is_numeric_dtype(df[column]):\n            df[column] = df[column].fillna(0)  # Example: fill numeric with mean\n        elif pd.api.types.is_categorical_dtype(df[column]) or df[column].dtype == object:\n            df[column] = df[column].fillna(\"\")  # Example: fill categorical with mode\n        elif pd.api.types.is_bool_dtype(df[column]):\n            df[column] = df[column].fillna(False)  # Example: fill boolean with False\n    return df\n```\nRemember when dealing with Decimal (from execution result), treat them as float values.\nThe following modules are already installed and you can utilise them for questions that require\nyour creativity: # The agents default modules are :[\"matplotlib\", \"scikit-learn\", \"numpy\", \"statsmodels\", \"pandas\",\n\"scipy\", \"datetime\", \"decimal\"]\nWhen using matplotlib dont show the graph instead save it in {{ save_path }} - matplotlib code should\ncreate this directory if doesnt exist-  in the current base directory. When you generate\na graph label it well, and metion you generate a graph and return the path to saved graph in your final\nresponse.\n\nThe only allowed file types you can generate are images(so if you generate a table e.g it has to be in image\nformat). The questions asking for trends/forecasting will need you to reason highly, deal with \nerrors such as incorrect date formatting since you are an intelligent ag\nent.\nRemember to include from decimal import Decimal at beginning code block.\n"},
    {"PANDAS_HUMAN_TEMPLATE", PANDAS_HUMAN_TEMPLATE,
     "\n<context>\n    <original_question>{{ original_question }}</original_question>\n    <sql_context>\n      {% for query, execution_result in zipped_queries_results %}\n          <query index=\"{{ loop.index }}\">\n            {{ query }}\n          </query>\n          <execution_result index=\"{{ loop.index }}\">\n            {{ execution_result }}\n          </execution_result>\n      {% endfor %}\n    </sql_context>\n</context>\n"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.constant.size(), c.expected.size());
    EXPECT_EQ(c.constant, c.expected);
  }

  EXPECT_EQ(PANDAS_SYSTEM_TEMPLATE.substr(0, 2), "\"\n");
  EXPECT_NE(PANDAS_SYSTEM_TEMPLATE.find("an intelligent ag\nent.\n"), std::string_view::npos);
  EXPECT_NE(PANDAS_SYSTEM_TEMPLATE.find("code. \nUse"), std::string_view::npos);
}

const std::string kDialect = "postgresql";
const std::string kQuestion = "How many orders did Ann place in 2024?";
const std::string kSchemas = "CREATE TABLE orders (id INTEGER, customer TEXT, placed DATE)";

// SQL_PREFIX with "postgresql" in both places.
const std::string kSqlPrefixPostgres =
    "\n"
    "<SQLAgent>\n"
    "  <Dialect>postgresql</Dialect>\n"
    "  <Guidelines>\n"
    "    - Use correct syntax for postgresql.\n"
    "    - Table names must match the database list exactly.\n"
    "    - No DML operations (INSERT, UPDATE, DELETE, DROP, etc.).\n"
    "    - Limit query results and avoid querying all columns where applicable.\n"
    "  </Guidelines>\n"
    "</SQLAgent>\n";

TEST(AnswerPrompts, TableSelectionPromptWithTailAppended) {
  const ChatPromptTemplate chat = ChatPromptTemplate::from_messages({
      SystemMessagePromptTemplate::from_template(SQL_PREFIX),
      HumanMessagePromptTemplate::from_template(GET_RELEVANT_TABLE_NAMES_TEMPLATE),
  });
  std::vector<Message> messages = chat.format_messages(Value{
      {"dialect", kDialect},
      {"user_question", kQuestion},
      {"table_names_from_db", "customers,orders,items"},
  });
  ASSERT_EQ(messages.size(), 2u);
  messages[1].content += TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE;

  EXPECT_EQ(messages[0], (Message{"system", kSqlPrefixPostgres}));
  const std::string human =
      "\n"
      "  <context>\n"
      "    <user_question>How many orders did Ann place in 2024?</user_question>\n"
      "    <table_names>customers,orders,items</table_names>\n"
      "  </context>\n"
      "\n"
      "  <task>\n"
      "    Identify and return relevant table names from <table_names>. Ensure matching case. "
      "Format as JSON: \n"
      "    {\"relevant_tables\": [\"TABLE_NAME_1\", \"TABLE_NAME_2\"]}.\n"
      "  </task>\n";
  EXPECT_EQ(messages[1], (Message{"user", human}));
}

TEST(AnswerPrompts, RewritePromptInsertsValuesVerbatim) {
  const ChatPromptTemplate chat = ChatPromptTemplate::from_messages(
      {SystemMessagePromptTemplate::from_template(REWRITE_QUESTION_TEMPLATE)});
  const std::vector<Message> messages = chat.format_messages(Value{
      {"user_question", "What does {dialect} mean for orders?"},
      {"schemas_from_all_tables", kSchemas + "\nCREATE TABLE customers (name TEXT)"},
      {"rewritten_question", "ignored"},
  });
  const std::string expected =
      "\n"
      "<context>\n"
      "  <user_question>What does {dialect} mean for orders?</user_question>\n"
      "  <database_info>\n"
      "      <schemas_database>\n"
      "        CREATE TABLE orders (id INTEGER, customer TEXT, placed DATE)\n"
      "CREATE TABLE customers (name TEXT)\n"
      "      </schemas_database>\n"
      "  </database_info>\n"
      "</context>\n"
      "<task>\n"
      " Rewrite this question by adapting database information. Enclose the rewritten question "
      "in <rewritten_question> tags.\n"
      "</task>\n";
  EXPECT_EQ(messages, (std::vector<Message>{{"system", expected}}));
}

TEST(AnswerPrompts, GenerateSqlTemplateFormatsAsSingleBraceText) {
  const std::string expected =
      "\n"
      "  <context>\n"
      "    <user_question>How many orders did Ann place in 2024?</user_question>\n"
      "\n"
      "    <database_info>\n"
      "      <schemas_database>\n"
      "        CREATE TABLE orders (id INTEGER, customer TEXT, placed DATE)\n"
      "      </schemas_database>\n"
      "    </database_info>\n"
      "\n"
      "  </context>\n"
      "\n"
      "  <task>\n"
      "    Generate a SQL query for the user's question. Enclose the query in <sql_query> tags.\n"
      "    Do not return anything other than the sql query in <sql_query> tags.\n"
      "    The questions asking for trends/forecasting will need you to reason highly, deal with "
      "errors such as incorrect date formatting since you are an intelligent agent.\n"
      "  </task>\n";
  EXPECT_EQ(
      PromptTemplate::from_template(GENERATE_SQL_TEMPLATE)
          .format(Value{{"user_question", kQuestion}, {"schemas_from_relevant_tables", kSchemas}}),
      expected);
}

// The part of the rendered CORRECT_SQL_TEMPLATE after the sql_context element. The engine's
// default rendering drops the template's final line break.
const std::string kCorrectSqlTail =
    "</context>\n"
    "\n"
    "<task>\n"
    "  <sql_analysis>\n"
    "    Analyze the SQL queries and respective errors provided in the <sql_context> section.\n"
    "    Use the indexed pairs to identify the most likely cause of each error and reason briefly "
    "about how to fix it.\n"
    "  </sql_analysis>\n"
    "  <sql_correction>\n"
    "    Based on the analysis, correct the SQL query.\n"
    "    Use your reasoning from the <sql_analysis> to make specific adjustments.\n"
    "    Enclose the query in <sql_query> tags.\n"
    "  </sql_correction>\n"
    "</task>";

const std::string kCorrectSqlHead =
    "\n"
    "<context>\n"
    "  <user_question>How many orders did Ann place in 2024?</user_question>\n"
    "\n"
    "  <database_info>\n"
    "    <schemas_database>\n"
    "        CREATE TABLE orders (id INTEGER, customer TEXT, placed DATE)\n"
    "    </schemas_database>\n"
    "  </database_info>\n"
    "\n";

ChatPromptTemplate correction_template() {
  return ChatPromptTemplate::from_messages({
      SystemMessagePromptTemplate::from_template(SQL_PREFIX),
      HumanMessagePromptTemplate::from_template(CORRECT_SQL_TEMPLATE, TemplateFormat::jinja2),
  });
}

TEST(AnswerPrompts, CorrectSqlPromptWithTwoPairs) {
  const Value pairs = Value::parse(R"([
      ["SELECT COUNT(*) FROM order", "near \"order\": syntax error"],
      ["SELECT COUNT(*) FROM orders WHERE customer = 'Ann' AND placed < '2024-01-01'", "None"]])");
  const std::vector<Message> messages = correction_template().format_messages(Value{
      {"dialect", kDialect},
      {"user_question", kQuestion},
      {"schemas_from_relevant_tables", kSchemas},
      {"zipped_queries_errors", pairs},
      {"sql_generation_prompt_type", "correction"},
  });
  const std::string human =
      kCorrectSqlHead +
      "  <sql_context>\n"
      "    \n"
      "      <query_execution_pair>\n"
      "        <query index=\"1\">\n"
      "          SELECT COUNT(*) FROM order\n"
      "        </query>\n"
      "        <error index=\"1\">\n"
      "          near \"order\": syntax error\n"
      "        </error>\n"
      "      </query_execution_pair>\n"
      "    \n"
      "      <query_execution_pair>\n"
      "        <query index=\"2\">\n"
      "          SELECT COUNT(*) FROM orders WHERE customer = 'Ann' AND placed < '2024-01-01'\n"
      "        </query>\n"
      "        <error index=\"2\">\n"
      "          None\n"
      "        </error>\n"
      "      </query_execution_pair>\n"
      "    \n"
      "  </sql_context>\n" +
      kCorrectSqlTail;
  EXPECT_EQ(messages, (std::vector<Message>{{"system", kSqlPrefixPostgres}, {"user", human}}));
}

TEST(AnswerPrompts, CorrectSqlPromptWithNoPairs) {
  const std::vector<Message> messages = correction_template().format_messages(Value{
      {"dialect", kDialect},
      {"user_question", kQuestion},
      {"schemas_from_relevant_tables", kSchemas},
      {"zipped_queries_errors", Value::array()},
  });
  const std::string human = kCorrectSqlHead +
                            "  <sql_context>\n"
                            "    \n"
                            "  </sql_context>\n" +
                            kCorrectSqlTail;
  EXPECT_EQ(messages, (std::vector<Message>{{"system", kSqlPrefixPostgres}, {"user", human}}));
}

// PANDAS_SYSTEM_TEMPLATE with save_path "output/charts/", as the engine renders it (no final line
// break).
const std::string kPandasSystemRendered =
    "\"\n"
    "You are an pandas assistant code. \n"
    "Use this script for filling None/Na value.\n"
    "```\n"
    "def fillna_based_on_dtype(df):\n"
    "    for column in df.columns:\n"
    "        if pd.api.types.is_numeric_dtype(df[column]):\n"
    "            df[column] = df[column].fillna(0)  # Example: fill numeric with mean\n"
    "        elif pd.api.types.is_categorical_dtype(df[column]) or df[column].dtype == object:\n"
    "            df[column] = df[column].fillna(\"\")  # Example: fill categorical with mode\n"
    "        elif pd.api.types.is_bool_dtype(df[column]):\n"
    "            df[column] = df[column].fillna(False)  # Example: fill boolean with False\n"
    "    return df\n"
    "```\n"
    "Remember when dealing with Decimal (from execution result), treat them as float values.\n"
    "The following modules are already installed and you can utilise them for questions that "
    "require\n"
    "your creativity: # The agents default modules are :[\"matplotlib\", \"scikit-learn\", "
    "\"numpy\", \"statsmodels\", \"pandas\",\n"
    "\"scipy\", \"datetime\", \"decimal\"]\n"
    "When using matplotlib dont show the graph instead save it in output/charts/ - matplotlib "
    "code should\n"
    "create this directory if doesnt exist-  in the current base directory. When you generate\n"
    "a graph label it well, and metion you generate a graph and return the path to saved graph "
    "in your final\n"
    "response.\n"
    "\n"
    "The only allowed file types you can generate are images(so if you generate a table e.g it "
    "has to be in image\n"
    "format). The questions asking for trends/forecasting will need you to reason highly, deal "
    "with \n"
    "errors such as incorrect date formatting since you are an intelligent ag\n"
    "ent.\n"
    "Remember to include from decimal import Decimal at beginning code block.";

TEST(AnswerPrompts, PandasPromptsWithSavePathAndTwoPairs) {
  const ChatPromptTemplate chat = ChatPromptTemplate::from_messages({
      SystemMessagePromptTemplate::from_template(PANDAS_SYSTEM_TEMPLATE, TemplateFormat::jinja2),
      HumanMessagePromptTemplate::from_template(PANDAS_HUMAN_TEMPLATE, TemplateFormat::jinja2),
  });
  const Value pairs = Value::parse(R"([
      ["SELECT customer, SUM(total) FROM orders GROUP BY customer LIMIT 2",
       "[('Ann', Decimal('9.50')), ('Bob', None)]"],
      ["SELECT COUNT(*) FROM orders", "[(2,)]"]])");
  const std::vector<Message> messages = chat.format_messages(Value{
      {"original_question", kQuestion},
      {"zipped_queries_results", pairs},
      {"save_path", "output/charts/"},
  });
  const std::string human =
      "\n"
      "<context>\n"
      "    <original_question>How many orders did Ann place in 2024?</original_question>\n"
      "    <sql_context>\n"
      "      \n"
      "          <query index=\"1\">\n"
      "            SELECT customer, SUM(total) FROM orders GROUP BY customer LIMIT 2\n"
      "          </query>\n"
      "          <execution_result index=\"1\">\n"
      "            [('Ann', Decimal('9.50')), ('Bob', None)]\n"
      "          </execution_result>\n"
      "      \n"
      "          <query index=\"2\">\n"
      "            SELECT COUNT(*) FROM orders\n"
      "          </query>\n"
      "          <execution_result index=\"2\">\n"
      "            [(2,)]\n"
      "          </execution_result>\n"
      "      \n"
      "    </sql_context>\n"
      "</context>";
  EXPECT_EQ(messages, (std::vector<Message>{{"system", kPandasSystemRendered}, {"user", human}}));
  EXPECT_EQ(messages[0].content.front(), '"');
}

TEST(AnswerPrompts, PandasSystemTemplateAsTheOnlyUserMessage) {
  const ChatPromptTemplate chat = ChatPromptTemplate::from_messages(
      {HumanMessagePromptTemplate::from_template(PANDAS_SYSTEM_TEMPLATE, TemplateFormat::jinja2)});
  EXPECT_EQ(chat.input_variables(), (std::vector<std::string>{"save_path"}));
  EXPECT_EQ(chat.format_messages(Value{{"save_path", "output/charts/"}}),
            (std::vector<Message>{{"user", kPandasSystemRendered}}));
}

}  // namespace
