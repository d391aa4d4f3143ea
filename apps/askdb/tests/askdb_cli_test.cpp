// The askdb program, run as a user runs it, against the scripted model over HTTP and real SQLite
// databases.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "sql_database/custom_sql_database.hpp"
#include "test_support/fake_chat_server.hpp"
#include "test_support/process.hpp"
#include "test_support/scripted_model.hpp"

namespace {

namespace fs = std::filesystem;
using state_graph::Value;
using test_support::ProcessOptions;
using test_support::ProcessResult;
using test_support::ScriptedModel;
using testing::HasSubstr;
using testing::Not;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

constexpr const char* kRevenueSql =
    "SELECT c.name, ROUND(SUM(oi.quantity * oi.unit_price), 2) AS revenue FROM order_items oi "
    "JOIN products p ON p.product_id = oi.product_id JOIN categories c ON c.category_id = "
    "p.category_id GROUP BY c.name ORDER BY revenue DESC LIMIT 3";

class AskdbCli : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = test_support::unique_temp_path("cli");
    fs::create_directories(dir_);
    db_path_ = dir_ / "shop.db";
    sql_database::create_database_from_sql(db_path_.string(), read_file(ASKDB_DEMO_SEED));
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The model environment of an OpenAI-compatible server: the scripted one.
  std::map<std::string, std::optional<std::string>> model_env() const {
    return {{"ASKDB_CHAT_PROVIDER", "openai_compatible"},
            {"OPENAI_BASE_URL", server_.openai_base_url()},
            {"OPENAI_API_KEY", "k"},
            {"ASKDB_CHAT35_MODEL", "small"},
            {"ASKDB_CHAT4_MODEL", "large"},
            {"ASKDB_CHAT_MAX_RETRIES", "0"},
            {"AZURE_OPENAI_ENDPOINT", std::nullopt},
            {"XDG_DATA_HOME", (dir_ / "data").string()}};
  }

  ProcessResult askdb(std::vector<std::string> args, bool with_model = true) const {
    ProcessOptions options;
    if (with_model) {
      options.env = model_env();
    } else {
      options.env = {{"AZURE_OPENAI_ENDPOINT", std::nullopt},
                     {"OPENAI_BASE_URL", std::nullopt},
                     {"XDG_DATA_HOME", (dir_ / "data").string()}};
    }
    options.working_directory = dir_.string();
    options.timeout = std::chrono::seconds(120);
    args.insert(args.begin(), ASKDB_BINARY);
    return test_support::run_process(args, options);
  }

  std::string db_uri() const { return "sqlite:///" + db_path_.string(); }

  std::string orders_fingerprint() const {
    auto db = sql_database::CustomSQLDatabase::from_uri(db_uri());
    return db.run("SELECT COUNT(*), SUM(order_id), SUM(LENGTH(order_date)) FROM orders");
  }

  std::string plot_code() const {
    const std::string save = (dir_ / "charts").string();
    return "import os\nimport matplotlib.pyplot as plt\n"
           "os.makedirs(" +
           Value(save).dump() +
           ", exist_ok=True)\n"
           "path = os.path.join(" +
           Value(save).dump() +
           ", 'revenue.png')\n"
           "plt.figure(); plt.bar(['a', 'b'], [3, 2]); plt.savefig(path); plt.close('all')\n"
           "print('Plants & Seeds earned the most')\nprint('chart:', path)\n";
  }

  fs::path dir_;
  fs::path db_path_;
  test_support::FakeChatServer server_;
  ScriptedModel model_{server_};
};

TEST_F(AskdbCli, AnswersOnStdoutWithProgressOnStderr) {
  ScriptedModel::Script script;
  script.sql = {kRevenueSql};
  script.code = {plot_code()};
  model_.set_default(script);
  const auto r = askdb({"ask", "--db", db_uri(), "--save-path", "charts",
                        "Which product category earned the most?"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string chart = (dir_ / "charts" / "revenue.png").string();
  EXPECT_EQ(r.out, "Answer: Plants & Seeds earned the most\nchart: " + chart +
                       "\n\nchart: " + chart + "\n");
  EXPECT_EQ(read_file(chart).substr(0, 4), "\x89PNG");
  EXPECT_THAT(r.err, HasSubstr("sql_generation_node"));
  EXPECT_THAT(r.err, HasSubstr("final_response_generation_node"));
  EXPECT_THAT(r.out, Not(HasSubstr("node")));
}

TEST_F(AskdbCli, JsonHoldsTheRecordAndTheTrace) {
  ScriptedModel::Script script;
  script.sql = {"SELECT COUNT(*) FROM orders"};
  script.code = {"print('420 orders')"};
  model_.set_default(script);
  const std::string trace_path = (dir_ / "trace.json").string();
  const auto r = askdb({"ask", "--db", db_uri(), "--json", "--trace", trace_path, "How many?"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const Value out = Value::parse(r.out);
  EXPECT_EQ(out["final_response"], "Answer: 420 orders");
  EXPECT_EQ(out["image_path"], "");
  EXPECT_EQ(out["generated_sql_query"], Value::array({"SELECT COUNT(*) FROM orders"}));
  EXPECT_EQ(out["sql_execution_result"], Value::array({"[(420,)]"}));
  EXPECT_EQ(out["pandas_code"], "print('420 orders')");
  EXPECT_EQ(out["python_executed_output"], "420 orders\n");
  EXPECT_EQ(out["trace"]["totals"]["model_calls"], 4);
  EXPECT_EQ(out["trace"]["nodes"].size(), 10u);
  const Value trace = Value::parse(read_file(trace_path));
  EXPECT_EQ(trace["model_calls"].size(), 4u);
  EXPECT_EQ(trace["model_calls"][0]["node"], "sql_generation_node");
  EXPECT_TRUE(trace["model_calls"][0].contains("prompt_tokens"));
  EXPECT_TRUE(trace["model_calls"][0].contains("retries"));
}

TEST_F(AskdbCli, ShowSqlPrintsTheQueriesAndTheLastResultFirst) {
  ScriptedModel::Script script;
  script.sql = {"SELECT COUNT(*) FROM customers"};
  script.code = {"print(150)"};
  model_.set_default(script);
  const auto r = askdb({"ask", "--db", db_uri(), "--show-sql", "--quiet", "Customers?"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "SQL:\nSELECT COUNT(*) FROM customers\n\nResult:\n[(150,)]\n\nAnswer: 150\n");
  EXPECT_THAT(r.err, Not(HasSubstr("sql_generation_node")));
}

TEST_F(AskdbCli, AModelThatWritesDeleteChangesNothing) {
  ScriptedModel::Script script;
  script.sql = {"DELETE FROM orders"};
  model_.set_default(script);
  const std::string before = orders_fingerprint();
  const std::string file_before = read_file(db_path_);
  const auto r = askdb({"ask", "--db", db_uri(), "--json", "Delete all orders"});
  EXPECT_EQ(r.exit_code, 3) << r.err;
  const Value out = Value::parse(r.out);
  EXPECT_EQ(out["execution_success"], false);
  EXPECT_EQ(out["generated_sql_query"].size(), 6u);
  EXPECT_EQ(orders_fingerprint(), before);
  EXPECT_EQ(read_file(db_path_), file_before);
}

TEST_F(AskdbCli, ErrorsAUserMeets) {
  struct Case {
    std::string description;
    std::vector<std::string> args;
    bool with_model;
    int exit_code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no model configured", {"ask", "--db", db_uri(), "q"}, false, 2, "OPENAI_BASE_URL"},
      {"no model configured names Azure too", {"ask", "q"}, false, 2, "AZURE_OPENAI_ENDPOINT"},
      {"bad URI", {"ask", "--db", "oracle://x/y", "q"}, true, 2, "sqlite:///"},
      {"missing SQLite file", {"ask", "--db", "sqlite:///nope.db", "q"}, true, 2, "nope.db"},
      {"missing bare file", {"tables", "--db", "nope.db"}, false, 2, "never creates"},
      {"refused server",
       {"tables", "--db", "postgresql://u:p@127.0.0.1:1/db"},
       false,
       2,
       "127.0.0.1"},
      {"too many analysis attempts",
       {"ask", "--db", db_uri(), "--max-pandas-iterations", "20", "q"},
       true,
       2,
       "largest that works is 6"},
      {"unknown command", {"frobnicate"}, false, 2, ""},
      {"sql refuses writes", {"sql", "--db", db_uri(), "DROP TABLE orders"}, false, 1, "refused"},
  };
  for (const auto& c : cases) {
    const auto r = askdb(c.args, c.with_model);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.description << ": " << r.err;
    EXPECT_THAT(r.err, HasSubstr(c.message)) << c.description;
    EXPECT_THAT(r.err, Not(HasSubstr("terminate called"))) << c.description;
    EXPECT_EQ(r.out, "") << c.description;
  }
  EXPECT_FALSE(fs::exists(dir_ / "nope.db"));
  EXPECT_TRUE(fs::exists(db_path_));
}

TEST_F(AskdbCli, ModelServiceFailureNamesTheNode) {
  server_.set_responder([](const test_support::RecordedRequest&) {
    return test_support::Reply::error(503, "unavailable", "the service is down for maintenance");
  });
  const auto r = askdb({"ask", "--db", db_uri(), "q"});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_THAT(r.err, HasSubstr("sql_generation_node"));
  EXPECT_THAT(r.err, HasSubstr("the service is down for maintenance"));
  EXPECT_EQ(r.out, "");
}

TEST_F(AskdbCli, InterruptStopsAtOnce) {
  model_.set_delay(std::chrono::seconds(4));
  ProcessOptions options;
  options.env = model_env();
  test_support::BackgroundProcess p({ASKDB_BINARY, "ask", "--db", db_uri(), "q"}, options);
  // Wait until the question is under way (the first node line or the model call).
  for (int i = 0; i < 400 && server_.request_count() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_GT(server_.request_count(), 0u);
  p.signal(SIGINT);
  const auto r = p.wait(std::chrono::seconds(20));
  EXPECT_EQ(r.exit_code, 130) << r.err;
  // It stopped inside the first model call: no answer was printed, no second call was made.
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(server_.request_count(), 1u);
  EXPECT_THAT(r.err, HasSubstr("interrupted"));
}

TEST_F(AskdbCli, DatabaseCommandsAndTheDemoDatabase) {
  const auto tables = askdb({"tables", "--db", db_uri()}, false);
  ASSERT_EQ(tables.exit_code, 0) << tables.err;
  EXPECT_EQ(tables.out, "categories\ncustomers\norder_items\norder_totals\norders\nproducts\n");

  const auto describe = askdb({"describe", "--db", db_path_.string(), "orders"}, false);
  ASSERT_EQ(describe.exit_code, 0) << describe.err;
  EXPECT_THAT(describe.out, HasSubstr("CREATE TABLE orders"));

  const auto sql = askdb({"sql", "--db", db_uri(), "SELECT COUNT(*) FROM products"}, false);
  EXPECT_EQ(sql.exit_code, 0);
  EXPECT_EQ(sql.out, "[(48,)]\n");

  // Without --db the demo database is built in the data directory, once, saying where.
  const auto first = askdb({"tables"}, false);
  ASSERT_EQ(first.exit_code, 0) << first.err;
  const fs::path demo = dir_ / "data" / "askdb" / "demo.db";
  EXPECT_THAT(first.err, HasSubstr(demo.string()));
  EXPECT_TRUE(fs::exists(demo));
  const auto second = askdb({"tables"}, false);
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(second.out, first.out);
}

TEST_F(AskdbCli, GraphHelpAndVersion) {
  const auto mermaid = askdb({"graph", "--db", db_uri(), "--mermaid"}, false);
  ASSERT_EQ(mermaid.exit_code, 0) << mermaid.err;
  EXPECT_THAT(mermaid.out, HasSubstr("flowchart TD"));
  EXPECT_THAT(mermaid.out, HasSubstr("sql_execution_node -. pandas_generation .-> "
                                     "pandas_generator_node"));
  const auto png = askdb({"graph", "--db", db_uri(), "--png", "g.png"}, false);
  ASSERT_EQ(png.exit_code, 0) << png.err;
  EXPECT_EQ(read_file(dir_ / "g.png").substr(1, 3), "PNG");

  for (const char* command : {"ask", "tables", "describe", "sql", "graph", "doctor"}) {
    const auto help = askdb({command, "--help"}, false);
    EXPECT_EQ(help.exit_code, 0) << command;
    EXPECT_THAT(help.out, HasSubstr("--db")) << command;
  }
  const auto version = askdb({"--version"}, false);
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_THAT(version.out, HasSubstr("askdb "));
}

TEST_F(AskdbCli, DoctorChecksEverything) {
  const auto ok = askdb({"doctor", "--db", db_uri()});
  EXPECT_EQ(ok.exit_code, 0) << ok.out << ok.err;
  for (const char* check : {"model settings", "smaller model", "stronger model", "database",
                            "python analysis", "chart directory"}) {
    EXPECT_THAT(ok.out, HasSubstr(check));
  }
  EXPECT_THAT(ok.out, HasSubstr("6 usable tables"));
  EXPECT_THAT(ok.out, Not(HasSubstr("FAIL")));

  const auto failing = askdb({"doctor", "--db", db_uri()}, false);
  EXPECT_NE(failing.exit_code, 0);
  EXPECT_THAT(failing.out, HasSubstr("FAIL model settings"));
}

TEST_F(AskdbCli, PrivilegedAccountsAreWarnedAboutAndFailTheDoctor) {
  const char* uri = std::getenv("ASKDB_TEST_POSTGRES_URI");
  if (!uri) GTEST_SKIP() << "set ASKDB_TEST_POSTGRES_URI (eval \"$(scripts/db-servers start)\")";
  // The test server's account is a superuser.
  ScriptedModel::Script script;
  script.sql = {"SELECT 41 + 1"};
  script.code = {"print(42)"};
  model_.set_default(script);
  const auto ask = askdb({"ask", "--db", uri, "What is 41 + 1?"});
  EXPECT_EQ(ask.exit_code, 0) << ask.err;
  EXPECT_EQ(ask.out, "Answer: 42\n");
  EXPECT_THAT(ask.err, HasSubstr("privileged account (superuser"));

  const auto doctor = askdb({"doctor", "--db", uri});
  EXPECT_NE(doctor.exit_code, 0);
  EXPECT_THAT(doctor.out, HasSubstr("FAIL read-only account"));
  EXPECT_THAT(doctor.out, HasSubstr("GRANT"));

  // A SQLite file has no accounts.
  const auto sqlite = askdb({"doctor", "--db", db_uri()});
  EXPECT_THAT(sqlite.out, HasSubstr("ok   read-only account"));
}

}  // namespace
