#include "answer_graph/answer_graph.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "answer_graph/run_trace.hpp"
#include "state_graph/state.hpp"
#include "test_support/fake_chat_server.hpp"
#include "test_support/scripted_model.hpp"

namespace answer_graph {
namespace {

namespace fs = std::filesystem;
using state_graph::Value;
using test_support::ScriptedModel;
using testing::HasSubstr;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Node visits of one run, step by step.
struct Visits : state_graph::RunObserver {
  std::mutex mutex;
  std::vector<std::pair<int, std::string>> ends;
  void on_node_end(int step, const std::string& node, std::chrono::nanoseconds,
                   const state_graph::Update&) override {
    std::lock_guard lock(mutex);
    ends.emplace_back(step, node);
  }
  std::vector<std::string> names() {
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    for (const auto& [step, node] : ends) out.push_back(node);
    return out;
  }
  int count(const std::string& node) {
    std::lock_guard lock(mutex);
    return static_cast<int>(
        std::count_if(ends.begin(), ends.end(), [&](const auto& e) { return e.second == node; }));
  }
  std::vector<int> steps_of(const std::string& node) {
    std::lock_guard lock(mutex);
    std::vector<int> out;
    for (const auto& [step, name] : ends)
      if (name == node) out.push_back(step);
    return out;
  }
};

constexpr const char* kPlotCode =
    "import os\n"
    "import matplotlib.pyplot as plt\n"
    "rows = [('Plants', 10.0), ('Tools', 7.5)]\n"
    "os.makedirs(SAVE, exist_ok=True)\n"
    "path = os.path.join(SAVE, 'revenue.png')\n"
    "plt.figure()\n"
    "plt.bar([r[0] for r in rows], [r[1] for r in rows])\n"
    "plt.savefig(path)\n"
    "plt.close('all')\n"
    "print('top category: Plants')\n"
    "print('chart saved to', path)\n";

constexpr const char* kRevenueSql =
    "SELECT c.name, ROUND(SUM(oi.quantity * oi.unit_price), 2) AS revenue FROM order_items oi "
    "JOIN products p ON p.product_id = oi.product_id JOIN categories c ON c.category_id = "
    "p.category_id GROUP BY c.name ORDER BY revenue DESC LIMIT 3";

class AnswerGraphTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() / ("askdb-graph-" + std::to_string(::getpid()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "charts");
    const fs::path db_path = dir_ / "shop.db";
    sql_database::create_database_from_sql(db_path.string(), read_file(ASKDB_DEMO_SEED));
    db_.emplace(sql_database::CustomSQLDatabase::from_uri("sqlite:///" + db_path.string()));
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::unique_ptr<AnswerGraph> make_graph(GraphOptions options = {}) {
    return std::make_unique<AnswerGraph>(
        *db_, chat_model::AzureOpenAIChat35(server_.compatible_settings("small")),
        chat_model::AzureOpenAIChat4(server_.compatible_settings("large")), options);
  }

  Value inputs(const std::string& question, int max_pandas = 3) const {
    return Value{{"user_question", question},
                 {"save_path", (dir_ / "charts").string()},
                 {"max_iterations_pandas", max_pandas},
                 {"pandas_code", ""},
                 {"python_executed_output", ""}};
  }

  std::string plot_code() const {
    return "SAVE = " + Value((dir_ / "charts").string()).dump() + "\n" + kPlotCode;
  }

  fs::path dir_;
  std::optional<sql_database::CustomSQLDatabase> db_;
  test_support::FakeChatServer server_;
  ScriptedModel model_{server_};
};

TEST_F(AnswerGraphTest, HappyPathVisitsTheTenNodesAndSavesTheChart) {
  ScriptedModel::Script script;
  script.sql = {kRevenueSql};
  script.code = {plot_code()};
  model_.set_default(script);
  auto graph = make_graph();
  Visits visits;
  const Value record = graph->invoke(inputs("Which category earned the most?"), &visits);

  EXPECT_EQ(visits.names(),
            (std::vector<std::string>{"init_node", "table_names_lookup_node",
                                      "relevant_table_names_node", "relevant_schemas_node",
                                      "sql_generation_node", "sql_syntax_checker_node",
                                      "sql_execution_node", "pandas_generator_node",
                                      "pandas_executor_node", "final_response_generation_node"}));
  EXPECT_EQ(record["final_response"], "Answer: top category: Plants\nchart saved to " +
                                          (dir_ / "charts" / "revenue.png").string());
  const fs::path image = record["image_path"].get<std::string>();
  EXPECT_EQ(image, dir_ / "charts" / "revenue.png");
  const std::string png = read_file(image);
  ASSERT_GT(png.size(), 1000u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(record["execution_success"], true);
  EXPECT_THAT(record["sql_execution_result"][0].get<std::string>(), HasSubstr("[('"));
  // The demo database is small: the picker asks no model. Four calls: SQL, checker, code, answer.
  EXPECT_EQ(model_.total_calls(), 4);
}

TEST_F(AnswerGraphTest, AnalysisFailingOnceRunsTheAnswerBesideTheHandlerAndAgain) {
  ScriptedModel::Script script;
  script.sql = {kRevenueSql};
  script.code = {"print(undefined_name)", "print('fixed')"};
  script.final_answer = [](const test_support::RecordedRequest& request) {
    const bool fixed = request.last_message_content().find("fixed") != std::string::npos;
    return Value{{"final_response", fixed ? "second answer" : "first answer"}, {"image_path", ""}};
  };
  model_.set_default(script);
  auto graph = make_graph();
  Visits visits;
  const Value record = graph->invoke(inputs("Revenue?"), &visits);

  const auto handler_steps = visits.steps_of("pandas_error_handler_node");
  ASSERT_EQ(handler_steps.size(), 1u);
  const auto final_steps = visits.steps_of("final_response_generation_node");
  ASSERT_EQ(final_steps.size(), 2u);
  EXPECT_EQ(final_steps[0], handler_steps[0]);  // the same step
  EXPECT_GT(final_steps[1], handler_steps[0]);
  EXPECT_EQ(record["final_response"], "second answer");
  EXPECT_EQ(record["python_executed_output"], "fixed\n");
  EXPECT_EQ(record["iteration_count_pandas"], 1);
}

TEST_F(AnswerGraphTest, SqlFailingEveryTimeEndsInTheTerminalAnswer) {
  ScriptedModel::Script script;
  script.sql = {"SELECT no_such_column FROM orders"};
  script.final_answer = [](const test_support::RecordedRequest&) {
    return Value{{"final_response", "I could not answer that."}, {"image_path", ""}};
  };
  model_.set_default(script);
  auto graph = make_graph();
  Visits visits;
  const Value record = graph->invoke(inputs("Impossible?"), &visits);
  EXPECT_EQ(visits.count("sql_error_handler_node"), 6);
  EXPECT_EQ(visits.count("rewrite_query_node"), 1);
  EXPECT_EQ(visits.count("relevant_table_names_node"), 2);
  EXPECT_EQ(visits.count("final_response_generation_node"), 1);
  EXPECT_EQ(visits.count("pandas_generator_node"), 0);
  EXPECT_LE(visits.ends.back().first, 50);
  EXPECT_EQ(record["generated_sql_query"].size(), 6u);
  EXPECT_EQ(record["execution_success"], false);
  EXPECT_EQ(record["final_response"], "I could not answer that.");
  EXPECT_EQ(record["rewritten_question"], "the question, rewritten");
  EXPECT_THAT(record["sql_execution_result"][0].get<std::string>(), HasSubstr("no_such_column"));
}

TEST_F(AnswerGraphTest, AnalysisFailingEveryTimeWithBoundTwentyHitsTheRecursionLimit) {
  ScriptedModel::Script script;
  script.sql = {kRevenueSql};
  script.code = {"1/0"};
  model_.set_default(script);
  auto graph = make_graph();
  try {
    graph->invoke(inputs("Loop?", 20));
    FAIL() << "no recursion error";
  } catch (const state_graph::GraphRecursionError& e) {
    EXPECT_THAT(e.what(), HasSubstr("50"));
  }
}

TEST_F(AnswerGraphTest, MissingInputsFailBeforeAnyModelCall) {
  auto graph = make_graph();
  for (const auto& field : AnswerGraph::required_inputs()) {
    Value in = inputs("q");
    in.erase(field);
    try {
      graph->invoke(in);
      FAIL() << "no error without " << field;
    } catch (const state_graph::MissingFieldError& e) {
      EXPECT_EQ(e.field(), field);
    }
  }
  // With several missing, the first in order is named.
  try {
    graph->invoke(Value{{"pandas_code", ""}});
    FAIL();
  } catch (const state_graph::MissingFieldError& e) {
    EXPECT_EQ(e.field(), "user_question");
  }
  EXPECT_THROW(graph->invoke(Value::array({1, 2})), std::invalid_argument);
  EXPECT_EQ(server_.request_count(), 0u);
}

TEST_F(AnswerGraphTest, ConcurrentQuestionsKeepTheirOwnRecords) {
  auto graph = make_graph();
  constexpr int kQuestions = 4;
  for (int i = 0; i < kQuestions; ++i) {
    ScriptedModel::Script script;
    script.sql = {"SELECT " + std::to_string(100 + i) + " AS answer"};
    script.code = {"for k in range(200):\n    print('q" + std::to_string(i) + "')\n"};
    model_.set_script("question " + std::to_string(i), script);
  }
  std::vector<Value> records(kQuestions);
  std::vector<std::thread> threads;
  for (int i = 0; i < kQuestions; ++i) {
    threads.emplace_back(
        [&, i] { records[i] = graph->invoke(inputs("question " + std::to_string(i))); });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kQuestions; ++i) {
    const std::string tag = std::to_string(i);
    EXPECT_EQ(records[i]["user_question"], "question " + tag);
    ASSERT_EQ(records[i]["generated_sql_query"].size(), 1u);
    EXPECT_EQ(records[i]["generated_sql_query"][0],
              "SELECT " + std::to_string(100 + i) + " AS answer");
    EXPECT_EQ(records[i]["sql_execution_result"][0], "[(" + std::to_string(100 + i) + ",)]");
    std::string expected;
    for (int k = 0; k < 200; ++k) expected += "q" + tag + "\n";
    EXPECT_EQ(records[i]["python_executed_output"], expected);
  }
}

TEST_F(AnswerGraphTest, TraceRecordsNodesAndModelCalls) {
  ScriptedModel::Script script;
  script.sql = {"SELECT COUNT(*) FROM orders"};
  model_.set_default(script);
  auto graph = make_graph();
  RunTrace trace;
  graph->invoke(inputs("How many orders?"), &trace);
  const Value json = trace.to_json();
  EXPECT_EQ(json["nodes"].size(), 10u);
  EXPECT_EQ(json["nodes"][4]["node"], "sql_generation_node");
  EXPECT_EQ(json["nodes"][4]["fields"], Value::array({"generated_sql_query"}));
  ASSERT_EQ(json["model_calls"].size(), 4u);
  EXPECT_EQ(json["model_calls"][0]["client"], "sql_generation_model");
  EXPECT_EQ(json["model_calls"][0]["node"], "sql_generation_node");
  EXPECT_EQ(json["model_calls"][1]["node"], "sql_syntax_checker_node");
  EXPECT_EQ(json["model_calls"][3]["client"], "response_model");
  EXPECT_EQ(json["totals"]["model_calls"], 4);
  EXPECT_EQ(json["totals"]["prompt_tokens"], 40);  // the fake reports 10 per call
  EXPECT_EQ(json["totals"]["steps"], 10);
}

TEST_F(AnswerGraphTest, ConstructionRejectsSettingsCarryingGraphParameters) {
  for (const char* field : {"max_tokens", "temperature", "model_kwargs"}) {
    Value fields = server_.compatible_settings();
    fields[field] = 1;
    try {
      AnswerGraph graph(*db_, chat_model::AzureOpenAIChat35(fields),
                        chat_model::AzureOpenAIChat4(server_.compatible_settings()));
      FAIL() << field;
    } catch (const std::invalid_argument& e) {
      EXPECT_THAT(e.what(), HasSubstr(field));
    }
  }
}

TEST(ConfigGraph, DefaultsAndArgumentKinds) {
  const auto config = AnswerGraph::_config_graph();
  EXPECT_FALSE(config.metadata.has_value());
  EXPECT_EQ(config.tags, std::vector<std::string>{"answer_graph"});
  EXPECT_EQ(config.max_concurrency, 20);
  EXPECT_EQ(config.recursion_limit, 50);

  const auto custom =
      AnswerGraph::_config_graph(Value{{"k", 1}}, Value::array({"a", "b"}), Value(nullptr), 9);
  EXPECT_EQ(custom.metadata, (Value{{"k", 1}}));
  EXPECT_EQ(custom.tags, (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(custom.max_concurrency.has_value());
  EXPECT_EQ(custom.recursion_limit, 9);

  EXPECT_THROW(AnswerGraph::_config_graph(Value("x")), std::invalid_argument);
  EXPECT_THROW(AnswerGraph::_config_graph(std::nullopt, Value("tag")), std::invalid_argument);
  EXPECT_THROW(AnswerGraph::_config_graph(std::nullopt, Value::array({1})), std::invalid_argument);
  EXPECT_THROW(AnswerGraph::_config_graph(std::nullopt, std::nullopt, Value(2.5)),
               std::invalid_argument);
  EXPECT_THROW(AnswerGraph::_config_graph(std::nullopt, std::nullopt, std::nullopt, Value("50")),
               std::invalid_argument);
}

TEST_F(AnswerGraphTest, DiagramsShowEveryNodeAndEdge) {
  auto graph = make_graph();
  const auto& topology = graph->compiled_graph().topology();
  ASSERT_EQ(topology.nodes.size(), 13u);
  const std::string ascii = graph->draw_ascii();
  const std::string mermaid = graph->draw_mermaid();
  for (const auto& node : topology.nodes) {
    EXPECT_THAT(ascii, HasSubstr("| " + node + " |"));
    EXPECT_THAT(mermaid, HasSubstr("    " + node + "[" + node + "]"));
  }
  for (const auto& [source, target] : topology.edges) {
    const std::string to = target == state_graph::END ? "__end__" : target;
    EXPECT_THAT(mermaid, HasSubstr(source + " --> " + to)) << source;
  }
  int labelled = 0;
  for (const auto& c : topology.conditional_edges) {
    for (const auto& [label, target] : c.labels) {
      EXPECT_THAT(mermaid, HasSubstr(c.source + " -. " + label + " .-> " + target));
      EXPECT_THAT(ascii, HasSubstr(".. " + label + " ..> " + target));
      ++labelled;
    }
  }
  EXPECT_EQ(labelled, 9);
  EXPECT_EQ(topology.edges.size(), 10u);

  // "ascii" prints and writes nothing; any other text renders a PNG to the path.
  const fs::path cwd = fs::current_path();
  fs::current_path(dir_);
  testing::internal::CaptureStdout();
  graph->visualize_graph();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), ascii);
  EXPECT_FALSE(fs::exists(dir_ / "graph_visualization.png"));
  graph->visualize_graph("ASCII");
  fs::current_path(cwd);
  const std::string png = read_file(dir_ / "graph_visualization.png");
  ASSERT_GT(png.size(), 2000u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  // Width and height from the IHDR chunk: a real drawing, not an empty canvas.
  auto be32 = [&](std::size_t at) {
    return (static_cast<unsigned char>(png[at]) << 24) |
           (static_cast<unsigned char>(png[at + 1]) << 16) |
           (static_cast<unsigned char>(png[at + 2]) << 8) | static_cast<unsigned char>(png[at + 3]);
  };
  EXPECT_GT(be32(16), 300);
  EXPECT_GT(be32(20), 500);

  EXPECT_THROW(graph->visualize_graph("png", (dir_ / "missing" / "g.png").string()),
               std::runtime_error);
  EXPECT_THROW(graph->visualize_graph(Value(1)), std::invalid_argument);
  EXPECT_THROW(graph->visualize_graph("png", Value(nullptr)), std::invalid_argument);
}

}  // namespace
}  // namespace answer_graph
