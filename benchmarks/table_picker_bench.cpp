// RelevantTablePicker on a SQLite database of 1,000 tables: the decision before the model call
// (ranking and prompt) with the table descriptions already read, the first decision on a new
// listing (which reads the descriptions of every table), checking an answer, and a whole invoke
// against the local fake model server.
//
//   build/bin/table_picker_bench
//
// The counter prompt_chars is the length of the prompt sent to the model.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "logging/logging.hpp"
#include "sql_database/sql_tools.hpp"
#include "state_graph/state.hpp"
#include "table_picker/catalog.hpp"
#include "table_picker/table_picker.hpp"
#include "test_support/fake_chat_server.hpp"

namespace {

namespace fs = std::filesystem;
using state_graph::Value;

// A shop of five tables among 995 others with similar columns, as a data warehouse might hold.
struct Fixture {
  fs::path path =
      fs::temp_directory_path() / ("askdb_picker_bench_" + std::to_string(::getpid()) + ".db");
  std::unique_ptr<sql_database::CustomSQLDatabase> db;
  std::string listing;
  std::shared_ptr<const state_graph::RecordSchema> schema =
      std::make_shared<const state_graph::RecordSchema>(
          "PickerInput", std::vector<state_graph::FieldSpec>{
                             {"user_question"}, {"rewritten_question"}, {"table_names_from_db"}});
  test_support::FakeChatServer server;

  Fixture() {
    std::string sql =
        "BEGIN;"
        "CREATE TABLE customers (customer_id INTEGER PRIMARY KEY, name TEXT, city TEXT);"
        "CREATE TABLE orders (order_id INTEGER PRIMARY KEY, customer_id INTEGER REFERENCES "
        "customers (customer_id), order_date TEXT, total REAL);"
        "CREATE TABLE products (product_id INTEGER PRIMARY KEY, name TEXT, price REAL);"
        "CREATE TABLE order_items (order_item_id INTEGER PRIMARY KEY, order_id INTEGER "
        "REFERENCES orders (order_id), product_id INTEGER REFERENCES products (product_id), "
        "quantity INTEGER);"
        "CREATE TABLE shipments (shipment_id INTEGER PRIMARY KEY, order_id INTEGER REFERENCES "
        "orders (order_id), shipped_at TEXT);";
    const char* const topics[] = {"sensor", "audit", "ledger",  "payroll", "telemetry",
                                  "backup", "cache", "session", "metric",  "job"};
    for (int i = 0; i < 995; ++i) {
      const std::string t = std::string(topics[i % 10]) + "_archive_" + std::to_string(i);
      sql += "CREATE TABLE " + t +
             " (id INTEGER PRIMARY KEY, label TEXT, amount REAL, recorded_at TEXT, "
             "customer_ref INTEGER, note TEXT);"
             "INSERT INTO " +
             t + " VALUES (1, 'a', 1.5, '2024-01-01', 3, NULL);";
    }
    sql += "COMMIT;";
    sql_database::create_database_from_sql(path.string(), sql);
    db = std::make_unique<sql_database::CustomSQLDatabase>(
        sql_database::CustomSQLDatabase::from_uri("sqlite:///" + path.string()));
    listing = sql_database::ListSQLDatabaseTool(*db)._run();
    server.set_responder([](const test_support::RecordedRequest&) {
      return test_support::Reply::json_answer(
          Value{{"relevant_tables", {"orders", "products", "made_up_table"}}});
    });
    logging::silence();
  }
  ~Fixture() {
    std::error_code ec;
    fs::remove(path, ec);
  }

  state_graph::State state(const std::string& question) const {
    state_graph::State s(schema);
    s.merge(Value{
        {"user_question", question}, {"rewritten_question", ""}, {"table_names_from_db", listing}});
    return s;
  }
  table_picker::RelevantTablePicker picker() {
    return table_picker::RelevantTablePicker(chat_model::AzureOpenAIChat35(server.azure_settings()),
                                             *db);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

std::size_t prompt_chars(const table_picker::PickerPlan& plan) {
  std::size_t n = 0;
  for (const auto& m : plan.messages) n += m.content.size();
  return n;
}

const char* const kQuestion = "Which customers ordered the most products last year, by city?";

void BM_PlanWarm(benchmark::State& state) {
  auto& f = fixture();
  auto picker = f.picker();
  const auto s = f.state(kQuestion);
  (void)picker.plan(s);  // reads the descriptions once
  std::size_t chars = 0;
  for (auto _ : state) {
    const auto plan = picker.plan(s);
    chars = prompt_chars(plan);
    benchmark::DoNotOptimize(plan.candidates.data());
  }
  state.counters["prompt_chars"] = static_cast<double>(chars);
}
BENCHMARK(BM_PlanWarm)->Unit(benchmark::kMillisecond);

void BM_PlanNewListing(benchmark::State& state) {
  auto& f = fixture();
  const auto s = f.state(kQuestion);
  std::size_t chars = 0;
  for (auto _ : state) {
    auto picker = f.picker();
    const auto plan = picker.plan(s);
    chars = prompt_chars(plan);
    benchmark::DoNotOptimize(plan.candidates.data());
  }
  state.counters["prompt_chars"] = static_cast<double>(chars);
}
BENCHMARK(BM_PlanNewListing)->Unit(benchmark::kMillisecond);

void BM_Construct(benchmark::State& state) {
  auto& f = fixture();
  for (auto _ : state) {
    auto picker = f.picker();
    benchmark::DoNotOptimize(&picker);
  }
}
BENCHMARK(BM_Construct)->Unit(benchmark::kMillisecond);

// The part of a new listing's decision that the database takes.
void BM_ReadDescriptions(benchmark::State& state) {
  auto& f = fixture();
  for (auto _ : state) {
    const std::string text = f.db->get_table_info();
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_ReadDescriptions)->Unit(benchmark::kMillisecond);

void BM_ParseDescriptions(benchmark::State& state) {
  auto& f = fixture();
  const std::string text = f.db->get_table_info();
  for (auto _ : state) {
    const auto tables = table_picker::parse_table_descriptions(text);
    benchmark::DoNotOptimize(tables.data());
  }
  state.counters["text_chars"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ParseDescriptions)->Unit(benchmark::kMillisecond);

void BM_FinishAnswer(benchmark::State& state) {
  auto& f = fixture();
  auto picker = f.picker();
  const auto plan = picker.plan(f.state(kQuestion));
  const std::vector<std::string> answer = {"Orders", "products", "customers", "made_up_table"};
  for (auto _ : state) {
    const auto names = picker.finish(plan, answer);
    benchmark::DoNotOptimize(names.data());
  }
}
BENCHMARK(BM_FinishAnswer)->Unit(benchmark::kMicrosecond);

void BM_InvokeWithFakeModel(benchmark::State& state) {
  auto& f = fixture();
  auto picker = f.picker();
  const auto s = f.state(kQuestion);
  (void)picker.plan(s);
  for (auto _ : state) {
    const auto update = picker.invoke(s);
    benchmark::DoNotOptimize(update.values.size());
  }
}
BENCHMARK(BM_InvokeWithFakeModel)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
