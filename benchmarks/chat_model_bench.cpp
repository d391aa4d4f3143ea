// Client overhead per model call against the loopback fake chat server: request building,
// HTTP over a reused connection, answer parsing and schema validation. The server answers at
// once, so the time per iteration is what the client (and loopback HTTP) adds to a real call.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "chat_model/client.hpp"
#include "test_support/fake_chat_server.hpp"

namespace {

using chat_model::AzureChatOpenAI;
using chat_model::Value;
using test_support::FakeChatServer;
using test_support::Reply;

chat_model::OutputSchema sql_schema() {
  return chat_model::OutputSchema("SQLQueryInput", "",
                                  {{"sql_query", chat_model::FieldType::text,
                                    "SQL query string to be executed", false, std::nullopt}});
}

AzureChatOpenAI graph_client(const FakeChatServer& server) {
  return AzureChatOpenAI(
      server.azure_settings(),
      Value{{"max_tokens", 4096}, {"temperature", 0}, {"model_kwargs", Value{{"top_p", 0.95}}}});
}

const std::vector<chat_model::ChatMessage> kMessages = {
    {"system",
     "You are a SQL expert. Write one query for the question over these tables: "
     "customers(id, name, city), orders(id, customer_id, total, placed_at)."},
    {"user", "How many orders did customers from Lisbon place in 2024?"}};

void BM_StructuredCall(benchmark::State& state) {
  FakeChatServer server;
  const Reply reply =
      Reply::json_answer(Value{{"sql_query",
                                "SELECT COUNT(*) FROM orders o JOIN customers c ON c.id = "
                                "o.customer_id WHERE c.city = 'Lisbon'"}});
  server.set_responder([&](const test_support::RecordedRequest&) { return reply; });
  const auto model = graph_client(server).with_structured_output(sql_schema());
  model.invoke(kMessages);  // open the connection outside the timed loop
  for (auto _ : state) {
    benchmark::DoNotOptimize(model.invoke(kMessages));
  }
  state.counters["connections"] = static_cast<double>(server.connection_count());
  state.counters["requests"] = static_cast<double>(server.request_count());
}
BENCHMARK(BM_StructuredCall)->Unit(benchmark::kMicrosecond);

void BM_PlainCall(benchmark::State& state) {
  FakeChatServer server;
  const Reply reply = Reply::completion("SELECT 1");
  server.set_responder([&](const test_support::RecordedRequest&) { return reply; });
  const auto model = graph_client(server);
  model.invoke(kMessages);
  for (auto _ : state) {
    benchmark::DoNotOptimize(model.invoke(kMessages));
  }
  state.counters["connections"] = static_cast<double>(server.connection_count());
}
BENCHMARK(BM_PlainCall)->Unit(benchmark::kMicrosecond);

// 100 calls on a fresh server: how many TCP connections they took (one when keep-alive works).
void BM_HundredCallsConnections(benchmark::State& state) {
  double connections = 0;
  for (auto _ : state) {
    FakeChatServer server;
    server.set_responder([](const test_support::RecordedRequest&) {
      return Reply::json_answer(Value{{"sql_query", "SELECT 1"}});
    });
    const auto model = graph_client(server).with_structured_output(sql_schema());
    for (int i = 0; i < 100; ++i) benchmark::DoNotOptimize(model.invoke(kMessages));
    connections = static_cast<double>(server.connection_count());
  }
  state.counters["connections_per_100_calls"] = connections;
}
BENCHMARK(BM_HundredCallsConnections)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  setenv("NO_PROXY", "127.0.0.1,localhost", 1);
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
