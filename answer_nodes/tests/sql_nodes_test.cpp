#include "answer_nodes/sql_nodes.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "answer_graph/sql_state.hpp"
#include "answer_nodes/sql_routing.hpp"
#include "answer_prompts/answer_prompts.hpp"
#include "logging/logging.hpp"
#include "table_picker/table_picker.hpp"
#include "test_support/fake_chat_server.hpp"
#include "test_support/scripted_model.hpp"

namespace answer_nodes {
namespace {

namespace fs = std::filesystem;
using answer_graph::SQLState;
using prompt_template::Message;
using state_graph::State;
using state_graph::Update;
using state_graph::Value;

std::string replace_all(std::string text, const std::string& key, const std::string& value) {
  for (auto pos = text.find(key); pos != std::string::npos;
       pos = text.find(key, pos + value.size()))
    text.replace(pos, key.size(), value);
  return text;
}

State state_with(const Value& values) {
  State s = SQLState::make();
  s.merge(values);
  return s;
}

sql_database::CustomSQLDatabase create_db(const std::string& name, const std::string& sql) {
  const std::string path = (fs::path(testing::TempDir()) /
                            ("askdb_sql_nodes_" + std::to_string(::getpid()) + "_" + name + ".db"))
                               .string();
  std::error_code ec;
  fs::remove(path, ec);
  sql_database::create_database_from_sql(path, sql);
  return sql_database::CustomSQLDatabase::from_uri("sqlite:///" + path);
}

const char* const kShopSql =
    "CREATE TABLE customers (customer_id INTEGER PRIMARY KEY, name TEXT NOT NULL, city TEXT);"
    "CREATE TABLE orders (order_id INTEGER PRIMARY KEY, customer_id INTEGER REFERENCES "
    "customers (customer_id), total REAL);"
    "CREATE TABLE products (product_id INTEGER PRIMARY KEY, title TEXT);"
    "INSERT INTO customers VALUES (1, 'Ann', 'Oslo'), (2, 'Bo', 'Rome');"
    "INSERT INTO orders VALUES (10, 1, 9.5), (11, 1, 20.0), (12, 2, 3.25);";

class SqlNodesTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    db_ = new sql_database::CustomSQLDatabase(create_db("shop", kShopSql));
  }
  static void TearDownTestSuite() { delete db_; }
  void TearDown() override { logging::to_stderr(); }

  chat_model::AzureChatOpenAI model() const {
    return chat_model::AzureChatOpenAI(server_.azure_settings(), Value{{"max_tokens", 256}});
  }
  static const sql_database::CustomSQLDatabase& db() { return *db_; }

  // Messages as the fake server received them.
  static std::vector<Message> sent(const test_support::RecordedRequest& request) {
    std::vector<Message> out;
    for (const auto& m : request.messages()) out.push_back({m["role"], m["content"]});
    return out;
  }

  static inline sql_database::CustomSQLDatabase* db_ = nullptr;
  test_support::FakeChatServer server_;
};

TEST_F(SqlNodesTest, TableNamesLookupListsEveryTableAndReadsNothing) {
  TableNamesLookup node(db());
  for (const State& s : {SQLState::make(), state_with(Value{{"table_names_from_db", "old"}})}) {
    const Update u = node.invoke(s);
    EXPECT_EQ(u.values, (Value{{"table_names_from_db", "customers, orders, products"}}));
    EXPECT_TRUE(u.overwrites.empty());
  }
}

TEST_F(SqlNodesTest, RelevantTableNamesPrompt) {
  const std::string tail =
      "\n  <task>\n    Identify and return relevant table names from <table_names>. Ensure "
      "matching case. Format as JSON: \n    {\"relevant_tables\": [\"TABLE_NAME_1\", "
      "\"TABLE_NAME_2\"]}.\n  </task>\n";
  const std::string system =
      replace_all(std::string(answer_prompts::SQL_PREFIX), "{dialect}", "sqlite");
  auto human = [&](const std::string& question, const std::string& names) {
    return "\n  <context>\n    <user_question>" + question + "</user_question>\n    <table_names>" +
           names + "</table_names>\n  </context>\n" + tail;
  };
  struct Case {
    const char* what;
    Value rewritten;
    Value listing;
    std::string question, names;
  };
  const std::vector<Case> cases = {
      {"no rewrite yet", "", "customers, orders", "How much did Ann spend?", "customers, orders"},
      {"after a rewrite", "Total of orders of customer Ann?", "customers, orders",
       "Total of orders of customer Ann?", "customers, orders"},
      {"a listing given as a list", "", Value{"customers", "orders", "products"},
       "How much did Ann spend?", "customers,orders,products"},
      {"braces in the question stay as they are", "{user_question} {x}", "t", "{user_question} {x}",
       "t"},
  };
  RelevantTableNames node(db(), model());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto messages =
        node.generate_prompt(state_with(Value{{"user_question", "How much did Ann spend?"},
                                              {"rewritten_question", c.rewritten},
                                              {"table_names_from_db", c.listing}}));
    EXPECT_EQ(messages,
              (std::vector<Message>{{"system", system}, {"user", human(c.question, c.names)}}));
  }

  server_.push_json_answer(Value{{"relevant_tables", {"orders", "Customers"}}});
  const State s = state_with(Value{{"user_question", "How much did Ann spend?"},
                                   {"rewritten_question", ""},
                                   {"table_names_from_db", "customers, orders"}});
  const Update u = node.invoke(s);
  EXPECT_EQ(u.values, (Value{{"relevant_tables", {"orders", "Customers"}}}));
  const auto request = server_.last_request();
  EXPECT_EQ(request.schema_name(), "RelevantTablesOutput");
  EXPECT_EQ(sent(request), node.generate_prompt(s));
  EXPECT_THROW(node.generate_prompt(state_with(Value{{"user_question", "q"}})),
               state_graph::MissingFieldError);
}

TEST_F(SqlNodesTest, RelevantSchemasDescribesTheChosenTablesAndRestartsGeneration) {
  const sql_database::InfoSQLDatabaseTool tool(db());
  struct Case {
    const char* what;
    Value relevant;
    std::string tool_input;
  };
  const std::vector<Case> cases = {
      {"two names", Value{"orders", "customers"}, "orders,customers"},
      {"no names", Value::array(), ""},
      {"a text", "products", "products"},
  };
  RelevantSchemas node(db());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    State s = state_with(
        Value{{"relevant_tables", c.relevant}, {"sql_generation_prompt_type", "correction"}});
    const Update u = node.invoke(s);
    EXPECT_EQ(u.values, (Value{{"sql_generation_prompt_type", "generation"},
                               {"schemas_from_relevant_tables", tool._run(c.tool_input)}}));
    s.merge(u);
    EXPECT_EQ(s.get("sql_generation_prompt_type"), "generation");
  }
  const std::string two =
      node.invoke(state_with(Value{{"relevant_tables", {"orders", "customers"}}}))
          .values["schemas_from_relevant_tables"];
  EXPECT_NE(two.find("CREATE TABLE orders"), std::string::npos);
  EXPECT_NE(two.find("CREATE TABLE customers"), std::string::npos);
  EXPECT_EQ(two.find("products"), std::string::npos);
  EXPECT_THROW(node.invoke(SQLState::make()), state_graph::MissingFieldError);
  EXPECT_THROW(node.invoke(state_with(Value{{"relevant_tables", {"orders", 3}}})),
               std::invalid_argument);
}

const char* const kGenerationSystem =
    "You are an agent designed to interact with a SQL database.\nGiven an input question, create "
    "a syntactically correct sqlite query to run, then look at the results of the query and "
    "return the answer.\nUnless the user specifies a specific number of examples they wish to "
    "obtain, always limit your query to at most 20 results.\nYou can order the results by a "
    "relevant column to return the most interesting examples in the database.\nNever query for "
    "all the columns from a specific table, only ask for the relevant columns given the "
    "question.\nYou have access to tools for interacting with the database.\nOnly use the below "
    "tools. Only use the information returned by the below tools to construct your final "
    "answer.\nYou MUST double check your query before executing it. If you get an error while "
    "executing a query, rewrite the query and try again.\n\nDO NOT make any DML statements "
    "(INSERT, UPDATE, DELETE, DROP etc.) to the database.\n\nIf the question does not seem "
    "related to the database, just return \"I don't know\" as the answer.";

// The correction message for the question and schema below, written out by hand.
std::string correction_text(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string text =
      "\n<context>\n  <user_question>How many orders?</user_question>\n\n  <database_info>\n"
      "    <schemas_database>\n        CREATE TABLE orders (id)\n    </schemas_database>\n"
      "  </database_info>\n\n  <sql_context>\n    ";
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    text += "\n      <query_execution_pair>\n        <query index=\"" + n + "\">\n          " +
            pairs[i].first + "\n        </query>\n        <error index=\"" + n + "\">\n          " +
            pairs[i].second + "\n        </error>\n      </query_execution_pair>\n    ";
  }
  text +=
      "\n  </sql_context>\n</context>\n\n<task>\n  <sql_analysis>\n    Analyze the SQL queries and "
      "respective errors provided in the <sql_context> section.\n    Use the indexed pairs to "
      "identify the most likely cause of each error and reason briefly about how to fix it.\n"
      "  </sql_analysis>\n  <sql_correction>\n    Based on the analysis, correct the SQL query.\n"
      "    Use your reasoning from the <sql_analysis> to make specific adjustments.\n    Enclose "
      "the query in <sql_query> tags.\n  </sql_correction>\n</task>";
  return text;
}

TEST_F(SqlNodesTest, SqlGenerationMessagesOfEachMode) {
  const Value base{{"user_question", "How many orders?"},
                   {"schemas_from_relevant_tables", "CREATE TABLE orders (id)"}};
  const std::string prefix =
      replace_all(std::string(answer_prompts::SQL_PREFIX), "{dialect}", "sqlite");
  struct Case {
    const char* what;
    Value mode;
    Value queries, results;
    std::vector<Message> want;
  };
  const std::vector<Case> cases = {
      {"generation",
       "generation",
       Value{"SELECT 1"},
       Value{"None"},
       {{"system", kGenerationSystem},
        {"user", "How many orders?\n Schemas_from_relevant_tables: CREATE TABLE orders (id)"}}},
      {"correction, two queries and two results",
       "correction",
       Value{"SELECT id FROM order", "SELECT idd FROM orders"},
       Value{"near \"order\": syntax error", "None"},
       {{"system", prefix},
        {"user", correction_text({{"SELECT id FROM order", "near \"order\": syntax error"},
                                  {"SELECT idd FROM orders", "None"}})}}},
      {"correction, three queries and two results",
       "correction",
       Value{"SELECT 1", "SELECT 2", "SELECT 3"},
       Value{"None", "no such column: x"},
       {{"system", prefix},
        {"user", correction_text({{"SELECT 1", "None"}, {"SELECT 2", "no such column: x"}})}}},
      {"correction, nothing run yet",
       "correction",
       Value::array(),
       Value::array(),
       {{"system", prefix}, {"user", correction_text({})}}},
  };
  SQLGeneration node(db(), model());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Value values = base;
    values["sql_generation_prompt_type"] = c.mode;
    values["generated_sql_query"] = c.queries;
    values["sql_execution_result"] = c.results;
    EXPECT_EQ(node.generate_messages(state_with(values)), c.want);
  }

  for (const Value& mode : {Value(""), Value("Generation"), Value("rewrite"), Value(nullptr)}) {
    SCOPED_TRACE(mode.dump());
    Value values = base;
    values["sql_generation_prompt_type"] = mode;
    try {
      node.invoke(state_with(values));
      ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "Messages not generated correctly.");
    }
  }
  EXPECT_EQ(server_.request_count(), 0u);
  EXPECT_THROW(node.generate_messages(state_with(base)), state_graph::MissingFieldError);
}

TEST_F(SqlNodesTest, SqlGenerationAppendsTheModelsQueryAndLogsOneLine) {
  std::mutex mutex;
  std::vector<std::pair<logging::Level, std::string>> lines;
  logging::to_callback([&](logging::Level level, std::string_view line) {
    std::lock_guard lock(mutex);
    lines.emplace_back(level, std::string(line));
  });
  server_.push_json_answer(Value{{"sql_query", "SELECT COUNT(*) FROM orders"}});
  SQLGeneration node(db(), model());
  State s = state_with(Value{{"user_question", "How many orders?"},
                             {"schemas_from_relevant_tables", "CREATE TABLE orders (id)"},
                             {"sql_generation_prompt_type", "correction"},
                             {"generated_sql_query", {"SELECT nope"}},
                             {"sql_execution_result", {"no such column: nope"}}});
  const Update u = node.invoke(s);
  EXPECT_EQ(u.values, (Value{{"generated_sql_query", {"SELECT COUNT(*) FROM orders"}}}));
  s.merge(u);
  EXPECT_EQ(s.get("generated_sql_query"), (Value{"SELECT nope", "SELECT COUNT(*) FROM orders"}));

  const auto request = server_.last_request();
  EXPECT_EQ(request.schema_name(), "SQLQueryInput");
  EXPECT_EQ(sent(request), node.generate_messages(state_with(
                               Value{{"user_question", "How many orders?"},
                                     {"schemas_from_relevant_tables", "CREATE TABLE orders (id)"},
                                     {"sql_generation_prompt_type", "correction"},
                                     {"generated_sql_query", {"SELECT nope"}},
                                     {"sql_execution_result", {"no such column: nope"}}})));

  logging::to_stderr();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, logging::Level::info);
  const std::string prefix = "Invoke generate sql query tooks: ";
  ASSERT_EQ(lines[0].second.substr(0, prefix.size()), prefix);
  const std::string seconds = lines[0].second.substr(prefix.size());
  std::size_t used = 0;
  const double value = std::stod(seconds, &used);
  EXPECT_EQ(used, seconds.size()) << seconds;
  EXPECT_GE(value, 0.0);
  EXPECT_EQ(seconds, logging::seconds_text(value));
}

TEST_F(SqlNodesTest, SyntaxCheckerReplacesOnlyTheLastQuery) {
  SQLSyntaxChecker node(db(), model());
  const Value queries{"SELECT 1", "SELECT 2", "SELECT idd FROM orders"};

  server_.push_json_answer(Value{{"sql_query", "```sql\nSELECT order_id FROM orders\n```"}});
  State s = state_with(Value{{"generated_sql_query", queries}, {"iteration_count", 2}});
  const Update u = node.invoke(s);
  EXPECT_TRUE(u.values.empty());
  EXPECT_EQ(
      u.overwrites,
      (Value{{"generated_sql_query", {"SELECT 1", "SELECT 2", "SELECT order_id FROM orders"}}}));
  s.merge(u);
  EXPECT_EQ(s.get("generated_sql_query"),
            (Value{"SELECT 1", "SELECT 2", "SELECT order_id FROM orders"}));
  EXPECT_EQ(s.get("iteration_count"), 2);
  const std::string checked = server_.last_request().last_message_content();
  EXPECT_NE(checked.find("SELECT idd FROM orders"), std::string::npos);
  EXPECT_EQ(checked.find("SELECT 2"), std::string::npos);

  // Given back unchanged: nothing to change.
  server_.push_json_answer(Value{{"sql_query", "SELECT idd FROM orders"}});
  EXPECT_TRUE(node.invoke(state_with(Value{{"generated_sql_query", queries}})).empty());

  const std::size_t requests = server_.request_count();
  for (const Value& bad : {Value::array(), Value{"SELECT 1", 2}}) {
    SCOPED_TRACE(bad.dump());
    EXPECT_THROW(node.invoke(state_with(Value{{"generated_sql_query", bad}})),
                 std::invalid_argument);
  }
  EXPECT_EQ(server_.request_count(), requests);
}

TEST_F(SqlNodesTest, SqlExecutionRecordsOneOutcomePerCall) {
  auto database_error = [](const std::string& sql) {
    try {
      db().run(sql);
    } catch (const sql_database::DatabaseError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  struct Case {
    const char* what;
    std::string query;
    Value want;
  };
  const std::vector<Case> cases = {
      {"rows", "SELECT customer_id, SUM(total) FROM orders GROUP BY customer_id ORDER BY 1",
       Value{{"sql_execution_result", {"[(1, 29.5), (2, 3.25)]"}},
             {"execution_success", true},
             {"pandas_generation_prompt_type", "generation"}}},
      {"no rows", "SELECT name FROM customers WHERE city = 'Paris'",
       Value{{"sql_execution_result", {"None"}}, {"execution_success", false}}},
      {"a syntax error", "SELEC name FROM customers",
       Value{{"sql_execution_result", {database_error("SELEC name FROM customers")}},
             {"execution_success", false}}},
      {"a write, refused", "DELETE FROM orders",
       Value{{"sql_execution_result", {database_error("DELETE FROM orders")}},
             {"execution_success", false}}},
  };
  ASSERT_NE(database_error("SELEC name FROM customers"), "no error");
  ASSERT_NE(database_error("DELETE FROM orders"), "no error");

  SQLExecution node(db());
  State run = SQLState::make();
  Value expected_results = Value::array();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    run.merge(Value{{"generated_sql_query", {c.query}}});
    const Update u = node.invoke(run);
    EXPECT_EQ(u.values, c.want);
    run.merge(u);
    expected_results.push_back(c.want["sql_execution_result"][0]);
  }
  EXPECT_EQ(run.get("sql_execution_result"), expected_results);
  EXPECT_EQ(db().run("SELECT COUNT(*) FROM orders"), "[(3,)]");
  EXPECT_THROW(node.invoke(SQLState::make()), std::invalid_argument);
}

TEST_F(SqlNodesTest, RewritePromptCarriesTheWholeDescriptionWithinTheBudget) {
  const sql_database::InfoSQLDatabaseTool tool(db());
  const std::string all = tool._run("customers, orders, products");
  auto system = [](const std::string& question, const std::string& schemas) {
    return replace_all(replace_all(std::string(answer_prompts::REWRITE_QUESTION_TEMPLATE),
                                   "{user_question}", question),
                       "{schemas_from_all_tables}", schemas);
  };
  struct Case {
    const char* what;
    Value listing;
    std::string tool_input;
  };
  const std::vector<Case> cases = {
      {"the listing text, unchanged", "customers, orders, products", "customers, orders, products"},
      {"a list, joined", Value{"orders", "customers"}, "orders,customers"},
  };
  RewriteQuery node(db(), model());
  EXPECT_EQ(node.options().schema_budget_chars, 60000u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto messages =
        node.generate_prompt(state_with(Value{{"user_question", "Who spent most?"},
                                              {"rewritten_question", "an earlier rewrite"},
                                              {"table_names_from_db", c.listing}}));
    EXPECT_EQ(
        messages,
        (std::vector<Message>{{"system", system("Who spent most?", tool._run(c.tool_input))}}));
  }
  EXPECT_NE(all.find("sample rows"), std::string::npos);

  server_.push_json_answer(Value{{"rewritten_question", "Which customer has the highest total?"}});
  const Update u = node.invoke(state_with(
      Value{{"user_question", "Who spent most?"}, {"table_names_from_db", "customers, orders"}}));
  EXPECT_EQ(u.values, (Value{{"rewritten_question", "Which customer has the highest total?"}}));
  EXPECT_EQ(server_.last_request().schema_name(), "RewriteQueryOutput");
  EXPECT_EQ(server_.last_request().messages().size(), 1u);
}

TEST_F(SqlNodesTest, RewritePromptIsCompactBeyondTheBudget) {
  // 300 tables: their full description is far beyond 60,000 characters.
  std::string sql = "BEGIN;";
  for (int i = 0; i < 300; ++i) {
    const std::string t = "measurements_" + std::to_string(i);
    sql += "CREATE TABLE " + t +
           " (id INTEGER PRIMARY KEY, station TEXT NOT NULL, reading REAL, taken_at TEXT);"
           "INSERT INTO " +
           t +
           " VALUES (1, 'north ridge weather station', 1.25, '2024-01-31 12:00:00'), (2, "
           "'south valley weather station', 2.5, '2024-02-29 12:00:00');";
  }
  sql += "COMMIT;";
  const auto big = create_db("rewrite_big", sql);
  const std::string listing = sql_database::ListSQLDatabaseTool(big)._run();
  const std::string full = sql_database::InfoSQLDatabaseTool(big)._run(listing);
  ASSERT_GT(full.size(), 60000u);

  const std::string head =
      "\n<context>\n  <user_question>Q</user_question>\n  <database_info>\n"
      "      <schemas_database>\n        ";
  const std::string foot = "\n      </schemas_database>\n  </database_info>\n</context>\n";
  auto schemas_of = [&](const std::vector<Message>& m) {
    EXPECT_EQ(m.size(), 1u);
    const std::string& text = m.at(0).content;
    EXPECT_EQ(text.substr(0, head.size()), head);
    const auto end = text.find(foot);
    EXPECT_NE(end, std::string::npos);
    return text.substr(head.size(), end - head.size());
  };
  const State s = state_with(Value{{"user_question", "Q"}, {"table_names_from_db", listing}});

  // Every table fits in compact form under the default budget.
  const std::string compact = schemas_of(RewriteQuery(big, model()).generate_prompt(s));
  EXPECT_LE(compact.size(), 60000u);
  EXPECT_EQ(compact.find("sample row"), std::string::npos);
  EXPECT_EQ(compact.find("more tables left out"), std::string::npos);
  EXPECT_EQ(compact.substr(0, compact.find('\n')),
            "Table measurements_0: id INTEGER, station TEXT, reading REAL, taken_at TEXT");
  EXPECT_EQ(std::count(compact.begin(), compact.end(), '\n'), 299);

  // A tighter budget cuts the compact form and says how much is missing.
  const std::string cut =
      schemas_of(RewriteQuery(big, model(), RewriteOptions{5000}).generate_prompt(s));
  EXPECT_LE(cut.size(), 5000u);
  const auto kept = static_cast<std::size_t>(std::count(cut.begin(), cut.end(), '\n'));
  const std::string last_line = cut.substr(cut.rfind('\n') + 1);
  EXPECT_EQ(last_line, "... " + std::to_string(300 - kept) +
                           " more tables left out to keep this description within the prompt "
                           "budget.");
  EXPECT_GT(kept, 10u);

  // Without a budget the whole description goes in, as below the budget.
  EXPECT_EQ(schemas_of(RewriteQuery(big, model(), RewriteOptions{0}).generate_prompt(s)), full);
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The SQL path over the demo shop: the first query fails with a real SQLite error, the
// corrected one answers.
TEST(SqlPathGraph, CorrectsAFailingQueryOverTheDemoShop) {
  const fs::path seed = fs::path(__FILE__).parent_path().parent_path().parent_path() / "examples" /
                        "demo" / "seed.sql";
  const auto shop = create_db("demo_shop", read_text(seed));
  test_support::FakeChatServer server;
  test_support::ScriptedModel model_side(server);
  test_support::ScriptedModel::Script script;
  script.sql = {"SELECT COUNT(*) FROM customer", "SELECT COUNT(*) FROM customers"};
  model_side.set_default(script);

  const chat_model::AzureOpenAIChat35 config_35(server.azure_settings("chat35"));
  const chat_model::AzureOpenAIChat4 config_4(server.azure_settings("chat4"));
  const Value parameters{
      {"max_tokens", 4096}, {"temperature", 0}, {"model_kwargs", {{"top_p", 0.95}}}};
  const chat_model::AzureChatOpenAI sql_model(config_4.fields(), parameters);
  const chat_model::AzureChatOpenAI small_model(config_35.fields(), parameters);

  state_graph::StateGraph g(SQLState::schema());
  std::vector<std::string> visits;
  std::mutex visits_mutex;
  auto traced = [&](std::string name, std::shared_ptr<state_graph::Runnable> node) {
    return [&, name, node](const State& s) {
      {
        std::lock_guard lock(visits_mutex);
        visits.push_back(name);
      }
      return node->invoke(s);
    };
  };
  g.add_node("init_node", [&](const State& s) {
    visits.push_back("init_node");
    return initialisation(s);
  });
  g.set_entry_point("init_node");
  g.add_node("table_names_lookup_node",
             traced("table_names_lookup_node", std::make_shared<TableNamesLookup>(shop)));
  g.add_edge("init_node", "table_names_lookup_node");
  g.add_node("relevant_table_names_node",
             traced("relevant_table_names_node",
                    std::make_shared<table_picker::RelevantTablePicker>(config_35, shop)));
  g.add_edge("table_names_lookup_node", "relevant_table_names_node");
  g.add_node("relevant_schemas_node",
             traced("relevant_schemas_node", std::make_shared<RelevantSchemas>(shop)));
  g.add_edge("relevant_table_names_node", "relevant_schemas_node");
  g.add_node("sql_generation_node",
             traced("sql_generation_node", std::make_shared<SQLGeneration>(shop, sql_model)));
  g.add_edge("relevant_schemas_node", "sql_generation_node");
  g.add_node("rewrite_query_node",
             traced("rewrite_query_node", std::make_shared<RewriteQuery>(shop, small_model)));
  g.add_edge("rewrite_query_node", "relevant_table_names_node");
  g.add_node(
      "sql_syntax_checker_node",
      traced("sql_syntax_checker_node", std::make_shared<SQLSyntaxChecker>(shop, small_model)));
  g.add_edge("sql_generation_node", "sql_syntax_checker_node");
  g.add_node("sql_execution_node",
             traced("sql_execution_node", std::make_shared<SQLExecution>(shop)));
  g.add_edge("sql_syntax_checker_node", "sql_execution_node");
  g.add_node("sql_error_handler_node", [&](const State& s) {
    visits.push_back("sql_error_handler_node");
    return handle_sql_error(s);
  });
  g.add_node("answer_node", [&](const State& s) {
    visits.push_back("answer_node");
    return Update(Value{{"final_response", s.get("sql_execution_result").back()}});
  });
  g.add_edge("answer_node", state_graph::END);
  g.add_conditional_edges(
      "sql_execution_node", sql_execution_condition,
      {{kPandasGeneration, "answer_node"}, {kSqlExecutionError, "sql_error_handler_node"}});
  g.add_conditional_edges("sql_error_handler_node", sql_error_handler_condition,
                          {{kRegenerateSqlQuery, "sql_generation_node"},
                           {kTerminalFailureResponse, "answer_node"},
                           {kRewriteQuery, "rewrite_query_node"}});
  const auto graph = g.compile();

  const State end = graph.invoke(Value{{"user_question", "How many customers are there?"}});
  EXPECT_EQ(visits, (std::vector<std::string>{
                        "init_node", "table_names_lookup_node", "relevant_table_names_node",
                        "relevant_schemas_node", "sql_generation_node", "sql_syntax_checker_node",
                        "sql_execution_node", "sql_error_handler_node", "sql_generation_node",
                        "sql_syntax_checker_node", "sql_execution_node", "answer_node"}));
  EXPECT_EQ(end.get("generated_sql_query"),
            (Value{"SELECT COUNT(*) FROM customer", "SELECT COUNT(*) FROM customers"}));
  const std::string count = shop.run("SELECT COUNT(*) FROM customers");
  std::string error;
  try {
    shop.run("SELECT COUNT(*) FROM customer");
  } catch (const sql_database::DatabaseError& e) {
    error = e.what();
  }
  EXPECT_NE(error.find("no such table: customer"), std::string::npos) << error;
  EXPECT_EQ(end.get("sql_execution_result"), (Value{error, count}));
  EXPECT_EQ(end.get("final_response"), count);
  EXPECT_EQ(end.get("execution_success"), true);
  EXPECT_EQ(end.get("iteration_count"), 1);
  EXPECT_EQ(end.get("relevant_tables"), (Value{"categories", "customers", "order_items",
                                               "order_totals", "orders", "products"}));

  // The picker took the small shop whole; the second query came from the correction prompt,
  // which showed the failed query beside SQLite's error.
  const auto calls = model_side.calls_by_schema();
  EXPECT_EQ(calls.count("RelevantTablesOutput"), 0u);
  EXPECT_EQ(calls.at("SQLQueryInput"), 2);
  EXPECT_EQ(calls.at("CheckedSQLQuery"), 2);
  const auto requests = server.requests();
  std::vector<test_support::RecordedRequest> generations;
  for (const auto& r : requests)
    if (r.schema_name() == "SQLQueryInput") generations.push_back(r);
  ASSERT_EQ(generations.size(), 2u);
  EXPECT_EQ(generations[0].messages()[0]["content"].get<std::string>().substr(0, 58),
            "You are an agent designed to interact with a SQL database.");
  const std::string correction = generations[1].last_message_content();
  EXPECT_NE(correction.find("SELECT COUNT(*) FROM customer\n"), std::string::npos);
  EXPECT_NE(correction.find(error + "\n"), std::string::npos);
  EXPECT_NE(correction.find("CREATE TABLE customers"), std::string::npos);
  for (const auto& r : generations) EXPECT_NE(r.path.find("/chat4/"), std::string::npos) << r.path;
}

}  // namespace
}  // namespace answer_nodes
