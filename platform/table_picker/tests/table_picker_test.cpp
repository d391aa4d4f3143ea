#include "table_picker/table_picker.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "logging/logging.hpp"
#include "sql_database/sql_tools.hpp"
#include "state_graph/state.hpp"
#include "test_support/fake_chat_server.hpp"

namespace table_picker {
namespace {

using state_graph::State;
using state_graph::Value;

namespace fs = std::filesystem;

// The fields the picker reads, declared as the answer record declares them.
State question_state(const Value& values) {
  static const auto schema = std::make_shared<const state_graph::RecordSchema>(
      "PickerInput",
      std::vector<state_graph::FieldSpec>{
          {"user_question"}, {"rewritten_question"}, {"table_names_from_db"}, {"relevant_tables"}});
  State s(schema);
  s.merge(values);
  return s;
}

std::string temp_path(const std::string& name) {
  return (fs::path(testing::TempDir()) /
          ("askdb_picker_" + std::to_string(::getpid()) + "_" + name + ".db"))
      .string();
}

sql_database::CustomSQLDatabase create_db(const std::string& name, const std::string& sql) {
  const std::string path = temp_path(name);
  std::error_code ec;
  fs::remove(path, ec);
  sql_database::create_database_from_sql(path, sql);
  return sql_database::CustomSQLDatabase::from_uri("sqlite:///" + path);
}

// A shop of five tables among 995 unrelated ones, with foreign keys between the shop tables.
std::string thousand_tables_sql() {
  std::string sql =
      "CREATE TABLE customers (customer_id INTEGER PRIMARY KEY, name TEXT, city TEXT);"
      "CREATE TABLE orders (order_id INTEGER PRIMARY KEY, customer_id INTEGER REFERENCES "
      "customers (customer_id), order_date TEXT, total REAL);"
      "CREATE TABLE categories (category_id INTEGER PRIMARY KEY, title TEXT);"
      "CREATE TABLE products (product_id INTEGER PRIMARY KEY, name TEXT, price REAL, "
      "category_id INTEGER REFERENCES categories (category_id));"
      "CREATE TABLE order_items (order_item_id INTEGER PRIMARY KEY, order_id INTEGER, "
      "product_id INTEGER, quantity INTEGER, FOREIGN KEY (order_id) REFERENCES orders (order_id), "
      "FOREIGN KEY (product_id) REFERENCES products (product_id));"
      "CREATE TABLE ShipmentEvents (event_id INTEGER PRIMARY KEY, shipped_at TEXT);";
  const char* const topics[] = {"sensor", "audit", "ledger",  "payroll", "telemetry",
                                "backup", "cache", "session", "metric",  "job"};
  for (int i = 0; i < 994; ++i) {
    const std::string name = std::string(topics[i % 10]) + "_archive_" + std::to_string(i);
    sql += "CREATE TABLE " + name +
           " (id INTEGER PRIMARY KEY, label TEXT, amount REAL, recorded_at TEXT);";
  }
  return sql;
}

class PickerTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    big_ = new sql_database::CustomSQLDatabase(create_db("big", thousand_tables_sql()));
    listing_ = new std::string(sql_database::ListSQLDatabaseTool(*big_)._run());
  }
  static void TearDownTestSuite() {
    delete big_;
    delete listing_;
  }
  void TearDown() override {
    logging::set_level(logging::Level::info);
    logging::to_stderr();
  }

  RelevantTablePicker picker(const sql_database::CustomSQLDatabase& db,
                             PickerOptions options = {}) {
    return RelevantTablePicker(chat_model::AzureOpenAIChat35(server_.azure_settings()), db,
                               options);
  }

  // Debug lines of the logger from here on.
  std::vector<std::string>& capture_debug_lines() {
    logging::set_level(logging::Level::debug);
    logging::to_callback([this](logging::Level, std::string_view line) {
      std::lock_guard lock(lines_mutex_);
      lines_.emplace_back(line);
    });
    return lines_;
  }

  static inline sql_database::CustomSQLDatabase* big_ = nullptr;
  static inline std::string* listing_ = nullptr;
  test_support::FakeChatServer server_;
  std::mutex lines_mutex_;
  std::vector<std::string> lines_;
};

TEST_F(PickerTest, SmallDatabaseIsTakenWholeWithoutAModelCall) {
  const auto db = create_db("small",
                            "CREATE TABLE products (id INTEGER); CREATE TABLE orders "
                            "(id INTEGER); CREATE TABLE customers (id INTEGER);");
  const std::string listing = sql_database::ListSQLDatabaseTool(db)._run();
  ASSERT_EQ(listing, "customers, orders, products");
  std::vector<std::string> twelve;
  for (int i = 0; i < 12; ++i) twelve.push_back("t" + std::to_string(12 - i));

  struct Case {
    const char* what;
    Value listing;
    Value want;
  };
  const std::vector<Case> cases = {
      {"the listing text", listing, {"customers", "orders", "products"}},
      {"a list, in its order",
       Value{"products", "customers", "orders"},
       {"products", "customers", "orders"}},
      {"twelve names, the configured bound", twelve, twelve},
      {"an empty listing", "", Value::array()},
  };
  auto p = picker(db);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto update = p.invoke(question_state(
        Value{{"user_question", "How many orders?"}, {"table_names_from_db", c.listing}}));
    EXPECT_EQ(update.values, (Value{{"relevant_tables", c.want}}));
  }
  EXPECT_EQ(server_.request_count(), 0u);
}

TEST_F(PickerTest, BadInputIsRejectedClearly) {
  auto p = picker(*big_);
  EXPECT_THROW(p.invoke(question_state(Value{{"table_names_from_db", *listing_}})),
               state_graph::MissingFieldError);
  try {
    p.invoke(question_state(Value{{"user_question", "q"}, {"table_names_from_db", 42}}));
    ADD_FAILURE() << "no error";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("table_names_from_db must be a text"), std::string::npos)
        << e.what();
  }
  EXPECT_THROW(RelevantTablePicker(chat_model::AzureOpenAIChat35(server_.azure_settings()), *big_,
                                   PickerOptions{12, 0, 15}),
               std::invalid_argument);
  EXPECT_EQ(server_.request_count(), 0u);
}

TEST_F(PickerTest, LargeDatabaseAsksWithABoundedPromptAndKeepsOnlyRealTables) {
  auto& lines = capture_debug_lines();
  server_.push_json_answer(Value{{"relevant_tables", {"Orders", "CUSTOMERS", "invoices_2023"}}});
  auto p = picker(*big_);
  const auto update =
      p.invoke(question_state(Value{{"user_question", "Which customers placed the most orders?"},
                                    {"rewritten_question", ""},
                                    {"table_names_from_db", *listing_}}));
  EXPECT_EQ(update.values, (Value{{"relevant_tables", {"orders", "customers"}}}));

  ASSERT_EQ(server_.request_count(), 1u);
  const auto request = server_.last_request();
  EXPECT_EQ(request.schema_name(), "RelevantTablesOutput");
  EXPECT_EQ(request.parameter("max_tokens"), 8192);
  EXPECT_EQ(request.parameter("temperature"), 0);
  EXPECT_EQ(request.parameter("top_p"), 0.95);
  const Value messages = request.messages();
  ASSERT_EQ(messages.size(), 2u);
  std::size_t prompt_chars = 0;
  for (const auto& m : messages) prompt_chars += m["content"].get<std::string>().size();
  EXPECT_LT(prompt_chars, 30000u);
  EXPECT_NE(messages[0]["content"].get<std::string>().find("sqlite"), std::string::npos);
  const std::string user = messages[1]["content"];
  EXPECT_NE(user.find("Question: Which customers placed the most orders?"), std::string::npos);
  EXPECT_NE(user.find("\n- customers: customer_id, name, city\n"), std::string::npos);
  EXPECT_NE(user.find("\n- orders: order_id, customer_id, order_date, total\n"), std::string::npos);
  std::size_t candidate_lines = 0;
  for (std::size_t at = user.find("\n- "); at != std::string::npos; at = user.find("\n- ", at + 1))
    ++candidate_lines;
  EXPECT_EQ(candidate_lines, 40u);
  // The two tables the question names lead the candidates.
  const PickerPlan plan =
      p.plan(question_state(Value{{"user_question", "Which customers placed the most orders?"},
                                  {"table_names_from_db", *listing_}}));
  ASSERT_GE(plan.candidates.size(), 2u);
  EXPECT_EQ((std::set<std::string>{plan.candidates[0], plan.candidates[1]}),
            (std::set<std::string>{"customers", "orders"}));
  EXPECT_EQ(plan.messages[1].content, user);

  auto logged = [&](const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  };
  EXPECT_TRUE(logged("candidates for \"Which customers placed the most orders?\""));
  EXPECT_TRUE(logged("the model answered [\"Orders\",\"CUSTOMERS\",\"invoices_2023\"]"));
  EXPECT_TRUE(logged("dropped names that are not tables of the database: invoices_2023"));
}

TEST_F(PickerTest, AnswersAreCheckedBridgedAndBounded) {
  std::vector<std::string> many;
  for (int i = 0; i < 20; ++i) many.push_back("job_archive_" + std::to_string(9 + 10 * i));
  struct Case {
    const char* what;
    Value answer;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"quoted, qualified and repeated names",
       {"`orders`", "main.customers", "orders", " Orders "},
       {"orders", "customers"}},
      {"a table joining two chosen ones is added",
       {"orders", "products"},
       {"orders", "products", "order_items"}},
      {"no bridge when a foreign key joins them",
       {"products", "categories"},
       {"products", "categories"}},
      {"no bridge when a chosen table joins them",
       {"customers", "order_items", "orders"},
       {"customers", "order_items", "orders"}},
      {"never more than fifteen", many, std::vector<std::string>(many.begin(), many.begin() + 15)},
  };
  auto p = picker(*big_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    server_.push_json_answer(Value{{"relevant_tables", c.answer}});
    const auto update = p.invoke(question_state(
        Value{{"user_question", "Which products sell best?"}, {"table_names_from_db", *listing_}}));
    EXPECT_EQ(update.values["relevant_tables"].get<std::vector<std::string>>(), c.want);
  }
}

TEST_F(PickerTest, NoValidNameFallsBackToTheBestLexicalCandidates) {
  auto p = picker(*big_);
  const auto state = question_state(
      Value{{"user_question", "What is the total quantity per product in order items?"},
            {"table_names_from_db", *listing_}});
  const PickerPlan plan = p.plan(state);
  ASSERT_FALSE(plan.small_database);
  ASSERT_GE(plan.candidates.size(), 3u);
  EXPECT_EQ(plan.candidates[0], "order_items");

  for (const Value& answer : {Value{"made_up", "also_made_up"}, Value::array()}) {
    SCOPED_TRACE(answer.dump());
    server_.push_json_answer(Value{{"relevant_tables", answer}});
    const auto names = p.invoke(state).values["relevant_tables"].get<std::vector<std::string>>();
    ASSERT_FALSE(names.empty());
    EXPECT_LE(names.size(), 5u);
    EXPECT_EQ(names[0], "order_items");
    EXPECT_NE(std::find(names.begin(), names.end(), "products"), names.end());
    // Only tables that share a word with the question.
    for (const auto& n : names) {
      const auto at = std::find(plan.candidates.begin(), plan.candidates.end(), n);
      ASSERT_NE(at, plan.candidates.end()) << n;
      EXPECT_GT(plan.scores[static_cast<std::size_t>(at - plan.candidates.begin())], 0.0) << n;
    }
  }
}

TEST_F(PickerTest, RankingFoldsPluralsAndSplitsNames) {
  struct Case {
    const char* user_question;
    const char* rewritten_question;
    const char* first;
  };
  const std::vector<Case> cases = {
      {"How many customers live in Paris?", "", "customers"},
      {"List every category title", "", "categories"},
      {"List the latest shipment events", "", "ShipmentEvents"},
      {"When was each shipmentevent recorded?", "", "ShipmentEvents"},
      {"Who buys the most?", "How many customers live in each city?", "customers"},
  };
  auto p = picker(*big_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user_question);
    const PickerPlan plan =
        p.plan(question_state(Value{{"user_question", c.user_question},
                                    {"rewritten_question", c.rewritten_question},
                                    {"table_names_from_db", *listing_}}));
    ASSERT_FALSE(plan.candidates.empty());
    EXPECT_EQ(plan.candidates[0], c.first);
    EXPECT_EQ(plan.question, *c.rewritten_question ? c.rewritten_question : c.user_question);
    EXPECT_NE(plan.messages[1].content.find(std::string("Question: ") + plan.question + "\n"),
              std::string::npos);
  }
  EXPECT_EQ(server_.request_count(), 0u);
}

TEST_F(PickerTest, ConcurrentQuestionsShareOnePicker) {
  server_.set_responder([](const test_support::RecordedRequest& request) {
    const std::string user = request.messages()[1]["content"];
    const bool about_products = user.find("Question: products") != std::string::npos;
    return test_support::Reply::json_answer(
        Value{{"relevant_tables", {about_products ? "products" : "customers"}}});
  });
  auto p = picker(*big_);
  std::vector<std::thread> threads;
  std::vector<std::string> got(8);
  for (std::size_t i = 0; i < got.size(); ++i) {
    threads.emplace_back([&, i] {
      const auto update = p.invoke(
          question_state(Value{{"user_question", i % 2 ? "products of the shop" : "customers"},
                               {"table_names_from_db", *listing_}}));
      got[i] = update.values["relevant_tables"][0];
    });
  }
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < got.size(); ++i)
    EXPECT_EQ(got[i], i % 2 ? "products" : "customers") << i;
}

}  // namespace
}  // namespace table_picker
